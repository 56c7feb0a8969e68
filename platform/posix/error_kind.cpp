#include "platform/error_kind.h"

#include <cerrno>
#include <string>

namespace platform {

ErrorKind errorKind(std::uint32_t code)
{
    switch (code) {
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorKind::NoAccess; // the node's mode or a policy: the udev rule, or root
    case EBUSY:
    case ETXTBSY:
        return ErrorKind::InUse; // mounted, or opened exclusively by another program
    case EINVAL:
    case EOPNOTSUPP:
        return ErrorKind::Unsupported; // a request the device or its driver does not do (a flush)
    default:
        return ErrorKind::Other;
    }
}

std::uint32_t namedSystemError(const char *name)
{
    const std::string given = name != nullptr ? name : "";
    if (given == "access-denied")
        return EACCES;
    if (given == "write-protect")
        return EROFS;
    if (given == "sharing")
        return EBUSY;
    if (given == "unsupported")
        return EOPNOTSUPP;
    if (given == "gone")
        return ENODEV;
    return 0;
}

std::uint32_t systemErrorFor(int posixError)
{
    return static_cast<std::uint32_t>(posixError);
}

} // namespace platform
