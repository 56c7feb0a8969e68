// Appending under LockFileEx. The lock covers the whole file (offset 0, every
// byte up to MAXDWORD:MAXDWORD) and is mandatory on Windows: another copy's
// read or write of the file waits for, or is refused by, it, so every copy
// takes it before touching the file.
#include "platform/locked_append.h"

#include <windows.h>

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace platform {

namespace {

// Every byte of `data`, in pieces a DWORD can count.
bool writeAll(HANDLE file, const char *data, std::size_t size)
{
    while (size > 0) {
        const DWORD piece = size > 0x10000000 ? DWORD(0x10000000) : DWORD(size);
        DWORD written = 0;
        if (!WriteFile(file, data, piece, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

// The file's first `size` bytes (fewer when it is shorter).
bool readStart(HANDLE file, std::size_t size, std::string *start)
{
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN))
        return false;
    start->assign(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        DWORD read = 0;
        if (!ReadFile(file, &(*start)[got], DWORD(size - got), &read, nullptr))
            return false;
        if (read == 0)
            break;
        got += read;
    }
    start->resize(got);
    return true;
}

// Cuts a disk file back to `size` (a failed append leaves no half line);
// when that fails too, the half line stays.
void cutBack(HANDLE file, LARGE_INTEGER size)
{
    if (SetFilePointerEx(file, size, nullptr, FILE_BEGIN))
        SetEndOfFile(file);
}

AppendStatus append(HANDLE file, const std::string &header, const std::string &text, bool headerToStream)
{
    // A disk file can be read back; a console, a pipe or a device cannot.
    const bool regular = GetFileType(file) == FILE_TYPE_DISK;
    LARGE_INTEGER size{};
    bool withHeader = headerToStream;
    if (regular) {
        if (!GetFileSizeEx(file, &size))
            return AppendStatus::Failed;
        std::string start;
        if (size.QuadPart > 0 && !readStart(file, header.size(), &start))
            return AppendStatus::Failed;
        if (size.QuadPart > 0 && start != header)
            return AppendStatus::Foreign;
        withHeader = size.QuadPart == 0;
    }
    if (text.empty())
        return AppendStatus::Appended;
    LARGE_INTEGER zero{};
    if (regular && !SetFilePointerEx(file, zero, nullptr, FILE_END))
        return AppendStatus::Failed;
    const std::string bytes = withHeader ? header + text : text;
    if (!writeAll(file, bytes.data(), bytes.size())) {
        const DWORD code = GetLastError();
        if (regular)
            cutBack(file, size);
        SetLastError(code); // the write's own reason is the one to say
        return AppendStatus::Failed;
    }
    if (regular && !FlushFileBuffers(file))
        return AppendStatus::Failed;
    return AppendStatus::Appended;
}

} // namespace

AppendStatus appendLocked(const char16_t *path, const std::string &header, const std::string &text,
                          bool headerToStream, std::uint32_t *systemError)
{
    *systemError = 0;
    // Shared for reading, writing and deleting: the lock, not the sharing
    // mode, keeps two copies apart, and a reader (a spreadsheet) is no reason
    // to lose a line.
    const HANDLE file = CreateFileW(reinterpret_cast<const wchar_t *>(path), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *systemError = std::uint32_t(GetLastError());
        return AppendStatus::Failed;
    }
    OVERLAPPED whole{}; // offset 0: the range starts at the file's first byte
    AppendStatus status = AppendStatus::Failed;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        status = append(file, header, text, headerToStream);
        if (status == AppendStatus::Failed)
            *systemError = std::uint32_t(GetLastError());
        OVERLAPPED again{};
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &again);
    } else {
        *systemError = std::uint32_t(GetLastError());
    }
    CloseHandle(file);
    return status;
}

} // namespace platform
