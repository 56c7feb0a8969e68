#include "platform/win32/full_path.h"

#include "platform/disk_system.h"
#include "platform/long_path.h"

#include <windows.h>

namespace platform {

bool fullExtendedPath(const char16_t *path, std::u16string *out)
{
    if (path == nullptr) {
        setLastError(ERROR_INVALID_NAME);
        return false;
    }
    LongPathStatus status = extendedLengthPath(path, out);
    if (status == LongPathStatus::Relative) {
        // The size it needs (terminator included), then the path; asked again
        // when the current folder changed in between and it needs more.
        std::u16string full;
        DWORD length = 0;
        for (int attempt = 0; attempt < 3; ++attempt) {
            const auto capacity = static_cast<DWORD>(full.size());
            length = GetFullPathNameW(reinterpret_cast<const wchar_t *>(path), capacity,
                                      capacity != 0 ? reinterpret_cast<wchar_t *>(&full[0]) : nullptr, nullptr);
            if (length == 0) {
                setLastError(static_cast<std::uint32_t>(GetLastError()));
                return false;
            }
            if (length < capacity)
                break;
            full.assign(length, u'\0');
        }
        if (length >= full.size()) {
            setLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        full.resize(length);
        status = extendedLengthPath(full, out);
    }
    switch (status) {
    case LongPathStatus::Extended:
        return true;
    case LongPathStatus::TooLong:
        setLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    case LongPathStatus::Relative: // still relative once made absolute: nothing to open
    case LongPathStatus::Invalid:
        break;
    }
    setLastError(ERROR_INVALID_NAME);
    return false;
}

} // namespace platform
