// The legacy release's three files, where each goes on the calculator disk
// and how many bytes its place holds, as the suites that check disk images
// and releases expect them (written out here from the release's
// description, not taken from the updater's scan).
#pragma once

#include <QtGlobal>

namespace testsupport {

struct ReleaseFile {
    const char *name;
    qint64 diskOffset;
    qint64 room; // 0: to the end of the calculator's disk
};

constexpr ReleaseFile kLegacyRelease[] = {
    {"APPSDISK.DAT", 0x500000, 0},
    {"GIRVAARM.ROM", 0, 1 << 20},
    {"MASTER.DAT", 0x100000, 4 << 20},
};

} // namespace testsupport
