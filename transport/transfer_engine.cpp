#include "transport/transfer_engine_internal.h"

#include "platform/clock.h"
#include "platform/disk_system.h"
#include "transport/protocol_extras.h"
#include "transport/text16.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <thread>

platform::Handle deviceHandles[kMaxDevices] = {};
std::uint32_t deviceOpenErrors[kMaxDevices] = {};
std::int32_t deviceCount = 0;
ProgressCallback progressCallback = nullptr;
MessageCallback messageCallback = nullptr;
ThreadStarter transferThreadStarter = startTransferThread;

// One run's progress as the callback sees it. Each calculator has its own
// percentage, and the bar shows the lowest: it only moves forward, and it
// shows 100 only once every calculator has the whole file (one that failed, or
// never got a thread, stays where it was, and so does the bar).
struct RunProgress {
    std::mutex mutex;                       // held across the callback (reportJobProgress)
    int slots = 0;                          // slots of the table the run covers
    bool inRun[kMaxDevices] = {};           // the slots still being written; the others never hold
                                            // the bar back (left out, or failed)
    std::int32_t percent[kMaxDevices] = {}; // each one's last report; 0 before the first
    std::int32_t shown = -1;                // the last value passed on; -1: none yet
    CalculatorProgressCallback each = nullptr; // each calculator's own reports, by slot
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
    if (run.each != nullptr)
        run.each(job->slot, percent);
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
    if (progressCallback != nullptr)
        progressCallback(percent);
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
    if (progressCallback != nullptr)
        progressCallback(slowest);
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

std::int32_t transferThread(const TransferJob *job)
{
    // The message comes first, before anything can end the thread: every disk
    // of the run is reported, whatever its result. The thread's own copy stays
    // valid for the receiver until this thread ends.
    char16_t text[kMessageTextLength];
    copyText(text, kMessageTextLength, job->messageText);
    if (messageCallback != nullptr)
        messageCallback(text);

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
    // is a failed write, not a success.
    if (!disk->flush())
        return hold.settle(kDiskWriteFailed);
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

namespace {

// The engine on the slots marked in `inRun`: one thread each, all joined.
// Every slot's own code goes to `results` (kCalculatorLeftOut for a slot not
// in the run); the first non-zero one in slot order is returned.
// `errors` (may be null) gets each slot's system error behind its failure.
std::int32_t runOnSlots(const TransferRequest *request, const bool *inRun, std::int32_t *results,
                        CalculatorProgressCallback each = nullptr, std::uint32_t *errors = nullptr)
{
    const int slots = deviceCount < kMaxDevices ? deviceCount : kMaxDevices;
    std::uint32_t ownErrors[kMaxDevices] = {};
    if (errors == nullptr)
        errors = ownErrors;
    std::fill(errors, errors + kMaxDevices, 0u);
    // A request refused as a whole gives its code to every calculator of the run.
    for (int slot = 0; slot < slots; ++slot)
        results[slot] = inRun[slot] ? kBadRequestKind : kCalculatorLeftOut;
    if (request->kind >= 3)
        return kBadRequestKind;
    if (deviceCount <= 0)
        return kNoCalculatorFound;

    TransferJob jobs[kMaxDevices];
    std::thread threads[kMaxDevices];
    // Every slot of the run is known before the first thread reports: a
    // calculator whose thread starts late must still hold the bar back.
    RunProgress progress;
    progress.slots = slots;
    progress.each = each;
    for (int slot = 0; slot < slots; ++slot)
        progress.inRun[slot] = inRun[slot];
    for (int slot = 0; slot < slots; ++slot) {
        if (!inRun[slot])
            continue;
        jobs[slot] = TransferJob{deviceHandles[slot], request->diskOffset, request->sourceOffset,
                                 request->length,     request->sourcePath, request->messageText,
                                 request->mode,       &progress,           slot};
        // A slot without a thread keeps this code: its calculator gets nothing,
        // which must not read as success.
        results[slot] = kNoTransferBuffer;
        try {
            threads[slot] = transferThreadStarter([job = &jobs[slot], exitCode = &results[slot],
                                                   error = &errors[slot]] {
                *exitCode = transferThread(job);
                if (*exitCode == kTransferOk)
                    return;
                // The system's own reason: the open's for a disk that never
                // opened, else the last failed call of this thread.
                *error = *exitCode == kDiskUnopenable ? deviceOpenErrors[job->slot] : platform::lastError();
                leaveProgress(*job->run, job->slot);
            });
        } catch (...) {
            // std::thread's constructor throws std::system_error when the system
            // has no thread to give and std::bad_alloc when there is no memory
            // for its state. Either way the threads started so far must be
            // joined below, so nothing leaves this loop.
        }
        if (!threads[slot].joinable())
            leaveProgress(progress, slot);
    }
    for (std::thread &thread : threads)
        if (thread.joinable())
            thread.join();
    for (int slot = 0; slot < slots; ++slot)
        if (inRun[slot] && results[slot] != 0)
            return results[slot];
    return kTransferOk;
}

// Opens the disks of the slots marked in `inRun`; the others keep the
// invalid handle, so a calculator left out of a run is never touched.
int openDisksInRun(const bool *inRun)
{
    int opened = 0;
    for (int slot = 0; slot < deviceCount && slot < kMaxDevices; ++slot) {
        platform::setLastError(0);
        deviceHandles[slot] =
            inRun[slot] ? platform::activeDiskSystem().openDisk(devicePaths[slot]) : platform::kInvalidHandle;
        deviceOpenErrors[slot] = deviceHandles[slot] == platform::kInvalidHandle ? platform::lastError() : 0;
        opened += deviceHandles[slot] != platform::kInvalidHandle;
    }
    return opened;
}

// Every slot of the table, for the calls that serve every calculator found.
const bool *everySlot()
{
    static const std::array<bool, kMaxDevices> every = [] {
        std::array<bool, kMaxDevices> all{};
        all.fill(true);
        return all;
    }();
    return every.data();
}

} // namespace

std::int32_t runTransferRequest(const TransferRequest *request)
{
    std::int32_t results[kMaxDevices];
    return runOnSlots(request, everySlot(), results);
}

int openCalculatorDisks()
{
    return openDisksInRun(everySlot());
}

void closeCalculatorDisks()
{
    for (int slot = 0; slot < deviceCount && slot < kMaxDevices; ++slot) {
        if (deviceHandles[slot] != platform::kInvalidHandle)
            platform::closeHandle(deviceHandles[slot]);
        // The slot is cleared so a later close can never close a handle twice.
        deviceHandles[slot] = platform::kInvalidHandle;
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

} // namespace

namespace {

bool pathFits(const char16_t *sourcePath)
{
    return sourcePath != nullptr && text16::length(sourcePath, kSourcePathLength - 1) < kSourcePathLength - 1;
}

// Puts up to 16 paths into the device table; a path that does not fit a slot
// is left empty there, so that its disk fails to open (it never comes from
// discovery, which passes such paths over).
void fillDeviceTable(const std::u16string *paths, int count)
{
    deviceCount = std::min(count, kMaxDevices);
    for (int slot = 0; slot < deviceCount; ++slot) {
        const std::u16string &path = paths[slot];
        const bool fits = path.size() < std::size_t(kDevicePathLength);
        std::memcpy(devicePaths[slot], path.data(), fits ? path.size() * sizeof(char16_t) : 0);
        devicePaths[slot][fits ? path.size() : 0] = 0;
    }
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

std::int32_t runFirmwareTransferTo(const std::vector<std::u16string> &paths, const char16_t *sourcePath,
                                   std::int64_t diskOffset, ProgressCallback progress, MessageCallback message,
                                   CalculatorProgressCallback calculatorProgress, TransferReport *report,
                                   const char16_t *messageText)
{
    if (report != nullptr) {
        report->count = 0;
        report->calculators.clear();
    }
    if (!pathFits(sourcePath) || (messageText != nullptr && !pathFits(messageText)))
        return kSourceUnopenable;
    if (paths.empty())
        return kNoCalculatorFound;

    fillDeviceTable(paths.data(), int(paths.size()));
    bool inRun[kMaxDevices] = {};
    std::int32_t results[kMaxDevices];
    std::uint32_t errors[kMaxDevices] = {};
    for (int slot = 0; slot < deviceCount; ++slot)
        inRun[slot] = true;
    progressCallback = progress;
    messageCallback = message;
    openDisksInRun(inRun);

    TransferRequest request;
    request.kind = 0;
    request.diskOffset = diskOffset;
    request.sourceOffset = 0;
    copyText(request.sourcePath, kSourcePathLength, sourcePath);
    copyText(request.messageText, kSourcePathLength, messageText != nullptr ? messageText : sourcePath);
    request.mode = kRawMode;
    std::int32_t result;
    // A size that cannot be had is not an empty file: sending 0 bytes of a
    // file the threads can open after all would report a success for
    // firmware that never reached the calculator.
    if (querySourceSize(sourcePath, &request.length)) {
        result = runOnSlots(&request, inRun, results, calculatorProgress, errors);
    } else {
        result = kSourceUnopenable;
        std::fill(results, results + deviceCount, kSourceUnopenable);
    }
    closeCalculatorDisks();

    if (report != nullptr) {
        for (std::size_t i = 0; i < paths.size(); ++i)
            report->calculators.push_back(
                int(i) < deviceCount ? resultFor(paths[i], results[i], errors[i])
                                     : resultFor(paths[i], kCalculatorLeftOut));
        report->count = std::int32_t(paths.size());
    }
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
        for (std::size_t k = 0; k < sentIndex.size(); ++k) {
            everyOne[sentIndex[k]].result = run.calculators[k].result;
            everyOne[sentIndex[k]].systemError = run.calculators[k].systemError;
        }
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

std::int32_t endUpdateSession(const char16_t *vendor, const char16_t *product)
{
    const std::vector<std::u16string> found = findEveryCalculatorDiskWithRetry(vendor, product);
    if (found.empty())
        return kNoCalculatorFound;
    // The device table holds 16: every further calculator is reached in the
    // next group.
    for (std::size_t first = 0; first < found.size(); first += kMaxDevices) {
        fillDeviceTable(found.data() + first, int(found.size() - first));
        openCalculatorDisks();
        for (int slot = 0; slot < deviceCount; ++slot) {
            if (deviceHandles[slot] == platform::kInvalidHandle)
                continue;
            openingRead(deviceHandles[slot]);
            sendEndSession(deviceHandles[slot]);
        }
        closeCalculatorDisks();
    }
    return kTransferOk;
}
