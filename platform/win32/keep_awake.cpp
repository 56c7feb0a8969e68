#include "platform/keep_awake.h"

#include <windows.h>

namespace platform {

// Windows shows no reason for a thread's request; it lasts until the same
// thread clears it.
AwakeHold::AwakeHold(const char *) noexcept
{
    held_ = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

AwakeHold::~AwakeHold()
{
    if (held_)
        SetThreadExecutionState(ES_CONTINUOUS);
}

} // namespace platform
