// xqres: builds, dumps and queries string-resource files (.xqresource).
//   xqres build [options] INPUT.ts OUTPUT.xqresource
//   xqres dump FILE
//   xqres lookup --dir DIR --language N ID...
// Texts are printed one a line as ID<TAB>TEXT in UTF-8, with newline, carriage
// return, tab and backslash escaped as \n, \r, \t and a doubled backslash,
// and every other control unit (and a lone surrogate, which UTF-8 cannot
// carry) as \u and four lower-case hex digits. `dump` lists the non-empty
// strings only: an empty string is "no text" to the updater.
// Errors: one line on stderr; exit code 1 for a bad file, 2 for bad arguments.
#include "resources/language.h"
#include "resources/localized_text.h"
#include "resources/resource_format.h"
#include "tools/resource_dump.h"
#include "tools/resource_writer.h"
#include "tools/ts_reader.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kExitBadFile = 1;
constexpr int kExitBadArguments = 2;
constexpr std::uint32_t kMaxKey = 0xFF; // a language index, possibly with the preferred bit

const char kUsage[] =
    "usage: xqres build [options] INPUT.ts OUTPUT.xqresource\n"
    "         --language N   language index 1-9 (default: from the .ts language attribute)\n"
    "         --key K        the file's own key (default: the language)\n"
    "         --preferred    the own key with the preferred bit (0x80)\n"
    "         --chain A,B,C  further languages to search (default: none for English, 1 otherwise)\n"
    "         --plain        plain UTF-16 blocks instead of Huffman-coded ones\n"
    "         --junk-padding SEED  fill the bits after each string's code and the separator\n"
    "                        bytes with pseudo-random bits from SEED (0 to 4294967295)\n"
    "                        instead of zeros, as other tools may (coded files only)\n"
    "       xqres dump FILE\n"
    "       xqres lookup --dir DIR --language N ID...\n";

int fail(int code, const QString &message)
{
    std::fprintf(stderr, "xqres: %s\n", message.toUtf8().constData());
    return code;
}

// A decimal number from `low` to `high`; false for anything else.
bool parseNumber(const QString &text, std::uint64_t low, std::uint64_t high, std::uint32_t *value)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    std::uint64_t number = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        number = number * 10 + static_cast<std::uint64_t>(c.unicode() - '0');
    }
    if (number < low || number > high)
        return false;
    *value = static_cast<std::uint32_t>(number);
    return true;
}

// "de_DE", "de-AT" or "de" -> 4: the language whose file-name code it names,
// in any case; 0 when the language has no file.
std::uint32_t languageOfTsCode(const QString &code)
{
    const QString prefix = code.section(QLatin1Char('_'), 0, 0).section(QLatin1Char('-'), 0, 0).toLower();
    for (std::uint32_t i = 0; i < kFileLanguageCount; ++i)
        if (prefix == QString::fromLatin1(kFileLanguageCodes[i]).toLower())
            return i + 1;
    return 0;
}

std::u16string toU16(const QString &text)
{
    return std::u16string(reinterpret_cast<const char16_t *>(text.utf16()), static_cast<std::size_t>(text.size()));
}

void appendUtf8(std::string *out, std::uint32_t c)
{
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | c >> 6);
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | c >> 12);
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | c >> 18);
        *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One printed line: ID, and when there is a text, a tab and the escaped text.
std::string formatLine(std::uint32_t id, const std::u16string *text)
{
    std::string line = std::to_string(id);
    if (text) {
        line += '\t';
        for (std::size_t i = 0; i < text->size(); ++i) {
            const char16_t u = (*text)[i];
            const bool high = u >= 0xD800 && u <= 0xDBFF;
            const bool pairs = high && i + 1 < text->size() && (*text)[i + 1] >= 0xDC00 && (*text)[i + 1] <= 0xDFFF;
            if (u == u'\n') {
                line += "\\n";
            } else if (u == u'\r') {
                line += "\\r";
            } else if (u == u'\t') {
                line += "\\t";
            } else if (u == u'\\') {
                line += "\\\\";
            } else if (pairs) {
                appendUtf8(&line, 0x10000 + ((u - 0xD800u) << 10) + ((*text)[i + 1] - 0xDC00u));
                ++i;
            } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || (u >= 0xD800 && u <= 0xDFFF)) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(u));
                line += escape;
            } else {
                appendUtf8(&line, u);
            }
        }
    }
    line += '\n';
    return line;
}

int runBuild(const QStringList &args)
{
    std::uint32_t language = 0, key = 0;
    bool preferred = false, chainGiven = false;
    std::vector<std::uint32_t> chain;
    ResourceFileOptions options;
    QStringList paths;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool takesValue = arg == QLatin1String("--language") || arg == QLatin1String("--key") ||
                                arg == QLatin1String("--chain") || arg == QLatin1String("--junk-padding");
        if (takesValue && i + 1 >= args.size())
            return fail(kExitBadArguments, QStringLiteral("%1 needs a value").arg(arg));
        if (arg == QLatin1String("--language")) {
            if (!parseNumber(args[++i], 1, kFileLanguageCount, &language))
                return fail(kExitBadArguments, QStringLiteral("bad language \"%1\" (1 to 9)").arg(args[i]));
        } else if (arg == QLatin1String("--key")) {
            if (!parseNumber(args[++i], 1, kMaxKey, &key))
                return fail(kExitBadArguments, QStringLiteral("bad key \"%1\" (1 to 255)").arg(args[i]));
        } else if (arg == QLatin1String("--chain")) {
            chainGiven = true;
            chain.clear();
            const QString list = args[++i];
            const QStringList entries = list.isEmpty() ? QStringList() : list.split(QLatin1Char(','));
            for (const QString &entry : entries) {
                std::uint32_t value = 0;
                if (!parseNumber(entry, 1, kMaxKey, &value) || chain.size() == kChainLength - 1)
                    return fail(kExitBadArguments,
                                QStringLiteral("bad chain \"%1\" (up to three keys 1 to 255, comma separated)").arg(list));
                chain.push_back(value);
            }
        } else if (arg == QLatin1String("--preferred")) {
            preferred = true;
        } else if (arg == QLatin1String("--plain")) {
            options.coded = false;
        } else if (arg == QLatin1String("--junk-padding")) {
            if (!parseNumber(args[++i], 0, 0xFFFFFFFFull, &options.junkSeed))
                return fail(kExitBadArguments,
                            QStringLiteral("bad junk-padding seed \"%1\" (0 to 4294967295)").arg(args[i]));
            options.junkPadding = true;
        } else if (arg.startsWith(QLatin1String("--"))) {
            return fail(kExitBadArguments, QStringLiteral("unknown option %1").arg(arg));
        } else {
            paths << arg;
        }
    }
    if (paths.size() != 2)
        return fail(kExitBadArguments, QStringLiteral("build takes INPUT.ts and OUTPUT.xqresource"));
    if (options.junkPadding && !options.coded)
        return fail(kExitBadArguments,
                    QStringLiteral("--junk-padding is for coded files; a --plain file has no free bits"));

    TsFile ts;
    QString error;
    if (!readTsFile(paths[0], &ts, &error))
        return fail(kExitBadFile, error);
    if (language == 0)
        language = languageOfTsCode(ts.language);
    if (language == 0)
        return fail(kExitBadArguments, QStringLiteral("%1: language \"%2\" has no resource file; give --language")
                                           .arg(paths[0], ts.language));
    options.ownKey = (key != 0 ? key : language) | (preferred ? kPreferredBit : 0u);
    if (!chainGiven && language != kLanguageEnglish)
        chain = {kLanguageEnglish};
    for (std::size_t i = 0; i < chain.size(); ++i)
        options.chain[i] = chain[i];

    std::vector<ResourceText> texts;
    for (const TsMessage &message : ts.messages) {
        // English is the source language: its source stands in for a missing translation.
        // An untranslated text is kept as an empty string, which the lookup passes over
        // to the next language of the chain.
        const QString &text =
            message.translation.isEmpty() && language == kLanguageEnglish ? message.source : message.translation;
        const std::u16string units = toU16(text);
        const long long bad = unstorableUnitAt(units);
        if (bad >= 0)
            return fail(kExitBadFile, QStringLiteral("%1:%2: message %3 holds %4, which a resource file cannot keep")
                                          .arg(paths[0])
                                          .arg(message.line)
                                          .arg(message.id)
                                          .arg(units[bad] == 0 ? QStringLiteral("a NUL character")
                                                               : QStringLiteral("a carriage return (U+000D)")));
        texts.push_back({message.id, units});
    }
    std::vector<std::uint8_t> bytes;
    std::string buildError;
    if (!buildResourceFile(std::move(texts), options, &bytes, &buildError))
        return fail(kExitBadFile, QStringLiteral("%1: %2").arg(paths[0], QString::fromStdString(buildError)));

    // Written whole or not at all: a failed build leaves no half file behind.
    QSaveFile out(paths[1]);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<qint64>(bytes.size())) !=
            static_cast<qint64>(bytes.size()) ||
        !out.commit())
        return fail(kExitBadFile, QStringLiteral("cannot write %1: %2").arg(paths[1], out.errorString()));
    return 0;
}

int runDump(const QStringList &args)
{
    if (args.size() != 1)
        return fail(kExitBadArguments, QStringLiteral("dump takes one FILE"));
    QFile file(args[0]);
    if (!file.open(QIODevice::ReadOnly))
        return fail(kExitBadFile, QStringLiteral("cannot open %1: %2").arg(args[0], file.errorString()));
    const QByteArray data = file.readAll();
    const std::vector<std::uint8_t> bytes(data.begin(), data.end());
    std::vector<ResourceText> texts;
    std::string error;
    if (!readResourceStrings(bytes, &texts, &error))
        return fail(kExitBadFile, QStringLiteral("%1: %2").arg(args[0], QString::fromStdString(error)));
    for (const ResourceText &t : texts)
        std::fputs(formatLine(t.id, &t.text).c_str(), stdout);
    return 0;
}

int runLookup(const QStringList &args)
{
    QString dir;
    std::uint32_t language = 0;
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args[i];
        if ((arg == QLatin1String("--dir") || arg == QLatin1String("--language")) && i + 1 >= args.size())
            return fail(kExitBadArguments, QStringLiteral("%1 needs a value").arg(arg));
        std::uint32_t id = 0;
        if (arg == QLatin1String("--dir")) {
            dir = args[++i];
        } else if (arg == QLatin1String("--language")) {
            if (!parseNumber(args[++i], 1, kFileLanguageCount, &language))
                return fail(kExitBadArguments, QStringLiteral("bad language \"%1\" (1 to 9)").arg(args[i]));
        } else if (parseNumber(arg, 1, 0xFFFFFFFFull, &id)) {
            ids.push_back(id);
        } else {
            return fail(kExitBadArguments, QStringLiteral("bad identifier \"%1\"").arg(arg));
        }
    }
    if (dir.isEmpty() || language == 0 || ids.empty())
        return fail(kExitBadArguments, QStringLiteral("lookup takes --dir DIR --language N ID..."));
    if (!QFileInfo(dir).isDir())
        return fail(kExitBadFile, QStringLiteral("%1 is not a folder").arg(dir));
    // The updater's own lookup, with the "resource" search path on DIR.
    QDir::setSearchPaths(QStringLiteral("resource"), {QDir(dir).absolutePath()});
    for (std::uint32_t id : ids) {
        const std::u16string text = toU16(localizedText(id, language));
        std::fputs(formatLine(id, text.empty() ? nullptr : &text).c_str(), stdout);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (command == QLatin1String("build"))
        return runBuild(args);
    if (command == QLatin1String("dump"))
        return runDump(args);
    if (command == QLatin1String("lookup"))
        return runLookup(args);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (command.isEmpty())
        return fail(kExitBadArguments, QStringLiteral("no command (build, dump or lookup; see xqres --help)"));
    return fail(kExitBadArguments, QStringLiteral("unknown command \"%1\" (see xqres --help)").arg(command));
}
