#include "platform/console.h"

#include <windows.h>

#include <cstdio>

namespace platform {

namespace {

bool attached = false; // useParentConsole attached to the parent's console (main thread only)

// True when the standard handle leads somewhere: a console, a file or a pipe
// that the caller handed over.
bool leadsSomewhere(DWORD which)
{
    const HANDLE handle = ::GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

} // namespace

bool useParentConsole()
{
    const bool out = leadsSomewhere(STD_OUTPUT_HANDLE);
    const bool err = leadsSomewhere(STD_ERROR_HANDLE);
    if ((out && err) || attached)
        return true;
    if (!::AttachConsole(ATTACH_PARENT_PROCESS))
        return err;
    attached = true;
    // Only the streams that led nowhere; a redirected one keeps its file.
    if (!out)
        static_cast<void>(std::freopen("CONOUT$", "w", stdout));
    if (!err)
        static_cast<void>(std::freopen("CONOUT$", "w", stderr));
    return true;
}

void leaveParentConsole()
{
    if (!attached)
        return;
    std::fflush(stdout);
    std::fflush(stderr);
    ::FreeConsole();
    attached = false;
}

} // namespace platform
