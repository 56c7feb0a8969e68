// The one door from the updater to the operating system's disks and files.
//
// Modelled on a VFS: a small table of operations (DiskSystem), one implementation
// per operating system (posix/, win32/) and the simulated calculator (emulator/)
// implementing the same table. Exactly one disk system is active per process;
// nothing above platform/ knows which one it is.
//
// Contract shared by every implementation:
//  - no operation throws; failure is false / -1 / kInvalidHandle, and the
//    system error code is left in lastError() of the calling thread;
//  - a disk handle is raw, unbuffered and write-through: offsets, lengths and
//    buffer addresses of disk reads and writes must be whole sectors (use
//    allocAligned for buffers); a write has reached the device when it returns;
//  - a handle is driven by one thread at a time; different handles may be used
//    from different threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class SeekOrigin { Begin, Current, End };

// An opened disk or firmware file. Closed (and freed) by closeHandle().
class File {
public:
    virtual ~File() = default;
    // Moves up to `length` bytes at the current position; `moved` receives the
    // count actually moved. False on an error (moved may then be non-zero).
    virtual bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) = 0;
    virtual bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) = 0;
    // New absolute position, or -1 on an error (the position is then unchanged).
    virtual std::int64_t seek(std::int64_t offset, SeekOrigin origin) = 0;
    // Everything written so far reaches the device. False on an error.
    virtual bool flush() = 0;
    // Size in bytes, or -1 on an error.
    virtual std::int64_t size() = 0;
    // A disk's logical sector size in bytes, as its driver tells it; 0 when
    // there is none to tell (a file standing in for a disk: the suites) or it
    // cannot be had (lastError() then says why when the system gave a reason).
    virtual std::uint32_t sectorSize() { return 0; }
};

using Handle = File *;
constexpr Handle kInvalidHandle = nullptr;

// Called once per present disk interface, in enumeration order, with its
// NUL-terminated device path. Returning false stops the enumeration.
using InterfaceVisitor = std::function<bool(const char16_t *devicePath)>;

// Why a disk the system lists has no device path here, so that a user can be
// told why a disk was not taken for a calculator.
enum class DiskRefusal {
    None,           // named: the path is what an enumeration delivers
    NoDevice,       // no device behind it: a loop or RAM disk
    NotScsi,        // no SCSI identity: NVMe, virtio, MMC
    NotUsb,         // a SCSI disk that is not on USB: SATA, SAS
    NotMassStorage, // on USB, behind an interface of another class
    Partition,      // a partition; SurveyedDisk::parent names its disk
    NoDevNumbers,   // its device numbers cannot be read
    NotNameable,    // its name cannot be carried verbatim in a device path
    Unreadable,     // its entry cannot be followed (gone, or leads elsewhere)
};

// Whether the user running the updater may read and write a disk's device.
enum class DiskAccess { Unknown, ReadWrite, Denied };

// One disk as a survey reports it.
struct SurveyedDisk {
    std::string name;                         // short name, UTF-8: "sdb", "sdb1"; "#3" for the third interface elsewhere
    std::u16string devicePath;                // what an enumeration delivers; empty when refused
    DiskRefusal refusal = DiskRefusal::None;  // why devicePath is empty
    std::string parent;                       // Partition: the whole disk's name
    DiskAccess access = DiskAccess::Unknown;  // Unknown where the platform does not check
    std::uint32_t accessError = 0;            // Denied: the system error code, as lastError()
};

// Called once per disk a survey finds, in the system's order.
using SurveyVisitor = std::function<void(const SurveyedDisk &disk)>;

// A volume the system has mounted on a disk by itself (Windows does, for a
// disk with a file system it knows).
struct MountedVolume {
    std::u16string name;       // its drive letter ("E:"), or its volume path when it has none
    std::u16string fileSystem; // "FAT", "NTFS", ...; "RAW" when none is mounted on it
};

// The volumes of one disk locked and dismounted so that its sectors may be
// written raw; destroying the hold releases them.
class VolumeHold {
public:
    virtual ~VolumeHold() = default;
};

class DiskSystem {
public:
    virtual ~DiskSystem() = default;
    // Enumerates the present disk device interfaces (the disk interface class
    // {53f56307-b6bf-11d0-94f2-00a0c91efb8b}). An interface whose path cannot be
    // had is skipped. A list that cannot be obtained behaves as an empty one.
    virtual void enumerateDiskInterfaces(const InterfaceVisitor &visit) = 0;
    // Every disk the system lists, named or not, with the reason it is not;
    // a named one carries exactly the path enumerateDiskInterfaces delivers,
    // and may be opened like one. The default reports every enumerated
    // interface as named, by its place in the enumeration, access unknown.
    virtual void surveyDisks(const SurveyVisitor &visit);
    // Opens a disk by a device path that an enumeration delivered, for raw,
    // unbuffered, write-through reading and writing. Any other path is refused.
    virtual Handle openDisk(const char16_t *devicePath) = 0;
    // Opens an existing file for reading (the firmware files). Paths are in
    // the Windows form the release scan gives them: a backslash separates
    // folders on every system.
    virtual Handle openFile(const char16_t *path) = 0;
    // The volumes the system has mounted on the disk at `devicePath` (a path an
    // enumeration delivered). The default has none: a system that mounts
    // nothing by itself, or refuses to open a mounted disk (POSIX). False, with
    // lastError(), when they cannot be listed.
    virtual bool listVolumes(const char16_t *devicePath, std::vector<MountedVolume> *volumes);
    // Locks and dismounts every volume with a file system on that disk, so
    // that the disk's sectors may be written raw through a disk handle; they
    // stay so until the hold is destroyed. A disk with none (or only RAW ones)
    // gets a hold that holds nothing. Null when a volume refuses: lastError()
    // says why and *refused (when not null) names it.
    virtual std::unique_ptr<VolumeHold> holdVolumes(const char16_t *devicePath, MountedVolume *refused);
};

// The process-wide active disk system: the operating system's unless a test or
// the simulator installed another. install(nullptr) restores the default.
DiskSystem &activeDiskSystem();
void installDiskSystem(DiskSystem *system);
DiskSystem &osDiskSystem();

// Closes a handle from openDisk/openFile; kInvalidHandle is ignored. Always
// true: the handle's destructor does the system close, and an error the
// system reports there is not passed on (the handle is gone either way).
bool closeHandle(Handle handle);

// Buffers for disk handles: aligned to kBufferAlignment, which covers every
// logical sector size in use. nullptr when no memory can be had.
constexpr std::size_t kBufferAlignment = 4096;
void *allocAligned(std::size_t size);
void freeAligned(void *buffer);

// Per-thread system error code of the last failed platform call (0: none),
// like GetLastError on Windows / errno on POSIX.
std::uint32_t lastError();
void setLastError(std::uint32_t code);
// The system's message text for an error code (empty when there is none).
std::u16string errorText(std::uint32_t code);

// Text conversion at the POSIX boundary.
std::string toUtf8(const char16_t *text);
std::string toUtf8(const std::u16string &text);
std::u16string fromUtf8(const std::string &text);

} // namespace platform
