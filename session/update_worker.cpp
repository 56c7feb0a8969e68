#include "session/update_worker.h"

#include "platform/clock.h"
#include "session/dialog_state.h"
#include "transport/transfer_engine.h"

#include <exception>

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";

constexpr std::uint32_t kStartPauseMs = 500;
constexpr std::uint32_t kPollPauseMs = 500;
constexpr std::uint32_t kCountdownPauseMs = 1000;
constexpr std::uint32_t kCountdownStepMs = 1000;
constexpr std::uint32_t kBeforeTransferPauseMs = 250;
constexpr std::uint32_t kAfterTransferPauseMs = 100;
constexpr std::uint32_t kIdlePauseMs = 250;
constexpr std::uint32_t kRetryPauseMs = 3000;

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

void CUpdateWorker::selectSource(const QString &path, qint64 offset)
{
    std::lock_guard<std::mutex> lock(sourceLock_);
    sourcePath = path;
    diskOffset = offset;
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
    while (!stopRequested.load()) {
        try {
            runPass();
        } catch (...) {
            // Nothing may cross the slot; the loop ends quietly.
            lastResult.store(-2);
            inTransport.store(false);
            break;
        }
    }
    loopActive.store(false, std::memory_order_release);
}

void CUpdateWorker::prepareRestart()
{
    state.store(WaitingForDevice);
    transferStarted.store(false);
    ticks.store(0);
    retryCount.store(0);
    lastResult.store(0);
    stopRequested.store(false);
    loopActive.store(true, std::memory_order_release);
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
    if (!enterTransport())
        return;
    const bool connected = isCalculatorConnected(kVendor, kProduct);
    leaveTransport();
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
    std::int32_t left = shared != nullptr ? shared->countdownMs.load() : 0;
    if (left != 0) {
        // A slot may store a new value at the same moment (Start pressed):
        // the step applies to whatever value is there, never undoing it.
        std::int32_t next;
        do {
            next = left > std::int32_t(kCountdownStepMs) ? left - std::int32_t(kCountdownStepMs) : 0;
        } while (!shared->countdownMs.compare_exchange_weak(left, next));
        emit waitingStart();
        platform::pauseMs(kCountdownPauseMs);
        return;
    }
    emit downloadActive();
    std::int32_t expected = CountingDown;
    state.compare_exchange_strong(expected, Transferring);
    platform::pauseMs(kBeforeTransferPauseMs);
}

// The stop request and inTransport are a handshake in both directions (both
// sequentially consistent): either the worker sees the request and stays out,
// or the requester sees the worker inside and waits for it to leave.
bool CUpdateWorker::enterTransport()
{
    inTransport.store(true);
    if (stopRequested.load()) {
        inTransport.store(false);
        return false;
    }
    return true;
}

void CUpdateWorker::leaveTransport()
{
    inTransport.store(false);
}

void CUpdateWorker::transfer()
{
    // A session ended meanwhile: no transfer, and busy stays as the end of
    // the session left it.
    if (!enterTransport())
        return;
    if (DialogSharedState *shared = dialog())
        shared->busy.store(true);
    transferStarted.store(true);

    // The whole path goes to the engine, which refuses one that does not fit
    // its buffers (105); cutting it here could name another file.
    QString path;
    qint64 offset = 0;
    {
        std::lock_guard<std::mutex> lock(sourceLock_);
        path = sourcePath;
        offset = diskOffset;
    }
    const std::u16string source = path.toStdU16String();
    const std::int32_t result =
        runFirmwareTransfer(kVendor, kProduct, source.c_str(), offset, reportProgress, reportMessage);
    leaveTransport();
    lastResult.store(result);

    // The next state is stored before the dialog hears of the result, so
    // that its request for the next file (state = Transferring, made when
    // updaterRan arrives) can never be overwritten by this transfer's Idle.
    state.store(result == kTransferOk ? Idle : RetryPause);
    emit updaterRan(result);
    emit downloadInactive();
    platform::pauseMs(kAfterTransferPauseMs);
}
