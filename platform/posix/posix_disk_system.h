// The Linux disk system: disks found through sysfs and named as a Windows
// machine would name them, opened raw (O_DIRECT | O_SYNC); firmware files
// opened read-only.
//
// Only a disk behind a USB mass-storage interface is ever named or opened: a
// SATA, NVMe, virtio or loop disk never is, whatever its vendor text says.
#pragma once

#include "platform/disk_system.h"
#include "platform/posix/sysfs.h"

#include <mutex>
#include <string>
#include <vector>

namespace platform {

class PosixDiskSystem : public DiskSystem {
public:
    // `sysfsRoot` is where "block/" is looked up ("/sys" on a real machine);
    // `devRoot` holds the device nodes ("/dev"). Tests hand in a fake tree.
    explicit PosixDiskSystem(std::string sysfsRoot = "/sys", std::string devRoot = "/dev");

    void enumerateDiskInterfaces(const InterfaceVisitor &visit) override;
    // Every entry under block/ in name order, each followed by its partitions;
    // access is faccessat(R_OK | W_OK, AT_EACCESS) on devRoot/<name>.
    void surveyDisks(const SurveyVisitor &visit) override;
    Handle openDisk(const char16_t *devicePath) override;
    Handle openFile(const char16_t *path) override;

private:
    // What a discovery produced: the path it showed and the disk behind it.
    struct KnownDisk {
        std::u16string devicePath; // as handed to the visitor
        std::string blockName;     // entry under block/, e.g. "sdb"
    };
    // A block entry that passed every discovery rule, as seen at one moment.
    struct QualifiedDisk {
        std::string devicePath; // the path it is named by (ASCII)
        sysfs::DevNumbers dev;  // its device numbers, from block/<name>/dev
    };

    // None, with *out filled, when block/<blockName> under the resolved sysfs
    // root is a USB mass-storage disk with a SCSI identity and device numbers;
    // otherwise the first rule it fails. The one judge for every discovery.
    static DiskRefusal qualify(const std::string &root, const std::string &blockName, QualifiedDisk *out);
    // Fills disk->access and accessError from its node under devRoot_.
    void checkAccess(SurveyedDisk *disk) const;
    // Adds a path to known_ unless it is there already.
    void remember(const std::u16string &devicePath, const std::string &blockName);
    // The block name a discovery gave `devicePath`; false when none did.
    bool lookUp(const std::u16string &devicePath, std::string *blockName);

    std::mutex mutex_;              // guards known_
    std::vector<KnownDisk> known_;  // every path any discovery produced
    const std::string sysfsRoot_;   // where block/ lives, as given
    const std::string devRoot_;     // where the device nodes live
};

// A disk or firmware file opened by PosixDiskSystem; owns its descriptor.
class PosixFile : public File {
public:
    // Takes over `fd`, an open descriptor.
    explicit PosixFile(int fd);
    // Closes the descriptor.
    ~PosixFile() override;
    PosixFile(const PosixFile &) = delete;
    PosixFile &operator=(const PosixFile &) = delete;

    bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override;
    bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override;
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override;
    bool flush() override;
    std::int64_t size() override;
    // BLKSSZGET on a block device; 0 for a regular file, or on an error.
    std::uint32_t sectorSize() override;

    // errno of the last failed call on this handle (0: none failed yet).
    int lastErrno() const { return lastErrno_; }

private:
    // Records `code` here and in lastError(); returns false for the caller to pass on.
    bool fail(int code);

    int fd_;            // the open descriptor
    int lastErrno_ = 0; // raw errno of the last failure, kept beside the handle
};

} // namespace platform
