#include "platform/error_kind.h"

#include <windows.h>

#include <cerrno>
#include <string>

namespace platform {

// The MinGW headers lack it: the code a disk gives once its device has been
// removed from the system.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace {

// What each code Windows gives for a removable disk means for the person at
// the machine; every code not here says nothing more than its own text.
struct KindOfCode {
    DWORD code;
    ErrorKind kind;
};
constexpr KindOfCode kKinds[] = {
    // This user lacks the rights at the open (an administrator's, or the
    // removable-storage policy's); at a write after a good open, a policy.
    // An Explorer window shares the disk and cannot cause it.
    {ERROR_ACCESS_DENIED, ErrorKind::AccessDenied},
    {ERROR_WRITE_PROTECT, ErrorKind::WriteBlocked}, // write protection, "deny write access" policies
    {ERROR_NOT_READY, ErrorKind::Gone},
    {ERROR_DEV_NOT_EXIST, ErrorKind::Gone},
    {ERROR_DEVICE_NOT_CONNECTED, ErrorKind::Gone},
    {ERROR_NO_SUCH_DEVICE, ErrorKind::Gone},
    {ERROR_SHARING_VIOLATION, ErrorKind::InUse},
    {ERROR_LOCK_VIOLATION, ErrorKind::InUse},
    {ERROR_BUSY, ErrorKind::InUse},
    {ERROR_INVALID_FUNCTION, ErrorKind::Unsupported}, // a request the device has no command for
    {ERROR_NOT_SUPPORTED, ErrorKind::Unsupported},
};

} // namespace

ErrorKind errorKind(std::uint32_t code)
{
    for (const KindOfCode &known : kKinds)
        if (known.code == code)
            return known.kind;
    return ErrorKind::Other;
}

std::uint32_t namedSystemError(const char *name)
{
    const std::string given = name != nullptr ? name : "";
    if (given == "access-denied")
        return ERROR_ACCESS_DENIED;
    if (given == "write-protect")
        return ERROR_WRITE_PROTECT;
    if (given == "sharing")
        return ERROR_SHARING_VIOLATION;
    if (given == "unsupported")
        return ERROR_NOT_SUPPORTED;
    if (given == "gone")
        return ERROR_DEV_NOT_EXIST;
    return 0;
}

std::uint32_t systemErrorFor(int posixError)
{
    switch (posixError) {
    case 0:
        return ERROR_SUCCESS;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EBUSY:
        return ERROR_BUSY;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENODEV:
        return ERROR_DEV_NOT_EXIST;
    case ENXIO:
        return ERROR_NOT_READY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
        return ERROR_DISK_FULL;
    default:
        return ERROR_IO_DEVICE; // EIO and the rest: the device failed the request
    }
}

} // namespace platform
