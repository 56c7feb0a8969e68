// The block decoder on hand-made blocks, one row per case, and on generated
// ones beside the plain decoder of tests/support: the strings a lookup would
// get, and never a read outside the block or the code tree (both are handed
// over in heap buffers of exactly their size, so that AddressSanitizer sees
// the first byte too far).
#include "resources/block_decoder.h"
#include "support/long_run.h"
#include "support/reference_block_decoder.h"

#include <QtTest>

#include <cstring>
#include <memory>
#include <random>

namespace {

// Code trees of the rows below.
// A on 1, B on 01, NUL on 00 (type 1 over type 3).
const char kTreeAB[] = "01 41 00 03 00 00 42 00";
// NUL 00, A 01, B 10, CR 11 (type 0 over two type-3 nodes).
const char kTreePairs[] = "00 05 00 03 00 00 41 00 03 42 00 0D 00";

// Bytes in a heap buffer of exactly their length (a zero-length one too).
struct Exact {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t length = 0;
    Exact(const void *data, std::size_t size) : bytes(new std::uint8_t[size]), length(std::uint32_t(size))
    {
        if (length)
            std::memcpy(bytes.get(), data, length);
    }
    explicit Exact(const QByteArray &data) : Exact(data.constData(), std::size_t(data.size())) {}
};

// The strings of a table as raw UTF-16 units (no conversion that could
// touch surrogates), after checking that they lie back to back in the
// table's buffer, the first at its start.
QStringList stringsOf(const StringTable &table)
{
    QStringList result;
    const char16_t *expectedStart = table.buffer.get();
    for (const char16_t *s : table.strings) {
        if (s != expectedStart)
            return {QStringLiteral("<string not back to back>")};
        std::size_t n = 0;
        while (s[n] != 0)
            ++n;
        result << QString(reinterpret_cast<const QChar *>(s), int(n));
        expectedStart = s + n + 1;
    }
    return result;
}

QStringList decode(const QByteArray &tree, bool hasTree, const QByteArray &block,
                   std::uint32_t lastIndex)
{
    const Exact exactTree(tree);
    const Exact exactBlock(block);
    StringTable table;
    decodeBlock(&table, exactBlock.bytes.get(), exactBlock.length,
                hasTree ? exactTree.bytes.get() : nullptr, exactTree.length, lastIndex);
    return stringsOf(table);
}

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text); // spaces between bytes are skipped
}

// A block of one string of n letters A under kTreePairs (four 2-bit codes a
// byte, A = 0b10 in the byte), its NUL code and the separator.
QByteArray lettersA(int n)
{
    QByteArray block(n / 4, char(0xAA));
    if (n % 4) {
        int last = 0;
        for (int i = 0; i < n % 4; ++i)
            last |= 2 << (2 * i);
        block += char(last); // the NUL code fills the next pair of this byte
    } else {
        block += char(0x00); // NUL code, rest of the byte unused
    }
    return block + char(0x00); // separator
}


// ---- Generated blocks, decoded by the updater and by the reference decoder ----

using Strings = reference::Strings;
using Bytes = std::vector<std::uint8_t>;
using Bits = std::vector<bool>;
using Rng = std::mt19937;

std::uint32_t below(Rng &rng, std::size_t bound)
{
    return std::uint32_t(rng() % bound);
}

bool oneIn(Rng &rng, std::uint32_t n)
{
    return rng() % n == 0;
}

// A code tree made for a test, and every way of reaching each of its leaves.
struct Leaf {
    char16_t value;
    Bits code;           // the bits from the root, first bit first
    std::size_t valueAt; // where the value lies in the tree's bytes
};
struct GeneratedTree {
    Bytes bytes;
    std::vector<Leaf> leaves;
    std::vector<std::size_t> innerAt; // the type-0 nodes
};

// Mostly letters; carriage returns, surrogates of both halves, NULs and any unit besides.
char16_t leafValue(Rng &rng)
{
    switch (below(rng, 10)) {
    case 0:
        return 0x000D;
    case 1:
        return char16_t(0xD800 + below(rng, 0x400));
    case 2:
        return char16_t(0xDC00 + below(rng, 0x400));
    case 3:
        return 0;
    case 4:
        return char16_t(below(rng, 0x10000));
    default:
        return char16_t('A' + below(rng, 26));
    }
}

// Random well-formed trees of every node type: 0 (with its size, now and
// then 0 so that both bits lead to the one subtree that follows), 1, 2, 3,
// and the types 4 to 255 that are a leaf on both bits. At least one leaf is NUL.
class TreeMaker {
public:
    explicit TreeMaker(Rng &rng) : rng_(rng) {}

    GeneratedTree make()
    {
        tree_ = GeneratedTree();
        node(int(below(rng_, 11)), {Bits()});
        bool hasNul = false;
        for (const Leaf &leaf : tree_.leaves)
            hasNul |= leaf.value == 0;
        if (!hasNul) {
            const std::size_t at = tree_.leaves[below(rng_, tree_.leaves.size())].valueAt;
            tree_.bytes[at] = tree_.bytes[at + 1] = 0;
            for (Leaf &leaf : tree_.leaves)
                if (leaf.valueAt == at)
                    leaf.value = 0;
        }
        return tree_;
    }

private:
    static std::vector<Bits> extended(std::vector<Bits> prefixes, bool bit)
    {
        for (Bits &code : prefixes)
            code.push_back(bit);
        return prefixes;
    }

    // A leaf value reached from each prefix by each of `bits`.
    void leaf(const std::vector<Bits> &prefixes, std::initializer_list<bool> bits)
    {
        const char16_t value = leafValue(rng_);
        const std::size_t at = tree_.bytes.size();
        tree_.bytes.push_back(std::uint8_t(value));
        tree_.bytes.push_back(std::uint8_t(value >> 8));
        for (bool bit : bits)
            for (const Bits &code : extended(prefixes, bit))
                tree_.leaves.push_back({value, code, at});
    }

    void node(int depthLeft, const std::vector<Bits> &prefixes)
    {
        static const std::uint8_t kInnerTypes[] = {0, 0, 0, 1, 1, 2, 2, 3, 3, 4};
        std::uint8_t type = depthLeft > 0 ? kInnerTypes[below(rng_, 10)] : 3;
        if (type == 4 || (type == 3 && oneIn(rng_, 3)))
            type = std::uint8_t(4 + below(rng_, 252));
        tree_.bytes.push_back(type);
        switch (type) {
        case 0: {
            tree_.innerAt.push_back(tree_.bytes.size() - 1);
            const std::size_t sizeAt = tree_.bytes.size();
            tree_.bytes.resize(sizeAt + 2, 0);
            if (oneIn(rng_, 12)) {
                std::vector<Bits> both = extended(prefixes, 0);
                for (const Bits &code : extended(prefixes, 1))
                    both.push_back(code);
                node(depthLeft - 1, both);
                break;
            }
            node(depthLeft - 1, extended(prefixes, 0));
            const std::size_t size = tree_.bytes.size() - sizeAt - 2;
            tree_.bytes[sizeAt] = std::uint8_t(size);
            tree_.bytes[sizeAt + 1] = std::uint8_t(size >> 8);
            node(depthLeft - 1, extended(prefixes, 1));
            break;
        }
        case 1:
            leaf(prefixes, {1});
            node(depthLeft - 1, extended(prefixes, 0));
            break;
        case 2:
            leaf(prefixes, {0});
            node(depthLeft - 1, extended(prefixes, 1));
            break;
        case 3:
            leaf(prefixes, {0});
            leaf(prefixes, {1});
            break;
        default:
            leaf(prefixes, {0, 1});
            break;
        }
    }

    Rng &rng_;
    GeneratedTree tree_;
};

// Bits in block order: bytes one after the other, each from its lowest bit.
struct BitSink {
    Bytes bytes;
    unsigned current = 0;
    unsigned used = 0;

    void put(const Bits &code)
    {
        for (bool bit : code) {
            current |= unsigned(bit) << used;
            if (++used == 8)
                endByte(0);
        }
    }
    // Ends the byte in progress, its free bits taken from `filler`.
    void endByte(unsigned filler)
    {
        if (used != 0)
            bytes.push_back(std::uint8_t(current | (filler << used)));
        current = used = 0;
    }
};

struct GeneratedBlock {
    Bytes bytes;
    Strings strings; // as written, without the carriage returns that the decoder drops
};

// Up to 24 strings coded through `tree`, some of them empty, now and then one
// of over 1000 units; high surrogates mostly followed by a low one. With
// `junk`, the free bits after each NUL code and the separators are random.
// The last separator is sometimes left out: the block ends with the NUL code's byte.
GeneratedBlock makeBlock(Rng &rng, const GeneratedTree &tree, bool junk)
{
    std::vector<const Leaf *> nuls, units, lows;
    for (const Leaf &leaf : tree.leaves) {
        (leaf.value == 0 ? nuls : units).push_back(&leaf);
        if (leaf.value >= 0xDC00 && leaf.value <= 0xDFFF)
            lows.push_back(&leaf);
    }
    GeneratedBlock block;
    BitSink sink;
    const unsigned count = below(rng, 25);
    const bool hasLongString = oneIn(rng, 25);
    for (unsigned s = 0; s < count; ++s) {
        unsigned length = oneIn(rng, 4) ? 13 + below(rng, 90) : below(rng, 13);
        if (hasLongString && s == 0)
            length = 1000 + below(rng, 600);
        std::u16string text;
        auto write = [&](const Leaf &leaf) {
            sink.put(leaf.code);
            if (leaf.value != 0x000D)
                text.push_back(leaf.value);
        };
        for (unsigned i = 0; i < length && !units.empty(); ++i) {
            const Leaf &unit = *units[below(rng, units.size())];
            write(unit);
            if (unit.value >= 0xD800 && unit.value <= 0xDBFF && !lows.empty() && !oneIn(rng, 4))
                write(*lows[below(rng, lows.size())]);
        }
        sink.put(nuls[below(rng, nuls.size())]->code);
        sink.endByte(junk ? rng() : 0);
        if (s + 1 < count || !oneIn(rng, 3))
            sink.bytes.push_back(junk ? std::uint8_t(rng()) : 0);
        block.strings.push_back(text);
    }
    block.bytes = sink.bytes;
    return block;
}

Bytes randomBytes(Rng &rng, std::size_t length)
{
    Bytes bytes(length);
    for (std::uint8_t &byte : bytes)
        byte = std::uint8_t(rng());
    return bytes;
}

// A tree of loose bytes: mostly the four node types, small sizes, any values.
Bytes randomTree(Rng &rng)
{
    Bytes bytes = randomBytes(rng, below(rng, 48));
    for (std::uint8_t &byte : bytes)
        if (oneIn(rng, 2))
            byte = std::uint8_t(below(rng, 4));
        else if (oneIn(rng, 2))
            byte = std::uint8_t(below(rng, 12));
    return bytes;
}

// A generated tree spoilt: read short, a type-0 size that leads to the
// tree's end or beyond it, or a few bytes overwritten.
Bytes spoilt(Rng &rng, const GeneratedTree &tree)
{
    Bytes bytes = tree.bytes;
    const std::uint32_t how = below(rng, 3);
    if (how == 1 && !tree.innerAt.empty()) {
        // The bit-1 child lands on one of the tree's last four bytes or beyond its end.
        const std::size_t at = tree.innerAt[below(rng, tree.innerAt.size())];
        const std::size_t toEnd = bytes.size() - (at + 3);
        const std::size_t low = std::min<std::size_t>(toEnd > 4 ? toEnd - 4 : 0, 0xFFFF);
        const std::size_t size = low + below(rng, 0x10000 - low);
        bytes[at + 1] = std::uint8_t(size);
        bytes[at + 2] = std::uint8_t(size >> 8);
    } else if (how == 2) {
        for (std::uint32_t n = 1 + below(rng, 3); n > 0; --n)
            bytes[below(rng, bytes.size())] = std::uint8_t(rng());
    } else {
        bytes.resize(below(rng, bytes.size()));
    }
    return bytes;
}

// The strings of the updater's table; *backToBack says whether they lie one
// after the other from the start of its buffer.
Strings tableStrings(const StringTable &table, bool *backToBack)
{
    Strings strings;
    const char16_t *expectedStart = table.buffer.get();
    *backToBack = true;
    for (const char16_t *s : table.strings) {
        *backToBack &= s == expectedStart;
        strings.emplace_back(s);
        expectedStart = s + strings.back().size() + 1;
    }
    return strings;
}

QString hexOf(const std::uint8_t *bytes, std::size_t length)
{
    return QByteArray(reinterpret_cast<const char *>(bytes), int(length)).toHex(' ');
}

QString show(const Strings &strings)
{
    QStringList shown;
    for (const std::u16string &s : strings) {
        QString units;
        for (char16_t u : s)
            units += QString::number(u, 16) + QLatin1Char(' ');
        shown << units.trimmed();
    }
    return QLatin1Char('[') + shown.join(QLatin1String(" | ")) + QLatin1Char(']');
}

// Decodes with the updater and with the reference, and counts what differs.
struct Comparison {
    quint64 cases = 0;
    quint64 differing = 0;
    QString first; // the first case that differed

    // `tree` null: a plain block. Returns the updater's strings.
    Strings compare(const Bytes &blockBytes, std::size_t length, const Bytes *tree, std::uint32_t lastIndex)
    {
        const Exact block(blockBytes.data(), length);
        const Exact exactTree(tree ? tree->data() : nullptr, tree ? tree->size() : 0);
        StringTable table;
        decodeBlock(&table, block.bytes.get(), block.length, tree ? exactTree.bytes.get() : nullptr,
                    exactTree.length, lastIndex);
        bool backToBack = false;
        const Strings got = tableStrings(table, &backToBack);
        const Strings expected = reference::decodeBlock(block.bytes.get(), block.length,
                                                        tree ? exactTree.bytes.get() : nullptr, exactTree.length,
                                                        lastIndex);
        ++cases;
        if ((got != expected || !backToBack) && differing++ == 0)
            first = QStringLiteral("tree [%1] block [%2] last index %3: reference %4, updater %5%6")
                        .arg(tree ? hexOf(tree->data(), tree->size()) : QStringLiteral("none"),
                             hexOf(blockBytes.data(), length).left(600))
                        .arg(lastIndex)
                        .arg(show(expected).left(300), show(got).left(300),
                             backToBack ? QString() : QStringLiteral(" (not back to back)"));
        return got;
    }
};

enum class Generated { CodedWellFormed, CodedRandomBlocks, CodedSpoiltTrees, CodedRandomTrees, Plain };

} // namespace

class TestBlockDecoder : public QObject {
    Q_OBJECT

private slots:
    // Blocks of files without a code tree: UTF-16LE text.
    void plainBlock_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<quint32>("lastIndex");
        QTest::addColumn<QStringList>("strings");
        const QByteArray aNulBNul = hex("41 00 00 00 42 00 00 00");
        // At most lastIndex + 1 strings, and none after the NUL behind the block.
        QTest::newRow("A B, last index 0") << aNulBNul << 0u << QStringList{"A"};
        QTest::newRow("A B, last index 1") << aNulBNul << 1u << QStringList{"A", "B"};
        QTest::newRow("A B, last index 2") << aNulBNul << 2u << QStringList{"A", "B", ""};
        QTest::newRow("A B, last index 2^32-1") << aNulBNul << 0xFFFFFFFFu << QStringList{"A", "B", ""};
        QTest::newRow("only NULs") << hex("00 00 00 00") << 9u << QStringList{"", "", ""};
        // No NUL of its own, empty, odd length.
        QTest::newRow("no NUL") << hex("41 00 42 00") << 5u << QStringList{"AB"};
        QTest::newRow("length 0") << QByteArray() << 3u << QStringList{""};
        QTest::newRow("odd, last byte ignored") << hex("41 00 42") << 3u << QStringList{"A"};
        QTest::newRow("odd after NUL") << hex("41 00 00 00 42") << 3u << QStringList{"A", ""};
        // Units pass unchanged: little-endian, CR kept, surrogates as they are.
        QTest::newRow("little-endian") << hex("34 12 00 00") << 0u << QStringList{QString(QChar(0x1234))};
        QTest::newRow("CR kept") << hex("41 00 0D 00 42 00") << 0u << QStringList{"A\rB"};
        QTest::newRow("surrogate pair")
            << hex("3D D8 00 DE 00 00") << 0u << QStringList{QString::fromUtf8("\xF0\x9F\x98\x80")};
        QTest::newRow("lone surrogate")
            << hex("00 DC 41 00") << 0u << QStringList{QString(QChar(0xDC00)) + "A"};
    }
    void plainBlock()
    {
        QFETCH(QByteArray, block);
        QFETCH(quint32, lastIndex);
        QFETCH(QStringList, strings);
        QCOMPARE(decode(QByteArray(), false, block, lastIndex), strings);
    }

    // Blocks coded through a well-formed code tree. The last index plays no part.
    void codedBlock_data()
    {
        QTest::addColumn<QByteArray>("tree");
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QStringList>("strings");
        const QByteArray ab = hex(kTreeAB);
        const QByteArray pairs = hex(kTreePairs);
        // Strings, separators, and bits taken lowest first.
        QTest::newRow("AB BA") << ab << hex("05 00 06 00") << QStringList{"AB", "BA"};
        QTest::newRow("A") << ab << hex("01") << QStringList{"A"};
        QTest::newRow("empty string") << ab << hex("00 00 01 00") << QStringList{"", "A"};
        // The bits after a NUL code and the separator are skipped whatever they hold;
        // here the NUL code runs over into the second byte.
        QTest::newRow("NUL across bytes, junk skipped")
            << ab << hex("7F FE FF 01") << QStringList{"AAAAAAA", "A"};
        // The end of the block.
        QTest::newRow("empty block") << ab << QByteArray() << QStringList{};
        QTest::newRow("no NUL code") << ab << hex("FF") << QStringList{};
        QTest::newRow("last separator missing") << ab << hex("05 00 06") << QStringList{"AB", "BA"};
        QTest::newRow("second string cut off") << ab << hex("05 00 FF") << QStringList{"AB"};
        // Carriage returns disappear, wherever they are.
        QTest::newRow("CR inside") << pairs << hex("1E 00") << QStringList{"AB"};
        QTest::newRow("CR only") << pairs << hex("3F 00 03 00") << QStringList{"", ""};
        // Type 2 (NUL on 0, go on with 1) over a node of another type (B on either bit).
        QTest::newRow("types 2 and other") << hex("02 00 00 05 42 00") << hex("0D 00")
                                           << QStringList{"BB"};
        QTest::newRow("type 0 of size 0")
            << hex("00 00 00 04 00 00") << hex("00 00 00 00") << QStringList{"", ""};
        // Surrogates are code units like any other: D83D on 1, DE00 on 01, NUL on 00.
        QTest::newRow("surrogate pair") << hex("01 3D D8 03 00 00 00 DE") << hex("05 00")
                                        << QStringList{QString::fromUtf8("\xF0\x9F\x98\x80")};
        QTest::newRow("lone surrogates") << hex("01 3D D8 03 00 00 00 DE") << hex("06 00 01")
                                         << QStringList{QString(QChar(0xDE00)) + QChar(0xD83D), QString(QChar(0xD83D))};
        // Output beyond its first 1024 units, the final NUL in the last free unit.
        QTest::newRow("1023 units") << pairs << lettersA(1023) << QStringList{QString(1023, 'A')};
        QTest::newRow("1024 units") << pairs << lettersA(1024) << QStringList{QString(1024, 'A')};
        QTest::newRow("1025 units") << pairs << lettersA(1025) << QStringList{QString(1025, 'A')};
        QTest::newRow("3000 units, then BA")
            << pairs << QByteArray(750, char(0x66)) + hex("00 00 09 00")
            << QStringList{QString("AB").repeated(1500), "BA"};
        QTest::newRow("many strings across growth")
            << pairs << hex("02 00").repeated(900)
            << QStringList(QVector<QString>(900, "A").toList());
    }
    void codedBlock()
    {
        QFETCH(QByteArray, tree);
        QFETCH(QByteArray, block);
        QFETCH(QStringList, strings);
        for (quint32 lastIndex : {0u, 511u})
            QCOMPARE(decode(tree, true, block, lastIndex), strings);
    }

    // Trees that point outside their own bytes. Decoding stops at the first
    // step that would leave the tree; the strings completed before are kept.
    void malformedTree_data()
    {
        QTest::addColumn<QByteArray>("tree");
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QStringList>("strings");
        // Trees too short for their root: coded, not plain, yet nothing to decode.
        QTest::newRow("tree of 0 bytes") << QByteArray() << hex("00 00") << QStringList{};
        QTest::newRow("tree of 1 byte") << hex("04") << hex("00 00") << QStringList{};
        QTest::newRow("tree of 2 bytes") << hex("04 00") << hex("00 00") << QStringList{};
        QTest::newRow("two-leaf root of 4 bytes") << hex("03 00 00 41") << hex("00 00") << QStringList{};
        // kTreeAB read one byte short: its type-3 node has lost a byte of B.
        QTest::newRow("node cut by the end") << hex("01 41 00 03 00 00 42") << hex("01") << QStringList{};
        QTest::newRow("child beyond the end") << hex("01 41 00") << hex("01") << QStringList{};
        // A type-0 root whose size leads far past the end; its bit-0 child
        // (NUL on 00, A on 01 of the whole code) is well-formed.
        const QByteArray farSize = hex("00 FF 7F 03 00 00 41 00");
        QTest::newRow("size past the end, after A") << farSize << hex("02 00 01 00") << QStringList{"A"};
        QTest::newRow("size past the end, in a string")
            << farSize << hex("02 00 0E 00") << QStringList{"A"};
        // NUL on 0; on 1 a type-0 node of size 0xFFFF, the last node of the tree.
        QTest::newRow("size 0xFFFF") << hex("00 03 00 04 00 00 00 FF FF") << hex("00 00 03 00")
                                     << QStringList{""};
        // Chains of type-0 nodes of size 0 run off the end, one bit a node.
        QTest::newRow("type-0 chain") << hex("00 00 00 00 00 00 00 00 00") << hex("FF FF")
                                      << QStringList{};
    }
    void malformedTree()
    {
        QFETCH(QByteArray, tree);
        QFETCH(QByteArray, block);
        QFETCH(QStringList, strings);
        QCOMPARE(decode(tree, true, block, 0), strings);
    }

    // Generated blocks, decoded by the updater and by the plain decoder of
    // tests/support (TAVIX_TEST_LONG=1: many more). Files written by other
    // tools leave junk in the bits after a NUL code and in the separators.
    void matchesReference_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("inputs");
        QTest::newRow("coded, generated trees and strings, cut at every length")
            << int(Generated::CodedWellFormed) << casesForRun(30, 2500);
        QTest::newRow("coded, random block bytes")
            << int(Generated::CodedRandomBlocks) << casesForRun(800, 60000);
        QTest::newRow("coded, spoilt trees") << int(Generated::CodedSpoiltTrees) << casesForRun(200, 10000);
        QTest::newRow("coded, random tree bytes") << int(Generated::CodedRandomTrees) << casesForRun(800, 60000);
        QTest::newRow("plain, every last index") << int(Generated::Plain) << casesForRun(40, 1500);
    }
    void matchesReference()
    {
        QFETCH(int, kind);
        QFETCH(int, inputs);
        Rng rng(0x7A61u + std::uint32_t(kind));
        TreeMaker trees(rng);
        Comparison comparison;
        int wrongBlocks = 0; // whole generated blocks that decoded to other strings than written
        for (int n = 0; n < inputs; ++n) {
            const std::uint32_t lastIndex = oneIn(rng, 2) ? below(rng, 512) : 0xFFFFFFFFu;
            switch (Generated(kind)) {
            case Generated::CodedWellFormed: {
                const GeneratedTree tree = trees.make();
                const GeneratedBlock block = makeBlock(rng, tree, !oneIn(rng, 8));
                const std::size_t length = block.bytes.size();
                wrongBlocks += comparison.compare(block.bytes, length, &tree.bytes, lastIndex) != block.strings;
                if (length <= 300) {
                    for (std::size_t cut = 0; cut < length; ++cut)
                        comparison.compare(block.bytes, cut, &tree.bytes, lastIndex);
                } else {
                    for (int k = 0; k < 150; ++k)
                        comparison.compare(block.bytes, below(rng, length), &tree.bytes, lastIndex);
                }
                break;
            }
            case Generated::CodedRandomBlocks: {
                const GeneratedTree tree = trees.make();
                const Bytes block = randomBytes(rng, below(rng, 64));
                comparison.compare(block, block.size(), &tree.bytes, lastIndex);
                break;
            }
            case Generated::CodedSpoiltTrees: {
                const GeneratedTree tree = trees.make();
                const GeneratedBlock block = makeBlock(rng, tree, true);
                const Bytes bad = spoilt(rng, tree);
                comparison.compare(block.bytes, block.bytes.size(), &bad, lastIndex);
                for (int k = 0; k < 10 && !block.bytes.empty(); ++k)
                    comparison.compare(block.bytes, below(rng, block.bytes.size()), &bad, lastIndex);
                break;
            }
            case Generated::CodedRandomTrees: {
                const Bytes tree = randomTree(rng);
                const Bytes block = randomBytes(rng, below(rng, 48));
                comparison.compare(block, block.size(), &tree, lastIndex);
                break;
            }
            case Generated::Plain: {
                // Units: NULs, carriage returns, surrogates and letters; now and then an odd
                // byte at the end. Some blocks hold over 512 strings.
                const bool large = oneIn(rng, 8);
                const std::uint32_t units = large ? 500 + below(rng, 700) : below(rng, 41);
                Bytes block;
                for (std::uint32_t i = 0; i < units; ++i) {
                    const std::uint32_t kind = below(rng, 10);
                    const char16_t unit = kind < (large ? 6u : 3u) ? 0
                                          : kind == 6             ? 0x000D
                                          : kind == 7             ? char16_t(0xD800 + below(rng, 0x800))
                                                                  : char16_t('a' + below(rng, 26));
                    block.push_back(std::uint8_t(unit));
                    block.push_back(std::uint8_t(unit >> 8));
                }
                if (oneIn(rng, 3))
                    block.push_back(std::uint8_t(rng()));
                // Every last index that can make a difference, and the largest ones.
                for (std::uint32_t last = 0; last < 512 && last <= units + 2; ++last)
                    comparison.compare(block, block.size(), nullptr, last);
                for (std::uint32_t last : {511u, 512u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu})
                    comparison.compare(block, block.size(), nullptr, last);
                break;
            }
            }
        }
        qInfo("%llu decodes compared, from %d generated inputs", comparison.cases, inputs);
        QVERIFY(comparison.cases >= quint64(inputs));
        QVERIFY2(comparison.differing == 0 && wrongBlocks == 0,
                 qPrintable(QStringLiteral("%1 of %2 decodes differ from the reference; %3 of %4 whole generated "
                                           "blocks decode to other strings than were written; first difference: %5")
                                .arg(comparison.differing)
                                .arg(comparison.cases)
                                .arg(wrongBlocks)
                                .arg(inputs)
                                .arg(comparison.first)));
    }
};

QTEST_APPLESS_MAIN(TestBlockDecoder)
#include "test_block_decoder.moc"
