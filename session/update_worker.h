// CUpdateWorker: the device side of an update, on a thread of its own, and
// the only writer of the session's state: the loop state, the countdown, busy,
// the release and its current file, the failed attempts and the ledger of
// calculators.
//
// It polls for a calculator in update mode, counts down the start delay the
// window shows, sends each file with the transfer engine, applies the rule
// after each transfer (session/next_step.h) and reports every step as a
// signal. The window's decisions (a new release, the countdown armed, start
// now, the end of the session, the end of the thread) reach it as queued
// calls, applied at one point: the top of each pass of its loop. The end of
// the session is also seen at once, so that no presence check or transfer
// starts once it is asked for.
#pragma once

#include "session/calculator_ledger.h"
#include "session/calculator_view.h"
#include "session/fixed_release.h"
#include "session/next_step.h"
#include "session/update_file.h"
#include "platform/disk_system.h"
#include "transport/transfer_engine.h"

#include <QObject>
#include <QVector>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

class CSessionLog;
class TransferReports;
struct PipelineRun;
struct RunSink;
namespace platform {
class AwakeHold;
}

class CUpdateWorker : public QObject {
    Q_OBJECT

public:
    enum State : std::int32_t {
        WaitingForDevice = 0, // polls for the calculator every 500 ms
        CountingDown = 1,     // counts the countdown down, one pass a second
        Transferring = 2,     // sends the current file, one transfer per entry
        Idle = 3,             // the session's transfers are over; waits for its end
        RetryPause = 4,       // nobody is due: waits for the next retry (3000 ms after a failure), then polls again
    };

    // `reports` (may be null) is where the transfers' progress and messages
    // go; it must outlive the worker.
    explicit CUpdateWorker(TransferReports *reports = nullptr);
    ~CUpdateWorker() override;

    // --- the window's decisions: queued, safe from any thread ------------
    // The release to send, fixed (its files in the release's order; the
    // copies are sent). A session that has ended starts anew with it; a
    // running one takes it while none of its files has gone out yet. A
    // release whose files change in their folder during the session is
    // refused as a whole (kReleaseChanged): checked before each transfer,
    // and byte for byte before "Done".
    void beginRelease(std::shared_ptr<const CFixedRelease> release);
    // The window has taken foundDevice with a release to send: the countdown
    // runs. The first transfer of a session never starts before, so that a
    // window that comes up late does not meet a transfer the user had no
    // chance to cancel.
    void armCountdown();
    // Start pressed while the countdown runs: one second left. A countdown
    // that has run out stays over.
    void startNow();
    // Ends the session: no presence check or transfer starts any more, and
    // the pass under way runs to its end; then every calculator gets the
    // end-of-session command, and sessionClosed() follows. Once per session:
    // asking again, or before a new release, changes nothing.
    void requestEndOfSession();
    // The window hands the session over to another copy of the updater
    // (started as administrator): unless a calculator is being written, the
    // end-of-session command goes to every calculator attached (none when the
    // session has ended, which told them already), and the worker holds (no
    // presence check, no transfer) until the window says how it went:
    // resumeAfterHandOver, and the session goes on where it was (its next
    // transfer takes the calculators up again), or requestEndOfSession, which
    // then sends no second command. handOverReady follows, with whether the
    // calculators have been told.
    void prepareHandOver();
    void resumeAfterHandOver();
    // Ends process() at the top of its next pass, after the calls already
    // made (an end of session asked for goes out first).
    void requestStop();
    // Once process() has returned for good (the program ends): the release
    // is let go, and with it its private copies. Not while the loop runs.
    void dropRelease();
    // The cart station (--station), before the first release: calculators
    // plugged in after the first countdown are taken once settled, each one
    // is told its session ends as soon as it holds the release, and the
    // session never ends by itself (no Done, no final failure): it serves
    // calculators until the window ends it.
    void setStation(bool station);
    // The station's Stop: no calculator is taken any more; those whose visit
    // is under way are finished (the rows' underWay says when).
    void stopTaking();
    // --log: the calculators found and lost, each run's results with the
    // system error behind a failure, and the disks not taken with the reason
    // go to `log` from the next pass on (null: none).
    void setLog(std::shared_ptr<CSessionLog> log);

    // --- what the window reads --------------------------------------------
    // From the first transfer of a session until its end has been handled,
    // between files and through retries included; clear while a retry waits
    // for an absent calculator. The window refuses to close while it is set.
    bool isBusy() const;
    std::int32_t countdownLeftMs() const; // 0 when no countdown runs
    State loopState() const;
    std::int32_t resultOfLastTransfer() const; // -2 after an exception
    bool hasTransferStarted() const;           // in this session
    bool isEndRequested() const;              // the end of this session has been asked for
    CalculatorLedger ledger() const;           // a copy
    QVector<CalculatorView> calculatorRows() const; // a copy of the last rows sent
    QString refusingFile() const;             // the release file whose change refused the release (120); empty: none
    qint64 nextFileDiskOffset() const;          // of the file that goes out next
    // Once process() has returned for good: the writes that have not
    // returned (a calculator unplugged, or the program ending, while the
    // system still held its write). Their threads hold nothing the program
    // must keep; it may end without waiting for them.
    int abandonedWrites() const;

signals:
    void foundDevice();
    // A countdown pass: `leftMs` of the countdown remain (0: it has run out).
    void waitingStart(int leftMs);
    void downloadActive();
    void downloadInactive();
    void waitingTicks(int ticks);
    // After every transfer: its result for the session (next.result), and
    // what the worker does next.
    void updaterRan(NextStep next);
    // An exception ended the session's passes (lastResult is then -2); no
    // transfer runs any more, and the session waits for its end.
    void loopFailed(int result);
    // The end-of-session command has gone to every calculator found.
    void sessionClosed();
    // After the final failure and its end of session, a given-up calculator
    // was plugged in again and taken up: the session is open again, until
    // its next end (requestEndOfSession). Asking for the end once more
    // before that stops the watch for such a calculator.
    void sessionResumed();
    // prepareHandOver: `told`, the calculators have had the end-of-session
    // command and the worker holds; otherwise one was being written, nothing
    // was sent and the session goes on.
    void handOverReady(bool told);
    // Every calculator of the session and its state, after each discovery
    // and each run that changed something.
    void calculatorsChanged(QVector<CalculatorView> rows);
    // The station after stopTaking(): no calculator attached has a visit
    // under way any more (one unplugged in the middle of its visit is not
    // waited for); once.
    void stopped();

public slots:
    // The worker's loop: from the thread's start until requestStop(), over
    // as many sessions as the window begins.
    void process();

private:
    void post(std::function<void()> call);
    bool applyCalls(); // the one point where calls take effect; false once the loop is to end
    void openSession();
    void endSession();
    void runPass();
    void waitForDevice();
    void countDown();
    void transfer();
    // The calculators' own pipelines: each due calculator starts its next
    // file (at most 16 at once); a finished one is recorded; one that left
    // while its write never returned is let go.
    // A discovery's calculators into the ledger at `nowMs` (and the log, and the cart's bar).
    void attachFound(const std::vector<std::u16string> &found, std::uint64_t nowMs);
    // Before the first transfer: the calculators attached now, as rows, so
    // that the window lists them during the countdown (and a report after a
    // cancel names them). The ledger takes them at the first transfer.
    void previewFound(const std::vector<std::u16string> &found);
    // The station: a calculator whose file just ended holds the release; it
    // is told its session ends, and its volumes are let go. `readAgain`: what
    // reading the release again said (a changed file; empty: none), read on
    // the first visit a harvest closes and kept for the others it closes
    // (all of them over before that reading).
    void closeVisit(int entry, const std::u16string &path, std::optional<QString> &readAgain);
    // After the final failure, once its end of session has gone out: a
    // given-up calculator plugged in again is taken up again, and the
    // session opens again (sessionResumed).
    void watchForReturn();
    bool harvestRuns(CalculatorLedger::Outcome &outcome);
    // A run's file is over for its calculator with `code`: the ledger
    // records it, and the cart's bar lets go of the run.
    void recordEnd(const PipelineRun &run, std::int32_t code, std::uint32_t systemError, std::uint64_t nowMs,
                   CalculatorLedger::Outcome &outcome);
    void startDueRuns(std::uint64_t nowMs, CalculatorLedger::Outcome &outcome);
    // Before a calculator's first write in the session (and again after it
    // was unplugged): the volumes the system mounted on its disk are locked
    // and dismounted, and stay so until the end of the session has gone to
    // it. False when they refuse: nothing is written to it, and its attempt
    // is recorded as failed (kVolumeMounted, the drive named).
    bool holdVolumesOf(int entry, const std::u16string &path, std::uint64_t nowMs,
                       CalculatorLedger::Outcome &outcome);
    // A calculator's hold let go (unplugged, or the session over); the log says so.
    void releaseHold(const std::u16string &path, const char *why);
    void releaseHolds(const char *why);
    // The holds of calculators not among `found` and not being written.
    void dropGoneHolds(const std::vector<std::u16string> &found);
    void abandonUnplugged(CalculatorLedger::Outcome &outcome);
    void watchSilence(std::uint64_t nowMs);
    void waitForRuns(std::uint32_t atMostMs);
    void finishRunning(); // before the end of a session: every run ends, or is let go when unplugged
    // The view's rows from the ledger, `writing` being written now; sent when
    // they changed.
    QString changedReleaseFile(bool thorough) const;
    void publishRows();
    QVector<CalculatorView> rowsOf(const CalculatorLedger &ledger) const;
    // --log lines: who came and went at the discovery that gave `found`
    // (`wasPresent`: each entry's presence before it), and the disks not
    // taken when the calculators found changed.
    void logDiscovery(const std::vector<std::u16string> &found, const std::vector<bool> &wasPresent);
    void logRun(int entry, int file, const TransferReport &report);

    // The window's calls, in the order made.
    std::mutex callsLock_;
    std::condition_variable callsPosted_;
    std::deque<std::function<void()>> calls_; // under callsLock_
    bool stopLoop_ = false;                    // under callsLock_: requestStop()

    // Read by the window. Written on the worker's thread, except
    // endRequested, which requestEndOfSession() sets from the window's.
    std::atomic<bool> endRequested{false};    // requestEndOfSession(): seen at once, before any transport call
    std::atomic<bool> busy{false};
    std::atomic<std::int32_t> countdownMs{0}; // left before the first transfer; 0 when none runs
    std::atomic<std::int32_t> state{WaitingForDevice};
    std::atomic<bool> transferStarted{false}; // a transfer has begun in this session
    std::atomic<std::int32_t> lastResult{0};  // of the last transfer; -2 after an exception
    std::atomic<qint64> nextDiskOffset{0};    // the current file's disk offset

    // The worker's thread only.
    bool endNotHandled_ = true;    // the session's end (its command to the calculators) is still to come
    bool passesRun_ = true;        // the session's passes go on (not after an exception)
    bool countdownArmed_ = false;  // armCountdown() in this session
    bool heldForHandOver_ = false; // prepareHandOver() told the calculators: no pass runs until resumed
    bool station_ = false;         // setStation()
    bool stopTaking_ = false;      // stopTaking(): the station takes nobody new
    bool stoppedSaid_ = false;     // stopped() has been emitted
    bool settleNew_ = false;       // the station's first transfer pass is over: newcomers settle first
    bool watchingReturns_ = false; // the final failure, with a given-up calculator that may come back
    std::int32_t ticks_ = 0;       // waiting counter, 0 to 4
    std::shared_ptr<const CFixedRelease> release_; // the release; its copies live as long as it
    QVector<CUpdateFile> files_;   // release_'s files
    std::vector<std::shared_ptr<PipelineRun>> running_;   // the runs under way, one calculator each
    std::vector<std::shared_ptr<PipelineRun>> abandoned_; // let go while their write never returned
    std::map<int, std::uint64_t> restUntil_; // by ledger entry: the end of its pause after its last file
    std::shared_ptr<RunSink> sink_;                       // where the runs report; outlives the worker when a write never returns
    std::uint32_t retryWaitMs_ = 0; // RetryPause: until the next calculator is due
    std::shared_ptr<CSessionLog> log_;         // --log; null: none
    std::unique_ptr<platform::AwakeHold> awake_; // from the first transfer to the last: the machine stays awake
    std::vector<std::u16string> lastSurveyed_; // the calculators found when the disks were last logged
    // A calculator's volumes held for the session, by its device path.
    struct VolumesHeld {
        QString calculator;                          // its identity when held, for the log
        std::vector<platform::MountedVolume> volumes; // what the system listed on its disk (--log only)
        std::unique_ptr<platform::VolumeHold> hold;  // destroyed: released
    };
    std::map<std::u16string, VolumesHeld> holds_;

    mutable std::mutex ledgerLock_; // the window copies the ledger
    CalculatorLedger ledger_;       // written on the worker's thread, under ledgerLock_
    QVector<CalculatorView> rows_;  // the last rows sent, under ledgerLock_
    QString changedFile_;           // the release file that refused the release (120), under ledgerLock_
};

