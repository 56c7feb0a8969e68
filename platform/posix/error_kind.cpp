#include "platform/error_kind.h"

#include <cerrno>

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
    default:
        return ErrorKind::Other;
    }
}

std::uint32_t systemErrorFor(int posixError)
{
    return static_cast<std::uint32_t>(posixError);
}

} // namespace platform
