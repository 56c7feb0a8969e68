// The firmware release's layout: its three files, each with its role, its
// name in the legacy and in the current name set, the disk offset it is
// written to on the calculator and the room it has there. The release scan
// (release_scan.cpp) reads its names, offsets and rooms from here and
// nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>

struct ReleaseRole {
    const char *role;
    const char *legacyName;  // upper case, as the scan compares
    const char *currentName; // upper case, as the scan compares
    std::int64_t diskOffset;
    // The most bytes the file may have: up to the next file's place. 0: up
    // to the end of the calculator's disk, checked against each disk.
    std::int64_t room;
};

constexpr ReleaseRole kReleaseLayout[] = {
    {"application-disk image", "APPSDISK.DAT", "TAVIX_APP.DAT", 0x500000, 0},
    {"operating-system image", "GIRVAARM.ROM", "TAVIX_OS.ROM", 0, 0x100000},
    {"master data file", "MASTER.DAT", "TAVIX_MASTER.DAT", 0x100000, 0x400000},
};

constexpr std::size_t kReleaseRoleCount = sizeof kReleaseLayout / sizeof kReleaseLayout[0];
