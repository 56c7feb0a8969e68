// Paths that Windows opens at any length. A path of 260 UTF-16 units or more
// opens only in the extended form: "\\?\" before a drive path ("\\?\C:\..."),
// "\\?\UNC\" in place of the two backslashes of a network path
// ("\\?\UNC\server\share\..."). The system hands that form to the file system
// as it is: no '/' becomes '\', no "." or ".." is resolved, so this does both
// before it adds the prefix. Plain text work, on every system (the suites run
// it everywhere); the Windows disk system opens firmware files through it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The longest extended path the system takes, in UTF-16 units, its
// terminator included.
constexpr std::size_t kMaxExtendedPathUnits = 32767;

enum class LongPathStatus {
    Extended, // *out holds the extended form
    Relative, // not absolute (".\x", "x", "\x", "C:x"): make it absolute first, then ask again
    Invalid,  // no file can have it: empty, a NUL unit, a share path without its share, ".." above
              // its root, a "\\?" or "\\." prefix written otherwise than with two backslashes
    TooLong,  // the extended form would not fit kMaxExtendedPathUnits
};

// The extended form of an absolute path `path`: every '/' a '\', separators
// run together as one, "." left out, ".." taking back the component before it;
// a trailing separator is kept, and every other component stays as it is
// (the names the folder listing gave). A path already in the extended or the device
// form ("\\?\", "\\.\") is taken unchanged. *out is set only for Extended.
LongPathStatus extendedLengthPath(std::u16string_view path, std::u16string *out);

} // namespace platform
