// The calculator in update mode, simulated.
//
// A Calculator is one attached device: its identity (giving the device path a
// Windows machine would show), a sparse disk of 512-byte sectors with the
// unbuffered rules enforced, the command area at byte 87040, switchable faults,
// and a trace of everything it saw. EmulatedDiskSystem (emulated_disk_system.h)
// presents a set of them as the process's disk system, so the transport cannot
// tell them from real devices.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace emulator {

constexpr std::uint32_t kSectorSize = 512;

struct Identity {
    std::string bus = "usbstor";         // anything else is not a USB mass-storage disk
    std::string vendor = "XQ";
    std::string product = "Tavix update";
    std::string revision = "1.00";
    std::string serial = "TAVIX0000001"; // the instance part of the path
    std::string pathOverride;            // when set: the device path, exactly as given
};

struct Faults {
    bool refuseProgress = false;      // progress reports answered without the reply flag
    std::uint32_t refusePacket = 0;   // the I-th data packet (1-based) is refused; 0: none
    bool refuseCheck = false;         // the transfer check is refused
    std::int64_t failWrites = 0;      // the next N data writes fail; -1: every one
    bool unopenable = false;          // opening the disk fails
    std::int64_t unplugAfterBytes = -1; // gone once that many data bytes were written; -1: never
    std::int64_t replugAfterMs = -1;  // an unplugged calculator is back this long after; -1: never
    std::uint64_t attachAtMs = 0;     // present from this time (platform::nowMs) on
    std::uint64_t bytesPerSecond = 0; // write speed limit (real time); 0: none
};

struct Config {
    Identity identity;
    std::uint64_t diskBytes = 64ull << 20;
    Faults faults;
};

class Calculator {
public:
    explicit Calculator(Config config);

    // Identity and presence.
    std::u16string devicePath() const;
    bool isPresent() const;  // in the enumeration now (attached, not unplugged)
    bool isCalculator() const; // a USB mass-storage disk (bus "usbstor")

    // What it saw, one event a line (see trace events in calculator.cpp).
    std::vector<std::string> trace() const;
    std::string traceText() const; // the lines joined, each ended by '\n'
    void clearTrace();

    // Disk content; unwritten bytes read as 0.
    std::vector<std::uint8_t> contents(std::uint64_t offset, std::size_t length) const;
    std::uint64_t diskBytes() const;
    std::uint64_t dataBytesWritten() const;    // bytes of data writes accepted so far
    std::vector<std::uint8_t> packetData() const; // payloads of accepted data packets, in order

    // Faults may be changed at any time.
    Faults faults() const;
    void setFaults(const Faults &faults);

    // The disk as an image file (holes stay holes) and the trace as text.
    bool saveImage(const std::string &path) const;
    bool saveTrace(const std::string &path) const;

    // --- used by the disk system's handles ---
    // An open handle belongs to one "attachment": after an unplug it stays dead
    // even when the calculator comes back.
    bool open(std::uint64_t *attachment); // false: refused (unopenable / not present)
    // Positioned I/O through a handle; false with an errno-style code in *error.
    bool read(std::uint64_t attachment, std::int64_t offset, void *buffer, std::uint32_t length,
              int *error);
    bool write(std::uint64_t attachment, std::int64_t offset, const void *buffer,
               std::uint32_t length, int *error);
    bool flush(std::uint64_t attachment, int *error);

private:
    static constexpr std::uint64_t kPageSize = 64 * 1024;

    bool aliveLocked(std::uint64_t attachment) const;
    void refreshPresenceLocked() const;
    void storeLocked(std::uint64_t offset, const std::uint8_t *data, std::size_t length);
    void loadLocked(std::uint64_t offset, std::uint8_t *data, std::size_t length) const;
    bool handleCommandLocked(const std::uint8_t *block);
    void traceLocked(std::string line) const;

    mutable std::mutex mutex_;
    const Identity identity_;
    const std::uint64_t diskBytes_;
    Faults faults_;
    std::unordered_map<std::uint64_t, std::unique_ptr<std::uint8_t[]>> pages_;
    mutable std::vector<std::string> trace_;
    std::vector<std::uint8_t> packetData_;
    std::uint64_t dataBytesWritten_ = 0;
    std::uint32_t packetsSeen_ = 0;
    std::uint64_t packetBytesSinceOpening_ = 0;
    bool replyPending_ = false;
    std::uint8_t reply_[kSectorSize] = {};
    // Presence: attachment number, and when it was unplugged (if it is).
    mutable std::uint64_t attachment_ = 1;
    mutable bool unplugged_ = false;
    mutable std::uint64_t unpluggedAtMs_ = 0;
};

} // namespace emulator
