// The layout of a string-resource file, in one place: the reader
// (resource_file, string_lookup), the block decoder, and xqres's writer and
// dump take every offset, size, mask and node type from here. Every number in
// a file is little-endian (common/little_endian.h).
#pragma once

#include "common/little_endian.h"

#include <cstdint>

// ---- File names: "Help", the language's code, ".xqresource" ----

// The codes, by language index 1 to kFileLanguageCount.
inline constexpr std::uint32_t kFileLanguageCount = 9;
inline constexpr const char *kFileLanguageCodes[kFileLanguageCount] = {"En", "Zh", "Fr", "De", "Es",
                                                                       "Nl", "Pt", "Ja", "Ru"};

// ---- Header: at offset 0, at most kMaxHeaderLength bytes ----

inline constexpr std::uint32_t kResourceMagic = 0xB28A617Cu;
inline constexpr std::uint32_t kFormatTag = 0xFE84125Du; // the two accepted format tags
inline constexpr std::uint32_t kFormatTagAlternate = 0xFE84125Eu;
inline constexpr std::uint32_t kMaxHeaderLength = 332; // a shorter one reads as if zeros followed it

inline constexpr std::uint32_t kHeaderMagicAt = 0;
inline constexpr std::uint32_t kHeaderFormatAt = 4;
inline constexpr std::uint32_t kHeaderLengthAt = 8;
inline constexpr std::uint32_t kMinHeaderLength = 12; // the three fields above
inline constexpr std::uint32_t kHeaderChainAt = 12;   // kChainLength x u32; entry 0 is the file's own key
inline constexpr std::uint32_t kHeaderCodeTreeOffsetAt = 40;
inline constexpr std::uint32_t kHeaderCodeTreeLengthAt = 44; // 0: no code tree, the blocks are plain text
inline constexpr std::uint32_t kHeaderBlockCountAt = 56;     // i32
inline constexpr std::uint32_t kHeaderBlockIndexAt = 60;
inline constexpr std::uint32_t kHeaderBlockBaseAt = 64; // added to every block offset, modulo 2^32
inline constexpr std::uint32_t kHeaderFieldsLength = 68; // up to the end of the last field read

// The language chain: the file's own key, then up to three further languages
// to search; 0 marks an unused entry. A key is a language index, with
// kPreferredBit for the file preferred for that language.
inline constexpr std::uint32_t kChainLength = 4;
inline constexpr std::uint32_t kPreferredBit = 0x80;

// ---- Block index: block count records of kBlockIndexRecordSize bytes ----

inline constexpr std::uint32_t kBlockIndexRecordSize = 12;
inline constexpr std::uint32_t kRecordBlockWordAt = 0;
inline constexpr std::uint32_t kRecordOffsetAt = 4; // from the header's block data base
inline constexpr std::uint32_t kRecordLengthAt = 8;

inline constexpr std::uint32_t kBlockNumberMask = 0x007FFFFFu; // bits 0 to 22 of the block word
inline constexpr std::uint32_t kLastIndexShift = 23;           // bits 23 to 31: strings in the block - 1
inline constexpr std::uint32_t kBlockLengthMask = 0x7FFFFFFFu; // bit 31 of a block length is not used

// One record of the block index, taken apart.
struct BlockIndexEntry {
    std::uint32_t number;    // the block number
    std::uint32_t lastIndex; // strings in the block - 1: a plain block's limit
    std::uint32_t offset;    // from the header's block data base
    std::uint32_t length;    // in bytes
};

inline BlockIndexEntry readBlockIndexRecord(const std::uint8_t *record)
{
    const std::uint32_t word = le::read32(record + kRecordBlockWordAt);
    return {word & kBlockNumberMask, word >> kLastIndexShift, le::read32(record + kRecordOffsetAt),
            le::read32(record + kRecordLengthAt) & kBlockLengthMask};
}

// The number must fit kBlockNumberMask, the last index 9 bits, the length 31 bits.
inline void writeBlockIndexRecord(std::uint8_t *record, const BlockIndexEntry &entry)
{
    le::write32(record + kRecordBlockWordAt, entry.number | entry.lastIndex << kLastIndexShift);
    le::write32(record + kRecordOffsetAt, entry.offset);
    le::write32(record + kRecordLengthAt, entry.length);
}

// ---- String identifiers: the block number above, the index in the block below ----

inline constexpr std::uint32_t kStringsPerBlock = 512;
inline constexpr std::uint32_t kIdentifierBlockShift = 9;
inline constexpr std::uint32_t kStringIndexMask = kStringsPerBlock - 1;

// ---- Code tree: serialized nodes, the root at its first byte ----
// Each node is its type byte, then a u16 field; offsets count from the type
// byte. A step to a node or to a leaf takes one bit.

inline constexpr std::uint8_t kNodeInner = 0;     // u16 size: bit 0 -> node at +3, bit 1 -> node at +3+size
inline constexpr std::uint8_t kNodeLeafOn1 = 1;   // u16 value: bit 0 -> node at +3, bit 1 -> leaf value
inline constexpr std::uint8_t kNodeLeafOn0 = 2;   // u16 value: bit 0 -> leaf value, bit 1 -> node at +3
inline constexpr std::uint8_t kNodeTwoLeaves = 3; // u16 value0, u16 value1: leaf value0, leaf value1
// Any other type byte: u16 value, a leaf on both bits.

inline constexpr std::uint32_t kNodeFieldAt = 1;       // size or (first) value
inline constexpr std::uint32_t kNodeSecondValueAt = 3; // value1 of kNodeTwoLeaves
inline constexpr std::uint32_t kNodeLength = 3;        // every type but kNodeTwoLeaves; a child at +3 follows it
inline constexpr std::uint32_t kTwoLeavesNodeLength = 5;

inline constexpr std::uint32_t codeTreeNodeLength(std::uint8_t type)
{
    return type == kNodeTwoLeaves ? kTwoLeavesNodeLength : kNodeLength;
}
