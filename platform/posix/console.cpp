#include "platform/console.h"

namespace platform {

// A POSIX program's standard streams are what its parent gave it.
void useParentConsole() {}

void leaveParentConsole() {}

} // namespace platform
