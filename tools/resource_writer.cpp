#include "tools/resource_writer.h"

#include "common/little_endian.h"
#include "resources/resource_format.h"

#include <algorithm>
#include <functional>
#include <queue>
#include <random>
#include <utility>

namespace {

constexpr std::uint64_t kMaxFileLength = 0xFFFFFFFFu; // every offset is a u32
constexpr std::uint32_t kMaxSubtreeSize = 0xFFFFu;    // the u16 size field of a kNodeInner node

struct Block {
    std::uint32_t number;                // id >> 9
    std::vector<std::u16string> strings; // index 0 up to the highest index present
    std::vector<std::uint8_t> bytes;     // encoded
};

// Appends a little-endian u16.
void putU16(std::vector<std::uint8_t> *out, std::uint16_t value)
{
    const std::size_t at = out->size();
    out->resize(at + 2);
    le::write16(out->data() + at, value);
}

struct Code {
    std::uint64_t bits = 0; // first step from the root in bit 0
    unsigned length = 0;    // 0: the unit does not occur
};

// A Huffman tree over UTF-16 code units, serialized in the node format of
// resources/resource_format.h.
class CodeTree {
public:
    // Builds the code from how often each unit occurs (65536 counts).
    bool build(const std::vector<std::uint64_t> &counts, std::string *error);
    const std::vector<std::uint8_t> &bytes() const { return bytes_; }
    const Code &code(char16_t unit) const { return codes_[unit]; }

private:
    struct Node {
        std::uint64_t weight;
        int child[2];       // -1 for a leaf
        char16_t symbol;    // leaves only
        std::uint64_t size; // serialized bytes of an inner node's subtree
    };
    bool isLeaf(int n) const { return nodes_[n].child[0] < 0; }
    std::uint64_t measure(int n);
    bool serialize(int n, Code prefix, std::string *error);
    void setCode(int leaf, Code prefix, unsigned bit);

    std::vector<Node> nodes_;
    std::vector<std::uint8_t> bytes_;
    std::vector<Code> codes_ = std::vector<Code>(0x10000);
};

bool CodeTree::build(const std::vector<std::uint64_t> &counts, std::string *error)
{
    nodes_.clear();
    for (std::uint32_t unit = 0; unit < counts.size(); ++unit)
        if (counts[unit] != 0)
            nodes_.push_back({counts[unit], {-1, -1}, static_cast<char16_t>(unit), 0});
    if (nodes_.empty())
        return true;
    if (nodes_.size() == 1) {
        // One symbol (every string empty): a node with that leaf on both bits, so that
        // each code is one bit.
        const char16_t only = nodes_[0].symbol;
        bytes_ = {kNodeTwoLeaves};
        putU16(&bytes_, only);
        putU16(&bytes_, only);
        codes_[only] = {0, 1};
        return true;
    }
    // Ties go to the node made first, so that one input always gives one file.
    using Entry = std::pair<std::uint64_t, int>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue;
    for (int n = 0; n < static_cast<int>(nodes_.size()); ++n)
        queue.push({nodes_[n].weight, n});
    while (queue.size() > 1) {
        const Entry a = queue.top();
        queue.pop();
        const Entry b = queue.top();
        queue.pop();
        nodes_.push_back({a.first + b.first, {a.second, b.second}, 0, 0});
        queue.push({a.first + b.first, static_cast<int>(nodes_.size()) - 1});
    }
    const int root = queue.top().second;
    measure(root);
    bytes_.reserve(nodes_[root].size);
    return serialize(root, Code{}, error);
}

std::uint64_t CodeTree::measure(int n)
{
    Node &node = nodes_[n];
    const int left = node.child[0], right = node.child[1];
    std::uint64_t size = isLeaf(left) && isLeaf(right) ? kTwoLeavesNodeLength : kNodeLength;
    if (!isLeaf(left))
        size += measure(left);
    if (!isLeaf(right))
        size += measure(right);
    node.size = size;
    return size;
}

void CodeTree::setCode(int leaf, Code prefix, unsigned bit)
{
    prefix.bits |= std::uint64_t{bit} << prefix.length;
    prefix.length += 1;
    codes_[nodes_[leaf].symbol] = prefix;
}

// The depth of a Huffman tree is bounded by the total weight (a Fibonacci
// growth), far below 64 for any file that fits its 32-bit offsets.
bool CodeTree::serialize(int n, Code prefix, std::string *error)
{
    if (prefix.length >= 63) {
        *error = "the code tree is too deep";
        return false;
    }
    const Node &node = nodes_[n];
    int first = node.child[0], second = node.child[1];
    Code zero = prefix, one = prefix;
    zero.length += 1;
    one.bits |= std::uint64_t{1} << prefix.length;
    one.length += 1;
    if (isLeaf(first) && isLeaf(second)) {
        bytes_.push_back(kNodeTwoLeaves);
        putU16(&bytes_, nodes_[first].symbol);
        putU16(&bytes_, nodes_[second].symbol);
        setCode(first, prefix, 0);
        setCode(second, prefix, 1);
        return true;
    }
    if (isLeaf(second)) {
        bytes_.push_back(kNodeLeafOn1);
        putU16(&bytes_, nodes_[second].symbol);
        setCode(second, prefix, 1);
        return serialize(first, zero, error);
    }
    if (isLeaf(first)) {
        bytes_.push_back(kNodeLeafOn0);
        putU16(&bytes_, nodes_[first].symbol);
        setCode(first, prefix, 0);
        return serialize(second, one, error);
    }
    // Either subtree may take bit 0; the one whose size must fit 16 bits is the smaller.
    if (nodes_[second].size < nodes_[first].size)
        std::swap(first, second);
    if (nodes_[first].size > kMaxSubtreeSize) {
        *error = "too many different characters for a code tree (a subtree of " +
                 std::to_string(nodes_[first].size) + " bytes does not fit a 16-bit size); use --plain";
        return false;
    }
    bytes_.push_back(kNodeInner);
    putU16(&bytes_, static_cast<std::uint16_t>(nodes_[first].size));
    return serialize(first, zero, error) && serialize(second, one, error);
}

// Bits in file order: bytes one after the other, each from its lowest bit up.
class BitWriter {
public:
    explicit BitWriter(std::vector<std::uint8_t> *out) : out_(out) {}
    void put(const Code &code)
    {
        for (unsigned i = 0; i < code.length; ++i) {
            if ((code.bits >> i) & 1u)
                current_ |= static_cast<std::uint8_t>(1u << used_);
            if (++used_ == 8)
                flush();
        }
    }
    // Ends the byte in progress; its unused bits are those of `filler` above the used ones.
    void flush(std::uint8_t filler = 0)
    {
        if (used_ != 0)
            out_->push_back(static_cast<std::uint8_t>(current_ | (filler & (0xFFu << used_))));
        current_ = 0;
        used_ = 0;
    }

private:
    std::vector<std::uint8_t> *out_;
    std::uint8_t current_ = 0;
    unsigned used_ = 0;
};

void encodePlain(Block *block)
{
    for (const std::u16string &text : block->strings) {
        for (char16_t unit : text)
            putU16(&block->bytes, unit);
        putU16(&block->bytes, 0);
    }
}

// Each string: its units' codes, the NUL code, the rest of that byte unused,
// then one separator byte that the decoder skips. Both carry nothing: zeros,
// or with `junk` whatever it gives.
void encodeCoded(Block *block, const CodeTree &tree, std::mt19937 *junk)
{
    BitWriter bits(&block->bytes);
    auto filler = [junk] { return junk ? static_cast<std::uint8_t>((*junk)()) : std::uint8_t{0}; };
    for (const std::u16string &text : block->strings) {
        for (char16_t unit : text)
            bits.put(tree.code(unit));
        bits.put(tree.code(0));
        bits.flush(filler());
        block->bytes.push_back(filler());
    }
}

} // namespace

long long unstorableUnitAt(const std::u16string &text)
{
    for (std::size_t i = 0; i < text.size(); ++i)
        if (text[i] == 0 || text[i] == u'\r')
            return static_cast<long long>(i);
    return -1;
}

bool buildResourceFile(std::vector<ResourceText> texts, const ResourceFileOptions &options,
                       std::vector<std::uint8_t> *file, std::string *error)
{
    std::sort(texts.begin(), texts.end(),
              [](const ResourceText &a, const ResourceText &b) { return a.id < b.id; });
    std::vector<Block> blocks;
    std::uint64_t totalUnits = 0;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const ResourceText &t = texts[i];
        if (t.id == 0) {
            *error = "identifier 0 is reserved";
            return false;
        }
        if (i > 0 && texts[i - 1].id == t.id) {
            *error = "identifier " + std::to_string(t.id) + " appears twice";
            return false;
        }
        const long long bad = unstorableUnitAt(t.text);
        if (bad >= 0) {
            *error = "text " + std::to_string(t.id) + " holds " +
                     (t.text[bad] == 0 ? "a NUL character" : "a carriage return (U+000D)") +
                     " at position " + std::to_string(bad) + ", which a resource file cannot keep";
            return false;
        }
        const std::uint32_t number = t.id >> kIdentifierBlockShift;
        const std::uint32_t index = t.id & kStringIndexMask;
        if (blocks.empty() || blocks.back().number != number)
            blocks.push_back({number, {}, {}});
        std::vector<std::u16string> &strings = blocks.back().strings;
        totalUnits += (index + 1 - strings.size()) + t.text.size(); // a NUL per new string
        strings.resize(index + 1);
        strings[index] = t.text;
    }
    if (totalUnits * 2 > kMaxFileLength) {
        *error = "the texts are too long for one resource file";
        return false;
    }

    CodeTree tree;
    if (options.coded && !blocks.empty()) {
        std::vector<std::uint64_t> counts(0x10000, 0);
        for (const Block &block : blocks)
            for (const std::u16string &text : block.strings) {
                for (char16_t unit : text)
                    ++counts[unit];
                ++counts[0];
            }
        if (!tree.build(counts, error))
            return false;
    }
    const std::vector<std::uint8_t> &treeBytes = tree.bytes();
    std::mt19937 junk(options.junkSeed); // the same sequence for a seed on every machine
    std::uint64_t dataLength = 0;
    for (Block &block : blocks) {
        if (treeBytes.empty())
            encodePlain(&block);
        else
            encodeCoded(&block, tree, options.junkPadding ? &junk : nullptr);
        if (block.bytes.size() > kBlockLengthMask) { // bit 31 of a block length is masked off
            *error = "block " + std::to_string(block.number) + " is too long";
            return false;
        }
        dataLength += block.bytes.size();
    }
    // The header holds every field the reader uses, nothing more; the code
    // tree, the block index and the blocks follow it in that order.
    const std::uint64_t indexAt = kHeaderFieldsLength + treeBytes.size();
    const std::uint64_t dataAt = indexAt + std::uint64_t{kBlockIndexRecordSize} * blocks.size();
    if (dataAt + dataLength > kMaxFileLength) {
        *error = "the resource file would exceed 4 GiB";
        return false;
    }

    std::vector<std::uint8_t> &out = *file;
    out.assign(dataAt, 0);
    le::write32(out.data() + kHeaderMagicAt, kResourceMagic);
    le::write32(out.data() + kHeaderFormatAt, kFormatTag);
    le::write32(out.data() + kHeaderLengthAt, kHeaderFieldsLength);
    le::write32(out.data() + kHeaderChainAt, options.ownKey);
    for (std::uint32_t i = 1; i < kChainLength; ++i)
        le::write32(out.data() + kHeaderChainAt + 4 * i, options.chain[i - 1]);
    le::write32(out.data() + kHeaderCodeTreeOffsetAt, treeBytes.empty() ? 0 : kHeaderFieldsLength);
    le::write32(out.data() + kHeaderCodeTreeLengthAt, static_cast<std::uint32_t>(treeBytes.size()));
    le::write32(out.data() + kHeaderBlockCountAt, static_cast<std::uint32_t>(blocks.size()));
    le::write32(out.data() + kHeaderBlockIndexAt, static_cast<std::uint32_t>(indexAt));
    le::write32(out.data() + kHeaderBlockBaseAt, static_cast<std::uint32_t>(dataAt));
    std::copy(treeBytes.begin(), treeBytes.end(), out.begin() + kHeaderFieldsLength);
    std::size_t record = indexAt;
    std::uint32_t offset = 0;
    for (const Block &block : blocks) {
        const auto lastIndex = static_cast<std::uint32_t>(block.strings.size() - 1);
        writeBlockIndexRecord(out.data() + record,
                              {block.number, lastIndex, offset, static_cast<std::uint32_t>(block.bytes.size())});
        record += kBlockIndexRecordSize;
        offset += static_cast<std::uint32_t>(block.bytes.size());
        out.insert(out.end(), block.bytes.begin(), block.bytes.end());
    }
    return true;
}
