#include "platform/error_kind.h"

#include <windows.h>

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
    default:
        return ErrorKind::Other;
    }
}

} // namespace platform
