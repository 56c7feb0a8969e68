// What a system error code means for the person at the machine, as far as the
// updater can say something useful about it. The code itself is the system's
// own (errno, GetLastError); only this table knows which system it is from.
#pragma once

#include <cstdint>

namespace platform {

enum class ErrorKind {
    Other,    // nothing more to say than the system's own text
    NoAccess, // this user may not open the disk for writing (permissions)
    InUse,    // another program holds the disk (open, locked, scanned)
};

ErrorKind errorKind(std::uint32_t code);

// The system's own code for what a POSIX errno value names (itself on POSIX;
// the nearest GetLastError code on Windows), for stand-ins of the system such
// as the simulated calculator, which say their failures as errno values.
std::uint32_t systemErrorFor(int posixError);

} // namespace platform
