// String-resource files and the lookup of texts through them: what is read
// from which file and when, which files are accepted, which string a caller
// gets, and what the block cache keeps.
#include "resources/language.h"
#include "resources/localized_text.h"
#include "resources/resource_file.h"
#include "resources/string_lookup.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <array>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Chain = std::array<std::uint32_t, 4>;

// The files the tests serve, by name, and every read asked for.
struct ReadCall {
    std::u16string name;
    std::int64_t from;
    std::int64_t to;
};
std::map<std::u16string, Bytes> gFiles;
std::vector<ReadCall> gReads;

// The reader over gFiles, with the range rules of the real one.
std::int64_t memoryReader(const char16_t *name, std::uint8_t **out, std::int64_t from, std::int64_t to)
{
    *out = nullptr;
    gReads.push_back({name, from, to});
    const auto found = gFiles.find(name);
    if (found == gFiles.end())
        return 0;
    const std::int64_t end = std::min<std::int64_t>(to, std::int64_t(found->second.size()));
    if (from >= end)
        return 0;
    *out = new std::uint8_t[std::size_t(end - from)];
    std::copy(found->second.begin() + from, found->second.begin() + end, *out);
    return end - from;
}

int readsOf(const std::u16string &name)
{
    int count = 0;
    for (const ReadCall &call : gReads)
        count += call.name == name;
    return count;
}

void putWord(Bytes *bytes, std::size_t at, std::uint32_t value)
{
    if (bytes->size() < at + 4)
        bytes->resize(at + 4);
    for (int i = 0; i < 4; ++i)
        (*bytes)[at + i] = std::uint8_t(value >> (8 * i));
}

struct TestBlock {
    std::uint32_t number;
    std::vector<std::u16string> strings; // plain UTF-16, the last index is their count - 1
};

// A resource file with plain blocks: the header fields are always written in
// full (68 bytes, or more for a longer header), the length field says how many
// of them count; index records follow the header, then the block data.
struct TestFile {
    Chain chain{1, 0, 0, 0};
    std::uint32_t headerLength = 68;
    std::uint32_t formatTag = kFormatTag;
    std::uint32_t blockBase = 0;      // added to the offsets stored in the index
    std::uint32_t lengthFlag = 0;     // or-ed into every stored block length
    std::int64_t indexExtra = 0;      // added to the block count (beyond the stored records)
    std::vector<TestBlock> blocks;

    Bytes bytes() const
    {
        const std::size_t headerEnd = std::max<std::size_t>(headerLength, 68);
        const std::size_t indexAt = headerEnd;
        const std::size_t dataAt = indexAt + kBlockIndexRecordSize * blocks.size();
        Bytes file(dataAt, 0);
        putWord(&file, kHeaderMagicAt, kResourceMagic);
        putWord(&file, kHeaderFormatAt, formatTag);
        putWord(&file, kHeaderLengthAt, headerLength);
        for (int i = 0; i < 4; ++i)
            putWord(&file, kHeaderChainAt + 4 * i, chain[i]);
        putWord(&file, kHeaderBlockCountAt, std::uint32_t(std::int64_t(blocks.size()) + indexExtra));
        putWord(&file, kHeaderBlockIndexAt, std::uint32_t(indexAt));
        putWord(&file, kHeaderBlockBaseAt, std::uint32_t(dataAt) + blockBase);
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const std::size_t start = file.size();
            for (const std::u16string &text : blocks[b].strings)
                for (std::size_t i = 0; i <= text.size(); ++i) {
                    const char16_t unit = i < text.size() ? text[i] : 0;
                    file.push_back(std::uint8_t(unit));
                    file.push_back(std::uint8_t(unit >> 8));
                }
            const std::size_t record = indexAt + kBlockIndexRecordSize * b;
            const auto lastIndex = std::uint32_t(blocks[b].strings.size() - 1);
            putWord(&file, record, blocks[b].number | lastIndex << 23);
            putWord(&file, record + 4, std::uint32_t(start - dataAt) - blockBase);
            putWord(&file, record + 8, std::uint32_t(file.size() - start) | lengthFlag);
        }
        return file;
    }
};

// The smallest useful English file, byte by byte: block 0 with the strings
// "A" and "B".
const Bytes kMinimalEnglish = {
    0x7C, 0x61, 0x8A, 0xB2, 0x5D, 0x12, 0x84, 0xFE, 68, 0, 0, 0,  // magic, format tag, header length
    1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,               // chain [1, 0, 0, 0]
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                           // not read
    0, 0, 0, 0, 0, 0, 0, 0,                                       // code tree offset and length
    0, 0, 0, 0, 0, 0, 0, 0,                                       // not read
    1, 0, 0, 0, 68, 0, 0, 0, 80, 0, 0, 0,                         // block count, index, data base
    0x00, 0x00, 0x80, 0x00, 0, 0, 0, 0, 8, 0, 0, 0,               // block 0, last index 1, at 0, 8 bytes
    0x41, 0x00, 0x00, 0x00, 0x42, 0x00, 0x00, 0x00,               // "A", "B"
};

const std::u16string kEn = u"HelpEn.xqresource";
const std::u16string kDe = u"HelpDe.xqresource";
const std::u16string kFr = u"HelpFr.xqresource";

std::uint32_t gLanguage = 1;

QString text(const char16_t *found)
{
    return found == nullptr ? QStringLiteral("<none>") : QString::fromUtf16(found);
}

// The identifier of string `index` of `block`.
constexpr std::uint32_t id(std::uint32_t block, std::uint32_t index)
{
    return block * kStringsPerBlock + index;
}

std::unique_ptr<ResourceFile> load(const std::u16string &name)
{
    return std::unique_ptr<ResourceFile>(loadResourceFile(name.c_str(), memoryReader));
}

QString chainText(const Chain &chain)
{
    return QStringLiteral("[%1, %2, %3, %4]").arg(chain[0]).arg(chain[1]).arg(chain[2]).arg(chain[3]);
}

} // namespace

Q_DECLARE_METATYPE(Chain)
Q_DECLARE_METATYPE(std::vector<std::uint32_t>)

class TestStringResources : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        resetResourceFiles();
        resetBlockCache();
        gFiles.clear();
        gReads.clear();
        gLanguage = 1;
        bindCurrentLanguage(&gLanguage);
        setResourceReader(memoryReader);
    }

    void cleanupTestCase() { bindCurrentLanguage(nullptr); }

    void minimalEnglishFile()
    {
        QCOMPARE(kMinimalEnglish.size(), std::size_t(88));
        gFiles[kEn] = kMinimalEnglish;

        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("B"));
        // The preferred key 129 reads the file and rejects it; the key 1
        // reads it again and accepts it; then the index and the block.
        const std::vector<std::pair<std::int64_t, std::int64_t>> expected = {
            {0, 12}, {0, 68}, {0, 12}, {0, 68}, {68, 80}, {80, 88}};
        QCOMPARE(gReads.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            QVERIFY(gReads[i].name == kEn);
            QCOMPARE(std::make_pair(gReads[i].from, gReads[i].to), expected[i]);
        }
        QCOMPARE(failedResourceKeys(), std::vector<std::uint32_t>{129});

        QCOMPARE(text(lookupString(2, 0)), QStringLiteral("<none>"));   // beyond the block's two strings
        QCOMPARE(text(lookupString(513, 0)), QStringLiteral("<none>")); // block 1 is not in the file
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("B"));
        QCOMPARE(gReads.size(), expected.size());
        QCOMPARE(blockCacheSize(), std::size_t(1));
    }

    void identifierZeroTouchesNoFile()
    {
        gFiles[kEn] = kMinimalEnglish;
        const char16_t *found = lookupString(0, 4);
        QVERIFY(found != nullptr);
        QCOMPARE(found[0], u'\0');
        QVERIFY(gReads.empty());
        QVERIFY(failedResourceKeys().empty());
        QCOMPARE(localizedText(0), QString());
        QVERIFY(gReads.empty());
    }

    void headerValidation_data()
    {
        QTest::addColumn<std::uint32_t>("headerLength");
        QTest::addColumn<std::uint32_t>("formatTag");
        QTest::addColumn<int>("cutTo"); // file cut to this many bytes; -1 keeps it whole
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("blocksSeen");

        QTest::newRow("332 used unchanged") << 332u << kFormatTag << -1 << true << true;
        QTest::newRow("68") << 68u << kFormatTag << -1 << true << true;
        QTest::newRow("alternate tag") << 68u << kFormatTagAlternate << -1 << true << true;
        QTest::newRow("56 ends before the block count") << 56u << kFormatTag << -1 << true << false;
        QTest::newRow("28 widened, no blocks") << 28u << kFormatTag << -1 << true << false;
        QTest::newRow("12, only the first fields") << 12u << kFormatTag << -1 << true << false;
        QTest::newRow("11 below its own fields") << 11u << kFormatTag << -1 << false << false;
        QTest::newRow("0") << 0u << kFormatTag << -1 << false << false;
        QTest::newRow("333") << 333u << kFormatTag << -1 << false << false;
        QTest::newRow("tag 0xFE84125F") << 68u << 0xFE84125Fu << -1 << false << false;
        QTest::newRow("header cut short") << 68u << kFormatTag << 40 << false << false;
        QTest::newRow("shorter than the probe") << 68u << kFormatTag << 11 << false << false;
    }

    void headerValidation()
    {
        QFETCH(std::uint32_t, headerLength);
        QFETCH(std::uint32_t, formatTag);
        QFETCH(int, cutTo);
        QFETCH(bool, accepted);
        QFETCH(bool, blocksSeen);

        TestFile file;
        file.headerLength = headerLength;
        file.formatTag = formatTag;
        file.blocks = {{0, {u"zero", u"one"}}};
        Bytes bytes = file.bytes();
        // Bytes of the header that are never read still belong to it.
        if (headerLength == 332)
            for (std::size_t at = 68; at < 332; ++at)
                bytes[at] = std::uint8_t(at);
        if (cutTo >= 0)
            bytes.resize(std::size_t(cutTo));
        gFiles[kEn] = bytes;

        const std::unique_ptr<ResourceFile> record = load(kEn);
        QCOMPARE(record != nullptr, accepted);
        if (record) {
            QVERIFY(record->name == kEn);
            QCOMPARE(record->headerWord(kHeaderLengthAt), kMaxHeaderLength);
            Bytes expected(bytes.begin(), bytes.begin() + headerLength);
            expected.resize(kMaxHeaderLength, 0);
            putWord(&expected, kHeaderLengthAt, kMaxHeaderLength);
            putWord(&expected, kHeaderChainAt, 1); // a chain cut off becomes [1, 0, 0, 0]
            QVERIFY(Bytes(record->header, record->header + kMaxHeaderLength) == expected);
        }
        QCOMPARE(text(lookupString(1, 1)), blocksSeen ? QStringLiteral("one") : QStringLiteral("<none>"));
    }

    void wrongMagicRejected()
    {
        Bytes bytes = TestFile().bytes();
        bytes[0] ^= 1;
        gFiles[kEn] = bytes;
        QVERIFY(load(kEn) == nullptr);
        QCOMPARE(gReads.size(), std::size_t(1)); // only the probe
    }

    void chainFixUp_data()
    {
        QTest::addColumn<Chain>("stored");
        QTest::addColumn<Chain>("fixed");
        QTest::newRow("English appended") << Chain{4, 0, 0, 0} << Chain{4, 1, 0, 0};
        QTest::newRow("English already second") << Chain{4, 1, 0, 0} << Chain{4, 1, 0, 0};
        QTest::newRow("English alone") << Chain{1, 0, 0, 0} << Chain{1, 0, 0, 0};
        QTest::newRow("first gap filled") << Chain{4, 0, 1, 0} << Chain{4, 1, 1, 0};
        QTest::newRow("no room") << Chain{4, 5, 6, 7} << Chain{4, 5, 6, 7};
        QTest::newRow("empty chain") << Chain{0, 0, 0, 0} << Chain{1, 0, 0, 0};
        QTest::newRow("English before a gap") << Chain{4, 1, 0, 5} << Chain{4, 1, 0, 5};
    }

    void chainFixUp()
    {
        QFETCH(Chain, stored);
        QFETCH(Chain, fixed);
        TestFile file;
        file.chain = stored;
        gFiles[kDe] = file.bytes();
        const std::unique_ptr<ResourceFile> record = load(kDe);
        QVERIFY(record != nullptr);
        const Chain chain{record->chain(0), record->chain(1), record->chain(2), record->chain(3)};
        QCOMPARE(chainText(chain), chainText(fixed));
    }

    void emptyChainAnswersToEnglish()
    {
        TestFile file;
        file.chain = {0, 0, 0, 0};
        file.blocks = {{0, {u"a", u"from the empty chain"}}};
        gFiles[kEn] = file.bytes();
        QCOMPARE(text(lookupString(1, 1)), QStringLiteral("from the empty chain"));
    }

    void ownKeyDecidesWhichKeyAccepts()
    {
        TestFile german;
        german.chain = {4, 0, 0, 0};
        german.blocks = {{0, {u"", u"Deutsch"}}};
        gFiles[kDe] = german.bytes();

        QVERIFY(openResourceFile(4, true) == nullptr); // key 132 reads HelpDe and rejects it
        QCOMPARE(readsOf(kDe), 2);
        ResourceFile *file = openResourceFile(4, false);
        QVERIFY(file != nullptr);
        QCOMPARE(readsOf(kDe), 4);
        QCOMPARE(failedResourceKeys(), std::vector<std::uint32_t>{132});
        // Both answers are remembered: no further reads.
        QVERIFY(openResourceFile(132, false) == nullptr);
        QVERIFY(openResourceFile(4, false) == file);
        QCOMPARE(readsOf(kDe), 4);

        gLanguage = 4;
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("Deutsch"));
    }

    void preferredFileAnswersFirst()
    {
        TestFile german;
        german.chain = {132, 0, 0, 0};
        german.blocks = {{0, {u"", u"bevorzugt"}}};
        gFiles[kDe] = german.bytes();
        gLanguage = 4;
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("bevorzugt"));
        QCOMPARE(readsOf(kDe), 4); // header probe and header once, then index and block
        QVERIFY(failedResourceKeys().empty());
    }

    void missingLanguageFailsOnce()
    {
        gLanguage = 3; // no French file
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("<none>"));
        QCOMPARE(failedResourceKeys(), (std::vector<std::uint32_t>{131, 3, 129, 1}));
        const std::size_t reads = gReads.size();
        QCOMPARE(readsOf(kFr), 2);
        QCOMPARE(text(lookupString(2, 0)), QStringLiteral("<none>"));
        QCOMPARE(localizedText(id(7, 3)), QString());
        QCOMPARE(gReads.size(), reads);

        // Next run, now with an English file: French is probed once more,
        // then never again.
        gFiles[kEn] = kMinimalEnglish;
        resetResourceFiles();
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("B"));
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("B"));
        QCOMPARE(readsOf(kFr), 4);
    }

    // Keys whose language has no file code (0 from a stored setting, 10 and
    // above, a chain entry like 300) fail at once without any read.
    void languageWithoutCode_data()
    {
        QTest::addColumn<std::uint32_t>("language");
        QTest::addColumn<std::vector<std::uint32_t>>("failed");
        QTest::newRow("0 as current language") << 0u << std::vector<std::uint32_t>{128, 0, 129};
        QTest::newRow("10") << 10u << std::vector<std::uint32_t>{138, 10, 129};
        QTest::newRow("300") << 300u << std::vector<std::uint32_t>{428, 300, 129};
        QTest::newRow("0xFFFFFFFF, one key") << 0xFFFFFFFFu << std::vector<std::uint32_t>{0xFFFFFFFF, 129};
    }

    void languageWithoutCode()
    {
        QFETCH(std::uint32_t, language);
        QFETCH(std::vector<std::uint32_t>, failed);
        gFiles[kEn] = kMinimalEnglish;
        gLanguage = language;
        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("B"));
        for (const ReadCall &call : gReads)
            QVERIFY(call.name == kEn);
        QCOMPARE(failedResourceKeys(), failed);
    }

    // A chain entry that carries the preferred bit names its language's file.
    void preferredChainEntryOpensItsLanguage()
    {
        TestFile english;
        english.chain = {1, 132, 0, 0};
        english.blocks = {{0, {u"", u""}}};
        TestFile german;
        german.chain = {132, 0, 0, 0};
        german.blocks = {{0, {u"", u"über die Kette"}}};
        gFiles[kEn] = english.bytes();
        gFiles[kDe] = german.bytes();
        QCOMPARE(text(lookupString(1, 1)), QStringLiteral("über die Kette"));
    }

    void laterIndexRecordWins()
    {
        TestFile file;
        file.blocks = {{3, {u"early"}}, {2, {u"two"}}, {3, {u"late"}}, {4, {u"four"}}};
        gFiles[kEn] = file.bytes();
        QCOMPARE(text(lookupString(id(3, 0), 1)), QStringLiteral("late"));
        QCOMPARE(text(lookupString(id(2, 0), 1)), QStringLiteral("two"));
        QCOMPARE(text(lookupString(id(4, 0), 1)), QStringLiteral("four"));
    }

    // Block positions are taken modulo 2^32 and bit 31 of the length is not used.
    void blockPlacement_data()
    {
        QTest::addColumn<std::uint32_t>("blockBase");
        QTest::addColumn<std::uint32_t>("lengthFlag");
        QTest::newRow("plain") << 0u << 0u;
        QTest::newRow("sum wraps") << 0xFFFFFF00u << 0u;
        QTest::newRow("length bit 31") << 0u << 0x80000000u;
    }

    void blockPlacement()
    {
        QFETCH(std::uint32_t, blockBase);
        QFETCH(std::uint32_t, lengthFlag);
        TestFile file;
        file.blockBase = blockBase;
        file.lengthFlag = lengthFlag;
        file.blocks = {{0, {u"x", u"first"}}, {1, {u"second"}}};
        gFiles[kEn] = file.bytes();
        QCOMPARE(text(lookupString(id(0, 1), 1)), QStringLiteral("first"));
        QCOMPARE(text(lookupString(id(1, 0), 1)), QStringLiteral("second"));
    }

    // A block that runs past the end of the file comes back short: the search
    // goes on to the next language, and nothing is cached for it.
    void blockPastTheEndMovesOn()
    {
        TestFile german;
        german.chain = {4, 1, 0, 0};
        german.blocks = {{0, {u"", u"abgeschnitten"}}};
        Bytes bytes = german.bytes();
        bytes.resize(bytes.size() - 2);
        gFiles[kDe] = bytes;
        TestFile english;
        english.blocks = {{0, {u"", u"whole"}}};
        gFiles[kEn] = english.bytes();

        QCOMPARE(text(lookupString(1, 4)), QStringLiteral("whole"));
        QCOMPARE(blockCacheSize(), std::size_t(1));
        const int germanReads = readsOf(kDe);
        QCOMPARE(text(lookupString(1, 4)), QStringLiteral("whole"));
        QCOMPARE(readsOf(kDe), germanReads + 1); // the block is tried again
    }

    // An index that runs past the end is not kept; the next lookup reads it again.
    void shortBlockIndexIsReadAgain()
    {
        TestFile file;
        file.blocks = {{0, {u"", u"kept"}}};
        file.indexExtra = 1000;
        gFiles[kEn] = file.bytes();
        QCOMPARE(text(lookupString(1, 1)), QStringLiteral("<none>"));
        QCOMPARE(text(lookupString(2, 1)), QStringLiteral("<none>"));
        // Each lookup asks the key 1 file for its index once.
        const std::int64_t indexAt = 68;
        int indexReads = 0;
        for (const ReadCall &call : gReads)
            indexReads += call.from == indexAt;
        QCOMPARE(indexReads, 2);
        QCOMPARE(blockCacheSize(), std::size_t(0));
    }

    void emptyStringTakenFromNextLanguage()
    {
        TestFile german;
        german.chain = {4, 1, 0, 0};
        german.blocks = {{1, {u"eins", u"", u"nur deutsch"}}};
        TestFile english;
        english.blocks = {{1, {u"one", u"two"}}};
        gFiles[kDe] = german.bytes();
        gFiles[kEn] = english.bytes();
        gLanguage = 4;

        QCOMPARE(text(lookupString(id(1, 0), 0)), QStringLiteral("eins"));
        QCOMPARE(text(lookupString(id(1, 1), 0)), QStringLiteral("two"));
        QCOMPARE(text(lookupString(id(1, 2), 0)), QStringLiteral("nur deutsch"));
        QCOMPARE(text(lookupString(id(1, 3), 0)), QStringLiteral("<none>"));
        // Block 1 of German and of English: two records.
        QCOMPARE(blockCacheSize(), std::size_t(2));
    }

    // German file with the own key 132: the chain entry 132 opens it in both
    // passes, and each pass keeps its own record of the block.
    void twoPassesTwoRecords()
    {
        TestFile german;
        german.chain = {132, 0, 0, 0};
        german.blocks = {{0, {u"", u""}}};
        TestFile english;
        english.blocks = {{0, {u"", u"English"}}};
        gFiles[kDe] = german.bytes();
        gFiles[kEn] = english.bytes();

        QCOMPARE(text(lookupString(1, 4)), QStringLiteral("English"));
        QCOMPARE(blockCacheSize(), std::size_t(3));
        const std::int64_t germanBlockAt = 68 + 12;
        int germanBlockReads = 0;
        for (const ReadCall &call : gReads)
            germanBlockReads += call.name == kDe && call.from == germanBlockAt;
        QCOMPARE(germanBlockReads, 2);
        const std::size_t reads = gReads.size();
        QCOMPARE(text(lookupString(1, 4)), QStringLiteral("English"));
        QCOMPARE(gReads.size(), reads);
    }

    // A cached block without the string sends the search on without a read.
    void cachedBlockLackingTheString()
    {
        TestFile german;
        german.chain = {4, 1, 0, 0};
        german.blocks = {{0, {u"nur eins"}}};
        TestFile english;
        english.blocks = {{0, {u"", u"one", u"two"}}};
        gFiles[kDe] = german.bytes();
        gFiles[kEn] = english.bytes();
        gLanguage = 4;

        QCOMPARE(text(lookupString(1, 0)), QStringLiteral("one"));
        const std::size_t reads = gReads.size();
        QCOMPARE(text(lookupString(2, 0)), QStringLiteral("two"));
        QCOMPARE(text(lookupString(3, 0)), QStringLiteral("<none>"));
        QCOMPARE(gReads.size(), reads);
        QCOMPARE(blockCacheSize(), std::size_t(2));
    }

    void cacheKeepsTenBlocks()
    {
        TestFile file;
        for (std::uint32_t b = 1; b <= 12; ++b)
            file.blocks.push_back({b, {u"block " + std::u16string(1, char16_t(u'a' + b))}});
        gFiles[kEn] = file.bytes();
        const auto ask = [](std::uint32_t block) {
            return text(lookupString(id(block, 0), 1)) == QStringLiteral("block ") + QChar(u'a' + block);
        };
        const auto costs = [&ask](std::uint32_t block) {
            const std::size_t before = gReads.size();
            if (!ask(block))
                return -1;
            return int(gReads.size() - before);
        };

        QVERIFY(ask(1)); // opens the file and reads the index
        for (std::uint32_t b = 2; b <= 10; ++b)
            QCOMPARE(costs(b), 1);
        QCOMPARE(blockCacheSize(), std::size_t(10));
        // Block 10 is at position 0, block 1 is the oldest: the eleventh
        // block drops block 10, not the oldest one.
        QCOMPARE(costs(11), 1);
        QCOMPARE(blockCacheSize(), std::size_t(10));
        for (std::uint32_t b = 1; b <= 9; ++b)
            QCOMPARE(costs(b), 0);
        QCOMPARE(costs(10), 1);
        // A hit puts its block at position 0 (the hits above left block 9
        // there, so block 10 came in in its place).
        QCOMPARE(costs(11), 0);
        QCOMPARE(costs(9), 1);  // drops block 11
        QCOMPARE(costs(5), 0);
        QCOMPARE(costs(12), 1); // drops block 5
        QCOMPARE(costs(5), 1);  // drops block 12
        QCOMPARE(costs(10), 0);
        QCOMPARE(costs(11), 1);
        QCOMPARE(blockCacheSize(), std::size_t(10));
    }

    void codedBlockReadsTreeOnce()
    {
        // Tree: a type-1 root (bit 1 is 'A') over a type-3 node (NUL, 'B').
        // Block 0: "AB", "BA"; block 1: "A".
        const Bytes tree = {0x01, 0x41, 0x00, 0x03, 0x00, 0x00, 0x42, 0x00};
        const Bytes block0 = {0x05, 0x00, 0x06, 0x00};
        const Bytes block1 = {0x01};
        Bytes bytes(68, 0);
        putWord(&bytes, kHeaderMagicAt, kResourceMagic);
        putWord(&bytes, kHeaderFormatAt, kFormatTag);
        putWord(&bytes, kHeaderLengthAt, 68);
        putWord(&bytes, kHeaderChainAt, 1);
        putWord(&bytes, kHeaderCodeTreeOffsetAt, 68 + 24);
        putWord(&bytes, kHeaderCodeTreeLengthAt, std::uint32_t(tree.size()));
        putWord(&bytes, kHeaderBlockCountAt, 2);
        putWord(&bytes, kHeaderBlockIndexAt, 68);
        putWord(&bytes, kHeaderBlockBaseAt, 68 + 24 + 8);
        putWord(&bytes, 68, 0);   // block 0; a coded block ignores its last index
        putWord(&bytes, 72, 0);
        putWord(&bytes, 76, 4);
        putWord(&bytes, 80, 1);   // block 1
        putWord(&bytes, 84, 4);
        putWord(&bytes, 88, 1);
        bytes.insert(bytes.end(), tree.begin(), tree.end());
        bytes.insert(bytes.end(), block0.begin(), block0.end());
        bytes.insert(bytes.end(), block1.begin(), block1.end());
        gFiles[kEn] = bytes;

        QCOMPARE(text(lookupString(1, 1)), QStringLiteral("BA"));
        QCOMPARE(text(lookupString(512, 1)), QStringLiteral("A"));
        int treeReads = 0;
        for (const ReadCall &call : gReads)
            treeReads += call.from == 68 + 24;
        QCOMPARE(treeReads, 1);
    }

    // A tree that lies past the end of the file comes back empty: its
    // blocks are still decoded as coded blocks (never as text), with no tree
    // bytes to walk, and the search goes on to the chain's next language.
    void codeTreeMissingFromFile()
    {
        TestFile german;
        german.chain = {4, 1, 0, 0};
        german.blocks = {{0, {u"", u"sichtbar"}}, {1, {u"", u"auch"}}};
        Bytes bytes = german.bytes();
        putWord(&bytes, kHeaderCodeTreeOffsetAt, 100000);
        putWord(&bytes, kHeaderCodeTreeLengthAt, 16);
        gFiles[kDe] = bytes;
        TestFile english;
        english.blocks = {{0, {u"", u"fallback"}}, {1, {u"", u"also"}}};
        gFiles[kEn] = english.bytes();

        QCOMPARE(text(lookupString(id(0, 1), 4)), QStringLiteral("fallback"));
        QCOMPARE(text(lookupString(id(1, 1), 4)), QStringLiteral("also"));
        int treeReads = 0;
        for (const ReadCall &call : gReads)
            treeReads += call.from == 100000;
        QCOMPARE(treeReads, 1);
    }

    // The real reader, through the "resource" search path.
    void readerRanges_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("from");
        QTest::addColumn<qint64>("to");
        QTest::addColumn<QByteArray>("expected"); // null: no buffer

        QTest::newRow("whole") << "HelpEn.xqresource" << qint64(0) << qint64(10) << QByteArray("0123456789");
        QTest::newRow("inside") << "HelpEn.xqresource" << qint64(2) << qint64(5) << QByteArray("234");
        QTest::newRow("past the end") << "HelpEn.xqresource" << qint64(6) << qint64(100) << QByteArray("6789");
        QTest::newRow("at the end") << "HelpEn.xqresource" << qint64(10) << qint64(20) << QByteArray();
        QTest::newRow("beyond the end") << "HelpEn.xqresource" << qint64(11) << qint64(20) << QByteArray();
        QTest::newRow("empty range") << "HelpEn.xqresource" << qint64(3) << qint64(3) << QByteArray();
        QTest::newRow("missing file") << "HelpDe.xqresource" << qint64(0) << qint64(10) << QByteArray();
    }

    void readerRanges()
    {
        QFETCH(QString, name);
        QFETCH(qint64, from);
        QFETCH(qint64, to);
        QFETCH(QByteArray, expected);

        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(QStringLiteral("HelpEn.xqresource")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("0123456789");
        file.close();
        QDir::setSearchPaths(QStringLiteral("resource"), {dir.path()});

        static std::uint8_t notABuffer;
        std::uint8_t *out = &notABuffer; // the reader must reset it
        const std::int64_t count =
            readResourceBytes(reinterpret_cast<const char16_t *>(name.utf16()), &out, from, to);
        QCOMPARE(count, std::int64_t(expected.size()));
        QCOMPARE(out == nullptr, expected.isNull());
        if (out != nullptr)
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(out), int(count)), expected);
        freeResourceBytes(out);
    }

    // The whole path a user-interface text takes, on a real file: the Qt
    // reader is installed on first use.
    void localizedTextFromFolder()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QFile file(dir.filePath(QStringLiteral("HelpEn.xqresource")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(kMinimalEnglish.data()), int(kMinimalEnglish.size()));
        file.close();
        QDir::setSearchPaths(QStringLiteral("resource"), {dir.path()});
        setResourceReader(nullptr);

        QCOMPARE(localizedText(1), QStringLiteral("B"));
        QVERIFY(resourceReader() == readResourceBytes);
        QCOMPARE(localizedText(0x7FFFFFFF), QString());
        QCOMPARE(failedResourceKeys(), std::vector<std::uint32_t>{129});
        QCOMPARE(localizedText(1, 1), QStringLiteral("B"));
    }
};

QTEST_GUILESS_MAIN(TestStringResources)
#include "test_string_resources.moc"
