#include "ui/session_report.h"

#include "platform/disk_system.h"
#include "platform/locked_append.h"

#include <QDir>
#include <QLocale>

#include <cstdlib>
#include <string>

namespace {

constexpr char kHeader[] =
    "calculator,outcome,files held,last code,seconds,time,computer,release,release sha256,reason\r\n";

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

// ISO 8601 with the offset always spelt out ("+00:00", never "Z"), so that
// every line reads alike wherever it was written.
QString isoTime(const QDateTime &time)
{
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return QLocale::c().toString(time, QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           QLatin1Char(offset < 0 ? '-' : '+') +
           QStringLiteral("%1:%2").arg(minutes / 60, 2, 10, QLatin1Char('0')).arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

enum class Append { Done, Foreign, Failed };

// One locked append; *error: the system's reason, or that the file is not ours.
Append append(const QString &path, const QByteArray &lines, bool headerToStream, QString *error)
{
    const std::u16string native = QDir::toNativeSeparators(path).toStdU16String();
    std::uint32_t systemError = 0;
    switch (platform::appendLocked(native.c_str(), kHeader, lines.toStdString(), headerToStream, &systemError)) {
    case platform::AppendStatus::Appended:
        return Append::Done;
    case platform::AppendStatus::Foreign:
        *error = QStringLiteral("its first line is not this updater's report header");
        return Append::Foreign;
    case platform::AppendStatus::Failed:
        break;
    }
    *error = QString::fromStdU16String(platform::errorText(systemError)).trimmed();
    if (error->isEmpty())
        *error = QStringLiteral("system error %1").arg(systemError);
    return Append::Failed;
}

} // namespace

QByteArray sessionReportHeader()
{
    return QByteArray(kHeader);
}

QByteArray sessionReportLine(const CalculatorView &row, const QDateTime &time, const ReportSource &source,
                             const QString &reason)
{
    return field(row.identity) + ',' + outcome(row) + ',' + QByteArray::number(row.held) + ',' +
           QByteArray::number(row.code) + ',' + QByteArray::number(row.seconds, 'f', 1) + ',' +
           field(isoTime(time)) + ',' + field(source.computer) + ',' + field(source.release) + ',' +
           field(source.releaseDigest) + ',' + field(reason) + "\r\n";
}

bool appendSessionReport(const QString &path, const QByteArray &lines, bool headerToStream, QString *error)
{
    QString why;
    if (append(path, lines, headerToStream, &why) == Append::Done)
        return true;
    if (error)
        *error = QStringLiteral("cannot write the report %1: %2").arg(path, why);
    return false;
}

bool canAppendReport(const QString &path, QString *error)
{
    QString why;
    if (append(path, QByteArray(), false, &why) == Append::Done)
        return true;
    if (error)
        *error = QStringLiteral("%1: %2").arg(path, why);
    return false;
}
