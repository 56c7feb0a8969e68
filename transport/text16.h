// The NUL-terminated UTF-16 texts the transport keeps in fixed buffers
// (device paths, firmware paths, messages, identities).
#pragma once

namespace text16 {

// Units before the terminator, counting no further than `limit`.
inline int length(const char16_t *text, int limit)
{
    int n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    return n;
}

// a-z upper-cased; every other unit stays as it is.
inline char16_t upperAscii(char16_t unit)
{
    return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

} // namespace text16
