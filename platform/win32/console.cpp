#include "platform/console.h"

#include "platform/disk_system.h"

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

namespace {

// UTF-16 units per WriteConsoleW call: well inside the console's buffer.
constexpr std::size_t kConsoleChunk = 4096;

// The console behind a C stream, or null when it leads elsewhere (a file, a
// pipe) or nowhere: GetConsoleMode succeeds on console handles only.
HANDLE consoleOf(std::FILE *stream)
{
    const int fd = _fileno(stream);
    if (fd < 0) // -2: a windowed program's stream that leads nowhere
        return nullptr;
    const std::intptr_t os = _get_osfhandle(fd);
    if (os == -1 || os == -2)
        return nullptr;
    const auto handle = reinterpret_cast<HANDLE>(os);
    DWORD mode = 0;
    return ::GetConsoleMode(handle, &mode) ? handle : nullptr;
}

bool writeConsole(HANDLE console, std::u16string_view text)
{
    while (!text.empty()) {
        std::size_t chunk = std::min(text.size(), kConsoleChunk);
        // A surrogate pair is never cut in two between two calls.
        if (chunk < text.size() && text[chunk - 1] >= 0xD800 && text[chunk - 1] <= 0xDBFF)
            --chunk;
        DWORD written = 0;
        if (!::WriteConsoleW(console, text.data(), static_cast<DWORD>(chunk), &written, nullptr) || written == 0 ||
            written > chunk)
            return false;
        text.remove_prefix(written);
    }
    return true;
}

bool writeStream(std::FILE *stream, std::u16string_view text)
{
    std::fflush(stream);
    if (const HANDLE console = consoleOf(stream))
        return writeConsole(console, text);
    const std::string bytes = toUtf8(std::u16string(text));
    return std::fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() && std::fflush(stream) == 0;
}

bool attached = false; // useParentConsole attached to the parent's console (main thread only)

// True when the standard handle leads somewhere: a console, a file or a pipe
// that the caller handed over.
bool leadsSomewhere(DWORD which)
{
    const HANDLE handle = ::GetStdHandle(which);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

} // namespace

bool writeOut(std::u16string_view text)
{
    return writeStream(stdout, text);
}

bool writeErr(std::u16string_view text)
{
    return writeStream(stderr, text);
}

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
