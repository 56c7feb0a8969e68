#include "resources/language.h"

#include <atomic>
#include <cctype>

namespace {

struct LocaleLanguage {
    const char *prefix;      // upper-case language part of a locale name
    std::uint32_t language;  // its language index
};

// Tested in this order; anything else is English.
const LocaleLanguage kLocaleTable[] = {
    {"EN", 1}, {"ZH", 2}, {"FR", 3}, {"DE", 4}, {"ES", 5}, {"NL", 6}, {"PT", 7}, {"JA", 8},
    {"RU", 9},
};

// Set once by the dialog on the GUI thread before any text is fetched; read
// by lookups on the GUI thread.
std::atomic<const std::uint32_t *> gLanguageIndex{nullptr};

} // namespace

std::uint32_t languageFromLocale(const std::string &localeName)
{
    std::string name;
    name.reserve(localeName.size());
    for (char c : localeName)
        name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t cut = name.rfind('_');
    const std::string prefix = cut == std::string::npos ? std::string() : name.substr(0, cut);
    for (const LocaleLanguage &entry : kLocaleTable)
        if (prefix == entry.prefix)
            return entry.language;
    return kLanguageEnglish;
}

bool checkLanguage(std::uint32_t *storeInto, std::int32_t requestedIndex)
{
    if (static_cast<std::uint32_t>(requestedIndex) <= kHighestLanguage) {
        *storeInto = static_cast<std::uint32_t>(requestedIndex);
        return true;
    }
    *storeInto = kLanguageEnglish;
    return false;
}

std::uint32_t currentLanguage()
{
    const std::uint32_t *index = gLanguageIndex.load(std::memory_order_acquire);
    return index == nullptr ? 0 : *index;
}

void bindCurrentLanguage(const std::uint32_t *languageIndex)
{
    gLanguageIndex.store(languageIndex, std::memory_order_release);
}
