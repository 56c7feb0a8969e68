#include "platform/console.h"

#include "platform/disk_system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace platform {

namespace {

bool writeUtf8(std::FILE *stream, std::u16string_view text)
{
    const std::string bytes = toUtf8(std::u16string(text));
    return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() && std::fflush(stream) == 0;
}

} // namespace

bool writeOut(std::u16string_view text)
{
    return writeUtf8(stdout, text);
}

bool writeErr(std::u16string_view text)
{
    return writeUtf8(stderr, text);
}

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
