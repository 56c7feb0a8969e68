// Where the transfer engine's reports go while a file is being sent: the
// progress, the message (the file's path) and each calculator's own
// percentage. The dialog (ui/) implements this and hands itself to the
// worker it makes; the worker's callbacks reach the window only through it,
// so the session never depends on the window above it.
#pragma once

#include <QString>


class TransferReports {
public:
    // Called on transfer threads, several at once with several calculators.
    // The message is a copy, made while the engine's text was still valid.
    virtual void emitUpdateProgress(int percent) = 0;
    virtual void emitUpdateMessage(const QString &message) = 0;
    // One calculator's own percentage of the file being written to it: `row`
    // is its row in the session's view (CalculatorView, in the order the
    // session met the calculators).
    virtual void emitCalculatorProgress(int row, int percent) = 0;

protected:
    ~TransferReports() = default;
};
