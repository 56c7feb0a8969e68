// What a system error code means for the person at the machine, as far as the
// updater can say something useful about it. The code itself is the system's
// own (errno, GetLastError); only this table knows which system it is from.
#pragma once

#include <cstdint>

namespace platform {

enum class ErrorKind {
    Other,        // nothing more to say than the system's own text
    NoAccess,     // POSIX: this user may not open the disk for writing (the node's mode:
                  // the udev rule, or root)
    AccessDenied, // Windows' "access denied": at the open, this user lacks the rights (an
                  // administrator's, or the removable-storage policy's); at a write after a
                  // good open with no volume mounted, a policy blocks the writing
    WriteBlocked, // write protection or a policy: writing to removable disks is blocked here
    Gone,         // the calculator went away (not ready, no such device, disconnected)
    InUse,        // another program holds the disk (sharing, lock, busy)
    Unsupported,  // the device does not do the request (a flush it has no command for)
};

ErrorKind errorKind(std::uint32_t code);

// The system's own code for a name the simulator's fault list may use
// instead of a number: "access-denied", "write-protect", "sharing",
// "unsupported", "gone"; 0 for any other name.
std::uint32_t namedSystemError(const char *name);

// The system's own code for what a POSIX errno value names (itself on POSIX;
// the nearest GetLastError code on Windows), for stand-ins of the system such
// as the simulated calculator, which say their failures as errno values.
std::uint32_t systemErrorFor(int posixError);

} // namespace platform
