// A string-resource folder made of any bytes: HelpEn.xqresource (and, when the
// input asks for it, HelpDe.xqresource) are the fuzzer's bytes, served from
// heap copies of exactly their size. Headers, chains, block indexes, block
// positions and code trees are all outside input; every lookup must stay
// inside what was read, keep the cache within its limit, and return either
// nothing or a non-empty string that ends in a NUL (AddressSanitizer sees any
// unit read too far). Every lookup must also give what a plain walk of the
// same rules finds (which file, which chain entry, which block) with the
// blocks decoded by the reference decoder of tests/support; and every block
// that a file's index lists decodes as the reference decodes it.
//
// Input: a flags byte F. When F bit 0 is set, two bytes S (little-endian)
// follow and the rest is split after S bytes into HelpEn and HelpDe;
// otherwise the rest is HelpEn alone. F bits 1 to 2 choose the current
// language (1, 4, 0 or 9). The last 16 bytes also give four identifiers.
#include "common/little_endian.h"
#include "resources/block_decoder.h"
#include "resources/language.h"
#include "resources/resource_file.h"
#include "resources/string_lookup.h"
#include "support/reference_block_decoder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
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

// ---- The lookup's rules once more, walked plainly over the folder's bytes ----
// The layout's offsets and masks are written out here as numbers on purpose,
// not taken from resources/resource_format.h: a wrong constant there must not
// be able to agree with itself.

// The bytes [from, from + length) of a file when they all lie inside it; no
// bytes can always be had, wherever they start.
const std::uint8_t *range(const FolderFile &file, std::uint64_t from, std::uint64_t length)
{
    static const std::uint8_t kNothing = 0;
    if (length == 0)
        return &kNothing;
    if (from > file.bytes.size() || length > file.bytes.size() - from)
        return nullptr;
    return file.bytes.data() + from;
}

struct ModelFile {
    const FolderFile *file;
    std::array<std::uint8_t, 332> header; // widened with zeros, chain fixed up
    std::uint32_t field(std::size_t at) const { return le::read32(header.data() + at); }
};

// The file a key opens: named by the key without the preferred bit, a valid
// header, and the key as its own (the chain's first entry).
std::optional<ModelFile> openModel(std::uint32_t key)
{
    const std::uint32_t language = key & ~0x80u;
    const FolderFile *file = language == 1 ? &gEnglish : language == 4 ? &gGerman : nullptr;
    if (file == nullptr || !file->present || file->bytes.size() < 12)
        return std::nullopt;
    const std::uint8_t *bytes = file->bytes.data();
    const std::uint32_t format = le::read32(bytes + 4), headerLength = le::read32(bytes + 8);
    if (le::read32(bytes) != 0xB28A617Cu || (format != 0xFE84125Du && format != 0xFE84125Eu) || headerLength < 12 ||
        headerLength > 332 || headerLength > file->bytes.size())
        return std::nullopt;
    ModelFile model{file, {}};
    std::copy(bytes, bytes + headerLength, model.header.begin());
    for (std::size_t at = 12; at < 28; at += 4) { // English ends the chain unless it is in it
        const std::uint32_t entry = model.field(at);
        if (entry == 1)
            break;
        if (entry == 0) {
            model.header[at] = 1;
            break;
        }
    }
    if (model.field(12) != key)
        return std::nullopt;
    return model;
}

// The strings of a block of the file, decoded by the reference, or none when
// the index, the block's record or the block cannot be had.
std::optional<reference::Strings> modelBlock(const ModelFile &model, std::uint32_t number)
{
    const auto count = std::int32_t(model.field(56));
    const std::uint8_t *index = range(*model.file, model.field(60), count > 0 ? std::uint64_t(count) * 12 : 0);
    if (count <= 0 || index == nullptr)
        return std::nullopt;
    const std::uint8_t *record = nullptr; // the last one of the number
    for (std::int32_t i = 0; i < count; ++i)
        if ((le::read32(index + 12 * i) & 0x7FFFFFu) == number)
            record = index + 12 * i;
    if (record == nullptr)
        return std::nullopt;
    const std::uint32_t length = le::read32(record + 8) & 0x7FFFFFFFu;
    const std::uint8_t *block = range(*model.file, std::uint32_t(model.field(64) + le::read32(record + 4)), length);
    if (block == nullptr)
        return std::nullopt;
    const std::uint32_t treeLength = model.field(44);
    if (treeLength == 0)
        return reference::decodePlainBlock(block, length, le::read32(record) >> 23);
    // Whatever part of the tree lies inside the file.
    const std::uint64_t treeAt = model.field(40), size = model.file->bytes.size();
    const std::uint64_t treeRead = treeAt < size ? std::min<std::uint64_t>(treeLength, size - treeAt) : 0;
    const std::uint8_t *tree = treeRead ? model.file->bytes.data() + treeAt : block;
    return reference::decodeCodedBlock(block, length, tree, std::uint32_t(treeRead));
}

// The text a lookup should give: none, or a non-empty string.
std::optional<std::u16string> modelLookup(std::uint32_t identifier, std::uint32_t language)
{
    if (language == 0)
        language = gLanguage;
    std::optional<ModelFile> root;
    for (std::uint32_t key : {language | 0x80u, language, 0x81u, 1u})
        if (!root)
            root = openModel(key);
    if (!root)
        return std::nullopt;
    for (std::size_t position = 0; position < 4; ++position) {
        const std::uint32_t entry = root->field(12 + 4 * position);
        if (entry == 0)
            continue;
        for (std::uint32_t key : {entry | 0x80u, entry}) {
            const std::optional<ModelFile> file = openModel(key);
            if (!file)
                continue;
            const std::optional<reference::Strings> strings = modelBlock(*file, identifier >> 9);
            const std::uint32_t index = identifier & 511;
            if (strings && index < strings->size() && !(*strings)[index].empty())
                return (*strings)[index];
        }
    }
    return std::nullopt;
}

reference::Strings stringsOf(const StringTable &table)
{
    return reference::Strings(table.strings.begin(), table.strings.end());
}

// Every block a file's index lists (up to 64 records), decoded from the
// file's tree bytes and through the tree compiled once, against the reference.
void checkListedBlocks(const FolderFile &file)
{
    const std::vector<std::uint8_t> &bytes = file.bytes;
    if (!file.present || bytes.size() < 68)
        return;
    const std::uint32_t treeLength = le::read32(&bytes[44]);
    const std::uint32_t indexAt = le::read32(&bytes[60]), base = le::read32(&bytes[64]);
    const std::int64_t count = std::min<std::int64_t>(std::int32_t(le::read32(&bytes[56])), 64);
    const std::uint8_t *treeBytes = range(file, le::read32(&bytes[40]), treeLength);
    const bool coded = treeLength != 0 && treeBytes != nullptr;
    // Heap copies of exactly their size, so that AddressSanitizer sees a byte too far.
    const std::unique_ptr<std::uint8_t[]> tree(new std::uint8_t[coded ? treeLength : 0]);
    if (coded)
        std::memcpy(tree.get(), treeBytes, treeLength);
    CompiledCodeTree compiled;
    check(compileCodeTree(tree.get(), coded ? treeLength : 0, &compiled), "the tree compiles");
    for (std::int64_t i = 0; i < count; ++i) {
        const std::uint8_t *record = range(file, std::uint64_t(indexAt) + 12 * std::uint64_t(i), 12);
        if (record == nullptr)
            return;
        const std::uint32_t length = le::read32(record + 8) & 0x7FFFFFFFu;
        const std::uint32_t lastIndex = le::read32(record) >> 23;
        const std::uint8_t *at = range(file, std::uint32_t(base + le::read32(record + 4)), length);
        if (at == nullptr)
            continue;
        const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[length]);
        std::memcpy(block.get(), at, length);
        const reference::Strings expected =
            coded ? reference::decodeCodedBlock(block.get(), length, tree.get(), treeLength)
                  : reference::decodePlainBlock(block.get(), length, lastIndex);
        StringTable fromBytes;
        decodeBlock(&fromBytes, block.get(), length, coded ? tree.get() : nullptr, coded ? treeLength : 0, lastIndex);
        check(stringsOf(fromBytes) == expected, "a listed block decodes as the reference decodes it");
        if (coded) {
            StringTable fromCompiled;
            decodeBlock(&fromCompiled, block.get(), length, &compiled, lastIndex);
            check(stringsOf(fromCompiled) == expected,
                  "a listed block decodes through the compiled tree as the reference decodes it");
        }
    }
}

// Walks the whole string as a caller copying it would, and holds it against the model.
void lookUp(std::uint32_t identifier, std::uint32_t language)
{
    const char16_t *text = lookupString(identifier, language);
    check(blockCacheSize() <= kBlockCacheLimit, "cache within its limit");
    if (identifier == 0) {
        check(text != nullptr && text[0] == 0, "identifier 0 gives the empty string");
        return;
    }
    const std::optional<std::u16string> expected = modelLookup(identifier, language);
    check(expected.has_value() == (text != nullptr), "a text is found exactly when the model finds one");
    if (text == nullptr)
        return;
    std::size_t length = 0;
    while (text[length] != 0)
        ++length;
    check(length > 0, "a found string is not empty");
    check(std::u16string(text, length) == *expected, "the text found is the model's");
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
        englishSize = std::min<std::size_t>(le::read16(data + 1), size - at);
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
    for (std::size_t i = 0; i < 4 && size >= 16; ++i)
        identifiers.push_back(le::read32(data + size - 16 + 4 * i));
    checkListedBlocks(gEnglish);
    checkListedBlocks(gGerman);
    // Twice, so that the second round meets the blocks the first one cached.
    for (int round = 0; round < 2; ++round)
        for (std::uint32_t language : {0u, 1u, 4u})
            for (std::uint32_t identifier : identifiers)
                lookUp(identifier, language);
    return 0;
}
