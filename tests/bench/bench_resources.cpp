// bench_resources: what a text costs.
//
//   (a) decoding: Huffman-coded blocks of 512 strings, in MB/s of block bytes
//       and microseconds per block, from the tree's bytes (compiled for each
//       block) and from the tree compiled once, as a lookup decodes;
//   (b) a lookup served from the block cache, beside QTranslator::translate on
//       a .qm that lrelease built from the same .ts, in the same run;
//   (c) the first lookup in each of 64 blocks of a file with a large code
//       tree (some 19000 different units): what a block costs beside its tree.
//
// The resource files are built by xqres from generated .ts files.
#include "resources/block_decoder.h"
#include "resources/localized_text.h"
#include "resources/resource_file.h"
#include "resources/string_lookup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint32_t le32(const QByteArray &bytes, int at)
{
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData() + at);
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// 512 texts of block 1 (ids 512 to 1023), words of a firmware updater's vocabulary.
QString text(int i)
{
    static const char *const words[] = {"calculator", "firmware", "update", "waiting", "connection", "file",
                                        "transfer", "failed", "retry", "done", "start", "cancel", "disk",
                                        "folder", "browse", "the", "is", "not", "available", "please"};
    QString out;
    for (int w = 0; w < 4 + i % 7; ++w)
        out += QString(words[(i * 7 + w * 3) % 20]) + (w % 3 == 2 ? ", " : " ");
    return out + QString::number(i);
}

bool writeTs(const QString &path, const std::vector<std::pair<int, QString>> &texts)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                     "<TS version=\"2.1\" language=\"en_US\">\n<context>\n<name>Updater</name>\n";
    for (const auto &t : texts)
        xml += "<message id=\"" + QByteArray::number(t.first) + "\"><source>" + t.second.toUtf8() +
               "</source><translation>" + t.second.toUtf8() + "</translation></message>\n";
    xml += "</context>\n</TS>\n";
    return file.write(xml) == xml.size();
}

// Block 1 of the decoding benchmark: ids 512 to 1023.
std::vector<std::pair<int, QString>> vocabularyTexts()
{
    std::vector<std::pair<int, QString>> texts;
    for (int i = 0; i < 512; ++i)
        texts.push_back({512 + i, text(i)});
    return texts;
}

// Eight texts in each of blocks 1 to 64, 60 units each drawn from 30000
// ideographs: some 19000 different units, a code tree of about 77 KB.
std::vector<std::pair<int, QString>> largeAlphabetTexts()
{
    std::vector<std::pair<int, QString>> texts;
    std::uint32_t next = 1;
    for (int block = 1; block <= 64; ++block)
        for (int i = 0; i < 8; ++i) {
            QString units;
            for (int k = 0; k < 60; ++k) {
                next = next * 1103515245u + 12345u;
                units += QChar(ushort(0x4E00 + (next >> 8) % 30000));
            }
            texts.push_back({block << 9 | i, units});
        }
    return texts;
}

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), process.readAllStandardError().constData());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    QTemporaryDir folder;
    const QString ts = folder.filePath("HelpEn.ts");
    const QString resource = folder.filePath("HelpEn.xqresource");
    const QString qm = folder.filePath("HelpEn.qm");
    if (!folder.isValid() || !writeTs(ts, vocabularyTexts()) || !run(TAVIX_XQRES, {"build", ts, resource}) ||
        !run(TAVIX_LRELEASE, {"-silent", ts, "-qm", qm}))
        return 1;

    // (a) Decoding: the block and the code tree straight from the file.
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = file.readAll();
    const std::uint32_t treeAt = le32(bytes, 40), treeLength = le32(bytes, 44);
    const std::uint32_t indexAt = le32(bytes, 60), base = le32(bytes, 64);
    const std::uint32_t word = le32(bytes, int(indexAt));
    const std::uint32_t blockAt = base + le32(bytes, int(indexAt) + 4);
    const std::uint32_t blockLength = le32(bytes, int(indexAt) + 8) & 0x7FFFFFFFu;
    if (treeLength == 0 || std::uint64_t(blockAt) + blockLength > std::uint64_t(bytes.size()))
        return 1;
    const std::vector<std::uint8_t> tree(bytes.begin() + treeAt, bytes.begin() + treeAt + treeLength);
    const std::vector<std::uint8_t> block(bytes.begin() + blockAt, bytes.begin() + blockAt + blockLength);
    std::size_t strings = 0;
    const auto start = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        StringTable table;
        decodeBlock(&table, block.data(), blockLength, tree.data(), treeLength, word >> 23);
        strings += table.count();
    }
    const double decode = secondsSince(start);
    std::printf("(a) decoding a coded block of %zu strings (%u bytes, tree %u bytes): %.1f us per block, %.1f MB/s "
                "of block bytes (target: under 100 us)\n",
                strings / std::size_t(rounds), blockLength, treeLength, decode / rounds * 1e6,
                double(blockLength) * rounds / decode / 1e6);
    CompiledCodeTree compiled;
    if (!compileCodeTree(tree.data(), treeLength, &compiled))
        return 1;
    strings = 0;
    const auto compiledStart = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        StringTable table;
        decodeBlock(&table, block.data(), blockLength, &compiled, word >> 23);
        strings += table.count();
    }
    const double decodeCompiled = secondsSince(compiledStart);
    std::printf("(a) the same with the file's tree compiled once: %.1f us per block, %.1f MB/s\n",
                decodeCompiled / rounds * 1e6, double(blockLength) * rounds / decodeCompiled / 1e6);

    // (b) A cache-hit lookup beside QTranslator::translate.
    QDir::setSearchPaths("resource", {folder.path()});
    setResourceReader(readResourceBytes);
    const QString expected = text(300);
    if (QString::fromUtf16(lookupString(812, 1)) != expected) {
        std::fprintf(stderr, "lookup of 812 does not give the text\n");
        return 1;
    }
    const int lookups = rounds * 500;
    std::size_t sum = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < lookups; ++i)
        sum += lookupString(812, 1)[0];
    const double ours = secondsSince(t0) / lookups * 1e9;

    QTranslator translator;
    if (!translator.load(qm))
        return 1;
    const QByteArray source = expected.toUtf8();
    if (translator.translate("Updater", source.constData()) != expected) {
        std::fprintf(stderr, "QTranslator does not give the text\n");
        return 1;
    }
    t0 = Clock::now();
    for (int i = 0; i < lookups; ++i)
        sum += std::size_t(translator.translate("Updater", source.constData()).size());
    const double theirs = secondsSince(t0) / lookups * 1e9;
    std::printf("(b) cache-hit lookupString: %.1f ns; QTranslator::translate: %.1f ns (ratio %.2f, target <= 1)\n",
                ours, theirs, ours / theirs);

    // (c) First lookups, each decoding its block, in a file with a large code tree.
    QTemporaryDir large;
    const QString largeTs = large.filePath("large.ts");
    const QString largeResource = large.filePath("HelpEn.xqresource");
    if (!large.isValid() || !writeTs(largeTs, largeAlphabetTexts()) ||
        !run(TAVIX_XQRES, {"build", largeTs, largeResource}))
        return 1;
    QFile largeFile(largeResource);
    if (!largeFile.open(QIODevice::ReadOnly))
        return 1;
    const std::uint32_t largeTree = le32(largeFile.readAll(), 44);
    QDir::setSearchPaths("resource", {large.path()});
    const int fileRounds = std::max(1, rounds / 100);
    t0 = Clock::now();
    for (int r = 0; r < fileRounds; ++r) {
        resetResourceFiles(); // the file, its index and its tree read again
        resetBlockCache();
        for (std::uint32_t block = 1; block <= 64; ++block) {
            const char16_t *found = lookupString(block << 9 | 3, 1);
            if (found == nullptr) {
                std::fprintf(stderr, "no text in block %u of the large file\n", block);
                return 1;
            }
            sum += found[0];
        }
    }
    std::printf("(c) first lookup in each of 64 blocks, code tree of %u bytes: %.1f us per block\n", largeTree,
                secondsSince(t0) / (fileRounds * 64.0) * 1e6);
    return sum == 0 ? 1 : 0;
}
