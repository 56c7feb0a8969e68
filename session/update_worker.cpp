#include "session/update_worker.h"

#include "common/calculator_model.h"
#include "platform/clock.h"
#include "session/session_rules.h"
#include "session/transfer_reports.h"
#include "transport/transfer_engine.h"

#include <algorithm>

using calculator_model::kProduct;
using calculator_model::kVendor;
using namespace session_rules;

void reportProgress(std::int32_t percent)
{
    if (TransferReports *reports = gTransferReports.load(std::memory_order_acquire))
        reports->emitUpdateProgress(percent);
}

void reportMessage(const char16_t *text)
{
    // The text lives in the transfer thread's buffer, which may be gone when
    // the window's slot runs: the signal carries a copy made here.
    if (TransferReports *reports = gTransferReports.load(std::memory_order_acquire))
        reports->emitUpdateMessage(QString::fromUtf16(text));
}

CUpdateWorker::CUpdateWorker() : QObject(nullptr)
{
    qRegisterMetaType<NextStep>();
}

CUpdateWorker::~CUpdateWorker() = default;

// --- the window's calls ----------------------------------------------------------

void CUpdateWorker::post(std::function<void()> call)
{
    std::lock_guard<std::mutex> lock(callsLock_);
    calls_.push_back(std::move(call));
    callsPosted_.notify_one();
}

void CUpdateWorker::beginRelease(const QVector<CUpdateFile> &files)
{
    post([this, files] {
        if (!sessionOpen_)
            openSession();
        else if (transferStarted.load())
            return; // never a new release under a running update
        files_ = files;
        currentFile_ = 0;
        failures_ = 0;
        nextDiskOffset.store(files_.isEmpty() ? 0 : files_.first().diskOffset);
        std::lock_guard<std::mutex> lock(ledgerLock_);
        ledger_.reset(int(files_.size()));
    });
}

void CUpdateWorker::armCountdown()
{
    post([this] {
        if (!sessionOpen_ || countdownArmed_ || transferStarted.load())
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

void CUpdateWorker::requestStop()
{
    std::lock_guard<std::mutex> lock(callsLock_);
    stopLoop_ = true;
    callsPosted_.notify_one();
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

qint64 CUpdateWorker::currentDiskOffset() const
{
    return nextDiskOffset.load();
}

// --- the loop ----------------------------------------------------------------------

void CUpdateWorker::process()
{
    platform::pauseMs(kStartPauseMs);
    for (;;) {
        try {
            if (!applyCalls())
                return;
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
            // With no pass to run, the worker sleeps until the window calls.
            callsPosted_.wait(lock, [this] { return stopLoop_ || !calls_.empty() || (sessionOpen_ && passesRun_); });
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
    sessionOpen_ = true;
    passesRun_ = true;
    countdownArmed_ = false;
    ticks_ = 0;
    failures_ = 0;
    files_.clear();
    currentFile_ = 0;
    transferStarted.store(false);
    countdownMs.store(0);
    lastResult.store(0);
    state.store(WaitingForDevice);
    endRequested.store(false);
}

void CUpdateWorker::endSession()
{
    if (!sessionOpen_)
        return; // already told
    sessionOpen_ = false;
    endUpdateSession(kVendor, kProduct);
    busy.store(false);
    emit sessionClosed();
}

void CUpdateWorker::runPass()
{
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
        platform::pauseMs(kRetryPauseMs);
        state.store(WaitingForDevice);
        break;
    case Idle:
    default:
        platform::pauseMs(kIdlePauseMs);
        break;
    }
}

void CUpdateWorker::waitForDevice()
{
    ticks_ = (ticks_ + 1) % 5;
    if (endRequested.load())
        return;
    const bool connected = isCalculatorConnected(kVendor, kProduct);
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
        countdownMs.store(std::max(left - kCountdownStepMs, 0));
        emit waitingStart();
        platform::pauseMs(kCountdownPauseMs);
        return;
    }
    // The first transfer waits for the window to arm the countdown and for a
    // release; a retry goes straight on.
    if (!transferStarted.load() && (!countdownArmed_ || files_.isEmpty())) {
        platform::pauseMs(kIdlePauseMs);
        return;
    }
    emit downloadActive();
    state.store(Transferring);
    platform::pauseMs(kBeforeTransferPauseMs);
}

void CUpdateWorker::transfer()
{
    if (endRequested.load())
        return;
    if (currentFile_ < 0 || currentFile_ >= files_.size()) {
        state.store(Idle); // nothing to send: never a pass that returns at once for ever
        return;
    }
    busy.store(true);
    transferStarted.store(true);
    const int file = currentFile_;
    // The whole path goes to the engine, which refuses one that does not fit
    // its buffers (105); cutting it here could name another file.
    const std::u16string source = files_[file].path.toStdU16String();

    // Only the calculators that lack this file and hold every earlier one are
    // sent it (the ledger is written on this thread only: read without lock).
    struct Targets {
        const CalculatorLedger &ledger;
        int file;
        static bool wanted(const char16_t *identity, void *context)
        {
            const auto *targets = static_cast<const Targets *>(context);
            return targets->ledger.wants(identity, targets->file);
        }
    } targets{ledger_, file};
    TransferReport report;
    const std::int32_t run = runFirmwareTransfer(kVendor, kProduct, source.c_str(), files_[file].diskOffset,
                                                 reportProgress, reportMessage, &Targets::wanted, &targets, &report);
    NextStep next;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        next = decideNextStep(ledger_, file, run, report, failures_);
    }
    lastResult.store(next.result);
    failures_ = next.kind == NextStep::Retry ? next.failures : 0;
    switch (next.kind) {
    case NextStep::SendFile:
        currentFile_ = next.file;
        nextDiskOffset.store(files_[next.file].diskOffset);
        state.store(Transferring);
        break;
    case NextStep::Retry:
        state.store(RetryPause);
        break;
    case NextStep::Done:
    case NextStep::GiveUp:
        state.store(Idle);
        break;
    }
    emit updaterRan(next.result, next);
    emit downloadInactive();
    platform::pauseMs(kAfterTransferPauseMs);
}
