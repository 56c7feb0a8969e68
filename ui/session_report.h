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

QByteArray sessionReportCsv(const QVector<CalculatorView> &rows);

// Writes the report to `path` whole or not at all; false with a one-line
// reason in *error.
bool writeSessionReport(const QString &path, const QVector<CalculatorView> &rows, QString *error);
