#include "platform/instance_lock.h"

namespace platform {

bool isInstanceName(const std::string &name)
{
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    for (const char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                             c == '_' || c == '.';
        if (!allowed)
            return false;
    }
    return true;
}

} // namespace platform
