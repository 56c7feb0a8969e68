// The Linux disk system: disks found through sysfs and named as a Windows
// machine would name them, opened raw (O_DIRECT | O_SYNC); firmware files
// opened read-only.
#pragma once

#include "platform/disk_system.h"

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
    Handle openDisk(const char16_t *devicePath) override;
    Handle openFile(const char16_t *path) override;

private:
    // What a discovery produced: the path it showed and the disk behind it.
    struct KnownDisk {
        std::u16string devicePath;
        std::string blockName; // entry under block/, e.g. "sdb"
    };
    std::mutex mutex_;
    std::vector<KnownDisk> known_;
    const std::string sysfsRoot_;
    const std::string devRoot_;
};

} // namespace platform
