#include "session/update_worker.h"

#include "common/calculator_model.h"
#include "platform/clock.h"
#include "platform/disk_system.h"
#include "platform/error_kind.h"
#include "platform/keep_awake.h"
#include "platform/volume_match.h"
#include "session/session_log.h"
#include "session/session_rules.h"
#include "session/transfer_reports.h"
#include "transport/transfer_engine.h"

#include <algorithm>

using calculator_model::kProduct;
using calculator_model::kVendor;
using namespace session_rules;

// One calculator's file on its way: the run that writes it, and what the
// worker watches of it. The run's threads reach it through the callbacks'
// context, and the run keeps it until its last thread has ended (for ever
// when its write never returns).
struct PipelineRun {
    std::shared_ptr<RunSink> sink;
    int entry = -1;               // the calculator's entry in the ledger: its row
    int file = -1;                // into the release
    std::int64_t bytes = 0;       // the file's size
    std::u16string path;          // the calculator's device path
    std::shared_ptr<TransferRun> run;
    std::atomic<std::int32_t> percent{0};     // its last report
    std::atomic<std::uint64_t> lastNewsMs{0}; // its last chunk or report, its start before the first
    int silentLoggedS = 0;        // the worker's thread: the silence last logged, in seconds
};

// Where the runs report, shared by the worker and every run's callbacks.
struct RunSink {
    std::mutex lock;
    TransferReports *reports = nullptr;  // under lock; null once the worker is gone
    bool cart = false;                   // under lock: the session has met more than one calculator
    std::int64_t cartTotal = 0;          // under lock: bytes to write for the calculators met so far
    std::int64_t cartDone = 0;           // under lock: bytes of the files that went through
    std::vector<PipelineRun *> running;  // under lock: for the cart's bar
    int shown = -1;                      // under lock: the cart bar's last value
    int messagedFile = -1;               // under lock: the cart's furthest file named so far
    platform::PauseWaker waker;          // a run that ends wakes the worker
};

namespace {

// Without news from its calculator this long, a write is "not answering".
constexpr std::uint64_t kSilentMs = 10000;
// The worker's pass while runs go on: a new calculator, a due retry or an
// unplugged one is seen this often.
constexpr std::uint32_t kRunWatchMs = kPollPauseMs;

// The cart's bar: the bytes written of all bytes to write for the
// calculators met so far, never going back. Called under the sink's lock.
void showCart(RunSink &sink)
{
    std::int64_t written = sink.cartDone;
    for (const PipelineRun *run : sink.running)
        written += run->bytes * run->percent.load() / 100;
    const int share = sink.cartTotal > 0 ? int(std::min<std::int64_t>(written * 100 / sink.cartTotal, 100)) : 0;
    if (share <= sink.shown)
        return;
    sink.shown = share;
    if (sink.reports != nullptr)
        sink.reports->emitUpdateProgress(share);
}

// The run's bar: with one calculator in the session, its file's own
// percentage, as the engine passes it on.
void onRunProgress(void *context, std::int32_t percent)
{
    RunSink &sink = *static_cast<PipelineRun *>(context)->sink;
    std::lock_guard<std::mutex> lock(sink.lock);
    if (!sink.cart && sink.reports != nullptr)
        sink.reports->emitUpdateProgress(percent);
}

void onCalculatorProgress(void *context, int, std::int32_t percent)
{
    PipelineRun &run = *static_cast<PipelineRun *>(context);
    run.percent.store(percent);
    run.lastNewsMs.store(platform::nowMs());
    std::lock_guard<std::mutex> lock(run.sink->lock);
    if (run.sink->reports != nullptr)
        run.sink->reports->emitCalculatorProgress(run.entry, percent);
    if (run.sink->cart)
        showCart(*run.sink);
}

void onWritten(void *context, int)
{
    static_cast<PipelineRun *>(context)->lastNewsMs.store(platform::nowMs());
}

void onRunFinished(void *context)
{
    static_cast<PipelineRun *>(context)->sink->waker.wake();
}

void onMessage(void *context, const char16_t *text)
{
    // The text lives in the transfer thread's buffer, which may be gone when
    // the window's slot runs: the signal carries a copy made here.
    const PipelineRun &run = *static_cast<PipelineRun *>(context);
    RunSink &sink = *run.sink;
    std::lock_guard<std::mutex> lock(sink.lock);
    // A cart's calculators are at different files: the file line names the
    // furthest one, and never goes back.
    if (sink.cart && run.file <= sink.messagedFile)
        return;
    sink.messagedFile = std::max(sink.messagedFile, run.file);
    if (sink.reports != nullptr)
        sink.reports->emitUpdateMessage(QString::fromUtf16(text));
}

void merge(CalculatorLedger::Outcome &into, const CalculatorLedger::Outcome &from)
{
    if (into.result == 0 && from.result != 0) {
        into.result = from.result;
        into.entry = from.entry;
    }
    into.failures = std::max(into.failures, from.failures);
}

} // namespace

namespace {

bool sameRows(const QVector<CalculatorView> &a, const QVector<CalculatorView> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CalculatorView &x, const CalculatorView &y) {
        return x.identity == y.identity && x.state == y.state && x.file == y.file && x.files == y.files &&
               x.code == y.code && x.systemError == y.systemError && x.detail == y.detail && x.held == y.held &&
               x.seconds == y.seconds && x.silentSeconds == y.silentSeconds && x.attached == y.attached &&
               x.underWay == y.underWay && x.visit == y.visit && x.mayReturn == y.mayReturn;
    });
}

} // namespace

CUpdateWorker::CUpdateWorker(TransferReports *reports) : QObject(nullptr), sink_(std::make_shared<RunSink>())
{
    sink_->reports = reports;
    qRegisterMetaType<NextStep>();
    qRegisterMetaType<CalculatorView>();
    qRegisterMetaType<QVector<CalculatorView>>();
}

CUpdateWorker::~CUpdateWorker()
{
    {
        std::lock_guard<std::mutex> lock(sink_->lock);
        sink_->reports = nullptr;
    }
    // A run whose write has not returned keeps its context (and through it
    // the sink) itself, until it ends.
}

int CUpdateWorker::abandonedWrites() const
{
    int unfinished = 0;
    for (auto *runs : {&running_, &abandoned_})
        for (const std::shared_ptr<PipelineRun> &run : *runs)
            unfinished += !run->run->finished();
    return unfinished;
}

// --- the window's calls ----------------------------------------------------------

void CUpdateWorker::post(std::function<void()> call)
{
    std::lock_guard<std::mutex> lock(callsLock_);
    calls_.push_back(std::move(call));
    callsPosted_.notify_one();
}

void CUpdateWorker::beginRelease(std::shared_ptr<const CFixedRelease> release)
{
    post([this, release] {
        if (!endNotHandled_)
            openSession();
        else if (transferStarted.load())
            return; // never a new release under a running update
        release_ = release;
        files_ = release ? release->files() : QVector<CUpdateFile>();
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            changedFile_.clear();
        }
        nextDiskOffset.store(files_.isEmpty() ? 0 : files_.first().diskOffset);
        std::lock_guard<std::mutex> lock(ledgerLock_);
        ledger_.reset(int(files_.size()));
        rows_.clear();
    });
}

void CUpdateWorker::setStation(bool station)
{
    post([this, station] {
        station_ = station;
        std::lock_guard<std::mutex> lock(ledgerLock_);
        ledger_.setStation(station);
    });
}

void CUpdateWorker::stopTaking()
{
    post([this] {
        if (stopTaking_)
            return;
        stopTaking_ = true;
        if (log_)
            log_->write(QStringLiteral("stop: no calculator is taken any more; those under way are finished"));
    });
}

void CUpdateWorker::setLog(std::shared_ptr<CSessionLog> log)
{
    post([this, log] { log_ = log; });
}

void CUpdateWorker::armCountdown()
{
    post([this] {
        if (!endNotHandled_ || countdownArmed_ || transferStarted.load())
            return;
        countdownArmed_ = true;
        countdownMs.store(kCountdownMs);
    });
}

void CUpdateWorker::startNow()
{
    post([this] {
        if (countdownMs.load() != 0)
            countdownMs.store(kStartNowMs);
    });
}

void CUpdateWorker::requestEndOfSession()
{
    // Queued like every call, so that it keeps its place before a new
    // release; the flag makes it seen at once, before the next transport call.
    std::lock_guard<std::mutex> lock(callsLock_);
    calls_.push_back([this] { endSession(); });
    endRequested.store(true);
    callsPosted_.notify_one();
}

void CUpdateWorker::prepareHandOver()
{
    post([this] {
        // Nothing is sent to a calculator while its file is being written;
        // a run that has ended is recorded by the next pass, held or not.
        if (std::any_of(running_.begin(), running_.end(),
                        [](const std::shared_ptr<PipelineRun> &run) { return !run->run->finished(); })) {
            emit handOverReady(false);
            return;
        }
        if (endNotHandled_) {
            const std::int32_t told = endUpdateSession(kVendor, kProduct);
            if (log_)
                log_->write(told == kTransferOk
                                ? QStringLiteral("handing over: the calculators attached were told the session ends")
                                : QStringLiteral("handing over: no calculator attached to tell (%1)").arg(told));
            heldForHandOver_ = true;
            // The copy that takes over locks the volumes itself; declined,
            // each calculator's next file takes its hold anew.
            releaseHolds("handing over");
        }
        emit handOverReady(true);
    });
}

void CUpdateWorker::resumeAfterHandOver()
{
    post([this] { heldForHandOver_ = false; });
}

void CUpdateWorker::requestStop()
{
    std::lock_guard<std::mutex> lock(callsLock_);
    stopLoop_ = true;
    callsPosted_.notify_one();
}

void CUpdateWorker::dropRelease()
{
    files_.clear();
    release_.reset();
}

// --- what the window reads ------------------------------------------------------

bool CUpdateWorker::isBusy() const
{
    return busy.load();
}

std::int32_t CUpdateWorker::countdownLeftMs() const
{
    return countdownMs.load();
}

CUpdateWorker::State CUpdateWorker::loopState() const
{
    return State(state.load());
}

std::int32_t CUpdateWorker::resultOfLastTransfer() const
{
    return lastResult.load();
}

bool CUpdateWorker::hasTransferStarted() const
{
    return transferStarted.load();
}

bool CUpdateWorker::isEndRequested() const
{
    return endRequested.load();
}

CalculatorLedger CUpdateWorker::ledger() const
{
    std::lock_guard<std::mutex> lock(ledgerLock_);
    return ledger_;
}

QString CUpdateWorker::refusingFile() const
{
    std::lock_guard<std::mutex> lock(ledgerLock_);
    return changedFile_;
}

QVector<CalculatorView> CUpdateWorker::calculatorRows() const
{
    std::lock_guard<std::mutex> lock(ledgerLock_);
    return rows_;
}

qint64 CUpdateWorker::nextFileDiskOffset() const
{
    return nextDiskOffset.load();
}

// --- the loop ----------------------------------------------------------------------

void CUpdateWorker::process()
{
    // On the suites' event clock the loop's time is its own pauses'.
    const platform::ClockParticipant takingPart;
    platform::pauseMs(kStartPauseMs);
    for (;;) {
        try {
            if (!applyCalls()) {
                awake_.reset(); // on this thread, which took it
                releaseHolds("the updater stops");
                return;
            }
            runPass();
        } catch (...) {
            // Nothing may cross the slot. The session's passes end and the
            // window is told, so that it can end the session instead of
            // staying busy.
            lastResult.store(-2);
            passesRun_ = false;
            busy.store(false);
            emit loopFailed(-2);
        }
    }
}

bool CUpdateWorker::applyCalls()
{
    for (;;) {
        std::function<void()> call;
        {
            std::unique_lock<std::mutex> lock(callsLock_);
            // With no pass to run, the worker sleeps until the window calls
            // (and only then stands aside: on the suites' event clock a
            // moment aside lets the time move).
            const auto due = [this] {
                return stopLoop_ || !calls_.empty() ||
                       ((endNotHandled_ || watchingReturns_) && passesRun_ && !heldForHandOver_);
            };
            if (!due()) {
                const platform::ClockStandAside waitingForTheWindow;
                callsPosted_.wait(lock, due);
            }
            if (calls_.empty())
                return !stopLoop_;
            call = std::move(calls_.front());
            calls_.pop_front();
        }
        call();
    }
}

void CUpdateWorker::openSession()
{
    endNotHandled_ = true;
    passesRun_ = true;
    countdownArmed_ = false;
    heldForHandOver_ = false;
    stopTaking_ = false;
    stoppedSaid_ = false;
    settleNew_ = false;
    watchingReturns_ = false;
    ticks_ = 0;
    files_.clear();
    transferStarted.store(false);
    countdownMs.store(0);
    lastResult.store(0);
    state.store(WaitingForDevice);
    endRequested.store(false);
    std::lock_guard<std::mutex> lock(sink_->lock);
    restUntil_.clear();
    sink_->cart = false;
    sink_->cartTotal = sink_->cartDone = 0;
    sink_->shown = -1;
    sink_->messagedFile = -1;
}

void CUpdateWorker::endSession()
{
    if (!endNotHandled_) {
        watchingReturns_ = false; // asked again once over: nobody is waited for any more
        return;                   // already told
    }
    endNotHandled_ = false;
    // Nothing is sent to a calculator while its file is being written.
    finishRunning();
    awake_.reset();
    if (heldForHandOver_) {
        // Told at the hand-over; another copy may be writing them by now.
        heldForHandOver_ = false;
        if (log_)
            log_->write(QStringLiteral("session ended: handed over"));
    } else {
        const std::int32_t told = endUpdateSession(kVendor, kProduct);
        if (log_)
            log_->write(told == kTransferOk ? QStringLiteral("session ended: the calculators attached were told")
                                            : QStringLiteral("session ended: no calculator attached to tell (%1)").arg(told));
    }
    // Only now: the end of the session is a write too.
    releaseHolds("the session ended");
    busy.store(false);
    emit sessionClosed();
}

void CUpdateWorker::runPass()
{
    if (stopTaking_ && !stoppedSaid_ && running_.empty()) {
        bool underWay = false;
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            for (int e = 0; e < ledger_.size(); ++e)
                underWay = underWay || (ledger_.at(e).present && ledger_.visitUnderWay(e));
        }
        if (!underWay) {
            stoppedSaid_ = true;
            emit stopped();
        }
    }
    switch (state.load()) {
    case WaitingForDevice:
        waitForDevice();
        break;
    case CountingDown:
        countDown();
        break;
    case Transferring:
        transfer();
        break;
    case RetryPause:
        platform::pauseMs(retryWaitMs_);
        state.store(WaitingForDevice);
        break;
    case Idle:
    default:
        if (watchingReturns_)
            watchForReturn();
        else
            platform::pauseMs(kIdlePauseMs);
        break;
    }
}

void CUpdateWorker::waitForDevice()
{
    ticks_ = (ticks_ + 1) % 5;
    if (endRequested.load())
        return;
    bool connected = false;
    if (transferStarted.load()) {
        // A retry that waits: who is attached is looked at whole, so that
        // each calculator's row says whether it is unplugged.
        const std::vector<std::u16string> found = findEveryCalculatorDisk(kVendor, kProduct);
        connected = !found.empty();
        attachFound(found, platform::nowMs());
        publishRows();
    } else {
        // One look at the disks: whether a calculator is there, and the rows
        // that list what was found.
        const std::vector<std::u16string> found = findEveryCalculatorDisk(kVendor, kProduct);
        connected = !found.empty();
        previewFound(found);
    }
    // A retry that waits for an absent calculator holds nothing up: the
    // window may close then. Found, the retry goes out at once.
    if (transferStarted.load())
        busy.store(connected);
    if (connected) {
        state.store(CountingDown);
        if (transferStarted.load())
            return; // a retry: straight on, no signal, no pause
        emit foundDevice();
        platform::pauseMs(kPollPauseMs);
    }
    emit waitingTicks(ticks_);
    platform::pauseMs(kPollPauseMs);
}

void CUpdateWorker::countDown()
{
    const std::int32_t left = countdownMs.load();
    if (left != 0) {
        previewFound(findEveryCalculatorDisk(kVendor, kProduct));
        const std::int32_t after = std::max(left - kCountdownStepMs, 0);
        countdownMs.store(after);
        emit waitingStart(after);
        platform::pauseMs(kCountdownPauseMs);
        return;
    }
    // The first transfer waits for the window to arm the countdown and for a
    // release; a retry goes straight on.
    if (!transferStarted.load() && (!countdownArmed_ || files_.isEmpty())) {
        platform::pauseMs(kIdlePauseMs);
        return;
    }
    // From this decision on the window may not close: a close before the
    // first write would end the program with the release not sent.
    busy.store(true);
    emit downloadActive();
    state.store(Transferring);
    platform::pauseMs(kBeforeTransferPauseMs);
}

void CUpdateWorker::transfer()
{
    if (endRequested.load())
        return; // the end's own call lets the runs under way finish
    if (files_.isEmpty()) {
        state.store(Idle); // nothing to send: never a pass that returns at once for ever
        busy.store(false);
        return;
    }
    busy.store(true);
    transferStarted.store(true);
    // A machine that sleeps in the middle of a raw write leaves calculators
    // half-written.
    if (!awake_)
        awake_ = std::make_unique<platform::AwakeHold>("Writing firmware to calculators");

    // Each calculator goes its own way: a pass records the files that ended,
    // or else looks who is attached and starts every calculator that is due
    // for its next file.
    CalculatorLedger::Outcome outcome;
    QString changed;
    if (!harvestRuns(outcome)) {
        // With nothing being written, a calculator not found at once is
        // looked for again (six passes), as a lone calculator always was.
        const std::vector<std::u16string> found = running_.empty() ? findEveryCalculatorDiskWithRetry(kVendor, kProduct)
                                                                   : findEveryCalculatorDisk(kVendor, kProduct);
        // One moment for the whole pass: a calculator that joins now is due
        // at it, not a moment after the pass looks who is due.
        const std::uint64_t now = platform::nowMs();
        attachFound(found, now);
        settleNew_ = station_; // the first pass takes whom the countdown found
        std::vector<int> due;
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            due = ledger_.dueCalculators(now, 1);
        }
        abandonUnplugged(outcome);
        // A release changed in its folder since it was checked is no longer
        // the one the person chose: nothing more goes out.
        if (!due.empty())
            changed = changedReleaseFile(false);
        if (changed.isEmpty())
            startDueRuns(now, outcome);
        // A calculator still in its own pause after a file (a sleep that
        // ended a little early) is as good as being written: its next file
        // comes when the pause is over, not a pass without it.
        const bool resting = std::any_of(restUntil_.begin(), restUntil_.end(),
                                         [now](const auto &rest) { return rest.second > now; });
        if (changed.isEmpty() && (!running_.empty() || resting)) {
            // Who is due but absent counts a failed attempt, as at every pass.
            {
                std::lock_guard<std::mutex> lock(ledgerLock_);
                merge(outcome, ledger_.recordRun(CalculatorLedger::Run(), {}, now));
            }
            watchSilence(now);
            publishRows();
            waitForRuns(kRunWatchMs);
            return;
        }
        if (changed.isEmpty()) {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            merge(outcome, ledger_.recordRun(CalculatorLedger::Run(), {}, now));
        }
    }

    const std::uint64_t now = platform::nowMs();
    bool allUpdated = false;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        allUpdated = ledger_.allUpdated();
    }
    // "Done" only over the bytes the person chose: they are read again (the
    // station, which is never done, reads them for each calculator).
    if (allUpdated && changed.isEmpty() && !station_)
        changed = changedReleaseFile(true);
    NextStep next;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        if (!changed.isEmpty()) {
            ledger_.refuseRelease(kReleaseChanged, now);
            changedFile_ = changed;
        }
        next = decideNextStep(ledger_, outcome, now);
        if (station_ && (next.kind == NextStep::Done || next.kind == NextStep::GiveUp)) {
            // The station is never over: it waits for the next calculator.
            next.kind = NextStep::Retry;
            next.waitMs = kPollPauseMs;
        }
        next.changedFile = changed.toStdU16String();
        if (next.file >= 0 && next.file < files_.size()) {
            const CUpdateFile &file = files_[next.file];
            next.filePath = file.chosenPath().toStdU16String();
        }
    }
    if (!changed.isEmpty() && log_)
        log_->write(QStringLiteral("the release was refused: %1 changed in its folder after it was checked").arg(changed));
    publishRows();
    lastResult.store(next.result);
    // While other calculators are being written the passes go on: the rule's
    // pause or next file is theirs to take, each in its turn.
    if (running_.empty()) {
        switch (next.kind) {
        case NextStep::SendFile:
            nextDiskOffset.store(files_[next.file].diskOffset);
            state.store(Transferring);
            break;
        case NextStep::Retry:
            retryWaitMs_ = next.waitMs;
            state.store(RetryPause);
            break;
        case NextStep::Done:
        case NextStep::GiveUp:
            state.store(Idle);
            awake_.reset();
            if (next.kind == NextStep::GiveUp) {
                // A calculator given up may still be plugged in again and
                // taken up: the worker watches for it until the session ends.
                std::lock_guard<std::mutex> lock(ledgerLock_);
                for (int e = 0; e < ledger_.size(); ++e)
                    watchingReturns_ = watchingReturns_ || ledger_.mayReturn(e);
            }
            break;
        }
    }
    emit updaterRan(next);
    emit downloadInactive();
    // The pause after a transfer is each calculator's own: with others being
    // written, the worker goes on watching them, and this one's next file
    // waits for its own pause (restUntil_).
    if (running_.empty()) {
        // Until the first calculator's own pause is over (the whole pause
        // when one ended just now, or when none did).
        std::uint64_t pause = kAfterTransferPauseMs;
        const std::uint64_t at = platform::nowMs();
        for (const auto &rest : restUntil_)
            if (rest.second > at)
                pause = std::min<std::uint64_t>(pause, rest.second - at);
        platform::pauseMs(std::uint32_t(pause));
    }
}

void CUpdateWorker::attachFound(const std::vector<std::u16string> &found, std::uint64_t nowMs)
{
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        std::vector<bool> wasPresent; // for the log only
        for (int e = 0; log_ && e < ledger_.size(); ++e)
            wasPresent.push_back(ledger_.at(e).present);
        const int met = ledger_.size();
        ledger_.attach(found, nowMs, settleNew_ ? kStationSettleMs : 0);
        if (log_)
            logDiscovery(found, wasPresent);
        // The cart's bar counts every file of each calculator met.
        std::lock_guard<std::mutex> sinkLock(sink_->lock);
        for (int e = met; e < ledger_.size(); ++e)
            for (const CUpdateFile &file : files_)
                sink_->cartTotal += file.size;
        sink_->cart = ledger_.size() > 1;
    }
    dropGoneHolds(found);
}

bool CUpdateWorker::harvestRuns(CalculatorLedger::Outcome &outcome)
{
    for (auto it = abandoned_.begin(); it != abandoned_.end();)
        it = (*it)->run->finished() ? abandoned_.erase(it) : it + 1;
    bool any = false;
    // The runs over at this moment; one that ends meanwhile waits for the
    // next pass, so that one reading of the release again (the station's)
    // comes after the end of every visit it closes here.
    std::vector<bool> over;
    for (const auto &run : running_)
        over.push_back(run->run->finished());
    std::optional<QString> readAgain;
    std::size_t index = 0;
    for (auto it = running_.begin(); it != running_.end(); ++index) {
        const std::shared_ptr<PipelineRun> run = *it;
        if (!over[index]) {
            ++it;
            continue;
        }
        it = running_.erase(it);
        any = true;
        const TransferReport report = run->run->report();
        // A run refused before its calculator (a source it cannot use)
        // gives its own code.
        std::int32_t code = run->run->result() == kTransferOk ? kNoCalculatorFound : run->run->result();
        std::uint32_t systemError = 0;
        if (!report.calculators.empty() && report.calculators[0].result != kCalculatorLeftOut) {
            code = report.calculators[0].result;
            systemError = report.calculators[0].systemError;
        }
        if (log_)
            logRun(run->entry, run->file, report);
        const std::uint64_t now = platform::nowMs();
        recordEnd(*run, code, systemError, now, outcome);
        if (station_ && code == kTransferOk) {
            bool updated = false;
            {
                std::lock_guard<std::mutex> lock(ledgerLock_);
                updated = ledger_.at(run->entry).status == CalculatorLedger::Status::Updated;
            }
            if (updated)
                closeVisit(run->entry, run->path, readAgain);
        }
        // Unplugged under its write (perhaps back already, unseen by any
        // discovery): the volumes held went with it, and the system mounts
        // them afresh; the calculator is held anew before its next write.
        if (code != kTransferOk && (systemError == platform::namedSystemError("gone") ||
                                    platform::errorKind(systemError) == platform::ErrorKind::Gone))
            releaseHold(run->path, "unplugged");
        {
            // A file that went through counts whole; one that failed is to be
            // written again.
            std::lock_guard<std::mutex> lock(sink_->lock);
            (code == kTransferOk ? sink_->cartDone : sink_->cartTotal) += run->bytes;
        }
        restUntil_[run->entry] = now + kAfterTransferPauseMs;
    }
    return any;
}

void CUpdateWorker::startDueRuns(std::uint64_t nowMs, CalculatorLedger::Outcome &outcome)
{
    // Who may start, the one that has waited longest first: with 16 being
    // written, a calculator that waits for a place goes before those that
    // have just ended a file (and rested), else it could wait for all of
    // them to finish the release.
    std::vector<std::pair<std::uint64_t, int>> ready; // since when, entry
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        for (const int entry : ledger_.dueCalculators(nowMs, ledger_.size())) {
            if (stopTaking_ && !ledger_.visitUnderWay(entry))
                continue; // stopped: only visits under way go on
            const auto rest = restUntil_.find(entry);
            const std::uint64_t restEnd = rest == restUntil_.end() ? 0 : rest->second;
            if (restEnd <= nowMs)
                ready.emplace_back(std::max(ledger_.at(entry).dueMs, restEnd), entry);
        }
    }
    std::stable_sort(ready.begin(), ready.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &waiting : ready) {
        if (int(running_.size()) >= CalculatorLedger::kGroupSize)
            break;
        const int entry = waiting.second;
        std::u16string path;
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            path = ledger_.at(entry).path;
        }
        if (!holdVolumesOf(entry, path, nowMs, outcome))
            continue; // nothing goes to it: the attempt failed
        auto run = std::make_shared<PipelineRun>();
        run->sink = sink_;
        run->entry = entry;
        run->lastNewsMs.store(nowMs);
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            run->file = ledger_.firstMissing(entry);
            run->path = ledger_.at(entry).path;
            ledger_.startWriting(entry, nowMs);
        }
        // The whole path goes to the engine, which refuses one that does not
        // fit its buffers (105); cutting it here could name another file.
        // The copy is sent; the window names the original.
        const CUpdateFile &file = files_[run->file];
        run->bytes = file.size;
        nextDiskOffset.store(file.diskOffset);
        {
            std::lock_guard<std::mutex> lock(sink_->lock);
            sink_->running.push_back(run.get());
        }
        const std::u16string source = file.path.toStdU16String();
        const std::u16string shown = file.chosenPath().toStdU16String();
        TransferCallbacks callbacks;
        callbacks.context = run.get();
        callbacks.progress = onRunProgress;
        callbacks.calculatorProgress = onCalculatorProgress;
        callbacks.message = onMessage;
        callbacks.written = onWritten;
        callbacks.finished = onRunFinished;
        callbacks.keepAlive = run;
        run->run = TransferRun::start({run->path}, source.c_str(), file.diskOffset, callbacks, shown.c_str());
        running_.push_back(run);
        // A run that could not start is over already, and says so to nobody.
        if (run->run->finished())
            sink_->waker.wake();
    }
}

void CUpdateWorker::abandonUnplugged(CalculatorLedger::Outcome &outcome)
{
    // A calculator unplugged while its write has said nothing for a while:
    // the system may never give that write back. The calculator counts as
    // absent at its turn; its run is let go and ends on its own, or never.
    const std::uint64_t now = platform::nowMs();
    for (auto it = running_.begin(); it != running_.end();) {
        const std::shared_ptr<PipelineRun> run = *it;
        bool gone = false;
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            gone = !ledger_.at(run->entry).present;
        }
        if (!gone || now - run->lastNewsMs.load() < kSilentMs || run->run->finished()) {
            ++it;
            continue;
        }
        it = running_.erase(it);
        abandoned_.push_back(run);
        if (log_)
            log_->write(QStringLiteral("calculator %1 unplugged while its write did not return: let go")
                            .arg(QString::fromStdU16String(ledger_.identity(run->entry))));
        recordEnd(*run, kNoCalculatorFound, 0, now, outcome);
    }
}

void CUpdateWorker::recordEnd(const PipelineRun &run, std::int32_t code, std::uint32_t systemError,
                              std::uint64_t nowMs, CalculatorLedger::Outcome &outcome)
{
    CalculatorLedger::Run one;
    one.file = run.file;
    one.entries = {run.entry};
    one.paths = {run.path};
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        merge(outcome, ledger_.recordRun(one, {code}, nowMs, {systemError}));
    }
    std::lock_guard<std::mutex> lock(sink_->lock);
    sink_->running.erase(std::remove(sink_->running.begin(), sink_->running.end(), &run), sink_->running.end());
}

void CUpdateWorker::watchSilence(std::uint64_t nowMs)
{
    for (const std::shared_ptr<PipelineRun> &run : running_) {
        const std::uint64_t silent = nowMs - std::min(nowMs, run->lastNewsMs.load());
        if (silent < kSilentMs) {
            run->silentLoggedS = 0;
            continue;
        }
        if (log_ && run->silentLoggedS == 0)
            log_->write(QStringLiteral("calculator %1 not answering for %2 s (file %3)")
                            .arg(QString::fromStdU16String(ledger_.identity(run->entry)))
                            .arg(silent / 1000)
                            .arg(files_[run->file].name));
        run->silentLoggedS = int(silent / 1000);
    }
}

void CUpdateWorker::waitForRuns(std::uint32_t atMostMs)
{
    std::uint64_t wait = atMostMs;
    if (int(running_.size()) < CalculatorLedger::kGroupSize) {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        const std::uint64_t now = platform::nowMs();
        const std::uint64_t due = ledger_.nextDueMs();
        if (due > now)
            wait = std::min<std::uint64_t>(wait, due - now);
        for (const auto &rest : restUntil_)
            if (rest.second > now)
                wait = std::min<std::uint64_t>(wait, rest.second - now);
    }
    platform::pauseMsUnless(std::uint32_t(wait), sink_->waker);
}

void CUpdateWorker::finishRunning()
{
    while (!running_.empty()) {
        CalculatorLedger::Outcome outcome;
        harvestRuns(outcome);
        if (running_.empty())
            break;
        const std::vector<std::u16string> found = findEveryCalculatorDisk(kVendor, kProduct);
        attachFound(found, platform::nowMs());
        abandonUnplugged(outcome);
        watchSilence(platform::nowMs());
        publishRows();
        if (!running_.empty())
            waitForRuns(kRunWatchMs);
    }
    publishRows();
}

QString CUpdateWorker::changedReleaseFile(bool thorough) const
{
    return release_ ? release_->changedFile(thorough) : QString();
}

namespace {

// The row's state is the ledger's status, in the window's words.
CalculatorView::State viewState(CalculatorLedger::Status status)
{
    switch (status) {
    case CalculatorLedger::Status::Waiting:
        return CalculatorView::Waiting;
    case CalculatorLedger::Status::Writing:
        return CalculatorView::Writing;
    case CalculatorLedger::Status::RetryPause:
        return CalculatorView::Retrying;
    case CalculatorLedger::Status::Updated:
        return CalculatorView::Updated;
    case CalculatorLedger::Status::GivenUp:
        return CalculatorView::GivenUp;
    case CalculatorLedger::Status::Gone:
        return CalculatorView::Unplugged;
    }
    return CalculatorView::Waiting;
}

} // namespace

QVector<CalculatorView> CUpdateWorker::rowsOf(const CalculatorLedger &ledger) const
{
    QVector<CalculatorView> rows;
    const std::uint64_t now = platform::nowMs();
    for (int e = 0; e < ledger.size(); ++e) {
        const CalculatorLedger::Calculator &calculator = ledger.at(e);
        CalculatorView row;
        row.identity = QString::fromStdU16String(ledger.identity(e));
        row.files = ledger.fileCount();
        row.held = ledger.heldCount(e);
        row.code = calculator.lastCode;
        row.systemError = calculator.lastSystemError;
        row.detail = QString::fromStdU16String(calculator.lastDetail);
        row.seconds = calculator.runs > 0 ? double(calculator.lastSentMs - calculator.firstSentMs) / 1000.0 : 0.0;
        row.state = viewState(calculator.status);
        row.file = row.state == CalculatorView::Writing ? calculator.writingFile : ledger.firstMissing(e);
        row.attached = calculator.present;
        row.underWay = ledger.visitUnderWay(e);
        row.visit = calculator.visit;
        row.mayReturn = ledger.mayReturn(e);
        for (const std::shared_ptr<PipelineRun> &run : running_) {
            if (run->entry != e)
                continue;
            row.percent = run->percent.load();
            const std::uint64_t silent = now - std::min(now, run->lastNewsMs.load());
            row.silentSeconds = silent >= kSilentMs ? int(silent / 1000) : 0;
        }
        rows.push_back(row);
    }
    return rows;
}

void CUpdateWorker::publishRows()
{
    QVector<CalculatorView> rows;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        rows = rowsOf(ledger_);
        if (sameRows(rows, rows_))
            return;
        rows_ = rows;
    }
    emit calculatorsChanged(rows);
}

void CUpdateWorker::previewFound(const std::vector<std::u16string> &found)
{
    if (files_.isEmpty())
        return;
    CalculatorLedger preview;
    preview.reset(int(files_.size()));
    preview.attach(found, platform::nowMs());
    QVector<CalculatorView> rows;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        rows = rowsOf(preview);
        if (sameRows(rows, rows_))
            return;
        rows_ = rows;
    }
    emit calculatorsChanged(rows);
}

void CUpdateWorker::closeVisit(int entry, const std::u16string &path, std::optional<QString> &readAgain)
{
    QString identity;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        identity = QString::fromStdU16String(ledger_.identity(entry));
    }
    // Updated only with the bytes the person chose: they are read again
    // (once for the calculators whose files ended by then, not once each).
    if (!readAgain)
        readAgain = changedReleaseFile(true);
    const QString changed = *readAgain;
    if (!changed.isEmpty()) {
        {
            std::lock_guard<std::mutex> lock(ledgerLock_);
            ledger_.refuseRelease(kReleaseChanged, platform::nowMs());
            changedFile_ = changed;
        }
        if (log_)
            log_->write(QStringLiteral("the release was refused: %1 changed in its folder after it was checked")
                            .arg(changed));
        return;
    }
    const std::int32_t told = endUpdateSessionOn({path});
    releaseHold(path, "updated");
    if (log_)
        log_->write(told == kTransferOk
                        ? QStringLiteral("calculator %1 updated: told its session ends").arg(identity)
                        : QStringLiteral("calculator %1 updated: could not be told its session ends (%2)")
                              .arg(identity)
                              .arg(told));
}

void CUpdateWorker::watchForReturn()
{
    platform::pauseMs(kPollPauseMs);
    if (endNotHandled_)
        return; // the window has not ended the session yet
    attachFound(findEveryCalculatorDisk(kVendor, kProduct), platform::nowMs());
    publishRows();
    bool resumed = false, anyMayReturn = false;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        resumed = !ledger_.allLackingGivenUp() && !ledger_.allUpdated();
        for (int e = 0; e < ledger_.size(); ++e)
            anyMayReturn = anyMayReturn || ledger_.mayReturn(e);
    }
    if (resumed) {
        // The session is open again where it ended: its next end tells the
        // calculators anew.
        watchingReturns_ = false;
        endNotHandled_ = true;
        endRequested.store(false);
        busy.store(true);
        state.store(Transferring);
        if (log_)
            log_->write(QStringLiteral("a calculator given up is back: the session goes on"));
        emit sessionResumed();
    } else if (!anyMayReturn) {
        watchingReturns_ = false;
    }
}

namespace {

QString codeText(std::int32_t code, std::uint32_t systemError)
{
    QString text = QString::number(code);
    if (systemError != 0)
        text += QStringLiteral(" (system error %1: %2)")
                    .arg(systemError)
                    .arg(QString::fromStdU16String(platform::errorText(systemError)));
    return text;
}

} // namespace

void CUpdateWorker::logDiscovery(const std::vector<std::u16string> &found, const std::vector<bool> &wasPresent)
{
    for (int e = 0; e < ledger_.size(); ++e) {
        const CalculatorLedger::Calculator &calculator = ledger_.at(e);
        const QString name = QString::fromStdU16String(ledger_.identity(e));
        const QString where = QString::fromStdU16String(calculator.path);
        if (std::size_t(e) >= wasPresent.size())
            log_->write(QStringLiteral("calculator %1 found at %2").arg(name, where));
        else if (wasPresent[std::size_t(e)] && !calculator.present)
            log_->write(QStringLiteral("calculator %1 lost").arg(name));
        else if (!wasPresent[std::size_t(e)] && calculator.present)
            log_->write(QStringLiteral("calculator %1 back at %2").arg(name, where));
    }
    if (found == lastSurveyed_)
        return;
    lastSurveyed_ = found;
    for (const SurveyedCalculatorDisk &disk : surveyCalculatorDisks(kVendor, kProduct)) {
        const QString reason = QString::fromStdString(diskSurveyReason(disk));
        if (disk.verdict != DiskVerdict::Calculator)
            log_->write(QStringLiteral("disk %1 not taken: %2").arg(QString::fromStdString(disk.disk.name), reason));
        else if (disk.disk.access == platform::DiskAccess::Denied)
            log_->write(QStringLiteral("calculator disk %1: %2").arg(QString::fromStdString(disk.disk.name), reason));
    }
}

void CUpdateWorker::logRun(int entry, int file, const TransferReport &report)
{
    log_->write(QStringLiteral("run: %1 to 1 calculator(s)").arg(files_[file].name));
    const QString name = QString::fromStdU16String(ledger_.identity(entry));
    for (const CalculatorResult &result : report.calculators) {
        if (result.result == kCalculatorLeftOut)
            continue;
        QString text = codeText(result.result, result.systemError);
        if (result.result == kSectorSizeRefused)
            text += QStringLiteral(" (its disk has sectors of %1 bytes)").arg(result.sectorSize);
        log_->write(QStringLiteral("  %1: %2").arg(name, text));
        if (result.unsupportedFlush != 0)
            log_->write(QStringLiteral("  %1: the flush is not supported (system error %2: %3); "
                                       "every write went through write-through")
                            .arg(name)
                            .arg(result.unsupportedFlush)
                            .arg(QString::fromStdU16String(platform::errorText(result.unsupportedFlush))));
    }
}

namespace {

// "E: (FAT)": a volume the system mounted, for the log.
QString volumeText(const platform::MountedVolume &volume)
{
    return QStringLiteral("%1 (%2)").arg(QString::fromStdU16String(volume.name),
                                         volume.fileSystem.empty() ? QStringLiteral("file system not told")
                                                                   : QString::fromStdU16String(volume.fileSystem));
}

} // namespace

bool CUpdateWorker::holdVolumesOf(int entry, const std::u16string &path, std::uint64_t nowMs,
                                  CalculatorLedger::Outcome &outcome)
{
    const auto held = holds_.find(path);
    if (held != holds_.end())
        return true; // since its first write
    platform::DiskSystem &disks = platform::activeDiskSystem();
    QString calculator;
    std::vector<platform::MountedVolume> volumes;
    if (log_) {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        calculator = QString::fromStdU16String(ledger_.identity(entry));
    }
    if (log_ && !disks.listVolumes(path.c_str(), &volumes)) {
        const std::uint32_t error = platform::lastError();
        log_->write(QStringLiteral("calculator %1: the volumes on its disk cannot be listed (system error %2: %3)")
                        .arg(calculator)
                        .arg(error)
                        .arg(QString::fromStdU16String(platform::errorText(error))));
    }
    platform::MountedVolume refused;
    std::unique_ptr<platform::VolumeHold> hold = disks.holdVolumes(path.c_str(), &refused);
    if (hold) {
        for (const platform::MountedVolume &volume : volumes)
            log_->write(platform::needsHold(volume.fileSystem)
                            ? QStringLiteral("calculator %1: %2 mounted on its disk, locked and dismounted until "
                                             "the end of the session").arg(calculator, volumeText(volume))
                            : QStringLiteral("calculator %1: %2 on its disk, no file system: left as it is")
                                  .arg(calculator, volumeText(volume)));
        holds_[path] = VolumesHeld{calculator, std::move(volumes), std::move(hold)};
        return true;
    }
    const std::uint32_t error = platform::lastError();
    if (refused.name.empty()) {
        // No volume refused: the calculator went, or the system could not
        // say. Nothing is blamed on a drive; its own open and writes tell
        // what is wrong, and its next file asks for the hold again.
        if (log_)
            log_->write(QStringLiteral("calculator %1: its volumes could not be held (system error %2: %3); "
                                       "written without")
                            .arg(calculator)
                            .arg(error)
                            .arg(QString::fromStdU16String(platform::errorText(error))));
        return true;
    }
    CalculatorLedger::Run one;
    one.entries = {entry};
    one.paths = {path};
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        one.file = ledger_.firstMissing(entry);
        merge(outcome, ledger_.recordRun(one, {kVolumeMounted}, nowMs, {error}, {refused.name}));
    }
    if (log_)
        log_->write(QStringLiteral("calculator %1 not written: %2 mounted on its disk could not be locked and "
                                   "dismounted: %3")
                        .arg(calculator, volumeText(refused), codeText(kVolumeMounted, error)));
    return false;
}

void CUpdateWorker::releaseHold(const std::u16string &path, const char *why)
{
    const auto held = holds_.find(path);
    if (held == holds_.end())
        return;
    VolumesHeld released = std::move(held->second);
    holds_.erase(held);
    released.hold.reset(); // unlocked here
    if (!log_)
        return;
    for (const platform::MountedVolume &volume : released.volumes)
        if (platform::needsHold(volume.fileSystem))
            log_->write(QStringLiteral("calculator %1: %2 released (%3)")
                            .arg(released.calculator, volumeText(volume), QString::fromLatin1(why)));
}

void CUpdateWorker::releaseHolds(const char *why)
{
    while (!holds_.empty())
        releaseHold(holds_.begin()->first, why);
}

void CUpdateWorker::dropGoneHolds(const std::vector<std::u16string> &found)
{
    std::vector<std::u16string> gone;
    for (const auto &held : holds_) {
        const bool present = std::find(found.begin(), found.end(), held.first) != found.end();
        const bool writing = std::any_of(running_.begin(), running_.end(),
                                         [&held](const auto &run) { return run->path == held.first; });
        if (!present && !writing)
            gone.push_back(held.first);
    }
    for (const std::u16string &path : gone)
        releaseHold(path, "unplugged");
}
