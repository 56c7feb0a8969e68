// The simulated calculator.
//
// Trace events, one a line, numbers in decimal:
//   opening-read           a 15360-byte read at the command area (the transfer check
//                          counts packet bytes from here on)
//   closing-read           a 15872-byte read at the command area
//   progress P             a progress report of P percent
//   packet OFFSET LENGTH   a data packet (OFFSET: the high 16 bits of its argument)
//   check-transfer N       a transfer check for N bytes
//   end-session            the end-of-session command
//   write OFFSET LENGTH    a data write (anything that is not a command block); a
//                          write cut short by an unplug shows only as "unplugged"
//   read OFFSET LENGTH     any other read (the read that fetches a reply is not traced)
//   refused <event>        a fault, or a bad packet, made it refuse the event above
//   refused open           the disk could not be opened (unopenable, open-error)
//   refused flush          a flush failed (flush-error)
//   refused write OFFSET LENGTH (volume mounted)   a write kept out by a mounted volume
//   volume V locked / volume V dismounted / volume V released
//                          the volume the system mounted on it was held for the
//                          updater, and let go (refused lock volume V: lock-error)
//   refused command 0xCODE ARG   a command block with an unknown code
//   unplugged / replugged  it left / came back to the enumeration
//   stall MS               the data write written just before stalled MS milliseconds (stall-after)
// Requests the operating system itself refuses (not whole sectors, outside the
// disk, on a handle of an earlier attachment or of an absent calculator) never
// reach the calculator and are not traced.
#include "emulator/calculator.h"

#include "common/little_endian.h"
#include "platform/clock.h"
#include "platform/device_path.h"
#include "platform/disk_system.h"
#include "platform/error_kind.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>

namespace emulator {

namespace {

// The command block format as the calculator reads it. The same numbers are in
// transport/command_channel.h; this second copy is kept on purpose: the
// emulator never includes transport/, so a number the transport gets wrong is
// not shared by the calculator it talks to, and the suites see it fail.
constexpr std::int64_t kCommandOffset = 87040;
constexpr std::uint32_t kMagic = 0xAA5555AAu;
constexpr char kTag[4] = {'K', 'Q', 'V', 'D'};
constexpr std::uint32_t kReplyFlag = 0x80000000u;
constexpr std::uint32_t kMaxPayload = 256;
constexpr std::uint32_t kOpeningReadLength = 15360;
constexpr std::uint32_t kClosingReadLength = 15872;
constexpr std::uint32_t kCodeAt = 12;
constexpr std::uint32_t kArgumentAt = 16;
constexpr std::uint32_t kPayloadAt = 20;

constexpr std::uint32_t kCmdEndSession = 0xBEC1;
constexpr std::uint32_t kCmdDataPacket = 0xBEC6;
constexpr std::uint32_t kCmdCheckTransfer = 0xBEC7;
constexpr std::uint32_t kCmdProgress = 0xBEDC;

bool isCommandBlock(const std::uint8_t *block)
{
    return le::read32(block) == kMagic && std::memcmp(block + 4, kTag, 4) == 0 &&
           le::read32(block + 8) == kSectorSize;
}

// What an unbuffered handle accepts: whole sectors at whole-sector offsets,
// from and into sector-aligned memory.
bool wholeSectors(std::int64_t offset, const void *buffer, std::uint32_t length)
{
    return offset >= 0 && offset % kSectorSize == 0 && length % kSectorSize == 0 &&
           reinterpret_cast<std::uintptr_t>(buffer) % kSectorSize == 0;
}

std::string span(std::int64_t offset, std::uint64_t length)
{
    return std::to_string(offset) + " " + std::to_string(length);
}

} // namespace

Calculator::Calculator(Config config)
    : identity_(std::move(config.identity)),
      diskBytes_(config.diskBytes / kSectorSize * kSectorSize),
      faults_(config.faults)
{
}

// --- identity and presence ---

bool Calculator::isCalculator() const
{
    return platform::deviceIdField(identity_.bus) == "usbstor";
}

std::u16string Calculator::devicePath() const
{
    if (!identity_.pathOverride.empty())
        return platform::fromUtf8(identity_.pathOverride);
    std::string path = platform::usbStorageDevicePath(identity_.vendor, identity_.product,
                                                      identity_.revision, identity_.serial + "&" + identity_.location);
    if (!isCalculator()) {
        // Same shape on another bus, so that discovery has something to reject.
        static const std::string usbPrefix = "\\\\?\\usbstor#";
        path = "\\\\?\\" + platform::deviceIdField(identity_.bus) + "#" +
               path.substr(usbPrefix.size());
    }
    return platform::fromUtf8(path);
}

bool Calculator::isPresent() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    refreshPresenceLocked();
    return !unplugged_ && platform::nowMs() >= faults_.attachAtMs;
}

void Calculator::unplugLocked() const
{
    unplugged_ = true;
    unpluggedAtMs_ = platform::nowMs();
    faults_.unplugAfterBytes = -1; // used up: after a replug it takes writes again
    replyPending_ = false;
    volumeHeld_ = false; // back, it is mounted afresh: a new hold is needed
    traceLocked("unplugged");
}

// Presence changes that are due by now (a limit set below what was already
// written, a replug whose time has come) take effect when next looked at. It
// runs until nothing more is due, so that asking twice at the same time gives
// the same answer; an unplug uses its limit up, so this ends.
void Calculator::refreshPresenceLocked() const
{
    for (;;) {
        if (!unplugged_ && faults_.unplugAfterBytes >= 0 &&
            dataBytesWritten_ >= static_cast<std::uint64_t>(faults_.unplugAfterBytes)) {
            unplugLocked();
            continue;
        }
        const std::uint64_t now = platform::nowMs();
        if (unplugged_ && faults_.replugAfterMs >= 0 && now >= unpluggedAtMs_ &&
            now - unpluggedAtMs_ >= static_cast<std::uint64_t>(faults_.replugAfterMs)) {
            unplugged_ = false;
            ++attachment_; // handles of the old attachment stay dead
            traceLocked("replugged");
            continue;
        }
        break;
    }
}

bool Calculator::aliveLocked(std::uint64_t attachment) const
{
    return !unplugged_ && attachment == attachment_ && platform::nowMs() >= faults_.attachAtMs;
}

bool Calculator::volumeBlocksWritesLocked() const
{
    return !faults_.mountedVolume.empty() && faults_.mountedFileSystem != "RAW" && !volumeHeld_;
}

bool Calculator::mountedVolume(std::string *name, std::string *fileSystem) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    refreshPresenceLocked();
    if (unplugged_ || faults_.mountedVolume.empty())
        return false;
    *name = faults_.mountedVolume;
    *fileSystem = faults_.mountedFileSystem;
    return true;
}

bool Calculator::holdVolume(std::uint32_t *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refreshPresenceLocked();
    if (unplugged_) {
        *error = platform::systemErrorFor(ENODEV);
        return false;
    }
    if (faults_.mountedVolume.empty() || faults_.mountedFileSystem == "RAW" || volumeHeld_)
        return true;
    const std::string volume = "volume " + faults_.mountedVolume;
    if (faults_.lockError != 0) {
        traceLocked("refused lock " + volume);
        *error = faults_.lockError;
        return false;
    }
    traceLocked(volume + " locked");
    traceLocked(volume + " dismounted");
    volumeHeld_ = true;
    return true;
}

void Calculator::releaseVolume()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!volumeHeld_)
        return;
    volumeHeld_ = false;
    traceLocked("volume " + faults_.mountedVolume + " released");
}

// --- trace, content, faults ---

void Calculator::traceLocked(std::string line) const
{
    trace_.push_back(std::move(line));
}

std::vector<std::string> Calculator::trace() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
}

std::string Calculator::traceText() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const std::string &line : trace_)
        text += line + '\n';
    return text;
}

void Calculator::clearTrace()
{
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
}

std::vector<std::uint8_t> Calculator::contents(std::uint64_t offset, std::size_t length) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset >= diskBytes_)
        return {};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, diskBytes_ - offset));
    std::vector<std::uint8_t> out(n);
    loadLocked(offset, out.data(), n);
    return out;
}

std::uint64_t Calculator::diskBytes() const
{
    return diskBytes_;
}

std::uint64_t Calculator::residentBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pages_.size() * kPageSize;
}

std::uint64_t Calculator::dataBytesWritten() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dataBytesWritten_;
}

std::vector<std::uint8_t> Calculator::packetData() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return packetData_;
}

Faults Calculator::faults() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_;
}

void Calculator::setFaults(const Faults &faults)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

// --- the sparse disk ---

bool Calculator::touchesCommandArea(std::int64_t offset, std::uint32_t length)
{
    return offset < kCommandOffset + kSectorSize && offset + std::int64_t(length) > kCommandOffset;
}

void Calculator::loadLocked(std::uint64_t offset, std::uint8_t *data, std::size_t length) const
{
    while (length > 0) {
        const std::uint64_t inPage = offset % kPageSize;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPageSize - inPage));
        const auto page = pages_.find(offset / kPageSize);
        if (page == pages_.end())
            std::memset(data, 0, n);
        else
            std::memcpy(data, page->second.get() + inPage, n);
        offset += n, data += n, length -= n;
    }
}

bool Calculator::storeLocked(std::uint64_t offset, const std::uint8_t *data, std::size_t length)
{
    if (length == 0)
        return true;
    // Every page first, so that running out of memory stores nothing.
    for (std::uint64_t p = offset / kPageSize; p <= (offset + length - 1) / kPageSize; ++p) {
        std::unique_ptr<std::uint8_t[]> &page = pages_[p];
        if (!page)
            page.reset(new (std::nothrow) std::uint8_t[kPageSize]());
        if (!page) {
            pages_.erase(p);
            return false;
        }
    }
    while (length > 0) {
        const std::uint64_t inPage = offset % kPageSize;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, kPageSize - inPage));
        std::memcpy(pages_[offset / kPageSize].get() + inPage, data, n);
        offset += n, data += n, length -= n;
    }
    return true;
}

// --- the command area ---

void Calculator::replyLocked(std::uint32_t code, std::uint32_t value)
{
    std::memset(reply_, 0, sizeof reply_);
    le::write32(reply_, kMagic);
    std::memcpy(reply_ + 4, kTag, 4);
    le::write32(reply_ + 8, kSectorSize);
    le::write32(reply_ + kCodeAt, code);
    le::write32(reply_ + kArgumentAt, value);
    replyPending_ = true;
}

void Calculator::answerLocked(std::uint32_t code, bool refuse, const std::string &event,
                              std::uint32_t value)
{
    if (refuse) {
        traceLocked("refused " + event);
        replyLocked(code & ~kReplyFlag, 0); // a refusal is a reply without the flag
    } else {
        traceLocked(event);
        replyLocked(kReplyFlag | code, value);
    }
}

void Calculator::handleCommandLocked(const std::uint8_t *block)
{
    const std::uint32_t code = le::read32(block + kCodeAt);
    const std::uint32_t argument = le::read32(block + kArgumentAt);
    replyPending_ = false;
    switch (code) {
    case kCmdProgress:
        answerLocked(code, faults_.refuseProgress, "progress " + std::to_string(argument), argument);
        break;
    case kCmdDataPacket: {
        ++packetsSeen_;
        const std::uint32_t length = argument & 0xFFFF;
        const bool refuse = length == 0 || length > kMaxPayload || packetsSeen_ == faults_.refusePacket;
        if (!refuse) {
            packetData_.insert(packetData_.end(), block + kPayloadAt, block + kPayloadAt + length);
            packetBytesSinceOpening_ += length;
        }
        answerLocked(code, refuse, "packet " + span(argument >> 16, length), length);
        break;
    }
    case kCmdCheckTransfer:
        // Confirms what actually arrived, whatever the updater claims.
        answerLocked(code, faults_.refuseCheck, "check-transfer " + std::to_string(argument),
                     static_cast<std::uint32_t>(packetBytesSinceOpening_));
        break;
    case kCmdEndSession:
        traceLocked("end-session");
        break;
    default: {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%04X", static_cast<unsigned>(code));
        answerLocked(code, true, std::string("command ") + hex + " " + std::to_string(argument), 0);
        break;
    }
    }
}

// --- the handles' operations ---

bool Calculator::open(std::uint64_t *attachment, std::uint32_t *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refreshPresenceLocked();
    if (unplugged_ || platform::nowMs() < faults_.attachAtMs) {
        *error = platform::systemErrorFor(ENODEV);
        return false;
    }
    if (faults_.unopenable || faults_.openError != 0) {
        traceLocked("refused open");
        *error = faults_.openError != 0 ? faults_.openError : platform::systemErrorFor(EACCES);
        return false;
    }
    *attachment = attachment_;
    return true;
}

bool Calculator::admitLocked(std::uint64_t attachment, std::int64_t offset, std::uint32_t length,
                             std::uint32_t *error)
{
    refreshPresenceLocked();
    if (!aliveLocked(attachment)) {
        *error = platform::systemErrorFor(ENODEV);
        return false;
    }
    // I/O that runs past the end fails whole, as a raw disk does for a sector
    // it does not have.
    if (static_cast<std::uint64_t>(offset) + length > diskBytes_) {
        *error = platform::systemErrorFor(ENXIO);
        return false;
    }
    return true;
}

bool Calculator::read(std::uint64_t attachment, std::int64_t offset, void *buffer,
                      std::uint32_t length, std::uint32_t *error)
{
    if (!wholeSectors(offset, buffer, length)) {
        *error = platform::systemErrorFor(EINVAL);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!admitLocked(attachment, offset, length, error))
        return false;
    if (length == 0)
        return true;
    auto *out = static_cast<std::uint8_t *>(buffer);
    if (offset == kCommandOffset && length == kSectorSize && replyPending_) {
        std::memcpy(out, reply_, kSectorSize);
        replyPending_ = false;
        return true;
    }
    if (touchesCommandArea(offset, length))
        replyPending_ = false;
    if (offset == kCommandOffset && length == kOpeningReadLength) {
        traceLocked("opening-read");
        packetBytesSinceOpening_ = 0;
    } else if (offset == kCommandOffset && length == kClosingReadLength) {
        traceLocked("closing-read");
    } else {
        traceLocked("read " + span(offset, length));
    }
    loadLocked(static_cast<std::uint64_t>(offset), out, length);
    return true;
}

bool Calculator::write(std::uint64_t attachment, std::int64_t offset, const void *buffer,
                       std::uint32_t length, std::uint32_t *error)
{
    if (!wholeSectors(offset, buffer, length)) {
        *error = platform::systemErrorFor(EINVAL);
        return false;
    }
    // A throttled write takes length / speed from the moment it was issued,
    // the calculator's own bookkeeping included: the host's CPU is not the
    // device's, so the simulation's cost must not add to the device's time.
    const auto issued = std::chrono::steady_clock::now();
    std::uint64_t accepted = 0;      // data bytes stored
    std::uint64_t bytesPerSecond = 0;
    std::uint32_t stallMs = 0;       // this write stalls before it completes
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!admitLocked(attachment, offset, length, error))
            return false;
        if (length == 0)
            return true;
        const auto *data = static_cast<const std::uint8_t *>(buffer);
        // A file system the system mounted on the disk keeps every write from
        // the disk's handle out until the volume is locked or dismounted.
        if (volumeBlocksWritesLocked()) {
            traceLocked("refused write " + span(offset, length) + " (volume mounted)");
            *error = platform::systemErrorFor(EACCES);
            return false;
        }
        if (offset == kCommandOffset && length == kSectorSize && isCommandBlock(data)) {
            handleCommandLocked(data); // not stored, not a data write
            return true;
        }
        if (touchesCommandArea(offset, length))
            replyPending_ = false;
        if (faults_.failWrites != 0 || faults_.writeError != 0) {
            if (faults_.failWrites > 0)
                --faults_.failWrites;
            traceLocked("refused write " + span(offset, length));
            *error = faults_.writeError != 0 ? faults_.writeError : platform::systemErrorFor(EIO);
            return false;
        }
        accepted = length;
        bool cut = false; // the write runs past the unplug limit
        if (faults_.unplugAfterBytes >= 0) {
            const auto limit = static_cast<std::uint64_t>(faults_.unplugAfterBytes);
            const std::uint64_t room = limit > dataBytesWritten_ ? limit - dataBytesWritten_ : 0;
            if (accepted > room)
                accepted = room, cut = true;
        }
        if (!storeLocked(static_cast<std::uint64_t>(offset), data, static_cast<std::size_t>(accepted))) {
            *error = platform::systemErrorFor(ENOMEM);
            return false;
        }
        dataBytesWritten_ += accepted;
        if (!cut)
            traceLocked("write " + span(offset, length));
        if (faults_.unplugAfterBytes >= 0 &&
            dataBytesWritten_ >= static_cast<std::uint64_t>(faults_.unplugAfterBytes))
            unplugLocked();
        if (cut) {
            *error = platform::systemErrorFor(ENODEV);
            ok = false;
        }
        bytesPerSecond = faults_.bytesPerSecond;
        if (faults_.stallAfterBytes >= 0 &&
            dataBytesWritten_ >= static_cast<std::uint64_t>(faults_.stallAfterBytes)) {
            stallMs = faults_.stallMs;
            faults_.stallAfterBytes = -1; // used up
            traceLocked("stall " + std::to_string(stallMs));
        }
    }
    // Both wait outside the lock so that other handles and other calculators go
    // on meanwhile. A stall is a pause on the clock in use (on the event clock
    // it moves no other thread's time); the speed limit costs real time.
    if (stallMs > 0)
        platform::pauseMs(stallMs);
    if (bytesPerSecond > 0 && accepted > 0)
        std::this_thread::sleep_until(issued + std::chrono::microseconds(accepted * 1000000 / bytesPerSecond));
    return ok;
}

bool Calculator::flush(std::uint64_t attachment, std::uint32_t *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refreshPresenceLocked();
    if (!aliveLocked(attachment)) {
        *error = platform::systemErrorFor(ENODEV);
        return false;
    }
    if (faults_.flushError != 0) {
        traceLocked("refused flush");
        *error = faults_.flushError;
        return false;
    }
    return true; // every write is already on the disk
}

std::int64_t Calculator::size(std::uint64_t attachment, std::uint32_t *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refreshPresenceLocked();
    if (!aliveLocked(attachment)) {
        *error = platform::systemErrorFor(ENODEV);
        return -1;
    }
    return static_cast<std::int64_t>(diskBytes_);
}

// --- saving ---

bool Calculator::saveImage(const std::string &path) const
{
    const std::filesystem::path file = std::filesystem::u8path(path);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (!out)
            return false;
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint64_t> indices;
        indices.reserve(pages_.size());
        for (const auto &page : pages_)
            indices.push_back(page.first);
        std::sort(indices.begin(), indices.end());
        for (const std::uint64_t index : indices) {
            const std::uint8_t *page = pages_.at(index).get();
            const std::uint64_t offset = index * kPageSize;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kPageSize, diskBytes_ - offset));
            if (std::all_of(page, page + n, [](std::uint8_t b) { return b == 0; }))
                continue; // stays a hole
            out.seekp(static_cast<std::streamoff>(offset));
            out.write(reinterpret_cast<const char *>(page), static_cast<std::streamsize>(n));
        }
        out.close();
        if (!out)
            return false;
    }
    // Extending the file leaves the unwritten tail as a hole.
    std::error_code ec;
    std::filesystem::resize_file(file, diskBytes_, ec);
    return !ec;
}

bool Calculator::saveTrace(const std::string &path) const
{
    std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    const std::string text = traceText();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace emulator
