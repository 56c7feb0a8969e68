// Decoding one block of a string-resource file into its strings.
//
// A block is plain UTF-16LE text (strings ended by NUL units) when its file
// has no code tree, or a Huffman code over UTF-16 code units when it has one.
// The decoder never reads outside the block bytes or the code tree it is given.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

// The strings of one block: all of them back to back in one buffer that the
// table owns, each ended by a NUL unit.
struct StringTable {
    std::unique_ptr<char16_t[]> buffer;   // every string of the block, back to back
    std::vector<const char16_t *> strings; // into buffer, in block order
    std::size_t count() const { return strings.size(); }
};

// Fills an empty `table` from `blockLength` bytes of `block`. `codeTree` is
// the file's code tree (`codeTreeLength` bytes as read), or nullptr for a file
// without one. `lastIndex` (bits 23 to 31 of the block word) limits a plain
// block to lastIndex + 1 strings; a coded block yields as many strings as it
// holds complete NUL codes.
void decodeBlock(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 const std::uint8_t *codeTree, std::uint32_t codeTreeLength, std::uint32_t lastIndex);
