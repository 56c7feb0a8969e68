// A second block decoder, for the suites and the fuzzers to hold the
// updater's own against. It follows the rules of the resource format step by
// step, in the plainest form: one bit at a time, the code tree walked by the
// offsets stored in it, no tables, no bit buffer, nothing compiled. Slow on
// purpose; plain C++ so that the fuzzers can use it too.
//
// Where the format leaves a choice, it decides as the updater does: a walk
// that would leave the code tree (a node whose bytes do not all lie inside
// the tree, five for type 3 and three for any other type) ends decoding, and
// the strings completed before are kept.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reference {

using Strings = std::vector<std::u16string>;

inline char16_t unitAt(const std::uint8_t *bytes)
{
    return static_cast<char16_t>(bytes[0] | bytes[1] << 8);
}

// The first `count` NUL-ended strings of `units`, which holds at least that many NULs.
inline Strings firstStrings(const std::u16string &units, std::uint64_t count)
{
    Strings strings;
    std::size_t start = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t end = units.find(char16_t(0), start);
        strings.push_back(units.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

// A block of a file without a code tree.
inline Strings decodePlainBlock(const std::uint8_t *block, std::uint32_t length, std::uint32_t lastIndex)
{
    // 1. length / 2 units, then a NUL.
    std::u16string units;
    for (std::uint32_t i = 0; i < length / 2; ++i)
        units.push_back(unitAt(block + 2 * i));
    units.push_back(0);
    // 2. A string at the start and one after each NUL, up to lastIndex + 1 of
    //    them, none starting after the NUL just appended.
    std::uint64_t taken = 0, start = 0;
    while (taken < std::uint64_t(lastIndex) + 1 && start < units.size()) {
        start = units.find(char16_t(0), start) + 1;
        ++taken;
    }
    // 3.
    return firstStrings(units, taken);
}

// Whether all bytes of the node at `at` lie inside the tree.
inline bool nodeInTree(const std::uint8_t *tree, std::uint32_t treeLength, std::uint64_t at)
{
    if (at >= treeLength)
        return false;
    const std::uint64_t nodeLength = tree[at] == 3 ? 5 : 3;
    return treeLength - at >= nodeLength;
}

// A block of a file with a code tree of `treeLength` bytes.
inline Strings decodeCodedBlock(const std::uint8_t *block, std::uint32_t length, const std::uint8_t *tree,
                                std::uint32_t treeLength)
{
    // 1. No bits at hand, the whole block as budget, the walk at the root.
    unsigned bitsAtHand = 0;
    unsigned byteAtHand = 0;
    std::int64_t budget = length;
    std::uint32_t nextByte = 0; // always length - budget while the budget lasts
    std::u16string output;
    std::uint64_t stringCount = 0;
    std::uint64_t node = 0;
    for (;;) {
        if (!nodeInTree(tree, treeLength, node))
            break;
        // 2. A bit, the lowest of those at hand.
        if (bitsAtHand == 0) {
            if (budget <= 0)
                break;
            --budget;
            byteAtHand = block[nextByte++];
            bitsAtHand = 8;
        }
        const unsigned bit = byteAtHand & 1u;
        byteAtHand >>= 1;
        --bitsAtHand;

        // 3. The node's rule: on to a child, or a leaf value.
        const std::uint8_t type = tree[node];
        const char16_t field = unitAt(tree + node + 1);
        char16_t value;
        if (type == 0) {
            node = bit == 0 ? node + 3 : node + 3 + field;
            continue;
        } else if (type == 1) {
            if (bit == 0) {
                node += 3;
                continue;
            }
            value = field;
        } else if (type == 2) {
            if (bit == 1) {
                node += 3;
                continue;
            }
            value = field;
        } else if (type == 3) {
            value = bit == 0 ? field : unitAt(tree + node + 3);
        } else {
            value = field;
        }
        node = 0;

        // 4. A carriage return is dropped.
        if (value == 0x000D)
            continue;
        // 5. Any other unit is output.
        output.push_back(value);
        if (value != 0)
            continue;
        // 6. A NUL completes a string: the rest of the byte and the next byte are skipped.
        ++stringCount;
        bitsAtHand = 0;
        --budget;
        ++nextByte;
    }
    // 7.
    output.push_back(0);
    return firstStrings(output, stringCount);
}

// Either, as the updater chooses by the file: `tree` is null for a file without one.
inline Strings decodeBlock(const std::uint8_t *block, std::uint32_t length, const std::uint8_t *tree,
                           std::uint32_t treeLength, std::uint32_t lastIndex)
{
    return tree ? decodeCodedBlock(block, length, tree, treeLength) : decodePlainBlock(block, length, lastIndex);
}

} // namespace reference
