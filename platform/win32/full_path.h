// Firmware files by paths of any length (platform/long_path.h), for the
// Windows calls that open them.
#pragma once

#include <string>

namespace platform {

// The path CreateFileW opens for `path` at any length: its extended form, a
// relative path made absolute against the current folder first
// (GetFullPathNameW). False, with lastError() set, when there is none:
// ERROR_INVALID_NAME for a path no file can have, ERROR_FILENAME_EXCED_RANGE
// for one too long even in the extended form.
bool fullExtendedPath(const char16_t *path, std::u16string *out);

} // namespace platform
