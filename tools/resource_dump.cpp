#include "tools/resource_dump.h"

#include "common/little_endian.h"
#include "resources/block_decoder.h"
#include "resources/resource_format.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// Whether [offset, offset + length) lies inside a file of `size` bytes.
bool inside(std::uint64_t offset, std::uint64_t length, std::uint64_t size)
{
    return offset <= size && length <= size - offset;
}

} // namespace

bool checkCodeTree(const std::uint8_t *tree, std::uint32_t length, std::string *error)
{
    // Children always lie after their parent, so the walk ends; `seen` keeps
    // a node that two parents share from being walked twice.
    std::vector<bool> seen(length, false);
    std::vector<std::uint32_t> pending{0};
    while (!pending.empty()) {
        const std::uint64_t at = pending.back();
        pending.pop_back();
        if (at >= length) {
            *error = "the code tree points outside itself (node at " + std::to_string(at) + ", tree of " +
                     std::to_string(length) + " bytes)";
            return false;
        }
        if (seen[at])
            continue;
        seen[at] = true;
        const std::uint8_t type = tree[at];
        if (length - at < codeTreeNodeLength(type)) {
            *error = "the code tree ends inside its node at " + std::to_string(at);
            return false;
        }
        const std::uint32_t field = le::read16(tree + at + kNodeFieldAt);
        const std::uint64_t next = at + kNodeLength; // the child that follows the node
        if (type == kNodeInner) {
            pending.push_back(static_cast<std::uint32_t>(next));
            if (next + field >= length) {
                *error = "the code tree points outside itself (node at " + std::to_string(at) + ")";
                return false;
            }
            pending.push_back(static_cast<std::uint32_t>(next + field));
        } else if (type == kNodeLeafOn1 || type == kNodeLeafOn0) {
            pending.push_back(static_cast<std::uint32_t>(next));
        }
    }
    return true;
}

bool readResourceStrings(const std::vector<std::uint8_t> &file, std::vector<ResourceText> *texts,
                         std::string *error)
{
    const std::uint64_t size = file.size();
    if (size < kMinHeaderLength) {
        *error = "not a string-resource file: only " + std::to_string(size) + " bytes";
        return false;
    }
    if (le::read32(&file[kHeaderMagicAt]) != kResourceMagic) {
        *error = "not a string-resource file: magic " + hex(le::read32(&file[kHeaderMagicAt]));
        return false;
    }
    const std::uint32_t format = le::read32(&file[kHeaderFormatAt]);
    if (format != kFormatTag && format != kFormatTagAlternate) {
        *error = "unknown format tag " + hex(format);
        return false;
    }
    const std::uint32_t headerLength = le::read32(&file[kHeaderLengthAt]);
    if (headerLength < kMinHeaderLength || headerLength > kMaxHeaderLength) {
        *error = "bad header length " + std::to_string(headerLength);
        return false;
    }
    if (headerLength > size) {
        *error = "the header runs past the end of the file";
        return false;
    }
    // A short header reads as if the missing bytes were zero.
    std::uint8_t header[kMaxHeaderLength] = {};
    std::copy(file.begin(), file.begin() + headerLength, header);

    const std::uint32_t treeOffset = le::read32(header + kHeaderCodeTreeOffsetAt);
    const std::uint32_t treeLength = le::read32(header + kHeaderCodeTreeLengthAt);
    const auto blockCount = static_cast<std::int32_t>(le::read32(header + kHeaderBlockCountAt));
    const std::uint32_t indexOffset = le::read32(header + kHeaderBlockIndexAt);
    const std::uint32_t blockBase = le::read32(header + kHeaderBlockBaseAt);
    if (blockCount < 0) {
        *error = "negative block count " + std::to_string(blockCount);
        return false;
    }
    if (treeLength != 0 && !inside(treeOffset, treeLength, size)) {
        *error = "the code tree lies outside the file";
        return false;
    }
    const std::uint8_t *tree = treeLength != 0 ? &file[treeOffset] : nullptr;
    if (tree && !checkCodeTree(tree, treeLength, error))
        return false;
    CompiledCodeTree compiled; // once for every block of the file
    if (tree && !compileCodeTree(tree, treeLength, &compiled)) {
        *error = "not enough memory for the code tree";
        return false;
    }
    const std::uint64_t indexLength = std::uint64_t{kBlockIndexRecordSize} * blockCount;
    if (!inside(indexOffset, indexLength, size)) {
        *error = "the block index lies outside the file";
        return false;
    }

    // The last record of a block number is the one the lookup uses.
    std::map<std::uint32_t, BlockIndexEntry> records;
    for (std::int32_t i = 0; i < blockCount; ++i) {
        const BlockIndexEntry entry =
            readBlockIndexRecord(&file[indexOffset + std::uint64_t{kBlockIndexRecordSize} * i]);
        records[entry.number] = entry;
    }
    texts->clear();
    for (const auto &numbered : records) {
        const BlockIndexEntry &entry = numbered.second;
        const std::uint32_t start = blockBase + entry.offset; // modulo 2^32
        if (!inside(start, entry.length, size)) {
            *error = "block " + std::to_string(entry.number) + " lies outside the file";
            return false;
        }
        StringTable table;
        decodeBlock(&table, file.data() + start, entry.length, tree ? &compiled : nullptr, entry.lastIndex);
        // A coded block may hold more strings than an identifier can reach.
        const std::size_t reachable = std::min<std::size_t>(table.count(), kStringsPerBlock);
        for (std::size_t index = 0; index < reachable; ++index) {
            std::u16string text(table.strings[index]);
            if (!text.empty())
                texts->push_back(
                    {entry.number << kIdentifierBlockShift | static_cast<std::uint32_t>(index), std::move(text)});
        }
    }
    return true;
}
