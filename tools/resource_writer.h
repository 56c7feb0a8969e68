// Writing string-resource files: the texts grouped into blocks of 512 by
// identifier, stored as plain UTF-16LE or Huffman-coded over UTF-16 code units
// with one code tree for the whole file. Plain C++, no Qt.
#pragma once

#include "resources/resource_format.h"

#include <cstdint>
#include <string>
#include <vector>

// One text and its identifier (block = id >> 9, index = id & 511).
struct ResourceText {
    std::uint32_t id;     // 1 to 2^32 - 1; 0 is reserved for "no text"
    std::u16string text;  // any UTF-16 except U+0000 and U+000D
};

struct ResourceFileOptions {
    std::uint32_t ownKey = 1;                   // chain entry 0: language, optionally with kPreferredBit
    std::uint32_t chain[kChainLength - 1] = {}; // further languages to search; 0 = unused
    bool coded = true;                          // Huffman code with a code tree, or plain UTF-16LE blocks
    // Coded files only: fill the bits after each NUL code and each separator
    // byte with pseudo-random bits from junkSeed instead of zeros, as files
    // written by other tools may; the texts read back the same.
    bool junkPadding = false;
    std::uint32_t junkSeed = 0;
};

// The texts a file refuses: NUL would end the string early, and the decoder
// drops every carriage return of a coded block. Returns the offending unit's
// position, or -1 when the text can be stored.
long long unstorableUnitAt(const std::u16string &text);

// Builds the bytes of a string-resource file. Fails (false, one-line *error)
// on a reserved or duplicate identifier, an unstorable text, a file too large
// for its 32-bit offsets, a block too long for its 31-bit length, or a code
// tree whose 16-bit subtree sizes overflow.
bool buildResourceFile(std::vector<ResourceText> texts, const ResourceFileOptions &options,
                       std::vector<std::uint8_t> *file, std::string *error);
