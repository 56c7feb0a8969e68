// What the update session shares with the update dialog: the countdown, the
// busy flag and the two reports the transfer engine makes while it runs.
//
// The dialog (ui/) implements this and registers itself in gDialogState when
// it is constructed, before the worker starts; the worker and the transfer
// callbacks reach the dialog only through it, so the session never depends on
// the window above it.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>

class DialogSharedState {
public:
    // Milliseconds left before the first transfer starts; 0 when no countdown
    // runs. The dialog's slots store 5250 and 1000; the worker counts it down.
    std::atomic<std::int32_t> countdownMs{0};
    // A transfer is under way: the window refuses to close.
    std::atomic<bool> busy{false};

    // Called on transfer threads, several at once with several calculators.
    // The message is a copy, made while the engine's text was still valid.
    virtual void emitUpdateProgress(int percent) = 0;
    virtual void emitUpdateMessage(const QString &message) = 0;

protected:
    ~DialogSharedState() = default;
};

// The one dialog's shared state; null until the dialog is constructed.
extern std::atomic<DialogSharedState *> gDialogState;
