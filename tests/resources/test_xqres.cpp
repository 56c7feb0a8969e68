// xqres as a user runs it: .ts files in, string-resource files out, and the
// texts back out through `dump` and through the updater's own lookup.
#include <QtTest>

#include <QProcess>
#include <QTemporaryDir>

#include <map>
#include <random>

namespace {

using Texts = std::map<quint32, QString>; // identifier -> text, empty ones included
using Lines = std::vector<std::pair<quint32, QString>>;

constexpr quint32 kLastBlock = 8388607;
const quint32 kUiIds[] = {2, 20, 521, 622, 627, 631, 633, 657, 744, 745, 746, 7774};

struct Run {
    int code;       // exit code; -1 when it crashed or hung
    QByteArray out;
    QByteArray err;
};

Run xqres(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(XQRES_PATH), args);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, "timed out\n"};
    }
    const bool normal = process.exitStatus() == QProcess::NormalExit;
    return {normal ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}

// Text as a .ts file carries it: XML escapes, and <byte> elements for the code
// units that XML cannot hold (controls, lone surrogates, U+FFFE and U+FFFF).
QString xmlText(const QString &text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        const ushort u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += c;
            out += text[++i];
        } else if ((u < 0x20 && u != '\t' && u != '\n') || c.isSurrogate() || u >= 0xFFFE) {
            out += QStringLiteral("<byte value=\"x%1\"/>").arg(u, 0, 16);
        } else if (c == QLatin1Char('&')) {
            out += QStringLiteral("&amp;");
        } else if (c == QLatin1Char('<')) {
            out += QStringLiteral("&lt;");
        } else if (c == QLatin1Char('>')) {
            out += QStringLiteral("&gt;");
        } else {
            out += c;
        }
    }
    return out;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(bytes), qint64(bytes.size()));
}

void writeTs(const QString &path, const QString &language, const Texts &texts)
{
    QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                                 "<TS version=\"2.1\" language=\"%1\">\n<context>\n<name>Updater</name>\n")
                      .arg(language);
    for (const auto &t : texts)
        xml += QStringLiteral("<message id=\"%1\"><source>Text %1</source><translation>%2</translation></message>\n")
                   .arg(t.first)
                   .arg(xmlText(t.second));
    xml += QStringLiteral("</context>\n</TS>\n");
    writeFile(path, xml.toUtf8());
}

// Undoes the output's escapes. False for a line that is not ID<TAB>TEXT or ID,
// not UTF-8, or carries a raw control character.
bool parseLines(const QByteArray &output, Lines *lines, bool *hasText = nullptr)
{
    lines->clear();
    if (!output.isEmpty() && !output.endsWith('\n'))
        return false;
    const QList<QByteArray> raw = output.split('\n');
    for (int n = 0; n + 1 < raw.size(); ++n) {
        const QString line = QString::fromUtf8(raw[n]);
        if (line.toUtf8() != raw[n])
            return false;
        const int tab = line.indexOf(QLatin1Char('\t'));
        bool ok = false;
        const quint32 id = line.left(tab).toUInt(&ok);
        if (!ok)
            return false;
        QString text;
        for (int i = tab + 1; tab >= 0 && i < line.size(); ++i) {
            const ushort u = line[i].unicode();
            if (u < 0x20 || (u >= 0x7F && u <= 0x9F))
                return false;
            if (u != '\\') {
                text += line[i];
                continue;
            }
            const QChar e = i + 1 < line.size() ? line[++i] : QChar();
            if (e == QLatin1Char('n'))
                text += QLatin1Char('\n');
            else if (e == QLatin1Char('r'))
                text += QLatin1Char('\r');
            else if (e == QLatin1Char('t'))
                text += QLatin1Char('\t');
            else if (e == QLatin1Char('\\'))
                text += QLatin1Char('\\');
            else if (e == QLatin1Char('u') && i + 4 < line.size() && line.mid(i + 1, 4) == line.mid(i + 1, 4).toLower()) {
                text += QChar(static_cast<ushort>(line.mid(i + 1, 4).toUInt(&ok, 16)));
                i += 4;
                if (!ok)
                    return false;
            } else {
                return false;
            }
        }
        if (hasText)
            *hasText = tab >= 0;
        if (tab >= 0 && text.isEmpty())
            return false; // a found text is never empty
        lines->push_back({id, text});
    }
    return true;
}

// Random texts whose mix of characters, and thereby the code tree, depends on the seed.
class TextMaker {
public:
    explicit TextMaker(quint32 seed) : rng_(seed)
    {
        for (int &w : weights_)
            w = int(rng_() % 10);
        weights_[0] += 1;
        for (int i = 0; i < 6; ++i)
            favourites_.push_back(QChar(ushort(0x20 + rng_() % 0x3000)));
    }
    QString make(int maxLength)
    {
        if (rng_() % 6 == 0)
            return QString();
        const int length = int(rng_() % quint32(maxLength + 1));
        QString text;
        std::discrete_distribution<int> kind(std::begin(weights_), std::end(weights_));
        while (text.size() < length) {
            switch (kind(rng_)) {
            case 0:
                text += QChar(ushort(0x20 + rng_() % 0x5F));
                break;
            case 1:
                text += QLatin1String("\n\t\\").at(int(rng_() % 3));
                break;
            case 2: { // controls, carriage return and NUL excluded
                const ushort c0 = ushort(1 + rng_() % 0x1F);
                text += QChar(rng_() % 2 ? ushort(0x7F + rng_() % 0x21) : (c0 == '\r' ? ushort(0x1B) : c0));
                break;
            }
            case 3: {
                const ushort u = ushort(0xA0 + rng_() % (0x10000 - 0xA0));
                text += QChar(QChar::isSurrogate(u) ? ushort(u - 0x1000) : u);
                break;
            }
            case 4:
                text += QChar(ushort(0xD800 + rng_() % 0x400));
                text += QChar(ushort(0xDC00 + rng_() % 0x400));
                break;
            case 5: // a lone surrogate: code units are the symbols, paired or not
                text += QChar(ushort(0xD800 + rng_() % 0x800));
                if (text.size() < length)
                    text += QLatin1Char('x');
                break;
            default:
                text += favourites_[int(rng_() % favourites_.size())];
            }
        }
        return text;
    }
    quint32 next(quint32 bound) { return rng_() % bound; }

private:
    std::mt19937 rng_;
    int weights_[7];
    std::vector<QChar> favourites_;
};

enum class Shape { Mixed, FullBlocks, LargeAlphabet, OnlyEmpty };

Texts makeTexts(Shape shape, quint32 seed)
{
    TextMaker maker(seed);
    Texts texts;
    switch (shape) {
    case Shape::Mixed:
        for (int n = 0, count = 1 + int(maker.next(300)); n < count; ++n) {
            const quint32 block = maker.next(8) == 0 ? kLastBlock : maker.next(40);
            const quint32 id = block << 9 | maker.next(512);
            if (id != 0)
                texts[id] = maker.make(40);
        }
        break;
    case Shape::FullBlocks: // block 0 from 1 (0 is reserved), then two blocks of all 512
        for (quint32 id = 1; id < 1024; ++id)
            texts[id] = maker.make(12);
        for (quint32 index = 0; index < 512; ++index)
            texts[kLastBlock << 9 | index] = maker.make(12);
        break;
    case Shape::LargeAlphabet: { // `seed` different units, each about as frequent as the others
        QString pool;
        for (ushort u = 0x3400; pool.size() < int(seed); ++u)
            if (!QChar::isSurrogate(u))
                pool += QChar(u);
        for (int at = 0, id = 1; at < pool.size(); at += 100, ++id)
            texts[quint32(id) * 37] = pool.mid(at, 100);
        break;
    }
    case Shape::OnlyEmpty: // one symbol: NUL
        for (quint32 id : kUiIds)
            texts[id] = QString();
        break;
    }
    return texts;
}

Lines nonEmpty(const Texts &texts)
{
    Lines lines;
    for (const auto &t : texts)
        if (!t.second.isEmpty())
            lines.push_back(t);
    return lines;
}

QByteArray le32(quint32 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray utf16le(const QString &text)
{
    QByteArray b;
    for (QChar c : text) {
        b += char(c.unicode() & 0xFF);
        b += char(c.unicode() >> 8);
    }
    return b;
}

} // namespace

class TestXqres : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString path(const QString &name) const { return dir_.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        QVERIFY2(QFileInfo::exists(QStringLiteral(XQRES_PATH)), XQRES_PATH);
    }

    // build -> dump gives back exactly the non-empty texts, and the updater's
    // lookup finds each text by its identifier in the built file.
    void roundTrip_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<quint32>("seed");
        QTest::addColumn<bool>("coded");
        for (quint32 seed = 1; seed <= 8; ++seed) {
            QTest::addRow("coded, mixed, seed %u", seed) << int(Shape::Mixed) << seed << true;
            if (seed <= 3)
                QTest::addRow("plain, mixed, seed %u", seed) << int(Shape::Mixed) << seed << false;
        }
        QTest::newRow("coded, full blocks") << int(Shape::FullBlocks) << 11u << true;
        QTest::newRow("plain, full blocks") << int(Shape::FullBlocks) << 12u << false;
        QTest::newRow("coded, 20000 different units") << int(Shape::LargeAlphabet) << 20000u << true;
        // The first half of this tree takes 48928 bytes: a size with its top bit set.
        QTest::newRow("coded, 45000 different units") << int(Shape::LargeAlphabet) << 45000u << true;
        QTest::newRow("coded, only empty strings") << int(Shape::OnlyEmpty) << 0u << true;
        QTest::newRow("plain, only empty strings") << int(Shape::OnlyEmpty) << 0u << false;
    }
    void roundTrip()
    {
        QFETCH(int, shape);
        QFETCH(quint32, seed);
        QFETCH(bool, coded);
        const Texts texts = makeTexts(Shape(shape), seed);
        const QString folder = path(QStringLiteral("trip-%1-%2-%3").arg(shape).arg(seed).arg(coded));
        QVERIFY(QDir().mkpath(folder));
        const QString ts = folder + QStringLiteral("/texts.ts");
        const QString file = folder + QStringLiteral("/HelpDe.xqresource");
        writeTs(ts, QStringLiteral("de_DE"), texts);
        QStringList args{QStringLiteral("build"), ts, file};
        if (!coded)
            args << QStringLiteral("--plain");
        const Run build = xqres(args);
        QVERIFY2(build.code == 0 && build.err.isEmpty(), build.err.constData());

        const Run dump = xqres({QStringLiteral("dump"), file});
        QVERIFY2(dump.code == 0 && dump.err.isEmpty(), dump.err.constData());
        Lines dumped;
        QVERIFY2(parseLines(dump.out, &dumped), dump.out.left(2000).constData());
        const Lines expected = nonEmpty(texts);
        QCOMPARE(dumped.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            QCOMPARE(dumped[i].first, expected[i].first);
            QCOMPARE(dumped[i].second, expected[i].second);
        }

        // Through the lookup: up to 30 identifiers, one that was never written among them.
        QStringList lookup{QStringLiteral("lookup"), QStringLiteral("--dir"), folder, QStringLiteral("--language"),
                           QStringLiteral("4")};
        std::vector<quint32> asked;
        for (const auto &t : texts)
            asked.push_back(t.first);
        const std::size_t step = asked.size() / 28 + 1;
        for (std::size_t i = 0; i * step < asked.size(); ++i)
            asked[i] = asked[i * step];
        asked.resize((asked.size() + step - 1) / step);
        asked.push_back(texts.rbegin()->first);
        const quint32 neverWritten = 100u << 9 | 5;
        QVERIFY(texts.count(neverWritten) == 0);
        asked.push_back(neverWritten);
        for (quint32 id : asked)
            lookup << QString::number(id);
        const Run found = xqres(lookup);
        QVERIFY2(found.code == 0 && found.err.isEmpty(), found.err.constData());
        Lines answers;
        QVERIFY(parseLines(found.out, &answers));
        QCOMPARE(answers.size(), asked.size());
        for (std::size_t i = 0; i < asked.size(); ++i) {
            QCOMPARE(answers[i].first, asked[i]);
            const auto it = texts.find(asked[i]);
            QCOMPARE(answers[i].second, it == texts.end() ? QString() : it->second);
        }
    }

    // Other tools leave whatever they like in the bits after a string's NUL
    // code and in the separator byte: the same texts built with junk there
    // dump and look up exactly as the file built with zeros.
    void junkPadding_data()
    {
        QTest::addColumn<int>("shape");
        QTest::addColumn<quint32>("seed");
        QTest::newRow("mixed, seed 21") << int(Shape::Mixed) << 21u;
        QTest::newRow("mixed, seed 22") << int(Shape::Mixed) << 22u;
        QTest::newRow("full blocks") << int(Shape::FullBlocks) << 23u;
    }
    void junkPadding()
    {
        QFETCH(int, shape);
        QFETCH(quint32, seed);
        const Texts texts = makeTexts(Shape(shape), seed);
        const QString folder = path(QStringLiteral("junk-%1-%2").arg(shape).arg(seed));
        for (const char *kind : {"zeros", "junk"})
            QVERIFY(QDir().mkpath(folder + QLatin1Char('/') + QLatin1String(kind)));
        const QString ts = folder + QStringLiteral("/texts.ts");
        const QString zeros = folder + QStringLiteral("/zeros/HelpDe.xqresource");
        const QString junk = folder + QStringLiteral("/junk/HelpDe.xqresource");
        writeTs(ts, QStringLiteral("de_DE"), texts);
        for (const QStringList &args : {QStringList{"build", ts, zeros},
                                        QStringList{"build", "--junk-padding", QString::number(seed), ts, junk}}) {
            const Run build = xqres(args);
            QVERIFY2(build.code == 0 && build.err.isEmpty(), build.err.constData());
        }
        QFile zerosFile(zeros), junkFile(junk);
        QVERIFY(zerosFile.open(QIODevice::ReadOnly) && junkFile.open(QIODevice::ReadOnly));
        const QByteArray zerosBytes = zerosFile.readAll();
        const QByteArray junkBytes = junkFile.readAll();
        QCOMPARE(junkBytes.size(), zerosBytes.size());
        QVERIFY(junkBytes != zerosBytes);

        QStringList lookup{"lookup", "--dir", QString(), "--language", "4"};
        for (const auto &t : texts)
            lookup << QString::number(t.first);
        lookup << QString::number(100u << 9 | 5); // never written
        QByteArray outputs[2][2];                 // [zeros, junk][dump, lookup]
        for (int k = 0; k < 2; ++k) {
            const QString file = k == 0 ? zeros : junk;
            const Run dump = xqres({"dump", file});
            QVERIFY2(dump.code == 0 && dump.err.isEmpty(), dump.err.constData());
            lookup[2] = QFileInfo(file).path();
            const Run found = xqres(lookup);
            QVERIFY2(found.code == 0 && found.err.isEmpty(), found.err.constData());
            outputs[k][0] = dump.out;
            outputs[k][1] = found.out;
        }
        Lines dumped;
        QVERIFY(parseLines(outputs[0][0], &dumped));
        QVERIFY(dumped == nonEmpty(texts));
        for (int what = 0; what < 2; ++what) {
            const QList<QByteArray> fromZeros = outputs[0][what].split('\n');
            const QList<QByteArray> fromJunk = outputs[1][what].split('\n');
            QCOMPARE(fromJunk.size(), fromZeros.size());
            for (int line = 0; line < fromZeros.size(); ++line)
                QCOMPARE(fromJunk[line], fromZeros[line]);
        }
    }

    // Each shipped translation, as the updater finds it in the build's resource folder.
    void translations_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("noUpdates");
        QTest::addColumn<QString>("cancel");
        QTest::newRow("English") << 1 << "No updates are available" << "Cancel";
        QTest::newRow("Chinese") << 2 << QStringLiteral("没有可用的更新") << QStringLiteral("取消");
        QTest::newRow("French") << 3 << QStringLiteral("Aucune mise à jour disponible") << "Annuler";
        QTest::newRow("German") << 4 << QStringLiteral("Keine Updates verfügbar") << "Abbrechen";
        QTest::newRow("Spanish") << 5 << "No hay actualizaciones disponibles" << "Cancelar";
        QTest::newRow("Dutch") << 6 << "Geen updates beschikbaar" << "Annuleren";
        QTest::newRow("Portuguese") << 7 << QStringLiteral("Nenhuma atualização disponível") << "Cancelar";
        QTest::newRow("Japanese") << 8 << QStringLiteral("利用可能なアップデートはありません")
                                  << QStringLiteral("キャンセル");
        QTest::newRow("Russian") << 9 << QStringLiteral("Нет доступных обновлений") << QStringLiteral("Отмена");
    }
    void translations()
    {
        QFETCH(int, language);
        QFETCH(QString, noUpdates);
        QFETCH(QString, cancel);
        QStringList args{QStringLiteral("lookup"), QStringLiteral("--dir"), QStringLiteral(TAVIX_RESOURCE_DIR),
                         QStringLiteral("--language"), QString::number(language)};
        for (quint32 id : kUiIds)
            args << QString::number(id);
        const Run run = xqres(args);
        QVERIFY2(run.code == 0 && run.err.isEmpty(), run.err.constData());
        Lines lines;
        QVERIFY(parseLines(run.out, &lines));
        QCOMPARE(lines.size(), std::size(kUiIds));
        Texts found(lines.begin(), lines.end());
        QCOMPARE(found[622], noUpdates);
        QCOMPARE(found[2], cancel);
        for (quint32 id : kUiIds)
            QVERIFY2(!found[id].isEmpty(), qPrintable(QString::number(id)));
        // The waiting text loses its last character and gets moving dots on screen.
        QVERIFY(found[521].endsWith(QLatin1String("...")));
        QVERIFY(found[7774].endsWith(QChar(0x2026)));
        // The window fills in the calculators and the counts.
        for (const char *placeholder : {"%1", "%2", "%3"})
            QVERIFY2(found[746].contains(QLatin1String(placeholder)), qPrintable(found[746]));
        QVERIFY(found[745].contains(QLatin1String("%1")));
    }

    // The header's own key and chain, as the lookup follows them: German asks
    // for 2 and 622, which German leaves untranslated.
    void keyAndChain_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("cancel");
        QTest::addColumn<QString>("noUpdates");
        QTest::newRow("default: German, then English") << QStringList() << "Abbrechen" << "No updates are available";
        QTest::newRow("chain to French") << QStringList{"--chain", "3"} << "Abbrechen"
                                         << QStringLiteral("Aucune mise à jour disponible");
        QTest::newRow("preferred key") << QStringList{"--preferred"} << "Abbrechen" << "No updates are available";
        QTest::newRow("key of another language") << QStringList{"--key", "5"} << "Cancel"
                                                 << "No updates are available";
        QTest::newRow("given language over the file's") << QStringList{"--language", "3"} << "Cancel"
                                                        << "No updates are available";
    }
    void keyAndChain()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, cancel);
        QFETCH(QString, noUpdates);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        writeTs(folder.filePath("en.ts"), "en", {{2, "Cancel"}, {622, "No updates are available"}});
        writeTs(folder.filePath("fr.ts"), "fr_CA", {{622, QStringLiteral("Aucune mise à jour disponible")}});
        writeTs(folder.filePath("de.ts"), "de_AT", {{2, "Abbrechen"}, {622, QString()}});
        for (const QStringList &args :
             {QStringList{"build", folder.filePath("en.ts"), folder.filePath("HelpEn.xqresource")},
              QStringList{"build", folder.filePath("fr.ts"), folder.filePath("HelpFr.xqresource")},
              QStringList{"build", folder.filePath("de.ts"), folder.filePath("HelpDe.xqresource")} + options}) {
            const Run run = xqres(args);
            QVERIFY2(run.code == 0 && run.err.isEmpty(), run.err.constData());
        }
        const Run run = xqres({"lookup", "--dir", folder.path(), "--language", "4", "2", "622", "20"});
        QVERIFY2(run.code == 0 && run.err.isEmpty(), run.err.constData());
        Lines lines;
        bool lastHasText = true;
        QVERIFY(parseLines(run.out, &lines, &lastHasText));
        QCOMPARE(lines.size(), std::size_t(3));
        QCOMPARE(lines[0].second, cancel);
        QCOMPARE(lines[1].second, noUpdates);
        QCOMPARE(lines[2].first, 20u);
        QVERIFY(!lastHasText); // "20" alone: no file has it
    }

    // A file made by hand, not by xqres: the alternate format tag, two index
    // records for block 0 (the later counts, its length's bit 31 ignored), and
    // every kind of unit that the output escapes.
    void dumpEscapesAForeignFile()
    {
        const QString text = QStringLiteral("a\rb\tc\\d") + QChar(0x01) + QChar(0x7F) + QChar(0x9F) +
                             QChar(0xD800) + QStringLiteral("é") + QChar(0xD83D) + QChar(0xDE00) + QChar('\n');
        const QByteArray strings = utf16le(QString()) + QByteArray(2, '\0') + utf16le(text) + QByteArray(2, '\0') +
                                   utf16le(QStringLiteral("unreachable")) + QByteArray(2, '\0');
        const QByteArray stale = utf16le(QStringLiteral("old")) + QByteArray(2, '\0');
        QByteArray file = le32(0xB28A617C) + le32(0xFE84125E) + le32(68) + le32(1) + QByteArray(24, '\0') +
                          le32(0) + QByteArray(12, '\0') + le32(2) + le32(68) + le32(92);
        QCOMPARE(file.size(), 68);
        file += le32(1u << 23) + le32(0) + le32(quint32(stale.size()));
        file += le32(1u << 23) + le32(quint32(stale.size())) + le32(quint32(strings.size()) | 0x80000000u);
        file += stale + strings;
        writeFile(path("foreign.xqresource"), file);
        const Run run = xqres({"dump", path("foreign.xqresource")});
        QVERIFY2(run.code == 0 && run.err.isEmpty(), run.err.constData());
        QCOMPARE(run.out, QByteArray("1\ta\\rb\\tc\\\\d\\u0001\\u007f\\u009f\\ud800\xC3\xA9\xF0\x9F\x98\x80\\n\n"));
    }

    // 60000 different units, equally frequent: both halves of the code tree
    // outgrow a 16-bit size, so a coded build refuses and leaves no file; plain works.
    void alphabetTooLargeForACodeTree()
    {
        Texts texts;
        QString pool;
        for (ushort u = 0x100; pool.size() < 60000; ++u)
            if (!QChar::isSurrogate(u))
                pool += QChar(u);
        for (int at = 0; at < pool.size(); at += 100)
            texts[quint32(at / 100 + 1)] = pool.mid(at, 100);
        writeTs(path("large.ts"), "ja_JP", texts);
        const Run coded = xqres({"build", path("large.ts"), path("large.xqresource")});
        QVERIFY(coded.code > 0);
        QCOMPARE(coded.err.count('\n'), 1);
        QVERIFY2(coded.err.contains("--plain"), coded.err.constData());
        QVERIFY(!QFileInfo::exists(path("large.xqresource")));

        const Run plain = xqres({"build", "--plain", path("large.ts"), path("large.xqresource")});
        QVERIFY2(plain.code == 0 && plain.err.isEmpty(), plain.err.constData());
        const Run dump = xqres({"dump", path("large.xqresource")});
        Lines lines;
        QVERIFY(parseLines(dump.out, &lines));
        QVERIFY(lines == nonEmpty(texts));
    }

    // Bad files and arguments: a non-zero exit, one line on stderr that says
    // what is wrong, nothing on stdout, and no output file.
    void errors_data()
    {
        QTest::addColumn<QString>("tsFile");  // written to bad.ts before the run, unless empty
        QTest::addColumn<QStringList>("args"); // %D stands for the test folder
        QTest::addColumn<QString>("says");
        const QString head = "<?xml version=\"1.0\"?><TS version=\"2.1\" language=\"de_DE\"><context><name>U</name>";
        const QString tail = "</context></TS>";
        const QStringList build{"build", "%D/bad.ts", "%D/out.xqresource"};
        auto ts = [&](const QString &messages) { return head + messages + tail; };
        QTest::newRow("dump: missing file") << "" << QStringList{"dump", "%D/none.xqresource"} << "cannot open";
        QTest::newRow("dump: a .ts file") << ts("") << QStringList{"dump", "%D/bad.ts"} << "not a string-resource";
        QTest::newRow("dump: block cut off") << "" << QStringList{"dump", "%D/cut.xqresource"} << "outside the file";
        QTest::newRow("dump: header cut off") << "" << QStringList{"dump", "%D/short.xqresource"} << "header";
        QTest::newRow("dump: two files") << "" << QStringList{"dump", "%D/cut.xqresource", "%D/cut.xqresource"}
                                         << "one FILE";
        QTest::newRow("build: missing .ts") << "" << QStringList{"build", "%D/none.ts", "%D/out.xqresource"}
                                            << "cannot open";
        QTest::newRow("build: malformed XML") << head + "<message id=\"2\"><source>x</source>" + tail << build
                                              << "line 1";
        QTest::newRow("build: empty .ts") << " " << build << "line";
        QTest::newRow("build: not a TS file") << "<?xml version=\"1.0\"?><html/>" << build << "<html>";
        QTest::newRow("build: carriage return")
            << ts("<message id=\"2\"><translation>a&#13;b</translation></message>") << build << "carriage return";
        QTest::newRow("build: carriage return as byte")
            << ts("<message id=\"2\"><translation>a<byte value=\"xd\"/></translation></message>") << build
            << "carriage return";
        QTest::newRow("build: NUL as byte")
            << ts("<message id=\"9\"><translation><byte value=\"x0\"/></translation></message>") << build << "NUL";
        QTest::newRow("build: byte beyond UTF-16")
            << ts("<message id=\"9\"><translation><byte value=\"x10000\"/></translation></message>") << build
            << "x10000";
        QTest::newRow("build: id 0") << ts("<message id=\"0\"><translation>a</translation></message>") << build
                                     << "\"0\"";
        QTest::newRow("build: id beyond 32 bits")
            << ts("<message id=\"4294967296\"><translation>a</translation></message>") << build << "4294967296";
        QTest::newRow("build: id not a number") << ts("<message id=\"cancel\"><translation>a</translation></message>")
                                                << build << "cancel";
        QTest::newRow("build: no id") << ts("<message><source>a</source></message>") << build << "without an id";
        QTest::newRow("build: id twice")
            << ts("<message id=\"7\"><translation>a</translation></message><message id=\"7\"><translation>b</translation></message>")
            << build << "twice";
        QTest::newRow("build: plural message")
            << ts("<message id=\"7\" numerus=\"yes\"><translation><numerusform>a</numerusform></translation></message>")
            << build << "numerus";
        QTest::newRow("build: language without a file")
            << "<TS version=\"2.1\" language=\"it_IT\"></TS>" << build << "--language";
        QTest::newRow("build: language 0") << ts("") << build + QStringList{"--language", "0"} << "language";
        QTest::newRow("build: language 10") << ts("") << build + QStringList{"--language", "10"} << "language";
        QTest::newRow("build: language by name") << ts("") << build + QStringList{"--language", "de"} << "language";
        QTest::newRow("build: language without value") << ts("") << build + QStringList{"--language"} << "value";
        QTest::newRow("build: chain of four") << ts("") << build + QStringList{"--chain", "1,2,3,4"} << "chain";
        QTest::newRow("build: key 256") << ts("") << build + QStringList{"--key", "256"} << "key";
        QTest::newRow("build: unknown option") << ts("") << build + QStringList{"--fast"} << "--fast";
        QTest::newRow("build: no output") << ts("") << QStringList{"build", "%D/bad.ts"} << "OUTPUT";
        QTest::newRow("build: junk padding of a plain file")
            << ts("") << build + QStringList{"--plain", "--junk-padding", "7"} << "--plain";
        QTest::newRow("build: junk seed beyond 32 bits")
            << ts("") << build + QStringList{"--junk-padding", "4294967296"} << "4294967296";
        QTest::newRow("build: junk padding without seed") << ts("") << build + QStringList{"--junk-padding"}
                                                         << "value";
        const QStringList lookup{"lookup", "--dir", "%D", "2"};
        QTest::newRow("lookup: language 0") << "" << lookup + QStringList{"--language", "0"} << "language";
        QTest::newRow("lookup: language 10") << "" << lookup + QStringList{"--language", "10"} << "language";
        QTest::newRow("lookup: no language") << "" << lookup << "--language";
        QTest::newRow("lookup: missing folder")
            << "" << QStringList{"lookup", "--dir", "%D/none", "--language", "1", "2"} << "not a folder";
        QTest::newRow("lookup: bad identifier") << "" << lookup + QStringList{"--language", "1", "two"} << "two";
        QTest::newRow("unknown command") << "" << QStringList{"compile"} << "compile";
        QTest::newRow("no command") << "" << QStringList() << "no command";
    }
    void errors()
    {
        QFETCH(QString, tsFile);
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        // A good file, then the same cut inside its last block and inside its header.
        if (!QFileInfo::exists(path("cut.xqresource"))) {
            writeTs(path("good.ts"), "de_DE", {{2, "Abbrechen"}, {622, "Keine Updates verfügbar"}});
            QCOMPARE(xqres({"build", path("good.ts"), path("good.xqresource")}).code, 0);
            QFile good(path("good.xqresource"));
            QVERIFY(good.open(QIODevice::ReadOnly));
            const QByteArray bytes = good.readAll();
            writeFile(path("cut.xqresource"), bytes.left(bytes.size() - 3));
            writeFile(path("short.xqresource"), bytes.left(40));
        }
        QFile::remove(path("bad.ts"));
        QFile::remove(path("out.xqresource"));
        if (!tsFile.isEmpty())
            writeFile(path("bad.ts"), tsFile.toUtf8());
        args.replaceInStrings(QStringLiteral("%D"), dir_.path());

        const Run run = xqres(args);
        QVERIFY2(run.code > 0, qPrintable(QStringLiteral("exit %1").arg(run.code)));
        QVERIFY(run.out.isEmpty());
        QVERIFY2(run.err.startsWith("xqres: ") && run.err.count('\n') == 1 && run.err.endsWith('\n'),
                 run.err.constData());
        QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
        QVERIFY(!QFileInfo::exists(path("out.xqresource")));
    }
};

QTEST_GUILESS_MAIN(TestXqres)
#include "test_xqres.moc"
