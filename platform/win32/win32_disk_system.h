// What the Windows disk system offers beyond the common table: for its own
// test suite, which has no calculator to open.
#pragma once

#include "platform/disk_system.h"

namespace platform {

// Opens a regular file exactly as openDisk opens a calculator disk (read and
// write, no buffering, write-through, random access), so that a file can
// stand in for a disk. Device and network paths (starting with two slashes
// of either kind) are refused: no disk is ever opened this way.
Handle openFileWithDiskFlags(const char16_t *path);

} // namespace platform
