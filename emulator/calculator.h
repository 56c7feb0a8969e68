// The calculator in update mode, simulated.
//
// A Calculator is one attached device: its identity (giving the device path a
// Windows machine would show), a sparse disk of 512-byte sectors with the
// unbuffered rules enforced, the command area at byte 87040, switchable faults,
// and a trace of everything it saw. EmulatedDiskSystem (emulated_disk_system.h)
// presents a set of them as the process's disk system, so the transport cannot
// tell them from real devices.
//
// Every public member may be called from any thread; one mutex per calculator
// keeps its state whole. A write speed limit sleeps outside that mutex, so
// throttled calculators (and several handles on one) still overlap.
#pragma once

#include "common/calculator_model.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace emulator {

constexpr std::uint32_t kSectorSize = 512;

// A model name from common/calculator_model.h as the byte text an identity
// holds (the names are ASCII: each unit is one byte).
inline std::string modelName(const char16_t *name)
{
    std::string out;
    for (; *name; ++name)
        out += static_cast<char>(*name);
    return out;
}

struct Identity {
    std::string bus = "usbstor";         // anything else is not a USB mass-storage disk
    std::string vendor = modelName(calculator_model::kVendor);
    std::string product = modelName(calculator_model::kProduct);
    std::string revision = "1.00";
    std::string serial = "TAVIX0000001"; // the instance part of the path is serial + "&" + location
    std::string location = "0";          // where it is attached: the LUN on Windows, the block
                                         // device on Linux; tells apart units of one serial
    std::string pathOverride;            // when set: the device path, exactly as given
};

struct Faults {
    bool refuseProgress = false;      // progress reports answered without the reply flag
    std::uint32_t refusePacket = 0;   // the I-th data packet (1-based, since creation) is refused; 0: none
    bool refuseCheck = false;         // the transfer check is refused
    std::int64_t failWrites = 0;      // the next N data writes fail; -1: every one
    bool unopenable = false;          // opening the disk fails
    std::int64_t unplugAfterBytes = -1; // gone once that many data bytes were written; -1: never
    std::int64_t replugAfterMs = -1;  // an unplugged calculator is back this long after; -1: never
    std::uint64_t attachAtMs = 0;     // present from this time (platform::nowMs) on
    std::uint64_t bytesPerSecond = 0; // write speed limit (real time); 0: none
    std::int64_t stallAfterBytes = -1; // the data write that reaches that many bytes stalls; -1: never
    std::uint32_t stallMs = 0;        // how long it stalls (a platform::pauseMs), then it completes
    // The system's own codes (GetLastError values in the Windows build, errno
    // on Linux), given back exactly as a real disk would; 0: none.
    std::uint32_t openError = 0;      // opening the disk fails with it
    std::uint32_t writeError = 0;     // every data write fails with it once the disk is open
    std::uint32_t flushError = 0;     // every flush fails with it
    std::uint32_t sectorSize = 512;   // the logical sector size the disk reports
    std::string mountedVolume;        // a volume the system mounted on the disk: "E:", or a volume
                                      // path; empty: none. Until it is held (locked and dismounted),
                                      // every write to the disk fails with access denied
    std::string mountedFileSystem;    // its file system: "FAT", "RAW" (none mounted), ...
    std::uint32_t lockError = 0;      // locking that volume fails with it; 0: the lock succeeds
    std::uint64_t diskMib = 0;        // the simulator's set-up only: this calculator's disk size in MiB
                                      // instead of TAVIX_SIM_DISK_MIB; 0: that one
};

struct Config {
    Identity identity;
    std::uint64_t diskBytes = 64ull << 20; // rounded down to whole sectors
    Faults faults;
};

class Calculator {
public:
    explicit Calculator(Config config);
    Calculator(const Calculator &) = delete;
    Calculator &operator=(const Calculator &) = delete;

    // Identity and presence.
    std::u16string devicePath() const;
    bool isPresent() const;  // in the enumeration now (attached, not unplugged)
    bool isCalculator() const; // a USB mass-storage disk (bus "usbstor")

    // What it saw, one event a line (see trace events in calculator.cpp).
    std::vector<std::string> trace() const;
    std::string traceText() const; // the lines joined, each ended by '\n'
    void clearTrace();

    // Disk content; unwritten bytes read as 0. Bytes past the end are left out.
    std::vector<std::uint8_t> contents(std::uint64_t offset, std::size_t length) const;
    std::uint64_t diskBytes() const;
    std::uint64_t residentBytes() const;       // memory the disk content takes (written pages)
    std::uint64_t dataBytesWritten() const;    // bytes of data writes accepted so far
    std::vector<std::uint8_t> packetData() const; // payloads of accepted data packets, in order

    // Faults may be changed at any time. One-shot faults are used up as they
    // fire: failWrites counts down, unplugAfterBytes returns to -1 once the
    // calculator has been unplugged, so faults() shows what is still armed.
    Faults faults() const;
    void setFaults(const Faults &faults);

    // The disk as an image file of diskBytes() (holes stay holes) and the trace as text.
    bool saveImage(const std::string &path) const;
    bool saveTrace(const std::string &path) const;

    // The volume the system mounted on the disk (faults().mountedVolume), as
    // a disk system lists it; false when there is none.
    bool mountedVolume(std::string *name, std::string *fileSystem) const;
    // Locks and dismounts that volume: false, with the lock's error in *error,
    // when the lock is refused (lockError). A RAW volume, or none, needs
    // nothing. Writes then reach the disk until releaseVolume().
    bool holdVolume(std::uint32_t *error);
    void releaseVolume();

    // --- used by the disk system's handles ---
    // An open handle belongs to one "attachment": after an unplug it stays dead
    // even when the calculator comes back. Every failure leaves the system's
    // own code in *error (platform::systemErrorFor of EACCES: unopenable, or a
    // write refused by a mounted volume; ENODEV: gone, or a dead handle;
    // EINVAL: not whole sectors; ENXIO: outside the disk; EIO: a refused
    // write; ENOMEM: no memory for the written pages), or exactly the code a
    // fault names (openError, writeError, flushError).
    bool open(std::uint64_t *attachment, std::uint32_t *error);
    // Positioned I/O; offset, length and buffer address in whole sectors, and
    // the whole range inside the disk, or nothing is moved. A write that runs
    // past the unplug limit stores the bytes up to it and fails with ENODEV.
    bool read(std::uint64_t attachment, std::int64_t offset, void *buffer, std::uint32_t length,
              std::uint32_t *error);
    bool write(std::uint64_t attachment, std::int64_t offset, const void *buffer,
               std::uint32_t length, std::uint32_t *error);
    bool flush(std::uint64_t attachment, std::uint32_t *error);
    // The disk size in bytes, or -1 (dead handle).
    std::int64_t size(std::uint64_t attachment, std::uint32_t *error);

private:
    static constexpr std::uint64_t kPageSize = 64 * 1024;

    // The handle still belongs to a present calculator and the span lies on the disk.
    bool admitLocked(std::uint64_t attachment, std::int64_t offset, std::uint32_t length, std::uint32_t *error);
    bool aliveLocked(std::uint64_t attachment) const;
    bool volumeBlocksWritesLocked() const; // a mounted file system that is not held
    void refreshPresenceLocked() const;
    void unplugLocked() const;
    static bool touchesCommandArea(std::int64_t offset, std::uint32_t length);
    bool storeLocked(std::uint64_t offset, const std::uint8_t *data, std::size_t length); // false: no memory
    void loadLocked(std::uint64_t offset, std::uint8_t *data, std::size_t length) const;
    void handleCommandLocked(const std::uint8_t *block);
    void replyLocked(std::uint32_t code, std::uint32_t value);
    // Accepted: traces `event` and replies kReplyFlag | code with `value`.
    // Refused: traces "refused <event>" and replies the code without the flag, 0.
    void answerLocked(std::uint32_t code, bool refuse, const std::string &event, std::uint32_t value);
    void traceLocked(std::string line) const;

    mutable std::mutex mutex_;
    const Identity identity_;
    const std::uint64_t diskBytes_;
    mutable Faults faults_;           // mutable: an unplug noticed by a const call uses it up
    std::unordered_map<std::uint64_t, std::unique_ptr<std::uint8_t[]>> pages_; // page index -> page
    mutable std::vector<std::string> trace_; // mutable: presence changes are traced when noticed
    std::vector<std::uint8_t> packetData_;   // accepted packet payloads, in order
    std::uint64_t dataBytesWritten_ = 0;     // accepted data-write bytes since creation
    std::uint32_t packetsSeen_ = 0;          // data packet blocks since creation
    std::uint64_t packetBytesSinceOpening_ = 0; // accepted payload bytes since the opening read
    mutable bool replyPending_ = false;      // reply_ goes to the next 512-byte command-area read
    std::uint8_t reply_[kSectorSize] = {};
    // Presence: attachment number (handles of older ones are dead), and when it
    // was unplugged (if it is).
    mutable std::uint64_t attachment_ = 1;
    mutable bool unplugged_ = false;
    mutable bool volumeHeld_ = false;        // holdVolume() .. releaseVolume() or an unplug
    mutable std::uint64_t unpluggedAtMs_ = 0;
};

} // namespace emulator
