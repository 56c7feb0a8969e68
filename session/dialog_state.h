// What the update session shares with the update dialog: the countdown, the
// busy flag and the two reports the transfer engine makes while it runs.
//
// The dialog (ui/) implements this and registers itself in gDialogState when
// it is constructed, before the worker starts; the worker and the transfer
// callbacks reach the dialog only through it, so the session never depends on
// the window above it.
//
// The countdown and the busy flag are written from the GUI thread and the
// worker's thread; both sides change them only through the operations below,
// which hold the rules (session/session_rules.h holds the numbers).
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>

class DialogSharedState {
public:
    // --- the countdown before the first transfer -------------------------
    // A calculator was found: the whole countdown (GUI thread).
    void armCountdown();
    // Start pressed while the countdown runs: one second left. A countdown
    // that ran out meanwhile stays over (GUI thread).
    void startNow();
    // One countdown pass of the worker: the countdown is lowered by a step,
    // never below 0, without undoing a value a click stores at the same
    // moment. Returns what it found; 0 means no countdown runs.
    std::int32_t countDownOneStep();
    // A new session: no countdown runs.
    void disarmCountdown();
    // Milliseconds left; 0 when no countdown runs.
    std::int32_t countdownLeftMs() const;

    // --- busy: a transfer is under way, the window refuses to close -------
    void markBusy();
    void clearBusy();
    bool isBusy() const;

    // Called on transfer threads, several at once with several calculators.
    // The message is a copy, made while the engine's text was still valid.
    virtual void emitUpdateProgress(int percent) = 0;
    virtual void emitUpdateMessage(const QString &message) = 0;

protected:
    ~DialogSharedState() = default;

private:
    // Milliseconds left before the first transfer starts; 0 when none runs.
    std::atomic<std::int32_t> countdownMs{0};
    std::atomic<bool> busy{false};
};

// The one dialog's shared state; null until the dialog is constructed.
extern std::atomic<DialogSharedState *> gDialogState;
