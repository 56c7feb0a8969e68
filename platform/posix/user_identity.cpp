#include "platform/user_identity.h"

#include <unistd.h>

namespace platform {

std::string userInstanceSuffix()
{
    return "-" + std::to_string(static_cast<unsigned long>(::getuid()));
}

} // namespace platform
