// The legacy release's three files and where each goes on the calculator
// disk, as the suites that check disk images expect them (written out here
// from the release's description, not taken from the updater's scan).
#pragma once

#include <QtGlobal>

namespace testsupport {

struct ReleaseFile {
    const char *name;
    qint64 diskOffset;
};

constexpr ReleaseFile kLegacyRelease[] = {
    {"APPSDISK.DAT", 0x500000},
    {"GIRVAARM.ROM", 0},
    {"MASTER.DAT", 0x100000},
};

} // namespace testsupport
