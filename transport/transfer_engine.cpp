#include "transport/transfer_engine_internal.h"

#include "platform/clock.h"
#include "platform/disk_system.h"
#include "platform/error_kind.h"
#include "transport/protocol_extras.h"
#include "transport/text16.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

// One run's progress as the callback sees it. Each calculator has its own
// percentage, and the bar shows the lowest: it only moves forward, and it
// shows 100 only once every calculator has the whole file (one that failed, or
// never got a thread, stays where it was, and so does the bar).
struct RunProgress {
    std::mutex mutex;                       // held across the callback (reportJobProgress)
    int slots = 0;                          // slots of the table the run covers
    bool inRun[kMaxDevices] = {};           // the slots still being written; the others never hold
                                            // the bar back (failed, or without a thread)
    std::int32_t percent[kMaxDevices] = {}; // each one's last report; 0 before the first
    std::int32_t shown = -1;                // the last value passed on; -1: none yet
    TransferCallbacks callbacks;            // the run's: every report and message goes through them
};

namespace {

constexpr std::uint32_t kSectorSize = 512;

// Copies a NUL-terminated text that is known to fit `capacity`.
void copyText(char16_t *to, int capacity, const char16_t *from)
{
    const int length = text16::length(from, capacity - 1);
    std::memcpy(to, from, static_cast<std::size_t>(length) * sizeof(char16_t));
    to[length] = 0;
}

// Puts the handle at `offset`. A failed seek gives -1, so a position below 0
// could never be told from a failure: it counts as one.
bool seekTo(platform::Handle handle, std::int64_t offset)
{
    return offset >= 0 && seekDisk(handle, offset, platform::SeekOrigin::Begin) == offset;
}

void reportJobProgress(const TransferJob *job, std::int32_t percent)
{
    RunProgress &run = *job->run;
    const TransferCallbacks &callbacks = run.callbacks;
    if (callbacks.calculatorProgress != nullptr)
        callbacks.calculatorProgress(callbacks.context, job->slot, percent);
    // The lock covers the callback: two threads passing on 40 and 81 must not
    // reach the callback in the opposite order.
    std::lock_guard<std::mutex> lock(run.mutex);
    run.percent[job->slot] = percent;
    std::int32_t slowest = percent;
    for (int slot = 0; slot < run.slots; ++slot)
        if (run.inRun[slot])
            slowest = std::min(slowest, run.percent[slot]);
    // Only a report of (one of) the slowest calculators moves the bar; with
    // one calculator that is every report.
    if (percent != slowest || percent < run.shown)
        return;
    run.shown = percent;
    if (callbacks.progress != nullptr)
        callbacks.progress(callbacks.context, percent);
}

// A calculator whose transfer failed (or never started) leaves the bar: the
// slowest of the others, when it is ahead of what was shown, is passed on.
void leaveProgress(RunProgress &run, int leaving)
{
    std::lock_guard<std::mutex> lock(run.mutex);
    run.inRun[leaving] = false;
    std::int32_t slowest = -1;
    for (int slot = 0; slot < run.slots; ++slot)
        if (run.inRun[slot] && (slowest < 0 || run.percent[slot] < slowest))
            slowest = run.percent[slot];
    // Nobody still written, or nobody reported yet: the bar stays.
    if (slowest <= run.shown || run.shown < 0)
        return;
    run.shown = slowest;
    if (run.callbacks.progress != nullptr)
        run.callbacks.progress(run.callbacks.context, slowest);
}

// What one transfer thread holds: its transfer buffer and the firmware file,
// released when transferThread returns, whichever exit it takes (the file
// closed, then the buffer freed). It also knows the disk, which the thread
// never closes, for the exits once the disk was used: settle() pauses to let
// the calculator settle, abandon() flushes the disk first.
class ThreadHoldings {
public:
    explicit ThreadHoldings(platform::Handle disk) : disk_(disk) {}
    ~ThreadHoldings()
    {
        platform::closeHandle(firmware);
        platform::freeAligned(buffer);
    }
    ThreadHoldings(const ThreadHoldings &) = delete;
    ThreadHoldings &operator=(const ThreadHoldings &) = delete;

    // An exit once the disk was used: the settle pause, then `code`.
    std::int32_t settle(std::int32_t code) const
    {
        platform::pauseMs(kSettlePauseMs);
        return code;
    }
    // A failure once the disk was used: the disk flushed, then as settle().
    // The system error stays the failure's, not the flush's.
    std::int32_t abandon(std::int32_t code) const
    {
        const std::uint32_t error = platform::lastError();
        disk_->flush();
        platform::setLastError(error);
        return settle(code);
    }

    std::uint8_t *buffer = nullptr;                 // kChunkSize bytes, sector aligned
    platform::Handle firmware = platform::kInvalidHandle; // the firmware file

private:
    platform::Handle disk_;
};

// One chunk onto the disk at `position`: up to 7 seek-and-write attempts. An
// unbuffered disk takes whole sectors only, so a last chunk that ends inside a
// sector goes out with that sector padded with zeros; nothing is written past
// the sector that holds the chunk's last byte.
bool writeChunk(platform::Handle disk, std::int64_t position, std::uint8_t *buffer, std::uint32_t n)
{
    const std::uint32_t padded = (n + kSectorSize - 1) / kSectorSize * kSectorSize;
    std::memset(buffer + n, 0, padded - n);
    for (int attempt = 0; attempt < kRawWriteAttempts; ++attempt) {
        // An attempt whose seek failed does not write: the handle could be
        // anywhere, and the chunk must land at its place or nowhere.
        if (!seekTo(disk, position))
            continue;
        std::uint32_t moved = 0;
        if (disk->write(buffer, padded, &moved) && moved == padded)
            return true;
    }
    return false;
}

} // namespace

std::int32_t transferThread(const TransferJob *job, TransferNotes *notes)
{
    // The message comes first, before anything can end the thread: every disk
    // of the run is reported, whatever its result. The thread's own copy stays
    // valid for the receiver until this thread ends.
    char16_t text[kMessageTextLength];
    copyText(text, kMessageTextLength, job->messageText);
    const TransferCallbacks &callbacks = job->run->callbacks;
    if (callbacks.message != nullptr)
        callbacks.message(callbacks.context, text);

    platform::Handle disk = job->disk;
    ThreadHoldings hold(disk);
    hold.buffer = static_cast<std::uint8_t *>(platform::allocAligned(kChunkSize));
    if (hold.buffer == nullptr)
        return kNoTransferBuffer;
    hold.firmware = platform::activeDiskSystem().openFile(job->sourcePath);
    if (hold.firmware == platform::kInvalidHandle)
        return kSourceUnopenable;
    // Reading from anywhere but the source offset would send the wrong bytes.
    if (!seekTo(hold.firmware, job->sourceOffset))
        return kSourceReadFailed;
    if (disk == platform::kInvalidHandle)
        return kDiskUnopenable;
    // A disk whose sectors are not 512 bytes takes neither the 512-byte
    // command block at byte 87040 nor chunks padded to 512 (an unbuffered
    // disk takes whole sectors only): it is refused before it is used, with
    // no system error behind it. A disk that tells no sector size (a file in
    // the suites, a driver that does not answer) is written as one of 512, as
    // always: if it is not, its writes fail.
    TransferNotes unkept;
    TransferNotes &told = notes != nullptr ? *notes : unkept;
    told.sectorSize = disk->sectorSize();
    if (told.sectorSize != 0 && told.sectorSize != kSectorSize) {
        platform::setLastError(0);
        return kSectorSizeRefused;
    }
    // A file that runs past the end of this calculator's disk would leave
    // only its first part there: refused before the disk is used. (A disk
    // whose size the system does not tell is written; its end fails the write.)
    const std::int64_t diskBytes = disk->size();
    const std::int64_t padded = (job->length + kSectorSize - 1) / kSectorSize * kSectorSize;
    if (diskBytes >= 0 && (job->diskOffset > diskBytes || padded > diskBytes - job->diskOffset))
        return kDiskTooSmall;

    // From here on the disk is used: every exit goes through hold.settle() or
    // hold.abandon().
    platform::pauseMs(kSettlePauseMs);
    openingRead(disk);
    std::int64_t writePosition = seekDisk(disk, job->diskOffset, platform::SeekOrigin::Begin);
    if (writePosition < 0)
        writePosition = job->diskOffset;
    sendProgress(disk, 0);
    platform::pauseMs(kSettlePauseMs);
    reportJobProgress(job, 0);

    // Packet mode, which the updater's own runs never use, is reached only
    // through packetModeSendChunk and packetModeCheckTransfer.
    const bool packetMode = job->mode != kRawMode;
    std::uint8_t *const buffer = hold.buffer;
    std::int64_t remaining = job->length;
    std::int64_t done = 0;
    std::int64_t fileOffset = 0;
    std::uint32_t lastPercent = 0;
    while (remaining > 0) {
        const std::uint32_t asked =
            remaining > std::int64_t(kChunkSize) ? kChunkSize : static_cast<std::uint32_t>(remaining);
        std::uint32_t n = 0;
        const bool read = hold.firmware->read(buffer, asked, &n);
        // A file that shrank since its size was taken ends the transfer: the
        // calculator must never be told it got bytes that were not sent.
        if (!read || n != asked)
            return hold.abandon(kSourceReadFailed);

        if (packetMode) {
            const std::int32_t sent = packetModeSendChunk(disk, buffer, n, fileOffset);
            if (sent != kTransferOk)
                return hold.abandon(sent);
        } else {
            if (!writeChunk(disk, writePosition, buffer, n)) {
                reportLastError(u"Write Disk File");
                return hold.abandon(kDiskWriteFailed);
            }
            writePosition += n;
            const TransferCallbacks &callbacks = job->run->callbacks;
            if (callbacks.written != nullptr)
                callbacks.written(callbacks.context, job->slot);
        }

        if (remaining > std::int64_t(kChunkSize)) {
            done += kChunkSize;
            fileOffset += kChunkSize;
            remaining -= kChunkSize;
            const auto percent =
                static_cast<std::uint32_t>(static_cast<double>(done) * 100.0 / static_cast<double>(job->length));
            if (percent > lastPercent) {
                lastPercent = percent >= 100 ? kHighestRunningPercent : percent;
                sendProgress(disk, lastPercent);
                reportJobProgress(job, static_cast<std::int32_t>(lastPercent));
            }
            continue;
        }
        if (packetMode) {
            const std::int32_t checked = packetModeCheckTransfer(disk, job->length);
            if (checked != kTransferOk)
                return hold.abandon(checked);
            sendProgress(disk, 100);
            reportJobProgress(job, 100);
        }
        break;
    }

    // The ending. A flush that fails leaves the data's arrival in doubt, which
    // is a failed write, not a success; but a device that has no flush at all
    // has nothing left to push: every write went out write-through (no
    // buffering and write-through on Windows, O_DIRECT | O_SYNC on Linux) and
    // returned only once the device had taken it. That one is told to the log.
    if (!disk->flush()) {
        const std::uint32_t error = platform::lastError();
        if (platform::errorKind(error) != platform::ErrorKind::Unsupported)
            return hold.settle(kDiskWriteFailed);
        told.unsupportedFlush = error;
    }
    platform::pauseMs(kSettlePauseMs);
    sendProgress(disk, 100);
    reportJobProgress(job, 100);
    closingRead(disk);
    return hold.settle(kTransferOk);
}

std::thread startTransferThread(std::function<void()> body)
{
    return std::thread(std::move(body));
}

void DeviceTable::fill(const std::u16string *given, int givenCount)
{
    close();
    count = std::max(0, std::min(givenCount, kMaxDevices));
    for (int slot = 0; slot < count; ++slot) {
        const std::u16string &path = given[slot];
        const bool fits = path.size() < std::size_t(kDevicePathLength);
        std::memcpy(paths[slot], path.data(), fits ? path.size() * sizeof(char16_t) : 0);
        paths[slot][fits ? path.size() : 0] = 0;
        openErrors[slot] = 0;
    }
}

int DeviceTable::open()
{
    int opened = 0;
    for (int slot = 0; slot < count; ++slot) {
        platform::closeHandle(handles[slot]); // anything an earlier open left
        platform::setLastError(0);
        handles[slot] = platform::activeDiskSystem().openDisk(paths[slot]);
        openErrors[slot] = handles[slot] == platform::kInvalidHandle ? platform::lastError() : 0;
        opened += handles[slot] != platform::kInvalidHandle;
    }
    return opened;
}

void DeviceTable::close()
{
    for (platform::Handle &handle : handles) {
        platform::closeHandle(handle); // kInvalidHandle is ignored
        // The slot is cleared so a later close can never close a handle twice.
        handle = platform::kInvalidHandle;
    }
}

namespace {

// The file's size; false when the file cannot be opened or sized.
bool querySourceSize(const char16_t *path, std::int64_t *size)
{
    platform::Handle firmware = platform::activeDiskSystem().openFile(path);
    if (firmware == platform::kInvalidHandle)
        return false;
    *size = firmware->size();
    platform::closeHandle(firmware);
    return *size >= 0;
}

} // namespace

std::int64_t sourceFileSize(const char16_t *path)
{
    std::int64_t size = 0;
    return querySourceSize(path, &size) ? size : 0;
}

namespace {

// The identity a run reports and filters by: calculatorIdentity(), or, for a
// path without an instance part, the whole path upper-cased. A found path
// always holds a '#' (the pattern has one) and an identity never does, so the
// two kinds cannot be taken for each other.
void identityOf(char16_t *identity, const char16_t *devicePath)
{
    if (calculatorIdentity(identity, kDevicePathLength, devicePath) >= 0)
        return;
    int length = 0;
    for (; length < kDevicePathLength - 1 && devicePath[length] != 0; ++length)
        identity[length] = text16::upperAscii(devicePath[length]);
    identity[length] = 0;
}

bool pathFits(const char16_t *sourcePath)
{
    return sourcePath != nullptr && text16::length(sourcePath, kSourcePathLength - 1) < kSourcePathLength - 1;
}

CalculatorResult resultFor(const std::u16string &path, std::int32_t result, std::uint32_t systemError = 0)
{
    CalculatorResult found;
    identityOf(found.identity, path.c_str());
    found.result = result;
    found.systemError = systemError;
    found.path = path;
    return found;
}

} // namespace

// Everything one run owns. What the threads write (their results and errors)
// is read only once the last of them has ended, which the mutex orders.
struct TransferRun::State {
    std::vector<std::u16string> paths;        // the list given; its first `slots` are the run
    int slots = 0;                            // calculators in the run: the list's first 16
    bool listed = true;                       // false: refused before the list was looked at,
                                              // the report stays empty
    std::int32_t refusal = kTransferOk;       // the code of a run that could not start
    DeviceTable table;                        // the run's disks, open while it goes
    TransferRequest request{};                // the run's own copy, which the jobs point into
    RunProgress progress;                     // the bar, and the callbacks
    TransferJob jobs[kMaxDevices] = {};       // one per slot
    std::int32_t results[kMaxDevices] = {};   // each slot's own code, its thread's once it ends
    std::uint32_t errors[kMaxDevices] = {};   // each slot's system error behind its failure
    TransferNotes notes[kMaxDevices];         // what each slot's thread found out, for the log

    mutable std::mutex mutex;                 // guards the three below
    std::condition_variable ended;            // notified when `finished` becomes true
    int holders = 1;                          // threads still running, and the starter until
                                              // every thread is started
    bool finished = false;                    // every thread ended, every disk closed
    std::int32_t result = kTransferUnderWay;  // the run's result once finished
};

// The engine's way into a run: making one, and starting its threads.
struct TransferRunAccess {
    static std::shared_ptr<TransferRun> make(std::unique_ptr<TransferRun::State> state)
    {
        return std::shared_ptr<TransferRun>(new TransferRun(std::move(state)));
    }

    // A run over `paths` that ends before any disk is opened: `code` for the
    // run, `each` for every calculator of it.
    static std::shared_ptr<TransferRun> refused(const std::vector<std::u16string> &paths, bool listed,
                                                std::int32_t code, std::int32_t each)
    {
        auto state = std::make_unique<TransferRun::State>();
        state->listed = listed;
        if (listed) {
            state->paths = paths;
            state->slots = int(std::min(paths.size(), std::size_t(kMaxDevices)));
        }
        state->refusal = code;
        std::fill(state->results, state->results + kMaxDevices, each);
        std::shared_ptr<TransferRun> run = make(std::move(state));
        run->release(); // no thread: the starter's hold was the last
        return run;
    }

    // One thread per slot, each holding the run. A slot whose thread could
    // not be started keeps 110 and leaves the bar.
    static void startThreads(const std::shared_ptr<TransferRun> &run, ThreadStarter starter)
    {
        TransferRun::State &state = *run->state_;
        for (int slot = 0; slot < state.slots; ++slot) {
            {
                std::lock_guard<std::mutex> lock(state.mutex);
                ++state.holders;
            }
            bool started = false;
            // On the suites' event clock the thread takes part from its
            // start: no time passes before its first step.
            auto handed = std::make_shared<platform::ClockParticipant>(platform::ClockParticipant::forNewThread());
            try {
                std::thread thread = starter([run, slot, handed] {
                    platform::ClockParticipant takingPart = std::move(*handed);
                    takingPart.adopt();
                    TransferRun::State &own = *run->state_;
                    const std::int32_t code = transferThread(&own.jobs[slot], &own.notes[slot]);
                    own.results[slot] = code;
                    if (code != kTransferOk) {
                        // The system's own reason: the open's for a disk that
                        // never opened, else the last failed call of this thread.
                        own.errors[slot] = code == kDiskUnopenable ? own.table.openErrors[slot] : platform::lastError();
                        leaveProgress(own.progress, slot);
                    }
                    run->release();
                });
                started = thread.joinable();
                if (started)
                    thread.detach();
            } catch (...) {
                // std::thread's constructor throws std::system_error when the
                // system has no thread to give and std::bad_alloc when there is
                // no memory for its state. Either way the run goes on with the
                // threads it has.
            }
            if (!started) {
                leaveProgress(state.progress, slot);
                run->release();
            }
        }
        run->release(); // the starter's hold
    }

    // startTransferRun.
    static std::shared_ptr<TransferRun> start(const std::vector<std::u16string> &paths,
                                              const TransferRequest &request, const TransferCallbacks &callbacks,
                                              ThreadStarter starter)
    {
        // A request refused as a whole gives its code to every calculator of the run.
        if (request.kind >= 3)
            return refused(paths, true, kBadRequestKind, kBadRequestKind);
        if (paths.empty())
            return refused(paths, true, kNoCalculatorFound, kNoCalculatorFound);

        auto state = std::make_unique<TransferRun::State>();
        state->paths = paths;
        state->slots = int(std::min(paths.size(), std::size_t(kMaxDevices)));
        state->request = request;
        state->request.sourcePath[kSourcePathLength - 1] = 0;
        state->request.messageText[kSourcePathLength - 1] = 0;
        state->table.fill(paths.data(), state->slots);
        state->table.open();
        // Every slot of the run is known before the first thread reports: a
        // calculator whose thread starts late must still hold the bar back.
        RunProgress &progress = state->progress;
        progress.slots = state->slots;
        progress.callbacks = callbacks;
        const TransferRequest &own = state->request;
        for (int slot = 0; slot < state->slots; ++slot) {
            progress.inRun[slot] = true;
            state->jobs[slot] = TransferJob{state->table.handles[slot], own.diskOffset, own.sourceOffset, own.length,
                                            own.sourcePath, own.messageText, own.mode, &progress, slot};
            // A slot without a thread keeps this code: its calculator gets
            // nothing, which must not read as success.
            state->results[slot] = kNoTransferBuffer;
        }
        std::shared_ptr<TransferRun> run = make(std::move(state));
        startThreads(run, starter);
        return run;
    }
};

TransferRun::TransferRun(std::unique_ptr<State> state) : state_(std::move(state)) {}

TransferRun::~TransferRun() = default;

void TransferRun::release()
{
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (--state_->holders > 0)
            return;
    }
    finish();
}

void TransferRun::finish()
{
    State &state = *state_;
    state.table.close();
    std::int32_t result = state.refusal;
    for (int slot = 0; slot < state.slots && result == kTransferOk; ++slot)
        result = state.results[slot];
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.result = result;
        state.finished = true;
    }
    // Whoever notifies holds the run, so it outlives this call even when the
    // waiter drops its pointer at once.
    state.ended.notify_all();
    // Every thread has ended: the callbacks are this thread's alone. The
    // watcher's wake-up comes last, and what the context points into is let
    // go after it.
    const TransferCallbacks callbacks = std::move(state.progress.callbacks);
    state.progress.callbacks = TransferCallbacks();
    if (callbacks.finished != nullptr)
        callbacks.finished(callbacks.context);
}

bool TransferRun::finished() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finished;
}

std::int32_t TransferRun::wait()
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!state_->finished) {
        // Only while it waits: on the suites' event clock a moment aside
        // lets the time move.
        const platform::ClockStandAside waitingForTheThreads;
        state_->ended.wait(lock, [this] { return state_->finished; });
    }
    return state_->result;
}

std::int32_t TransferRun::result() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->result;
}

TransferReport TransferRun::report() const
{
    TransferReport report;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->finished)
            return report;
    }
    const State &state = *state_;
    if (!state.listed)
        return report;
    for (std::size_t i = 0; i < state.paths.size(); ++i) {
        if (int(i) >= state.slots) {
            report.calculators.push_back(resultFor(state.paths[i], kCalculatorLeftOut));
            continue;
        }
        report.calculators.push_back(resultFor(state.paths[i], state.results[i], state.errors[i]));
        report.calculators.back().sectorSize = state.notes[i].sectorSize;
        report.calculators.back().unsupportedFlush = state.notes[i].unsupportedFlush;
    }
    report.count = std::int32_t(state.paths.size());
    return report;
}

std::shared_ptr<TransferRun> startTransferRun(const std::vector<std::u16string> &paths, const TransferRequest &request,
                                              const TransferCallbacks &callbacks, ThreadStarter starter)
{
    return TransferRunAccess::start(paths, request, callbacks, starter != nullptr ? starter : startTransferThread);
}

std::shared_ptr<TransferRun> TransferRun::start(const std::vector<std::u16string> &paths, const char16_t *sourcePath,
                                                std::int64_t diskOffset, const TransferCallbacks &callbacks,
                                                const char16_t *messageText)
{
    if (!pathFits(sourcePath) || (messageText != nullptr && !pathFits(messageText)))
        return TransferRunAccess::refused(paths, false, kSourceUnopenable, kSourceUnopenable);
    if (paths.empty())
        return TransferRunAccess::refused(paths, true, kNoCalculatorFound, kNoCalculatorFound);
    TransferRequest request{};
    request.kind = 0;
    request.diskOffset = diskOffset;
    request.sourceOffset = 0;
    copyText(request.sourcePath, kSourcePathLength, sourcePath);
    copyText(request.messageText, kSourcePathLength, messageText != nullptr ? messageText : sourcePath);
    request.mode = kRawMode;
    // A size that cannot be had is not an empty file: sending 0 bytes of a
    // file the threads can open after all would report a success for
    // firmware that never reached the calculator.
    if (!querySourceSize(sourcePath, &request.length))
        return TransferRunAccess::refused(paths, true, kSourceUnopenable, kSourceUnopenable);
    return startTransferRun(paths, request, callbacks, startTransferThread);
}

std::int32_t runTransferRequest(const TransferRequest &request, const std::vector<std::u16string> &paths,
                                const TransferCallbacks &callbacks, TransferReport *report, ThreadStarter starter)
{
    const std::shared_ptr<TransferRun> run = startTransferRun(paths, request, callbacks, starter);
    const std::int32_t result = run->wait();
    if (report != nullptr)
        *report = run->report();
    return result;
}

namespace {

// The plain callbacks of runFirmwareTransferTo behind one context.
struct PlainCallbacks {
    ProgressCallback progress;             // may be null
    MessageCallback message;               // may be null
    CalculatorProgressCallback each;       // may be null

    static void onProgress(void *context, std::int32_t percent)
    {
        static_cast<const PlainCallbacks *>(context)->progress(percent);
    }
    static void onMessage(void *context, const char16_t *text)
    {
        static_cast<const PlainCallbacks *>(context)->message(text);
    }
    static void onCalculatorProgress(void *context, int index, std::int32_t percent)
    {
        static_cast<const PlainCallbacks *>(context)->each(index, percent);
    }
    // A callback the caller did not give is not called at all.
    TransferCallbacks callbacks()
    {
        TransferCallbacks adapted;
        adapted.context = this;
        adapted.progress = progress != nullptr ? onProgress : nullptr;
        adapted.message = message != nullptr ? onMessage : nullptr;
        adapted.calculatorProgress = each != nullptr ? onCalculatorProgress : nullptr;
        return adapted;
    }
};

} // namespace

std::int32_t runFirmwareTransferTo(const std::vector<std::u16string> &paths, const char16_t *sourcePath,
                                   std::int64_t diskOffset, ProgressCallback progress, MessageCallback message,
                                   CalculatorProgressCallback calculatorProgress, TransferReport *report,
                                   const char16_t *messageText)
{
    PlainCallbacks plain{progress, message, calculatorProgress};
    // The context lives here: the run is waited for before it goes.
    const std::shared_ptr<TransferRun> run = TransferRun::start(paths, sourcePath, diskOffset, plain.callbacks(),
                                                                messageText);
    const std::int32_t result = run->wait();
    if (report != nullptr)
        *report = run->report();
    return result;
}
std::int32_t runFirmwareTransfer(const char16_t *vendor, const char16_t *product,
                                 const char16_t *sourcePath, std::int64_t diskOffset,
                                 ProgressCallback progress, MessageCallback message, CalculatorFilter filter,
                                 void *filterContext, TransferReport *report)
{
    if (report != nullptr) {
        report->count = 0;
        report->calculators.clear();
    }
    if (!pathFits(sourcePath))
        return kSourceUnopenable;
    const std::vector<std::u16string> found = findEveryCalculatorDiskWithRetry(vendor, product);
    if (found.empty())
        return kNoCalculatorFound;

    // Who takes part is settled before any disk is opened: the first 16 that
    // the filter lets through.
    std::vector<CalculatorResult> everyOne;
    std::vector<std::u16string> sent;
    std::vector<std::size_t> sentIndex;
    for (std::size_t i = 0; i < found.size(); ++i) {
        everyOne.push_back(resultFor(found[i], kCalculatorLeftOut));
        if (int(sent.size()) < kMaxDevices && (filter == nullptr || filter(everyOne.back().identity, filterContext))) {
            sent.push_back(found[i]);
            sentIndex.push_back(i);
        }
    }
    std::int32_t result = kTransferOk;
    if (!sent.empty()) {
        TransferReport run;
        result = runFirmwareTransferTo(sent, sourcePath, diskOffset, progress, message, nullptr, &run);
        for (std::size_t k = 0; k < sentIndex.size(); ++k)
            everyOne[sentIndex[k]] = run.calculators[k]; // the same path: the same identity
    }
    if (report != nullptr) {
        report->calculators = std::move(everyOne);
        report->count = std::int32_t(found.size());
    }
    return result;
}

std::int32_t runFirmwareTransfer(const char16_t *vendor, const char16_t *product,
                                 const char16_t *sourcePath, std::int64_t diskOffset,
                                 ProgressCallback progress, MessageCallback message)
{
    return runFirmwareTransfer(vendor, product, sourcePath, diskOffset, progress, message, nullptr, nullptr,
                               nullptr);
}

std::int32_t endUpdateSessionOn(const std::vector<std::u16string> &paths)
{
    if (paths.empty())
        return kNoCalculatorFound;
    // A table holds 16: every further calculator is reached in the next group.
    DeviceTable table;
    for (std::size_t first = 0; first < paths.size(); first += kMaxDevices) {
        table.fill(paths.data() + first, int(std::min(paths.size() - first, std::size_t(kMaxDevices))));
        table.open();
        for (int slot = 0; slot < table.count; ++slot) {
            if (table.handles[slot] == platform::kInvalidHandle)
                continue;
            openingRead(table.handles[slot]);
            sendEndSession(table.handles[slot]);
        }
        table.close();
    }
    return kTransferOk;
}

std::int32_t endUpdateSession(const char16_t *vendor, const char16_t *product)
{
    const std::vector<std::u16string> found = findEveryCalculatorDiskWithRetry(vendor, product);
    if (found.empty())
        return kNoCalculatorFound;
    return endUpdateSessionOn(found);
}
