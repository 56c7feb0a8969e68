#include "ui/session_report.h"

#include <QSaveFile>

namespace {

QByteArray field(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') || bytes.contains('\r')) {
        bytes.replace("\"", "\"\"");
        bytes = '"' + bytes + '"';
    }
    return bytes;
}

const char *outcome(const CalculatorView &row)
{
    switch (row.state) {
    case CalculatorView::Updated:
        return "updated";
    case CalculatorView::GivenUp:
        return "given up";
    default:
        return "not updated";
    }
}

} // namespace

QByteArray sessionReportCsv(const QVector<CalculatorView> &rows)
{
    QByteArray csv = "calculator,outcome,files held,last code,seconds\r\n";
    for (const CalculatorView &row : rows) {
        csv += field(row.identity) + ',' + outcome(row) + ',' + QByteArray::number(row.held) + ',' +
               QByteArray::number(row.code) + ',' + QByteArray::number(row.seconds, 'f', 1) + "\r\n";
    }
    return csv;
}

bool writeSessionReport(const QString &path, const QVector<CalculatorView> &rows, QString *error)
{
    QSaveFile file(path);
    const QByteArray csv = sessionReportCsv(rows);
    if (file.open(QIODevice::WriteOnly) && file.write(csv) == csv.size() && file.commit())
        return true;
    if (error)
        *error = QStringLiteral("cannot write the report %1: %2").arg(path, file.errorString());
    return false;
}
