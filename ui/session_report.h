// The session's report (--report FILE): a CSV file, RFC 4180 (CRLF line ends,
// fields with a comma, a quote or a line break in quotes, quotes doubled),
// UTF-8, with a header line and one line per outcome, written as soon as the
// outcome is known:
//   calculator,outcome,files held,last code,seconds,time,computer,release,release sha256,reason
// outcome is "updated", "given up" or "not updated" (the session ended, or was
// stopped, with the calculator still lacking files); seconds run from its
// first transfer to its last, with one decimal; time is the local time the
// line was written, with its offset from UTC; release is the release folder's
// name and release sha256 the first 12 hex digits of the SHA-256 over its
// three files (empty when none was fixed); reason is English words: empty for
// "updated", why otherwise.
//
// The lines of a cart's batches, and of copies running at once, accumulate in
// one file: every append locks the file (platform/locked_append.h), and a file
// that begins with anything but this header is never written to.
#pragma once

#include "session/calculator_view.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QVector>

// The header line, with its line end.
QByteArray sessionReportHeader();

// What every line of a session says besides its calculator.
struct ReportSource {
    QString computer;      // the machine's name
    QString release;       // the release folder's name
    QString releaseDigest; // 12 lower-case hex digits; empty when no release is fixed
};

// The line (with its line end) for `row` as it is now, written at `time`.
QByteArray sessionReportLine(const CalculatorView &row, const QDateTime &time, const ReportSource &source,
                             const QString &reason);

// Appends `lines` (whole lines) to the report at `path`, after the header
// when the file is new or empty, written and flushed under the file's lock;
// `headerToStream`: a report that cannot be read back (a pipe, a device)
// gets the header first too. The file is appended to in place, never
// replaced (it may be a device or a link). False with a one-line reason in
// *error when not every byte went, or when the file is not a report of ours.
bool appendSessionReport(const QString &path, const QByteArray &lines, bool headerToStream, QString *error);

// Opens `path` for appending (making it when missing) and looks at its first
// line, writing nothing: false with "PATH: reason" in *error when the report
// could not be written, or when its first line is not this header.
bool canAppendReport(const QString &path, QString *error);

// --report for one window: the outcome each calculator's last line says, so
// that an outcome goes out once, as soon as it is known (a crash or a pulled
// plug loses none already known), and the session's end adds a line for
// every calculator still without one. A line that could not be written is
// tried again with the next change, and at the end.
class CSessionReport {
public:
    void setPath(const QString &path) { path_ = path; }
    // The cart station: each visit of a calculator has its line; one never
    // taken in its visit (gone before it was, or left when the station
    // stopped) has none.
    void setStation(bool station) { station_ = station; }
    const QString &path() const { return path_; }
    // A new session of the same window: its lines follow the last one's.
    void newSession();
    // The session ended opens again (a given-up calculator came back): its
    // outcomes go on from where its end left them.
    void resume() { finished_ = false; }
    // The lines of the outcomes that are new in `rows`. `releaseFolder`:
    // the report is never written into it.
    void outcomes(const QVector<CalculatorView> &rows, const QString &changedFile, const ReportSource &source,
                  const QString &releaseFolder);
    // Once a session, at its end: every calculator without a line for how
    // it stands now gets one ("not updated" with "stopped" when the person
    // stopped the session, the reason otherwise).
    void finish(const QVector<CalculatorView> &rows, const QString &changedFile, bool stopped,
                const ReportSource &source, const QString &releaseFolder);
    // A line could not be written (said once on standard error).
    bool lost() const { return lost_; }

private:
    bool append(const QByteArray &lines, const QString &releaseFolder);

    QString path_;                               // empty: no report
    bool started_ = false;                       // a line has gone out (a stream has its header)
    bool finished_ = false;                      // this session's last lines are on disk (or failed)
    bool lost_ = false;
    bool station_ = false;
    QHash<QString, CalculatorView::State> said_; // by identity and visit: the outcome its last line says
};

