// CUpdateWorker: the device side of an update, on a thread of its own.
//
// It polls for a calculator in update mode, counts down the start delay the
// dialog shows, sends the current file with the transfer engine and reports
// every step as a signal. Which file goes out, whether a failure is tried
// again and when the session ends are the dialog's decisions: its slots tell
// the worker through the named operations below (select the source, send the
// next file, count a failed attempt, stop, end the session); the worker's
// fields are its own.
#pragma once

#include "session/calculator_ledger.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

class CUpdateWorker : public QObject {
    Q_OBJECT

public:
    enum State : std::int32_t {
        WaitingForDevice = 0, // polls for the calculator every 500 ms
        CountingDown = 1,     // counts the dialog's countdown down, one pass a second
        Transferring = 2,     // sends the current file, one transfer per entry
        Idle = 3,             // the last transfer succeeded; waits for the next file
        RetryPause = 4,       // the last transfer failed; 3000 ms, then polls again
    };

    CUpdateWorker();
    ~CUpdateWorker() override;

    // --- what the dialog's slots decide ---------------------------------
    // A new session after the loop has ended (a new release chosen): the
    // fields go back to their initial values and process() is queued on the
    // worker's thread. False, and nothing done, while the ended loop is still
    // winding down: the caller tries again a little later.
    bool restartLoop();

    // The retry rule: one more failed attempt of the current file. Returns
    // how many had failed before this one.
    std::int32_t countFailedAttempt();
    // The next-file step: the file selected last goes out next, with a fresh
    // count of attempts.
    void sendSelectedFile();
    // The loop ends at the top of its next pass; nothing is sent to the
    // calculators (requestEndOfSession does that).
    void requestStop();

    // --- what the worker reports -----------------------------------------
    State loopState() const;
    std::int32_t resultOfLastTransfer() const; // -2 after an exception
    bool hasTransferStarted() const;           // in this session
    bool isStopRequested() const;
    // The loop runs or is about to (its thread's start runs it): true from
    // construction until process() returns.
    bool isLoopActive() const;

    // A new release of `fileCount` files: the ledger of calculators starts
    // empty. Called by the scan before the first file is selected.
    void beginRelease(int fileCount);
    // What the session knows of its calculators (a copy, safe from any thread).
    CalculatorLedger ledger() const;

    // The select step hands over the file to send: its path, where it goes on
    // the disk and its place in the release. Safe from any thread; the worker
    // reads them once per transfer, just before it runs.
    void selectSource(const QString &path, qint64 offset, int file = 0);
    QString currentSourcePath() const;
    qint64 currentDiskOffset() const;

    // The window has shown the countdown's seconds with a file selected. The
    // first transfer of a session never starts before: a window that comes
    // up late (a slow release folder) must not meet a transfer the user had
    // no chance to cancel, or one without a file.
    void countdownShown();

    // Ends the session from any thread without waiting: the loop stops at the
    // top of its next pass, then every calculator gets the end-of-session
    // command on the worker's thread (endSession), never during a presence
    // check or a transfer. sessionClosed() follows.
    void requestEndOfSession();

    // Clears the dialog's busy flag unless a transfer is under way: a late
    // downloadInactive must not clear it while the next file is being sent.
    void releaseBusy();

signals:
    void finished(); // never emitted by the loop: the worker lives until the process ends
    void foundDevice();
    void waitingStart();
    void downloadActive();
    void downloadInactive();
    void waitingTicks(int ticks);
    void updaterRan(int result);
    // An exception ended the loop (lastResult is then -2); no transfer runs.
    void loopFailed(int result);
    // The end-of-session command has gone to every calculator found.
    void sessionClosed();

public slots:
    void process();
    // The end of the session with the calculators; run on the worker's
    // thread by requestEndOfSession, after the loop has ended.
    void endSession();

private:
    std::atomic<bool> transferStarted{false}; // a transfer has begun in this run
    std::atomic<bool> stopRequested{false};   // the loop ends at the top of its next pass
    std::atomic<std::int32_t> state{WaitingForDevice};
    std::atomic<std::int32_t> ticks{0};       // waiting counter, 0 to 4
    std::atomic<std::int32_t> retryCount{0};  // failed attempts of the current file
    std::atomic<std::int32_t> lastResult{0};  // of the last transfer; -2 after an exception
    std::atomic<bool> loopActive{true};       // see isLoopActive()

    void runPass();
    void waitForDevice();
    void countDown();
    void transfer();

    // Held for every transport call (presence check, transfer, end of
    // session): they share the transport's unlocked device table. A call
    // starts only while no stop is requested.
    std::mutex transportLock_;
    // Guards transferRunning_ against the dialog's releaseBusy().
    std::mutex busyLock_;
    bool transferRunning_ = false; // under busyLock_
    std::atomic<bool> countdownSeen_{false}; // countdownShown() in this session

    // Which calculators hold which files: written by the transfers, read by
    // the window's decisions.
    mutable std::mutex ledgerLock_;
    CalculatorLedger ledger_; // under ledgerLock_

    mutable std::mutex sourceLock_; // a standard mutex: visible to ThreadSanitizer
    QString sourcePath; // full path of the file to send (under sourceLock_)
    qint64 diskOffset = 0; // where it goes on the calculator disk (under sourceLock_)
    int sourceFile = 0; // its place in the release (under sourceLock_)
};

// The transfer engine's callbacks: they pass the reports on to the dialog as
// its updateProgress / updateMessage signals, delivered queued on its thread.
void reportProgress(std::int32_t percent);
void reportMessage(const char16_t *text);
