// Which of the volumes a system lists lie on one disk, and what the person
// knows each one by. Plain data in, plain data out: the Windows disk system
// gathers the facts with its own calls, and the suites feed canned lists.
#pragma once

#include "platform/disk_system.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A disk number no disk has (the system's "none", 0xFFFFFFFF): never matched.
constexpr std::uint32_t kNoDiskNumber = 0xFFFFFFFFu;

// One volume as the system lists it.
struct VolumeFacts {
    std::u16string path;                     // its volume path, "\\?\Volume{...}\"
    std::vector<std::u16string> mountPoints; // its drive letters and mounted folders ("E:\", "C:\mnt\calc\"),
                                             // in the system's order; empty: none
    std::u16string fileSystem;               // "FAT", "NTFS", ...; "RAW": none recognised; empty: not told
    std::vector<std::uint32_t> disks;        // the disk of each of its extents (a volume may span disks)
};

// What the person knows a volume by: its drive letter ("E:"; the first in
// alphabetical order when it has several), else its first mounted folder
// (without the closing backslash), else its volume path as listed.
std::u16string volumeName(const VolumeFacts &volume);

// A volume with this file system is locked and dismounted before its disk is
// written raw: every one but RAW (an untold one too: its lock tells whether
// it can be had). RAW is compared without regard to ASCII case.
bool needsHold(const std::u16string &fileSystem);

// The places in `volumes` of those with an extent on disk `disk`, in the
// order listed; none for kNoDiskNumber.
std::vector<std::size_t> volumesOnDisk(const std::vector<VolumeFacts> &volumes, std::uint32_t disk);

// The same volumes, each as the disk system reports it (volumeName, file system).
std::vector<MountedVolume> mountedOnDisk(const std::vector<VolumeFacts> &volumes, std::uint32_t disk);

} // namespace platform
