// The command line as the program reads it: a folder and a language index,
// both or neither.
#include "app/command_line.h"
#include "platform/elevation.h"

#include <QtTest>

#include <random>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void request_data();
    void request();
    void reportOptionAnywhere();
    void stationFlag_data();
    void stationFlag();
    void windowsCommandLineSplitsBack();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("error"); // the start of the reason; empty: usable

    const QString program = QStringLiteral("tavix-updater");
    QTest::newRow("no entries") << QStringList() << QString() << 1 << QString();
    QTest::newRow("program only") << QStringList{program} << QString() << 1 << QString();
    // (A folder alone is that folder, whether or not it exists: nothing
    // falls back to the settings' release.)
    QTest::newRow("folder only: the settings' language")
        << QStringList{program, QStringLiteral("C:\\Releases\\7.2")} << QStringLiteral("C:\\Releases\\7.2") << 1 << QString();
    QTest::newRow("folder and language")
        << QStringList{program, QStringLiteral("C:\\Releases\\7.2"), QStringLiteral("3")}
        << QStringLiteral("C:\\Releases\\7.2") << 3 << QString();
    QTest::newRow("folder kept as given")
        << QStringList{program, QStringLiteral("/srv/fw release/ "), QStringLiteral("4")}
        << QStringLiteral("/srv/fw release/ ") << 4 << QString();
    QTest::newRow("language out of range passed on")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("12")} << QStringLiteral("/fw") << 12 << QString();
    QTest::newRow("language not a number")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("de")} << QStringLiteral("/fw") << 0 << QString();
    QTest::newRow("language with trailing text")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("4x")} << QStringLiteral("/fw") << 0 << QString();
    QTest::newRow("language in hex is not base 10")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("0x4")} << QStringLiteral("/fw") << 0 << QString();
    QTest::newRow("negative language")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("-2")} << QStringLiteral("/fw") << -2 << QString();
    QTest::newRow("empty folder: settings decide")
        << QStringList{program, QString(), QStringLiteral("4")} << QString() << 4 << QString();
    QTest::newRow("four entries: unusable")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("4"), QStringLiteral("extra")}
        << QString() << 1 << "too many arguments";
    QTest::newRow("misspelled option")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("--reprot"), QStringLiteral("x.csv")}
        << QString() << 1 << "unknown option '--reprot'";
    QTest::newRow("a dash and a letter") << QStringList{program, QStringLiteral("-x")} << QString() << 1
                                         << "unknown option '-x'";
    QTest::newRow("help among other arguments") << QStringList{program, QStringLiteral("/fw"), QStringLiteral("--help")}
                                                << QString() << 1 << "unknown option '--help'";
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, folder);
    QFETCH(int, language);
    QFETCH(QString, error);

    const CommandLine commandLine = parseCommandLine(arguments);
    QCOMPARE(commandLine.folder, folder);
    QCOMPARE(commandLine.language, language);
    QVERIFY2(error.isEmpty() ? commandLine.error.isEmpty() : commandLine.error.startsWith(error),
             qPrintable(commandLine.error));
}

// Only a single --help or --version is a request for a text; anything else
// is the command line it always was (a folder named "--help" included).
void TestCommandLine::request_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("request");
    const QString p = QStringLiteral("tavix-updater");
    const int session = int(CommandLineRequest::Session);
    QTest::newRow("help") << QStringList{p, "--help"} << int(CommandLineRequest::Help);
    QTest::newRow("version") << QStringList{p, "--version"} << int(CommandLineRequest::Version);
    QTest::newRow("nothing") << QStringList{p} << session;
    QTest::newRow("help with more") << QStringList{p, "--help", "1"} << session;
    QTest::newRow("version after a folder") << QStringList{p, "/fw", "--version"} << session;
    QTest::newRow("short form") << QStringList{p, "-h"} << int(CommandLineRequest::Help);
    QTest::newRow("disk list") << QStringList{p, "--list-disks"} << int(CommandLineRequest::ListDisks);
    QTest::newRow("disk list with a folder") << QStringList{p, "/fw", "--list-disks"} << session;
    QTest::newRow("other case") << QStringList{p, "--Version"} << session;
    QTest::newRow("no program entry") << QStringList{"--help"} << session;
}

void TestCommandLine::request()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, request);
    QCOMPARE(int(commandLineRequest(arguments)), request);
    // A request word among other arguments asks for no session either: the
    // session's reading finds the line unusable, never a folder "--help".
    if (request == int(CommandLineRequest::Session) && arguments.size() > 1)
        QVERIFY(!parseCommandLine(arguments).error.isEmpty());
}

// --station anywhere after the program, once or more: one flag, taken out
// as the updater takes it (after --report and --log), the rest left in order.
// Only the exact word: its near misses stay unknown options.
void TestCommandLine::stationFlag_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("station");
    QTest::addColumn<QStringList>("rest"); // what parseCommandLine reads
    QTest::addColumn<QString>("error");    // the start of its reason; empty: usable

    const QString p = QStringLiteral("tavix-updater"), s = QStringLiteral("--station");
    QTest::newRow("absent") << QStringList{p, "/fw", "3"} << false << QStringList{p, "/fw", "3"} << QString();
    QTest::newRow("alone: the settings' release") << QStringList{p, s} << true << QStringList{p} << QString();
    QTest::newRow("twice and between") << QStringList{p, s, "/fw", s, "5", s} << true << QStringList{p, "/fw", "5"}
                                       << QString();
    QTest::newRow("among --report and --log") << QStringList{p, "--log", "l", "/fw", s, "--report", "r", "2"} << true
                                              << QStringList{p, "/fw", "2"} << QString();
    QTest::newRow("a report file of that name")
        << QStringList{p, "--report", s, "/fw"} << false << QStringList{p, "/fw"} << QString();
    QTest::newRow("the program's own name") << QStringList{s, "", "4"} << false << QStringList{s, "", "4"} << QString();
    for (const char *miss : {"--station=1", "--stations", "--Station", "-station", "--station ", "---station"})
        QTest::addRow("near miss '%s'", miss) << QStringList{p, "/fw", miss, s} << true
                                              << QStringList{p, "/fw", miss} << "unknown option";
}

void TestCommandLine::stationFlag()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, station);
    QFETCH(QStringList, rest);
    QFETCH(QString, error);

    QString report, log;
    QVERIFY(takeFileOption(&arguments, "--report", &report) && takeFileOption(&arguments, "--log", &log));
    QCOMPARE(takeFlagOption(&arguments, "--station"), station);
    QCOMPARE(arguments, rest);
    const QString reason = parseCommandLine(arguments).error;
    QVERIFY2(error.isEmpty() ? reason.isEmpty() : reason.startsWith(error), qPrintable(reason));
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "test_command_line.moc"

// "--report FILE" anywhere after the program, any number of times: taken out,
// the rest left in order, the last FILE made absolute; a --report without a
// file refuses the whole command line and changes nothing.
void TestCommandLine::reportOptionAnywhere()
{
    const QStringList words{"/fw", "4", "--help", "-h", "report.csv", "--reportx", ""};
    std::mt19937 rng(22);
    for (int c = 0; c < 3000; ++c) {
        QStringList arguments{"tavix-updater"}, rest{"tavix-updater"};
        QString last;
        bool broken = false;
        for (int n = int(rng() % 6); n > 0; --n) {
            if (rng() % 3 == 0) {
                arguments << "--report";
                if (rng() % 8 == 0 && n == 1) {
                    broken = true; // nothing after it
                    continue;
                }
                last = QString("r%1.csv").arg(c);
                arguments << last;
            } else {
                const QString word = words[int(rng() % words.size())];
                arguments << word;
                rest << word;
            }
        }
        QStringList taken = arguments;
        QString path = "untouched";
        const bool ok = takeFileOption(&taken, "--report", &path);
        const QString where = arguments.join(' ');
        QVERIFY2(ok == !broken, qPrintable(where));
        if (!ok) {
            QCOMPARE(taken, arguments);
            QCOMPARE(path, QString("untouched"));
            continue;
        }
        QCOMPARE(taken, rest);
        QCOMPARE(path, last.isEmpty() ? QString("untouched") : QDir::current().absoluteFilePath(last));
    }
}

// A Windows command line's arguments as CommandLineToArgvW documents them: a
// space or tab outside quotes ends one; 2n backslashes and a quote give n and
// open or close a quoted part, 2n + 1 give n and a quote; others stay as they are.
static QStringList splitWindowsArguments(const QString &line)
{
    QStringList arguments;
    QString current;
    bool inArgument = false, quoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inArgument)
                arguments << current;
            current.clear();
            inArgument = false;
            continue;
        }
        inArgument = true;
        if (c == '\\') {
            int n = 1;
            while (i + n < line.size() && line[i + n] == '\\')
                ++n;
            const bool beforeQuote = i + n < line.size() && line[i + n] == '"';
            const bool literalQuote = beforeQuote && n % 2 == 1;
            current += QString(beforeQuote ? n / 2 : n, '\\') + (literalQuote ? "\"" : "");
            i += n - 1 + (literalQuote ? 1 : 0);
        } else if (c == '"') {
            quoted = !quoted;
        } else {
            current += c;
        }
    }
    if (inArgument)
        arguments << current;
    return arguments;
}

// The command line a copy started as administrator gets: whatever the
// arguments hold (spaces, quotes, trailing backslashes, nothing at all), they
// come back whole, as the rules say and, on Windows, as the system's own
// CommandLineToArgvW splits them.
void TestCommandLine::windowsCommandLineSplitsBack()
{
    const QStringList pieces{"C:\\Program Files\\Tavix\\", "\\\\server\\share\\fw", "say \"hi\"", "", "\\",
                             "a\\\\\"b", "\t", "\u00e9\u65e5", "x"};
    std::mt19937 rng(32);
    for (int c = 0; c < 3000; ++c) {
        QStringList arguments;
        std::vector<std::u16string> given;
        for (int n = 1 + int(rng() % 4); n > 0; --n) {
            QString argument;
            for (int k = int(rng() % 4); k > 0; --k)
                argument += pieces[int(rng() % pieces.size())];
            arguments << argument;
            given.push_back(argument.toStdU16String());
        }
        const QString line = QString::fromStdU16String(platform::windowsCommandLine(given));
        QCOMPARE(splitWindowsArguments(line), arguments);
#ifdef _WIN32
        int count = 0;
        const std::u16string whole = u"updater.exe " + line.toStdU16String();
        LPWSTR *split = CommandLineToArgvW(reinterpret_cast<const wchar_t *>(whole.c_str()), &count);
        QVERIFY(split != nullptr);
        QStringList system;
        for (int i = 1; i < count; ++i)
            system << QString::fromWCharArray(split[i]);
        LocalFree(split);
        QCOMPARE(system, arguments);
#endif
    }
}
