// The volumes Windows has mounted on a calculator's disk, for the Windows
// disk system's listVolumes and holdVolumes (the path is one its discovery
// delivered; it checks that before it asks).
#pragma once

#include "platform/disk_system.h"

#include <memory>
#include <vector>

namespace platform {

// The volumes with an extent on the disk at `devicePath`. False, with
// lastError(), when the disk's number cannot be had.
bool listWindowsVolumes(const char16_t *devicePath, std::vector<MountedVolume> *volumes);

// Every volume on that disk with a file system other than RAW opened for
// reading and writing, locked (FSCTL_LOCK_VOLUME) and dismounted
// (FSCTL_DISMOUNT_VOLUME); the hold unlocks and closes them when destroyed.
// A disk whose volumes cannot be told (its number cannot be had) gets an
// empty hold: the disk's own writes then say what is wrong. Null when a
// volume refuses: lastError() says why, *refused (may be null) names it.
std::unique_ptr<VolumeHold> holdWindowsVolumes(const char16_t *devicePath, MountedVolume *refused);

} // namespace platform
