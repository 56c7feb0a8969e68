// The language of the user interface: one per run, chosen while the update
// dialog is built, never changed afterwards.
//
// Indexes: 1 English, 2 Chinese, 3 French, 4 German, 5 Spanish, 6 Dutch,
// 7 Portuguese, 8 Japanese, 9 Russian; 0 passed to a lookup means the
// current language.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint32_t kLanguageEnglish = 1;
constexpr std::uint32_t kHighestLanguage = 9;

// The language of a locale name such as "de_AT" or "pt_BR": its upper-cased
// part before the last underscore, looked up in the locale table; 1 when the
// name has no underscore or the prefix is not in the table. Callers pass the
// system locale's name (QLocale::system().name()).
std::uint32_t languageFromLocale(const std::string &localeName);

// Always stores a language index into *storeInto: requestedIndex itself when
// it is 0 to kHighestLanguage (taken as unsigned, so no negative value
// passes), English (1) for anything else. Returns whether requestedIndex was
// kept; callers use what was stored and ignore the result.
bool checkLanguage(std::uint32_t *storeInto, std::int32_t requestedIndex);

// The current language: the dialog's languageIndex, which the dialog binds at
// the start of its construction (0 before that, and until it is chosen).
std::uint32_t currentLanguage();
void bindCurrentLanguage(const std::uint32_t *languageIndex);
