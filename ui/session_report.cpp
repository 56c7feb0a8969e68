#include "ui/session_report.h"

#include "platform/console.h"
#include "platform/disk_system.h"
#include "session/release_scan.h"
#include "ui/failure_reason.h"
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

namespace {

// A calculator's visit: its identity, and which time it was plugged in.
QString visitKey(const CalculatorView &row)
{
    return row.visit <= 1 ? row.identity : row.identity + QStringLiteral("#") + QString::number(row.visit);
}

} // namespace

void CSessionReport::newSession()
{
    finished_ = false;
    said_.clear();
}

void CSessionReport::outcomes(const QVector<CalculatorView> &rows, const QString &changedFile,
                              const ReportSource &source, const QString &releaseFolder)
{
    if (path_.isEmpty() || finished_)
        return;
    QByteArray lines;
    QVector<const CalculatorView *> written;
    for (const CalculatorView &row : rows) {
        if (row.state != CalculatorView::Updated && row.state != CalculatorView::GivenUp) {
            said_.remove(visitKey(row)); // taken up again: its next outcome is news
            continue;
        }
        const auto said = said_.constFind(visitKey(row));
        if (said != said_.constEnd() && *said == row.state)
            continue;
        const QString reason = row.state == CalculatorView::GivenUp
                                   ? failureReasonInEnglish(row.code, row.systemError, row.identity, changedFile,
                                                            row.detail)
                                   : QString();
        lines += sessionReportLine(row, QDateTime::currentDateTime(), source, reason);
        written << &row;
    }
    if (lines.isEmpty() || !append(lines, releaseFolder))
        return;
    for (const CalculatorView *row : written)
        said_.insert(visitKey(*row), row->state);
}

void CSessionReport::finish(const QVector<CalculatorView> &rows, const QString &changedFile, bool stopped,
                            const ReportSource &source, const QString &releaseFolder)
{
    if (path_.isEmpty() || finished_)
        return;
    finished_ = true;
    QByteArray lines;
    for (const CalculatorView &row : rows) {
        const auto said = said_.constFind(visitKey(row));
        if (said != said_.constEnd() && *said == row.state)
            continue;
        const bool outcome = row.state == CalculatorView::Updated || row.state == CalculatorView::GivenUp;
        if (station_ && !outcome && !row.underWay)
            continue; // never taken in this visit
        if (station_ && said != said_.constEnd() && outcome)
            continue; // this visit's outcome has its line
        const QString failure =
            failureReasonInEnglish(row.code, row.systemError, row.identity, changedFile, row.detail);
        QString reason;
        if (row.state == CalculatorView::GivenUp)
            reason = failure;
        else if (row.state != CalculatorView::Updated) // stopped, or the window closed, before the end
            reason = stopped ? QStringLiteral("stopped") : failure;
        lines += sessionReportLine(row, QDateTime::currentDateTime(), source, reason);
    }
    if (!lines.isEmpty())
        append(lines, releaseFolder);
}

bool CSessionReport::append(const QByteArray &lines, const QString &releaseFolder)
{
    // Never into the release folder (one chosen with Browse that holds the
    // report is refused as a release).
    if (folderHolds(releaseFolder, path_))
        return false;
    QString error;
    if (appendSessionReport(path_, lines, !started_, &error)) {
        started_ = true;
        return true;
    }
    if (!lost_)
        platform::writeErr((error + QLatin1Char('\n')).toStdU16String());
    lost_ = true;
    return false;
}

