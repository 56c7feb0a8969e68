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

// A file's code tree made ready for decoding: compiled once per file from the
// bytes read, then used for every block of that file. Every node reachable
// from the root gets an index (the root 0); for each of its two bits, `steps`
// says where the step leads: a leaf (kLeaf | value), the index of the next
// node, or kOutside when that node does not lie wholly inside the tree's
// bytes. The root table gives the same for the next 8 bits at the root. A
// tree without steps (nothing compiled yet, or a root outside the bytes)
// decodes nothing. Its size is linear in the tree bytes read.
struct CompiledCodeTree {
    static constexpr std::uint32_t kLeaf = 0x80000000u;
    static constexpr std::uint32_t kOutside = 0x7FFFFFFFu;

    std::vector<std::uint32_t> steps; // two entries per node: bit 0, bit 1
    // At the root, per value of the next 8 bits: the leaf they reach (kLeaf |
    // value) after rootLength[bits] of them, the node they reach after all 8
    // (length 8), or kOutside: the walk leaves the tree, take them one at a time.
    std::uint32_t rootStep[256] = {};
    std::uint8_t rootLength[256] = {};
};

// Compiles `treeLength` bytes of `tree` into *compiled (emptied first). The
// walk may never leave the bytes given: every bound is checked here once.
// False when memory ran out (the tree is then left empty).
bool compileCodeTree(const std::uint8_t *tree, std::uint32_t treeLength, CompiledCodeTree *compiled);

// Fills `table` (emptied first) from `blockLength` bytes of `block`.
// `codeTree` is the file's compiled code tree, or nullptr for a file without one.
// `lastIndex` (bits 23 to 31 of the block word) limits a plain block to
// lastIndex + 1 strings; a coded block yields as many strings as it holds
// complete NUL codes.
void decodeBlock(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 const CompiledCodeTree *codeTree, std::uint32_t lastIndex);

// The same from the code tree's bytes (`codeTreeLength` of them as read, or
// nullptr for a file without a tree), compiled for this one block.
void decodeBlock(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 const std::uint8_t *codeTree, std::uint32_t codeTreeLength, std::uint32_t lastIndex);
