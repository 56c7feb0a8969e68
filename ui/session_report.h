// The session's report (--report FILE): a CSV file, RFC 4180 (CRLF line ends,
// fields with a comma, a quote or a line break in quotes, quotes doubled),
// UTF-8, with a header line and one line per calculator the session met:
//   calculator,outcome,files held,last code,seconds
// outcome is "updated", "given up" or "not updated" (the session ended, or was
// aborted, with the calculator still lacking files); seconds run from its first
// transfer to its last, with one decimal.
#pragma once

#include "session/calculator_view.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The header line and the session's lines.
QByteArray sessionReportCsv(const QVector<CalculatorView> &rows);

// Appends the session's lines to `path`, after the header line when the file
// is new or empty, so that the batches of a cart accumulate in one record.
// The file is appended to in place, never replaced (it may be a device or a
// link). False with a one-line reason in *error when not every byte went.
bool writeSessionReport(const QString &path, const QVector<CalculatorView> &rows, QString *error);

// Opens `path` for appending and closes it again (making it when missing):
// false with "PATH: reason" in *error when the report could not be written.
bool canAppendReport(const QString &path, QString *error);
