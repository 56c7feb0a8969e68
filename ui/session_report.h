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
#include <QString>

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
