// A string-resource folder made of any bytes: HelpEn.xqresource (and, when the
// input asks for it, HelpDe.xqresource) are the fuzzer's bytes, served from
// heap copies of exactly their size. Headers, chains, block indexes, block
// positions and code trees are all outside input; every lookup must stay
// inside what was read, keep the cache within its limit, and return either
// nothing or a non-empty string that ends in a NUL (AddressSanitizer sees any
// unit read too far).
//
// Input: a flags byte F. When F bit 0 is set, two bytes S (little-endian)
// follow and the rest is split after S bytes into HelpEn and HelpDe;
// otherwise the rest is HelpEn alone. F bits 1 to 2 choose the current
// language (1, 4, 0 or 9). The last 16 bytes also give four identifiers.
#include "resources/language.h"
#include "resources/resource_file.h"
#include "resources/string_lookup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

struct FolderFile {
    const char16_t *name;
    std::vector<std::uint8_t> bytes;
    bool present = false;
};
FolderFile gEnglish{u"HelpEn.xqresource", {}};
FolderFile gGerman{u"HelpDe.xqresource", {}};

std::int64_t folderReader(const char16_t *name, std::uint8_t **out, std::int64_t from, std::int64_t to)
{
    *out = nullptr;
    const FolderFile *file = nullptr;
    for (const FolderFile *candidate : {&gEnglish, &gGerman})
        if (candidate->present && std::u16string(name) == candidate->name)
            file = candidate;
    if (file == nullptr)
        return 0;
    const std::int64_t end = std::min<std::int64_t>(to, std::int64_t(file->bytes.size()));
    if (from < 0 || from >= end)
        return 0;
    *out = new std::uint8_t[std::size_t(end - from)]; // exactly the bytes served
    std::memcpy(*out, file->bytes.data() + from, std::size_t(end - from));
    return end - from;
}

std::uint32_t gLanguage = 1;

// Walks the whole string as a caller copying it would.
void lookUp(std::uint32_t identifier, std::uint32_t language)
{
    const char16_t *text = lookupString(identifier, language);
    check(blockCacheSize() <= kBlockCacheLimit, "cache within its limit");
    if (identifier == 0) {
        check(text != nullptr && text[0] == 0, "identifier 0 gives the empty string");
        return;
    }
    if (text == nullptr)
        return;
    std::size_t length = 0;
    while (text[length] != 0)
        ++length;
    check(length > 0, "a found string is not empty");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t flags = data[0];
    std::size_t at = 1;
    std::size_t englishSize = size - at;
    gGerman.present = false;
    if ((flags & 1) != 0 && size >= 3) {
        at = 3;
        englishSize = std::min<std::size_t>(data[1] | std::size_t(data[2]) << 8, size - at);
        gGerman.bytes.assign(data + at + englishSize, data + size);
        gGerman.present = true;
    }
    gEnglish.bytes.assign(data + at, data + at + englishSize);
    gEnglish.present = true;
    static const std::uint32_t kLanguages[] = {1, 4, 0, 9};
    gLanguage = kLanguages[(flags >> 1) & 3];

    resetResourceFiles();
    resetBlockCache();
    setResourceReader(folderReader);
    bindCurrentLanguage(&gLanguage);

    std::vector<std::uint32_t> identifiers = {0, 1, 2, 511, 512, 513, 622, 7774};
    for (std::size_t i = 0; i < 4 && size >= 16; ++i) {
        const std::uint8_t *word = data + size - 16 + 4 * i;
        identifiers.push_back(std::uint32_t(word[0]) | std::uint32_t(word[1]) << 8 |
                              std::uint32_t(word[2]) << 16 | std::uint32_t(word[3]) << 24);
    }
    // Twice, so that the second round meets the blocks the first one cached.
    for (int round = 0; round < 2; ++round)
        for (std::uint32_t language : {0u, 1u, 4u})
            for (std::uint32_t identifier : identifiers)
                lookUp(identifier, language);
    return 0;
}
