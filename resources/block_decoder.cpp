#include "resources/block_decoder.h"

#include "common/little_endian.h"
#include "resources/resource_format.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr char16_t kNul = 0x0000;
constexpr char16_t kCarriageReturn = 0x000D; // dropped from coded blocks
constexpr std::size_t kOutputStep = 1024;    // coded output: first room and growth, in units

constexpr std::uint32_t kLeaf = CompiledCodeTree::kLeaf;
constexpr std::uint32_t kOutside = CompiledCodeTree::kOutside;

bool nodeFits(const std::uint8_t *tree, std::uint64_t treeLength, std::uint64_t at)
{
    return at < treeLength && treeLength - at >= codeTreeNodeLength(tree[at]);
}

// Indexes every node reachable from the root and records its two steps.
void compileSteps(const std::uint8_t *tree, std::uint64_t treeLength, std::vector<std::uint32_t> *steps)
{
    // A node gets its index the first time a step reaches it and is walked
    // once, in the order of the indexes (the root first); indexAt keeps a node
    // that two parents share from being indexed twice. It lives only while
    // the tree is compiled, once per file.
    std::vector<std::uint32_t> indexAt(static_cast<std::size_t>(treeLength), kOutside);
    std::vector<std::uint64_t> offsets{0};
    indexAt[0] = 0;
    auto child = [&](std::uint64_t at) -> std::uint32_t {
        if (!nodeFits(tree, treeLength, at))
            return kOutside;
        if (indexAt[at] == kOutside) {
            indexAt[at] = static_cast<std::uint32_t>(offsets.size());
            offsets.push_back(at);
        }
        return indexAt[at];
    };
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::uint64_t at = offsets[i];
        const std::uint8_t type = tree[at];
        const std::uint16_t field = le::read16(tree + at + kNodeFieldAt);
        const std::uint64_t next = at + kNodeLength; // the child that follows the node
        std::uint32_t zero, one;
        switch (type) {
        case kNodeInner:
            zero = child(next);
            one = child(next + field);
            break;
        case kNodeLeafOn1:
            zero = child(next);
            one = kLeaf | field;
            break;
        case kNodeLeafOn0:
            zero = kLeaf | field;
            one = child(next);
            break;
        case kNodeTwoLeaves:
            zero = kLeaf | field;
            one = kLeaf | le::read16(tree + at + kNodeSecondValueAt);
            break;
        default:
            zero = one = kLeaf | field;
            break;
        }
        steps->push_back(zero);
        steps->push_back(one);
    }
}

// What the next 8 bits do when the walk is at the root: most codes are that
// short, so one look-up replaces a branch per bit.
void buildRootTable(CompiledCodeTree *tree)
{
    for (unsigned byte = 0; byte < 256; ++byte) {
        std::uint32_t node = 0;
        tree->rootStep[byte] = kOutside;
        tree->rootLength[byte] = 8;
        for (unsigned k = 0; k < 8; ++k) {
            if (node == kOutside)
                break;
            const std::uint32_t step = tree->steps[2 * std::size_t(node) + ((byte >> k) & 1u)];
            if (step & kLeaf) {
                tree->rootStep[byte] = step;
                tree->rootLength[byte] = static_cast<std::uint8_t>(k + 1);
                break;
            }
            node = step;
            if (k == 7)
                tree->rootStep[byte] = node;
        }
    }
}

// The units of a coded block. Room starts at kOutputStep units and grows by
// kOutputStep whenever it is full, in pieces that are joined once at the end:
// growing one buffer by a fixed step would copy it again at every step, n * n
// / 2048 units in all for n units, minutes for a crafted block of a megabyte.
struct Output {
    std::vector<std::unique_ptr<char16_t[]>> pieces; // kOutputStep units each
    std::size_t used = 0;                            // units appended, over all pieces
    char16_t *cursor = nullptr;                      // where the next unit goes
    char16_t *end = nullptr;                         // the end of the last piece

    bool start() { return grow(); }

    // Appends one unit; false when memory ran out.
    bool append(char16_t unit)
    {
        if (cursor == end && !grow())
            return false;
        *cursor++ = unit;
        ++used;
        return true;
    }

    // One buffer of every unit appended and a final NUL; none when memory ran out.
    std::unique_ptr<char16_t[]> join() const
    {
        std::unique_ptr<char16_t[]> buffer(new (std::nothrow) char16_t[used + 1]);
        if (!buffer)
            return buffer;
        for (std::size_t done = 0, i = 0; done < used; done += kOutputStep, ++i)
            std::memcpy(buffer.get() + done, pieces[i].get(),
                        std::min(kOutputStep, used - done) * sizeof(char16_t));
        buffer[used] = kNul;
        return buffer;
    }

private:
    bool grow()
    {
        std::unique_ptr<char16_t[]> piece(new (std::nothrow) char16_t[kOutputStep]);
        if (!piece)
            return false;
        cursor = piece.get();
        end = cursor + kOutputStep;
        pieces.push_back(std::move(piece));
        return true;
    }
};

// Points table->strings at the first `count` NUL-ended strings of the buffer,
// which holds at least that many NUL units.
void collectStrings(StringTable *table, std::size_t count)
{
    table->strings.reserve(count);
    const char16_t *at = table->buffer.get();
    for (std::size_t i = 0; i < count; ++i) {
        table->strings.push_back(at);
        while (*at != kNul)
            ++at;
        ++at;
    }
}

// Plain UTF-16LE text: at most lastIndex + 1 strings, none starting after the
// NUL appended behind the block's units. An odd last byte is ignored.
void decodePlain(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 std::uint32_t lastIndex)
{
    const std::size_t unitCount = blockLength / 2;
    std::unique_ptr<char16_t[]> buffer(new (std::nothrow) char16_t[unitCount + 1]);
    if (!buffer)
        return;
    for (std::size_t i = 0; i < unitCount; ++i)
        buffer[i] = static_cast<char16_t>(le::read16(block + 2 * i));
    buffer[unitCount] = kNul;

    // lastIndex + 1 taken in 64 bits: a full 32-bit last index must not wrap to 0.
    const std::uint64_t limit = std::uint64_t(lastIndex) + 1;
    table->strings.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit, unitCount + 1)));
    std::size_t start = 0;
    while (table->strings.size() < limit && start <= unitCount) {
        table->strings.push_back(buffer.get() + start);
        while (buffer[start] != kNul) // stops at the appended NUL at the latest
            ++start;
        ++start;
    }
    table->buffer = std::move(buffer);
}

// The bits of a coded block, least significant bit of each byte first, kept
// in a 64-bit buffer so that the next 8 can be looked at without a branch.
// Only bytes of the block are ever loaded, and only whole bytes: the buffer
// holds exactly `count` bits, everything above them is zero. That is what
// lets a string's end drop the rest of its byte and the separator however
// far ahead the buffer has loaded, whatever those bytes hold.
struct BitBuffer {
    const std::uint8_t *block;  // the block's bytes
    std::size_t length;         // how many
    std::size_t next = 0;       // the next byte to load (may pass `length` after a separator)
    std::uint64_t bits = 0;     // loaded and not yet taken, the next one lowest
    unsigned count = 0;         // how many bits `bits` holds

    void refill()
    {
        if (next + 8 <= length) {
            // The next eight bytes in one load, of which only the whole
            // bytes that fit beside the bits at hand are kept (at most 7).
            const std::uint64_t word = le::read64(block + next);
            const unsigned taken = (63 - count) / 8;
            bits |= (word & ((std::uint64_t(1) << (8 * taken)) - 1)) << count;
            next += taken;
            count += taken * 8;
            return;
        }
        while (count <= 56 && next < length) {
            bits |= std::uint64_t(block[next++]) << count;
            count += 8;
        }
    }
    void drop(unsigned n)
    {
        bits >>= n;
        count -= n;
    }
    // After a NUL code: the rest of its byte carries nothing, the next byte is
    // a separator (skipped even when the block has no byte left for it).
    void endString()
    {
        drop(count % 8);
        if (count >= 8)
            drop(8);
        else
            ++next; // nothing at hand: bits is 0, the separator not loaded yet
    }
};

// A Huffman-coded block walked through the file's code tree. Decoding ends
// when the block is used up, and also at the first step that would leave the
// tree (a size or leaf beyond its end, a tree read short): the strings
// completed before are kept, the one in progress belongs to no string. Every
// step takes a bit, so decoding ends on any tree, also on type-0 nodes of
// size 0 whose two children coincide.
void decodeCoded(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 const CompiledCodeTree &tree)
{
    Output out;
    if (tree.steps.empty() || !out.start())
        return;

    BitBuffer in{block, blockLength};
    std::size_t complete = 0; // strings whose NUL code was read
    std::uint32_t node = 0;
    bool atRoot = true;
    for (;;) {
        if (in.count < 8)
            in.refill();
        std::uint32_t step;
        if (atRoot && in.count >= 8) {
            const unsigned bits = unsigned(in.bits & 0xFFu);
            step = tree.rootStep[bits];
            if (step & kLeaf) {
                in.drop(tree.rootLength[bits]);
                goto leaf;
            }
            if (step != kOutside) {
                in.drop(8);
                node = step;
                atRoot = false;
                continue;
            }
            // Leaves the tree within these bits: take them one at a time.
        }
        if (in.count == 0 || node == kOutside)
            break;
        step = tree.steps[2 * std::size_t(node) + unsigned(in.bits & 1u)];
        in.drop(1);
        if (!(step & kLeaf)) {
            node = step;
            atRoot = false;
            continue;
        }
    leaf:
        node = 0;
        atRoot = true;
        const auto value = static_cast<char16_t>(step);
        if (value == kCarriageReturn)
            continue;
        if (!out.append(value))
            break;
        if (value == kNul) {
            ++complete;
            in.endString();
        }
    }
    // Units after the last complete string are kept but belong to no string.
    table->buffer = out.join();
    if (table->buffer)
        collectStrings(table, complete);
}

} // namespace

bool compileCodeTree(const std::uint8_t *tree, std::uint32_t treeLength, CompiledCodeTree *compiled)
{
    compiled->steps.clear();
    if (!tree || !nodeFits(tree, treeLength, 0))
        return true; // the first step leaves the tree: nothing decodes
    try {
        compileSteps(tree, treeLength, &compiled->steps);
    } catch (const std::bad_alloc &) {
        std::vector<std::uint32_t>().swap(compiled->steps);
        return false;
    }
    buildRootTable(compiled);
    return true;
}

void decodeBlock(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 const CompiledCodeTree *codeTree, std::uint32_t lastIndex)
{
    if (!table)
        return;
    table->strings.clear();
    table->buffer.reset();
    if (!block)
        blockLength = 0;
    if (codeTree)
        decodeCoded(table, block, blockLength, *codeTree);
    else
        decodePlain(table, block, blockLength, lastIndex);
}

void decodeBlock(StringTable *table, const std::uint8_t *block, std::uint32_t blockLength,
                 const std::uint8_t *codeTree, std::uint32_t codeTreeLength, std::uint32_t lastIndex)
{
    // Any code tree, even one read short to no bytes, makes the block a coded
    // one; only a file without a tree passes none.
    if (!codeTree) {
        decodeBlock(table, block, blockLength, static_cast<const CompiledCodeTree *>(nullptr), lastIndex);
        return;
    }
    CompiledCodeTree compiled;
    compileCodeTree(codeTree, codeTreeLength, &compiled); // out of memory leaves it empty: nothing decodes
    decodeBlock(table, block, blockLength, &compiled, lastIndex);
}
