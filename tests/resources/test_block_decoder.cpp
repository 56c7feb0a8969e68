// The block decoder on hand-made blocks, one row per case: the strings a
// lookup would get, and never a read outside the block or the code tree
// (both are handed over in heap buffers of exactly their size, so that
// AddressSanitizer sees the first byte too far).
#include "resources/block_decoder.h"

#include <QtTest>

#include <cstring>
#include <memory>

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
    explicit Exact(const QByteArray &data)
        : bytes(new std::uint8_t[std::size_t(data.size())]), length(std::uint32_t(data.size()))
    {
        if (length)
            std::memcpy(bytes.get(), data.constData(), length);
    }
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
};

QTEST_APPLESS_MAIN(TestBlockDecoder)
#include "test_block_decoder.moc"
