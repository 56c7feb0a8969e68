#include "platform/error_kind.h"

#include <windows.h>

#include <cerrno>
#include <string>

namespace platform {

ErrorKind errorKind(std::uint32_t code)
{
    switch (code) {
    // A removable disk that refuses its user is, in practice, one that an
    // Explorer window, security software or a policy holds.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return ErrorKind::InUse;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return ErrorKind::Unsupported; // a request the device has no command for (a flush)
    default:
        return ErrorKind::Other;
    }
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
