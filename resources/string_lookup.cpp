#include "resources/string_lookup.h"

#include "resources/block_decoder.h"
#include "resources/language.h"
#include "resources/resource_file.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr int kPasses = 2; // 0: the chain entry as preferred key, 1: plain

struct DecodedBlock {
    std::uint32_t language; // the chain entry the block was found through
    int pass;               // 0 or 1
    std::uint32_t block;    // block number
    StringTable table;      // owns the decoded strings
};

// Position 0 holds the record of the latest hit or the latest decode.
std::vector<std::unique_ptr<DecodedBlock>> gBlockCache;

const char16_t kEmptyText[1] = {0};

// Something to point at when a read of zero bytes gave no buffer.
const std::uint8_t kNoBytes[1] = {0};

// Reads [from, from + length) of the file; true only when every byte came.
bool readRange(const ResourceFile &file, std::int64_t from, std::int64_t length, ReaderBytes *bytes)
{
    std::uint8_t *raw = nullptr;
    const std::int64_t count = file.reader(file.name.c_str(), &raw, from, from + length);
    bytes->reset(raw);
    return count == length && (length == 0 || *bytes);
}

// Reads the block index on first need. A short read leaves the file without
// one, so that a later lookup tries again. A block count of 0 or below is an
// empty index and costs no read.
bool ensureBlockIndex(ResourceFile *file)
{
    if (file->hasBlockIndex)
        return true;
    const auto blockCount = std::int32_t(file->headerWord(kHeaderBlockCountAt));
    if (blockCount <= 0) {
        file->blockIndex.clear();
        file->hasBlockIndex = true;
        return true;
    }
    const std::int64_t length = std::int64_t(blockCount) * kBlockIndexRecordSize;
    ReaderBytes bytes;
    if (!readRange(*file, file->headerWord(kHeaderBlockIndexAt), length, &bytes))
        return false;
    file->blockIndex.assign(bytes.get(), bytes.get() + length);
    file->hasBlockIndex = true;
    return true;
}

// The index record of a block number (the last one when several carry it),
// or nullptr.
const std::uint8_t *findIndexRecord(const ResourceFile &file, std::uint32_t block)
{
    const std::size_t records = file.blockIndex.size() / kBlockIndexRecordSize;
    for (std::size_t i = records; i-- > 0;) {
        const std::uint8_t *record = file.blockIndex.data() + i * kBlockIndexRecordSize;
        if (readBlockIndexRecord(record).number == block)
            return record;
    }
    return nullptr;
}

// Reads the code tree on first need and compiles whatever came back, also
// when it is short or empty: the decoder never walks outside the bytes read,
// and a file whose tree could not be read then yields what such a tree allows
// (typically nothing) instead of its code bits taken for text. The tree is
// compiled once per file, from no more than the bytes read, and its bytes are
// not kept. False when memory ran out: the file stays without a tree and a
// later lookup tries again.
bool ensureCodeTree(ResourceFile *file)
{
    const std::uint32_t length = file->headerWord(kHeaderCodeTreeLengthAt);
    if (file->hasCodeTree || length == 0)
        return true;
    std::uint8_t *raw = nullptr;
    const std::int64_t from = file->headerWord(kHeaderCodeTreeOffsetAt);
    const std::int64_t count = file->reader(file->name.c_str(), &raw, from, from + length);
    ReaderBytes bytes(raw);
    const auto read = static_cast<std::uint32_t>(bytes ? std::clamp<std::int64_t>(count, 0, length) : 0);
    if (!compileCodeTree(read ? bytes.get() : kNoBytes, read, &file->codeTree))
        return false;
    file->hasCodeTree = true;
    return true;
}

// The string `index` of a record when it is there, else nullptr.
const char16_t *stringOf(const DecodedBlock &record, std::uint32_t index)
{
    return index < record.table.count() ? record.table.strings[index] : nullptr;
}

// Reads and decodes a block of `file` into a new cache record, which ends up
// at position 0; nullptr when the block is not in the file, not readable, or
// memory for the file's code tree ran out.
DecodedBlock *decodeIntoCache(ResourceFile *file, std::uint32_t language, int pass, std::uint32_t block)
{
    if (!ensureBlockIndex(file))
        return nullptr;
    const std::uint8_t *record = findIndexRecord(*file, block);
    if (record == nullptr)
        return nullptr;
    const BlockIndexEntry entry = readBlockIndexRecord(record);
    const std::uint32_t start = file->headerWord(kHeaderBlockBaseAt) + entry.offset; // modulo 2^32
    const std::uint32_t length = entry.length;
    ReaderBytes bytes;
    if (!readRange(*file, start, length, &bytes) || !ensureCodeTree(file))
        return nullptr;

    gBlockCache.push_back(std::make_unique<DecodedBlock>());
    DecodedBlock *decoded = gBlockCache.back().get();
    decoded->language = language;
    decoded->pass = pass;
    decoded->block = block;
    const bool coded = file->headerWord(kHeaderCodeTreeLengthAt) != 0;
    decodeBlock(&decoded->table, bytes ? bytes.get() : kNoBytes, length, coded ? &file->codeTree : nullptr,
                entry.lastIndex);
    bytes.reset();

    // The new record changes places with position 0; when the cache overflows,
    // the record dropped is the one that was at position 0 before.
    if (gBlockCache.size() > 1)
        std::swap(gBlockCache.front(), gBlockCache.back());
    while (gBlockCache.size() > kBlockCacheLimit)
        gBlockCache.erase(gBlockCache.begin() + kBlockCacheLimit);
    return decoded;
}

} // namespace

const char16_t *lookupString(std::uint32_t identifier, std::uint32_t language)
{
    if (identifier == 0)
        return kEmptyText;
    if (language == 0)
        language = currentLanguage();

    const ResourceFile *root = openResourceFile(language, true);
    if (root == nullptr)
        root = openResourceFile(language, false);
    if (root == nullptr)
        root = openResourceFile(kLanguageEnglish, true);
    if (root == nullptr)
        root = openResourceFile(kLanguageEnglish, false);
    if (root == nullptr)
        return nullptr;

    const std::uint32_t block = identifier >> kIdentifierBlockShift;
    const std::uint32_t index = identifier & kStringIndexMask;
    for (int position = 0; position < int(kChainLength); ++position) {
        const std::uint32_t entry = root->chain(position);
        if (entry == 0)
            continue;
        for (int pass = 0; pass < kPasses; ++pass) {
            ResourceFile *file = openResourceFile(entry, pass == 0);
            if (file == nullptr)
                continue;

            // A cached block is never read again, also when it lacks the string.
            std::size_t cached = gBlockCache.size();
            while (cached-- > 0) {
                const DecodedBlock &record = *gBlockCache[cached];
                if (record.language == entry && record.pass == pass && record.block == block)
                    break;
            }
            if (cached != std::size_t(-1)) {
                const char16_t *text = stringOf(*gBlockCache[cached], index);
                if (text == nullptr)
                    continue;
                if (cached != 0)
                    std::swap(gBlockCache.front(), gBlockCache[cached]);
                if (text[0] != 0)
                    return text;
                continue;
            }

            const DecodedBlock *decoded = decodeIntoCache(file, entry, pass, block);
            if (decoded == nullptr)
                continue;
            const char16_t *text = stringOf(*decoded, index);
            if (text != nullptr && text[0] != 0)
                return text;
        }
    }
    return nullptr;
}

void resetBlockCache()
{
    gBlockCache.clear();
}

std::size_t blockCacheSize()
{
    return gBlockCache.size();
}
