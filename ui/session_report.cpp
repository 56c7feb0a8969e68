#include "ui/session_report.h"

#include <QFile>

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
    QFile file(path);
    QByteArray csv = sessionReportCsv(rows);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (file.size() > 0)
            csv.remove(0, csv.indexOf('\n') + 1); // the header is there already
        if (file.write(csv) == csv.size() && file.flush())
            return true;
    }
    if (error)
        *error = QStringLiteral("cannot write the report %1: %2").arg(path, file.errorString());
    return false;
}

bool canAppendReport(const QString &path, QString *error)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        return true;
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
}
