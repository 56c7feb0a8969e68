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
// system, each call of their handles counted too. Handles refer to the system
// that opened them: close them all before it goes (openHandleCount() tells),
// and uninstall it (platform::installDiskSystem(nullptr)) before destroying it.
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

    // platform::DiskSystem
    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override;
    platform::Handle openDisk(const char16_t *devicePath) override;
    platform::Handle openFile(const char16_t *path) override;

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
    class DiskHandle;
    class FileHandle;

    mutable std::mutex mutex_;                       // guards disks_
    std::vector<std::shared_ptr<Calculator>> disks_; // in attach order
    std::atomic<int> openHandles_{0};                // live handles
    std::atomic<std::uint64_t> calls_{0};            // calls counted since the last reset
    std::atomic<std::uint64_t> failAt_{0};           // the call that fails; 0: none
    std::atomic<bool> persistent_{false};            // and every call after it
};

// Parses a fault list "NAME[=VALUE][@K],..." (K: 1-based calculator, default
// all) into per-calculator faults. Names: refuse-progress, refuse-packet=I,
// refuse-check, fail-writes=N|all, unopenable, unplug-after=BYTES,
// replug-after=MS. False, with a one-line reason in *error, on bad text.
bool parseFaultList(const std::string &text, std::vector<Faults> &faults, std::string *error);

// Settings of a simulated set-up, from the environment: TAVIX_SIM_CALCULATORS,
// TAVIX_SIM_ATTACH_MS, TAVIX_SIM_DISK_MIB, TAVIX_SIM_BYTES_PER_SEC,
// TAVIX_SIM_FAULTS, TAVIX_SIM_OUTPUT, TAVIX_SIM_CLOCK_SCALE.
struct SimulationSettings {
    std::vector<Config> calculators; // identities TAVIX000000<n>, faults applied
    std::string outputFolder;        // empty: none
    std::uint32_t clockScale = 1;    // 1 to 1000: how much faster the program's clock runs
};
bool simulationSettingsFromEnvironment(SimulationSettings *settings, std::string *error);

// Writes calculator-N.img and calculator-N.trace (N from 1) into `folder`.
bool saveCalculators(const std::vector<std::shared_ptr<Calculator>> &calculators,
                     const std::string &folder, std::string *error);

} // namespace emulator
