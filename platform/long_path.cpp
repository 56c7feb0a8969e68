#include "platform/long_path.h"

#include <vector>

namespace platform {

namespace {

bool separator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

bool asciiLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

// The components of `rest` (separators of either kind, run together as one)
// with "." left out and ".." taking back the one before it; false when a
// ".." has nothing left to take back.
bool resolve(std::u16string_view rest, std::vector<std::u16string_view> *components)
{
    std::size_t at = 0;
    while (at < rest.size()) {
        std::size_t end = at;
        while (end < rest.size() && !separator(rest[end]))
            ++end;
        const std::u16string_view part = rest.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == u".")
            continue;
        if (part == u"..") {
            if (components->empty())
                return false;
            components->pop_back();
            continue;
        }
        components->push_back(part);
    }
    return true;
}

} // namespace

LongPathStatus extendedLengthPath(std::u16string_view path, std::u16string *out)
{
    if (path.empty() || path.find(u'\0') != std::u16string_view::npos)
        return LongPathStatus::Invalid;
    const auto finish = [&](std::u16string &&text) {
        if (text.size() >= kMaxExtendedPathUnits)
            return LongPathStatus::TooLong;
        *out = std::move(text);
        return LongPathStatus::Extended;
    };
    if (path.substr(0, 4) == u"\\\\?\\" || path.substr(0, 4) == u"\\\\.\\")
        return finish(std::u16string(path));

    std::u16string text;
    std::vector<std::u16string_view> components;
    if (path.size() >= 2 && separator(path[0]) && separator(path[1])) {
        // "\\server\share\...": ".." stops at the share. "?" or "." as the
        // server is no share but one of the prefixes spelt otherwise (with a
        // '/'), which the system reads in its own way: refused.
        std::size_t at = 2;
        std::u16string_view names[2]; // the server, the share
        for (std::u16string_view &name : names) {
            std::size_t end = at;
            while (end < path.size() && !separator(path[end]))
                ++end;
            name = path.substr(at, end - at);
            at = end < path.size() ? end + 1 : end;
            if (name.empty() || name == u"." || name == u".." || name == u"?")
                return LongPathStatus::Invalid;
        }
        if (!resolve(path.substr(at), &components))
            return LongPathStatus::Invalid;
        text = u"\\\\?\\UNC\\";
        text += names[0];
        text += u'\\';
        text += names[1];
    } else if (path.size() >= 3 && asciiLetter(path[0]) && path[1] == u':' && separator(path[2])) {
        if (!resolve(path.substr(3), &components))
            return LongPathStatus::Invalid;
        text = u"\\\\?\\";
        text += path.substr(0, 2);
        if (components.empty())
            return finish(text + u'\\'); // the drive's root keeps its separator
    } else {
        return LongPathStatus::Relative; // "x", ".\x", "\x" (the current drive's root), "C:x"
    }
    for (const std::u16string_view component : components) {
        // Checked as it grows: a path of millions of units stops early.
        if (text.size() + 1 + component.size() >= kMaxExtendedPathUnits)
            return LongPathStatus::TooLong;
        text += u'\\';
        text += component;
    }
    if (separator(path.back()))
        text += u'\\';
    return finish(std::move(text));
}

} // namespace platform
