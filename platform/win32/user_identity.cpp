#include "platform/user_identity.h"

namespace platform {

// Qt's shared-memory names live in the session's namespace here.
std::string userInstanceSuffix()
{
    return std::string();
}

} // namespace platform
