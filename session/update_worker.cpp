#include "session/update_worker.h"

#include "common/calculator_model.h"
#include "platform/clock.h"
#include "session/dialog_state.h"
#include "session/session_rules.h"
#include "transport/transfer_engine.h"

#include <mutex>

using calculator_model::kProduct;
using calculator_model::kVendor;
using namespace session_rules;

namespace {

DialogSharedState *dialog()
{
    return gDialogState.load(std::memory_order_acquire);
}

} // namespace

void reportProgress(std::int32_t percent)
{
    if (DialogSharedState *shared = dialog())
        shared->emitUpdateProgress(percent);
}

void reportMessage(const char16_t *text)
{
    // The text lives in the transfer thread's buffer, which may be gone when
    // the dialog's slot runs: the signal carries a copy made here.
    if (DialogSharedState *shared = dialog())
        shared->emitUpdateMessage(QString::fromUtf16(text));
}

CUpdateWorker::CUpdateWorker() : QObject(nullptr) {}

CUpdateWorker::~CUpdateWorker() = default;

void CUpdateWorker::selectSource(const QString &path, qint64 offset, int file)
{
    std::lock_guard<std::mutex> lock(sourceLock_);
    sourcePath = path;
    diskOffset = offset;
    sourceFile = file;
}

void CUpdateWorker::beginRelease(int fileCount)
{
    std::lock_guard<std::mutex> lock(ledgerLock_);
    ledger_.reset(fileCount);
}

CalculatorLedger CUpdateWorker::ledger() const
{
    std::lock_guard<std::mutex> lock(ledgerLock_);
    return ledger_;
}

QString CUpdateWorker::currentSourcePath() const
{
    std::lock_guard<std::mutex> lock(sourceLock_);
    return sourcePath;
}

qint64 CUpdateWorker::currentDiskOffset() const
{
    std::lock_guard<std::mutex> lock(sourceLock_);
    return diskOffset;
}

void CUpdateWorker::process()
{
    platform::pauseMs(kStartPauseMs);
    bool failed = false;
    while (!stopRequested.load()) {
        try {
            runPass();
        } catch (...) {
            // Nothing may cross the slot; the loop ends and the window is
            // told, so that it can end the session instead of staying busy.
            lastResult.store(-2);
            failed = true;
            break;
        }
    }
    loopActive.store(false, std::memory_order_release);
    if (failed)
        emit loopFailed(-2);
}

bool CUpdateWorker::restartLoop()
{
    if (loopActive.load(std::memory_order_acquire))
        return false;
    state.store(WaitingForDevice);
    transferStarted.store(false);
    countdownSeen_.store(false);
    ticks.store(0);
    retryCount.store(0);
    lastResult.store(0);
    stopRequested.store(false);
    loopActive.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(this, &CUpdateWorker::process, Qt::QueuedConnection);
    return true;
}

std::int32_t CUpdateWorker::countFailedAttempt()
{
    return retryCount.fetch_add(1);
}

void CUpdateWorker::sendSelectedFile()
{
    retryCount.store(0);
    state.store(Transferring);
}

void CUpdateWorker::requestStop()
{
    stopRequested.store(true);
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

bool CUpdateWorker::isStopRequested() const
{
    return stopRequested.load();
}

bool CUpdateWorker::isLoopActive() const
{
    return loopActive.load(std::memory_order_acquire);
}

void CUpdateWorker::countdownShown()
{
    countdownSeen_.store(true);
}

void CUpdateWorker::requestEndOfSession()
{
    stopRequested.store(true);
    // Queued behind process() when the loop still runs on the worker's
    // thread, so it follows the loop's end; the transport lock keeps it
    // apart from a transport call in any case.
    QMetaObject::invokeMethod(this, &CUpdateWorker::endSession, Qt::QueuedConnection);
}

void CUpdateWorker::endSession()
{
    {
        std::lock_guard<std::mutex> lock(transportLock_);
        endUpdateSession(kVendor, kProduct);
    }
    emit sessionClosed();
}

void CUpdateWorker::releaseBusy()
{
    std::lock_guard<std::mutex> lock(busyLock_);
    if (transferRunning_)
        return;
    if (DialogSharedState *shared = dialog())
        shared->clearBusy();
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
    case Idle:
        platform::pauseMs(kIdlePauseMs);
        break;
    case RetryPause: {
        platform::pauseMs(kRetryPauseMs);
        // Only the pause's own state moves on: a state the dialog has set
        // meanwhile stands.
        std::int32_t expected = RetryPause;
        state.compare_exchange_strong(expected, WaitingForDevice);
        break;
    }
    default:
        platform::pauseMs(kIdlePauseMs);
        break;
    }
}

void CUpdateWorker::waitForDevice()
{
    const std::int32_t tick = (ticks.load() + 1) % 5;
    ticks.store(tick);
    bool connected = false;
    {
        std::lock_guard<std::mutex> lock(transportLock_);
        if (stopRequested.load())
            return;
        connected = isCalculatorConnected(kVendor, kProduct);
    }
    if (connected) {
        std::int32_t expected = WaitingForDevice;
        state.compare_exchange_strong(expected, CountingDown);
        if (transferStarted.load())
            return; // a retry: straight on, no signal, no pause
        emit foundDevice();
        platform::pauseMs(kPollPauseMs);
    }
    emit waitingTicks(tick);
    platform::pauseMs(kPollPauseMs);
}

void CUpdateWorker::countDown()
{
    DialogSharedState *shared = dialog();
    if (shared != nullptr && shared->countDownOneStep() != 0) {
        emit waitingStart();
        platform::pauseMs(kCountdownPauseMs);
        return;
    }
    // A countdown of 0 before the window has shown one is a countdown not
    // yet armed (the window has not taken foundDevice yet), not one that ran
    // out: the first transfer waits for it. A retry goes straight on.
    if (!transferStarted.load() && !countdownSeen_.load()) {
        platform::pauseMs(kIdlePauseMs);
        return;
    }
    emit downloadActive();
    std::int32_t expected = CountingDown;
    state.compare_exchange_strong(expected, Transferring);
    platform::pauseMs(kBeforeTransferPauseMs);
}

void CUpdateWorker::transfer()
{
    // The whole path goes to the engine, which refuses one that does not fit
    // its buffers (105); cutting it here could name another file.
    QString path;
    qint64 offset = 0;
    int file = 0;
    {
        std::lock_guard<std::mutex> lock(sourceLock_);
        path = sourcePath;
        offset = diskOffset;
        file = sourceFile;
    }
    const std::u16string source = path.toStdU16String();

    std::int32_t result;
    {
        std::unique_lock<std::mutex> transport(transportLock_);
        // A session ended meanwhile: no transfer, and busy stays as the end
        // of the session left it.
        if (stopRequested.load())
            return;
        {
            std::lock_guard<std::mutex> lock(busyLock_);
            transferRunning_ = true;
            if (DialogSharedState *shared = dialog())
                shared->markBusy();
        }
        transferStarted.store(true);
        // Whatever way the run ends (an exception too), the transfer is over.
        struct TransferOver {
            CUpdateWorker *worker;
            ~TransferOver()
            {
                std::lock_guard<std::mutex> lock(worker->busyLock_);
                worker->transferRunning_ = false;
            }
        } over{this};
        // Only the calculators that lack this file and hold every earlier one
        // are sent it; the ledger then says what the run means for the session.
        struct Targets {
            CUpdateWorker *worker;
            int file;
            static bool wanted(const char16_t *identity, void *context)
            {
                auto *targets = static_cast<Targets *>(context);
                std::lock_guard<std::mutex> lock(targets->worker->ledgerLock_);
                return targets->worker->ledger_.wants(identity, targets->file);
            }
        } targets{this, file};
        TransferReport report;
        const std::int32_t run = runFirmwareTransfer(kVendor, kProduct, source.c_str(), offset, reportProgress,
                                                     reportMessage, &Targets::wanted, &targets, &report);
        std::lock_guard<std::mutex> lock(ledgerLock_);
        result = ledger_.record(file, run, report);
    }
    lastResult.store(result);

    // The next state is stored before the dialog hears of the result, so
    // that its request for the next file (state = Transferring, made when
    // updaterRan arrives) can never be overwritten by this transfer's Idle.
    state.store(result == kTransferOk ? Idle : RetryPause);
    emit updaterRan(result);
    emit downloadInactive();
    platform::pauseMs(kAfterTransferPauseMs);
}
