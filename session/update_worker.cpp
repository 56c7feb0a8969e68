#include "session/update_worker.h"

#include "common/calculator_model.h"
#include "platform/clock.h"
#include "platform/disk_system.h"
#include "platform/keep_awake.h"
#include "session/session_log.h"
#include "session/session_rules.h"
#include "session/transfer_reports.h"
#include "transport/transfer_engine.h"

#include <algorithm>

using calculator_model::kProduct;
using calculator_model::kVendor;
using namespace session_rules;

namespace {

// The bar over the groups of one file: a file that goes out in several runs
// (more calculators than the device table holds) fills the bar once, each
// run its share, and the bar never goes back within it. Set by the worker
// before each run, read by the transfer threads' reports.
struct ProgressRound {
    std::atomic<int> done{0};  // calculators of the file sent in the round's earlier runs
    std::atomic<int> inRun{1}; // calculators of this run
    std::atomic<int> total{1}; // calculators of the round
    std::atomic<int> shown{-1}; // the last value passed on; -1: none yet in this round
} gRound;

// Each calculator's row in the view, by its place in the run (set before the
// run, only read while it lasts).
std::vector<int> gRunRows;

} // namespace

void reportProgress(std::int32_t percent)
{
    const int total = std::max(gRound.total.load(), 1);
    const int value = int((std::int64_t(gRound.done.load()) * 100 + std::int64_t(percent) * gRound.inRun.load()) / total);
    // The engine's reports of one run come one at a time; a later group
    // never takes the bar below what an earlier one reached.
    if (value <= gRound.shown.load() && gRound.shown.load() >= 0)
        return;
    gRound.shown.store(value);
    if (TransferReports *reports = gTransferReports.load(std::memory_order_acquire))
        reports->emitUpdateProgress(value);
}

void reportCalculatorProgress(int index, std::int32_t percent)
{
    if (index < 0 || std::size_t(index) >= gRunRows.size())
        return;
    if (TransferReports *reports = gTransferReports.load(std::memory_order_acquire))
        reports->emitCalculatorProgress(gRunRows[std::size_t(index)], percent);
}

void reportMessage(const char16_t *text)
{
    // The text lives in the transfer thread's buffer, which may be gone when
    // the window's slot runs: the signal carries a copy made here.
    if (TransferReports *reports = gTransferReports.load(std::memory_order_acquire))
        reports->emitUpdateMessage(QString::fromUtf16(text));
}

namespace {

bool sameRows(const QVector<CalculatorView> &a, const QVector<CalculatorView> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const CalculatorView &x, const CalculatorView &y) {
        return x.identity == y.identity && x.state == y.state && x.file == y.file && x.files == y.files &&
               x.code == y.code && x.systemError == y.systemError && x.held == y.held && x.seconds == y.seconds;
    });
}

} // namespace

CUpdateWorker::CUpdateWorker() : QObject(nullptr)
{
    qRegisterMetaType<NextStep>();
    qRegisterMetaType<CalculatorView>();
    qRegisterMetaType<QVector<CalculatorView>>();
}

CUpdateWorker::~CUpdateWorker() = default;

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
        currentFile_ = 0;
        preferFile_ = -1;
        nextDiskOffset.store(files_.isEmpty() ? 0 : files_.first().diskOffset);
        std::lock_guard<std::mutex> lock(ledgerLock_);
        ledger_.reset(int(files_.size()));
        rows_.clear();
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
    platform::pauseMs(kStartPauseMs);
    for (;;) {
        try {
            if (!applyCalls()) {
                awake_.reset(); // on this thread, which took it
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
            // With no pass to run, the worker sleeps until the window calls.
            callsPosted_.wait(lock, [this] { return stopLoop_ || !calls_.empty() || (endNotHandled_ && passesRun_); });
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
    ticks_ = 0;
    preferFile_ = -1;
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
    if (!endNotHandled_)
        return; // already told
    endNotHandled_ = false;
    awake_.reset();
    const std::int32_t told = endUpdateSession(kVendor, kProduct);
    if (log_)
        log_->write(told == kTransferOk ? QStringLiteral("session ended: the calculators attached were told")
                                        : QStringLiteral("session ended: no calculator attached to tell (%1)").arg(told));
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
        platform::pauseMs(retryWaitMs_);
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
        return;
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

    // Who is attached now, and who is due for which file: the calculators
    // that lack the same next file, and whose turn it is, go out together.
    const std::vector<std::u16string> found = findEveryCalculatorDiskWithRetry(kVendor, kProduct);
    CalculatorLedger::Run run;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        std::vector<bool> wasPresent; // for the log only
        for (int e = 0; log_ && e < ledger_.size(); ++e)
            wasPresent.push_back(ledger_.at(e).present);
        ledger_.attach(found, platform::nowMs());
        run = ledger_.nextRun(platform::nowMs(), preferFile_);
        if (log_)
            logDiscovery(found, wasPresent);
    }
    // A release changed in its folder since it was checked is no longer the
    // one the person chose: nothing more goes out.
    QString changed = run.file >= 0 ? changedReleaseFile(false) : QString();
    publishRows(changed.isEmpty() ? run : CalculatorLedger::Run());
    std::vector<std::int32_t> results;
    std::vector<std::uint32_t> systemErrors;
    if (changed.isEmpty() && run.file >= 0) {
        currentFile_ = run.file;
        nextDiskOffset.store(files_[run.file].diskOffset);
        // A later group of the same file goes on filling the bar.
        if (preferFile_ == run.file) {
            gRound.done.store(gRound.done.load() + gRound.inRun.load());
        } else {
            gRound.done.store(0);
            gRound.total.store(int(run.entries.size()) + run.waiting);
            gRound.shown.store(-1);
        }
        gRound.inRun.store(int(run.entries.size()));
        gRunRows = run.entries;
        // The whole path goes to the engine, which refuses one that does not
        // fit its buffers (105); cutting it here could name another file.
        // The copy is sent; the window names the original.
        const CUpdateFile &file = files_[run.file];
        const std::u16string source = file.path.toStdU16String();
        const std::u16string shown = (file.sourcePath.isEmpty() ? file.path : file.sourcePath).toStdU16String();
        TransferReport report;
        const std::int32_t code =
            runFirmwareTransferTo(run.paths, source.c_str(), file.diskOffset, reportProgress, reportMessage,
                                  reportCalculatorProgress, &report, shown.c_str());
        for (const CalculatorResult &calculator : report.calculators) {
            results.push_back(calculator.result);
            systemErrors.push_back(calculator.systemError);
        }
        if (log_)
            logRun(run, report);
        // A run refused before any calculator (a source it cannot use) gives
        // its code to every one of them.
        results.resize(run.entries.size(), code == kTransferOk ? kNoCalculatorFound : code);
    }

    const std::uint64_t now = platform::nowMs();
    CalculatorLedger::Outcome outcome;
    bool allUpdated = false;
    if (changed.isEmpty()) {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        outcome = ledger_.recordRun(run, results, now, systemErrors);
        allUpdated = ledger_.allUpdated();
    }
    // "Done" only over the bytes the person chose: they are read again.
    if (allUpdated)
        changed = changedReleaseFile(true);
    NextStep next;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        if (!changed.isEmpty()) {
            ledger_.refuseRelease(kReleaseChanged, now);
            changedFile_ = changed;
        }
        preferFile_ = run.waiting > 0 ? run.file : -1;
        next = decideNextStep(ledger_, outcome, now, preferFile_);
        next.changedFile = changed.toStdU16String();
    }
    if (!changed.isEmpty() && log_)
        log_->write(QStringLiteral("the release was refused: %1 changed in its folder after it was checked").arg(changed));
    publishRows(CalculatorLedger::Run());
    lastResult.store(next.result);
    switch (next.kind) {
    case NextStep::SendFile:
        currentFile_ = next.file;
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
        break;
    }
    emit updaterRan(next);
    emit downloadInactive();
    platform::pauseMs(kAfterTransferPauseMs);
}

QString CUpdateWorker::changedReleaseFile(bool thorough) const
{
    return release_ ? release_->changedFile(thorough) : QString();
}

void CUpdateWorker::publishRows(const CalculatorLedger::Run &writing)
{
    QVector<CalculatorView> rows;
    {
        std::lock_guard<std::mutex> lock(ledgerLock_);
        for (int e = 0; e < ledger_.size(); ++e) {
            const CalculatorLedger::Calculator &calculator = ledger_.at(e);
            CalculatorView row;
            row.identity = QString::fromStdU16String(ledger_.identity(e));
            row.files = ledger_.fileCount();
            row.held = ledger_.heldCount(e);
            row.code = calculator.lastCode;
            row.systemError = calculator.lastSystemError;
            row.seconds = calculator.sent ? double(calculator.lastSentMs - calculator.firstSentMs) / 1000.0 : 0.0;
            if (ledger_.holdsRelease(e))
                row.state = CalculatorView::Updated;
            else if (calculator.givenUp)
                row.state = CalculatorView::GivenUp;
            else if (std::find(writing.entries.begin(), writing.entries.end(), e) != writing.entries.end())
                row.state = CalculatorView::Writing;
            else if (!calculator.present)
                row.state = CalculatorView::Unplugged;
            else if (calculator.failures > 0)
                row.state = CalculatorView::Retrying;
            else
                row.state = CalculatorView::Waiting;
            row.file = row.state == CalculatorView::Writing ? writing.file : ledger_.firstMissing(e);
            rows.push_back(row);
        }
        if (sameRows(rows, rows_))
            return;
        rows_ = rows;
    }
    emit calculatorsChanged(rows);
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

void CUpdateWorker::logRun(const CalculatorLedger::Run &run, const TransferReport &report)
{
    log_->write(QStringLiteral("run: %1 to %2 calculator(s)").arg(files_[run.file].name).arg(run.entries.size()));
    for (std::size_t k = 0; k < run.entries.size() && k < report.calculators.size(); ++k) {
        const CalculatorResult &result = report.calculators[k];
        if (result.result == kCalculatorLeftOut)
            continue;
        log_->write(QStringLiteral("  %1: %2")
                        .arg(QString::fromStdU16String(ledger_.identity(run.entries[k])),
                             codeText(result.result, result.systemError)));
    }
}
