// A disk system made of simulated calculators (and, for tests, other disks),
// with the firmware files read from the host's file system.
//
// It also carries a fault counter in the manner of a test VFS: every platform
// call made through it (enumeration, opens, reads, writes, seeks, flushes, sizes)
// is counted, and the Nth call can be made to fail, once or from then on. A call
// failed that way sets lastError() to EIO and fails as a real one would: an open
// gives kInvalidHandle, an enumeration visits nothing, a seek or size gives -1.
//
// Firmware files are opened read-only through the operating system's disk
// system, each call of their handles counted too (closing a handle is not a
// counted call). Handles refer to the system that opened them: close them all
// before it goes (openHandleCount() tells), and uninstall it
// (platform::installDiskSystem(nullptr)) before destroying it.
#pragma once

#include "emulator/calculator.h"
#include "platform/disk_system.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace emulator {

class EmulatedDiskSystem : public platform::DiskSystem {
public:
    EmulatedDiskSystem();
    ~EmulatedDiskSystem() override;

    // Attaches a disk; enumeration order is the order of attaching. Safe while
    // other threads use the system.
    std::shared_ptr<Calculator> attach(const Config &config);
    std::vector<std::shared_ptr<Calculator>> disks() const;

    // platform::DiskSystem. openDisk takes the path of any present calculator,
    // whether an enumeration delivered it yet or not.
    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override;
    platform::Handle openDisk(const char16_t *devicePath) override;
    platform::Handle openFile(const char16_t *path) override;
    // A calculator's mounted volume (its faults' mountedVolume): listed, and
    // held by locking it (refused with its lockError); counted calls.
    bool listVolumes(const char16_t *devicePath, std::vector<platform::MountedVolume> *volumes) override;
    std::unique_ptr<platform::VolumeHold> holdVolumes(const char16_t *devicePath,
                                                      platform::MountedVolume *refused) override;

    // Handles opened through this system and not closed yet.
    int openHandleCount() const;

    // Fault counter: calls are numbered from 1 since the last reset. With
    // failAt = N the Nth call fails (and, when persistent, every later one).
    void resetCallCounter(std::uint64_t failAt = 0, bool persistent = false);
    std::uint64_t callCount() const;
    // Counts one call; true (with lastError() set to EIO) when it is to fail.
    // Used by the system itself and by its handles.
    bool countCall();

private:
    class OpenedCalculator;
    // The present calculator at `devicePath`, one counted call; null (with
    // lastError()) when the call fails or no such calculator is attached.
    std::shared_ptr<Calculator> presentCalculator(const char16_t *devicePath);
    class FileHandle;

    mutable std::mutex mutex_;                       // guards disks_
    std::vector<std::shared_ptr<Calculator>> disks_; // in attach order
    std::atomic<int> openHandles_{0};                // live handles
    std::atomic<std::uint64_t> calls_{0};            // calls counted since the last reset
    std::atomic<std::uint64_t> failAt_{0};           // the call that fails; 0: none
    std::atomic<bool> persistent_{false};            // and every call after it
};

} // namespace emulator
