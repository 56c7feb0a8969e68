// A block and a code tree from a string-resource file, any bytes: the decoder
// must stay inside both (they are copied into heap buffers of exactly their
// size, so AddressSanitizer sees any byte too far), give a well-formed string
// table, and give the strings that the plain decoder of tests/support gives,
// whether the tree is compiled for the block or once for several blocks.
// Input: one byte T, then min(T, rest) bytes of code tree, then the block.
#include "common/little_endian.h"
#include "resources/block_decoder.h"
#include "support/reference_block_decoder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

std::unique_ptr<std::uint8_t[]> exactCopy(const std::uint8_t *data, std::size_t size)
{
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
    if (size)
        std::memcpy(copy.get(), data, size);
    return copy;
}

std::size_t lengthOf(const char16_t *s)
{
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// The strings lie back to back from the buffer's start; returns the units
// they cover, NULs included.
std::size_t checkLayout(const StringTable &table)
{
    const char16_t *next = table.buffer.get();
    for (const char16_t *s : table.strings) {
        check(s == next, "strings lie back to back from the buffer's start");
        next = s + lengthOf(s) + 1;
    }
    return table.strings.empty() ? 0 : std::size_t(next - table.buffer.get());
}

void checkCoded(const std::uint8_t *block, std::uint32_t blockLength, const std::uint8_t *tree,
                std::uint32_t treeLength)
{
    StringTable table;
    decodeBlock(&table, block, blockLength, tree, treeLength, 0);
    // Every string takes at least one byte and a separator, the last maybe none.
    check(table.count() <= (std::size_t(blockLength) + 1) / 2, "no more strings than bytes allow");
    const std::size_t covered = checkLayout(table);
    check(covered <= std::size_t(blockLength) * 8, "no more units than bits");
    for (const char16_t *s : table.strings)
        for (const char16_t *u = s; *u; ++u)
            check(*u != 0x000D, "carriage returns are dropped");
    // The last index has no say in a coded block.
    StringTable again;
    decodeBlock(&again, block, blockLength, tree, treeLength, 511);
    check(again.count() == table.count(), "same strings whatever the last index");
}

void checkPlain(const std::uint8_t *block, std::uint32_t blockLength, std::uint32_t lastIndex)
{
    StringTable table;
    decodeBlock(&table, block, blockLength, nullptr, 0, lastIndex);
    const std::size_t units = blockLength / 2;
    const std::uint64_t limit = std::uint64_t(lastIndex) + 1;
    check(table.count() >= 1, "a plain block has at least one string");
    check(table.count() <= limit && table.count() <= units + 1, "no more strings than allowed");
    checkLayout(table);
    std::size_t end = 0;
    for (const char16_t *s : table.strings) {
        const std::size_t at = std::size_t(s - table.buffer.get());
        const std::size_t n = lengthOf(s);
        check(at + n <= units, "a string ends at the latest at the block's end");
        for (std::size_t i = 0; i < n; ++i)
            check(s[i] == char16_t(le::read16(block + 2 * (at + i))),
                  "units are the block's, little-endian");
        if (at + n < units)
            check(block[2 * (at + n)] == 0 && block[2 * (at + n) + 1] == 0,
                  "a string ends at a NUL of the block");
        end = at + n;
    }
    if (table.count() < limit)
        check(end == units, "strings stop short only at the block's end");
}

reference::Strings stringsOf(const StringTable &table)
{
    return reference::Strings(table.strings.begin(), table.strings.end());
}

// The updater's strings against the reference's, coded and plain.
void checkAgainstReference(const std::uint8_t *block, std::uint32_t blockLength, const std::uint8_t *tree,
                           std::uint32_t treeLength, std::uint32_t lastIndex)
{
    StringTable table;
    decodeBlock(&table, block, blockLength, tree, treeLength, lastIndex);
    check(stringsOf(table) == reference::decodeCodedBlock(block, blockLength, tree, treeLength),
          "a coded block decodes as the reference decodes it");
    // The tree compiled once serves every block of its file: here the whole
    // block and then its second half.
    CompiledCodeTree compiled;
    check(compileCodeTree(tree, treeLength, &compiled), "the tree compiles");
    for (std::uint32_t from : {0u, blockLength / 2}) {
        StringTable part;
        decodeBlock(&part, block + from, blockLength - from, &compiled, lastIndex);
        check(stringsOf(part) == reference::decodeCodedBlock(block + from, blockLength - from, tree, treeLength),
              "a block decodes through the compiled tree as the reference decodes it");
    }
    StringTable plain;
    decodeBlock(&plain, block, blockLength, nullptr, 0, lastIndex);
    check(stringsOf(plain) == reference::decodePlainBlock(block, blockLength, lastIndex),
          "a plain block decodes as the reference decodes it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t treeLength = data[0] < size - 1 ? data[0] : size - 1;
    const std::size_t blockLength = size - 1 - treeLength;
    const auto tree = exactCopy(data + 1, treeLength);
    const auto block = exactCopy(data + 1 + treeLength, blockLength);

    checkCoded(block.get(), std::uint32_t(blockLength), tree.get(), std::uint32_t(treeLength));
    const std::uint32_t fromInput = blockLength ? block[0] : 0;
    for (std::uint32_t lastIndex : {0u, 1u, 511u, 0xFFFFFFFFu, fromInput})
        checkPlain(block.get(), std::uint32_t(blockLength), lastIndex);
    checkAgainstReference(block.get(), std::uint32_t(blockLength), tree.get(), std::uint32_t(treeLength), fromInput);
    return 0;
}
