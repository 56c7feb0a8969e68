// A localizable text of the window: its identifier in the string resources
// and the English shown when the current language has none.
#pragma once

#include "resources/localized_text.h"

#include <QString>

#include <cstdint>

struct UiText {
    std::uint32_t id;
    const char *english;
};

// The text in the current language, or the English one when none was found.
inline QString uiText(const UiText &wanted)
{
    const QString found = localizedText(wanted.id, 0);
    return found.isEmpty() ? QString::fromUtf8(wanted.english) : found;
}
