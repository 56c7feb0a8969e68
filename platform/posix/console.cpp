#include "platform/console.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// A POSIX program's standard streams are what its parent gave it: a
// terminal, a file, a pipe or /dev/null that the caller chose; a desktop
// launcher leaves a socket to the journal, or nothing.
bool useParentConsole()
{
    struct stat st;
    return ::fstat(STDERR_FILENO, &st) == 0 && !S_ISSOCK(st.st_mode);
}

void leaveParentConsole() {}

} // namespace platform
