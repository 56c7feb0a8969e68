// The list of calculators under the progress bar, for a session with more
// than one: each calculator's identity and its state in words (waiting, file
// k of 3 with its percentage, updated, retrying, given up, unplugged). It
// scrolls rather than cut a text; a given-up calculator stands out in bold
// red, and its words say so too. Every row has an accessible name.
#pragma once

#include "session/calculator_view.h"

#include <QTreeWidget>

class CCalculatorList : public QTreeWidget {
    Q_OBJECT

public:
    explicit CCalculatorList(QWidget *parent = nullptr);

    // The session's calculators, in the order met (a row stays the same
    // calculator for the session).
    void setRows(const QVector<CalculatorView> &rows);
    // One calculator's percentage of the file being written to it.
    void setProgress(int row, int percent);

    // The cart station: an updated or given-up calculator still attached is
    // to be unplugged, and says so (in green, or in red); one that has left
    // after its outcome, or before it was taken, is not listed.
    void setStation(bool station) { station_ = station; }
    // Whether the station lists `row`.
    static bool stationLists(const CalculatorView &row);

    // A calculator's state in words, in the current language (`station`: as
    // the station says it).
    static QString stateText(const CalculatorView &row, bool station = false);
    // Why a retrying or given-up calculator failed, as a sentence in the
    // current language (its row's tooltip and accessible description);
    // empty for the other states and for a code without a sentence.
    static QString reasonText(const CalculatorView &row);

private:
    void showRow(int row);
    QVector<CalculatorView> rows_;
    bool station_ = false;
};
