// The command line as the program reads it: a folder and a language index,
// both or neither.
#include "app/command_line.h"

#include <QtTest>

#include <random>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void request_data();
    void request();
    void reportOptionAnywhere();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("language");

    const QString program = QStringLiteral("tavix-updater");
    QTest::newRow("no entries") << QStringList() << QString() << 1;
    QTest::newRow("program only") << QStringList{program} << QString() << 1;
    QTest::newRow("folder only: settings decide")
        << QStringList{program, QStringLiteral("C:\\Releases\\7.2")} << QString() << 1;
    QTest::newRow("folder and language")
        << QStringList{program, QStringLiteral("C:\\Releases\\7.2"), QStringLiteral("3")}
        << QStringLiteral("C:\\Releases\\7.2") << 3;
    QTest::newRow("folder kept as given")
        << QStringList{program, QStringLiteral("/srv/fw release/ "), QStringLiteral("4")}
        << QStringLiteral("/srv/fw release/ ") << 4;
    QTest::newRow("language out of range passed on")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("12")} << QStringLiteral("/fw") << 12;
    QTest::newRow("language not a number")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("de")} << QStringLiteral("/fw") << 0;
    QTest::newRow("language with trailing text")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("4x")} << QStringLiteral("/fw") << 0;
    QTest::newRow("language in hex is not base 10")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("0x4")} << QStringLiteral("/fw") << 0;
    QTest::newRow("negative language")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("-2")} << QStringLiteral("/fw") << -2;
    QTest::newRow("empty folder: settings decide")
        << QStringList{program, QString(), QStringLiteral("4")} << QString() << 4;
    QTest::newRow("four entries: as if none")
        << QStringList{program, QStringLiteral("/fw"), QStringLiteral("4"), QStringLiteral("extra")}
        << QString() << 1;
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, folder);
    QFETCH(int, language);

    const CommandLine commandLine = parseCommandLine(arguments);
    QCOMPARE(commandLine.folder, folder);
    QCOMPARE(commandLine.language, language);
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
    // The session's reading of the same line is unchanged by the request.
    if (request == int(CommandLineRequest::Session) && arguments.size() == 3)
        QCOMPARE(parseCommandLine(arguments).folder, arguments.at(1));
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
