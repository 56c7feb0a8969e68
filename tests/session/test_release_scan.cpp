// The release scan on folders made for each case: which files make up the
// release, in which order, and where each goes on the calculator disk.
#include "session/release_scan.h"

#include <QtTest>

#include <random>

namespace {

// Makes the entries of `spec` in `folder`: "NAME:SIZE" is a file of SIZE
// bytes, "NAME/" a directory.
bool makeEntries(const QString &folder, const QStringList &spec)
{
    for (const QString &entry : spec) {
        if (entry.endsWith(QLatin1Char('/'))) {
            if (!QDir(folder).mkdir(entry.chopped(1)))
                return false;
            continue;
        }
        // Sparse: a file at the edge of its room costs no disk.
        const qint64 size = entry.section(QLatin1Char(':'), 1).toLongLong();
        QFile file(folder + QLatin1Char('/') + entry.section(QLatin1Char(':'), 0, 0));
        if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
            return false;
    }
    return true;
}

// A record as "NAME OFFSET SIZE", so that a mismatch reads plainly.
QStringList describe(const QVector<CUpdateFile> &records)
{
    QStringList result;
    for (const CUpdateFile &r : records)
        result << QStringLiteral("%1 0x%2 %3").arg(r.name).arg(r.diskOffset, 0, 16).arg(r.size);
    return result;
}

QString backslashed(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

const QStringList kLegacy{"APPSDISK.DAT:10", "GIRVAARM.ROM:20", "MASTER.DAT:30"};
const QStringList kCurrent{"TAVIX_OS.ROM:40", "TAVIX_MASTER.DAT:50", "TAVIX_APP.DAT:60"};
const QStringList kLegacyRecords{"APPSDISK.DAT 0x500000 10", "GIRVAARM.ROM 0x0 20",
                                 "MASTER.DAT 0x100000 30"};
const QStringList kCurrentRecords{"TAVIX_APP.DAT 0x500000 60", "TAVIX_MASTER.DAT 0x100000 50",
                                  "TAVIX_OS.ROM 0x0 40"};

} // namespace

class TestReleaseScan : public QObject {
    Q_OBJECT

private slots:
    void isCurrentSetName_data();
    void isCurrentSetName();
    void scan_data();
    void scan();
    void folderSpelling_data();
    void folderSpelling();
    void noFolder_data();
    void noFolder();
    void backslashInPathIsNotOffered();
    void twoSpellingsOfOneNameMakeFourRecords();
    void shortfallOfGeneratedFolders();
    void completeRelease_data();
    void completeRelease();
    void recordsInsideTheRelease();
};

void TestReleaseScan::isCurrentSetName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("app") << "TAVIX_APP.DAT" << true;
    QTest::newRow("os mixed case") << "Tavix_Os.Rom" << true;
    QTest::newRow("master lower case") << "tavix_master.dat" << true;
    QTest::newRow("legacy name") << "APPSDISK.DAT" << false;
    QTest::newRow("cut short") << "TAVIX_APP.DA" << false;
    QTest::newRow("leading space") << " TAVIX_OS.ROM" << false;
    QTest::newRow("trailing space") << "TAVIX_OS.ROM " << false;
    QTest::newRow("longer") << "TAVIX_MASTER.DAT.BAK" << false;
    QTest::newRow("empty") << "" << false;
}

void TestReleaseScan::isCurrentSetName()
{
    QFETCH(QString, name);
    QFETCH(bool, accepted);
    QCOMPARE(::isCurrentSetName(name), accepted);
}

void TestReleaseScan::scan_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("current");
    QTest::addColumn<QStringList>("records");

    QTest::newRow("legacy") << kLegacy << false << kLegacyRecords;
    QTest::newRow("current") << kCurrent << true << kCurrentRecords;
    QTest::newRow("legacy and current") << kLegacy + kCurrent << true << kCurrentRecords;
    QTest::newRow("legacy and one current")
        << kLegacy + QStringList{"tavix_master.dat:7"} << true
        << QStringList{"tavix_master.dat 0x100000 7"};
    QTest::newRow("lower case")
        << QStringList{"tavix_os.rom:1", "tavix_app.dat:2", "tavix_master.dat:3"} << true
        << QStringList{"tavix_app.dat 0x500000 2", "tavix_master.dat 0x100000 3",
                       "tavix_os.rom 0x0 1"};
    // Name order ignores letter case: 'a' comes before 'G' and 'M'.
    QTest::newRow("mixed case order")
        << QStringList{"Master.dat:3", "GirvaArm.rom:2", "appsdisk.DAT:1"} << false
        << QStringList{"appsdisk.DAT 0x500000 1", "GirvaArm.rom 0x0 2", "Master.dat 0x100000 3"};
    QTest::newRow("folder named like a current file")
        << kLegacy + QStringList{"TAVIX_APP.DAT/"} << false << kLegacyRecords;
    QTest::newRow("folder named like a legacy file")
        << QStringList{"APPSDISK.DAT:10", "GIRVAARM.ROM:20", "MASTER.DAT/"} << false
        << QStringList(kLegacyRecords.mid(0, 2));
    QTest::newRow("unrelated files")
        << kLegacy + QStringList{"readme.txt:5", "MASTER.DAT.bak:5", "APPSDISK.DAT~:5",
                                 "TAVIX_APP.DA:5", "GIRVAARM.ROM.part:5"}
        << false << kLegacyRecords;
    QTest::newRow("zero-byte file")
        << QStringList{"TAVIX_APP.DAT:0", "TAVIX_OS.ROM:0", "TAVIX_MASTER.DAT:9"} << true
        << QStringList{"TAVIX_APP.DAT 0x500000 0", "TAVIX_MASTER.DAT 0x100000 9",
                       "TAVIX_OS.ROM 0x0 0"};
    QTest::newRow("one missing")
        << QStringList(kCurrent.mid(1)) << true << QStringList(kCurrentRecords.mid(0, 2));
    QTest::newRow("empty folder") << QStringList{} << false << QStringList{};
}

void TestReleaseScan::scan()
{
    QFETCH(QStringList, entries);
    QFETCH(bool, current);
    QFETCH(QStringList, records);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(makeEntries(dir.path(), entries));

    QCOMPARE(releaseUsesCurrentNames(dir.path()), current);
    const QVector<CUpdateFile> found = listReleaseFiles(dir.path(), current);
    QCOMPARE(describe(found), records);
    for (const CUpdateFile &file : found)
        QCOMPARE(file.path, backslashed(QDir(dir.path()).absoluteFilePath(file.name)));
}

void TestReleaseScan::folderSpelling_data()
{
    QTest::addColumn<QString>("spelling"); // after the temporary folder
    QTest::newRow("plain") << "/sub";
    QTest::newRow("trailing slash") << "/sub/";
    QTest::newRow("doubled slashes") << "//sub//";
}

// However the folder is spelt, every path comes out in backslash form.
void TestReleaseScan::folderSpelling()
{
    QFETCH(QString, spelling);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    const QString sub = dir.path() + QStringLiteral("/sub");
    QVERIFY(makeEntries(sub, kLegacy));

    const QString folder = dir.path() + spelling;
    const QVector<CUpdateFile> found = listReleaseFiles(folder, releaseUsesCurrentNames(folder));
    QCOMPARE(describe(found), kLegacyRecords);
    for (const CUpdateFile &file : found) {
        QVERIFY2(!file.path.contains(QLatin1Char('/')), qPrintable(file.path));
        QCOMPARE(file.path, backslashed(QDir(sub).absoluteFilePath(file.name)));
    }
}

void TestReleaseScan::noFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("missing") << "absent";
    QTest::newRow("a file, not a folder") << "TAVIX_APP.DAT";
}

void TestReleaseScan::noFolder()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(makeEntries(dir.path(), kCurrent));

    const QString folder = dir.path() + QLatin1Char('/') + name;
    QVERIFY(!releaseUsesCurrentNames(folder));
    QVERIFY(listReleaseFiles(folder, false).isEmpty());
    QVERIFY(listReleaseFiles(folder, true).isEmpty());
}

// On Linux '\' may be part of a folder name; the transfer would open the
// backslash form as a different path, so nothing there is offered.
void TestReleaseScan::backslashInPathIsNotOffered()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = dir.path() + QStringLiteral("/re\\lease");
    if (!QDir().mkdir(folder))
        QSKIP("this file system takes no '\\' in a name");
    QVERIFY(makeEntries(folder, kCurrent));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 3); // the files are there

    QVERIFY(!releaseUsesCurrentNames(folder));
    QVERIFY(listReleaseFiles(folder, true).isEmpty());
    QVERIFY(listReleaseFiles(folder, false).isEmpty());
}

// Where letter case tells names apart, two spellings of one name are two
// records, and the release is not complete.
void TestReleaseScan::twoSpellingsOfOneNameMakeFourRecords()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(makeEntries(dir.path(), kLegacy + QStringList{"master.dat:31"}));
    if (QDir(dir.path()).entryList(QDir::Files).size() != 4)
        QSKIP("this file system does not tell letter case apart");

    QVERIFY(!releaseUsesCurrentNames(dir.path()));
    QStringList found = describe(listReleaseFiles(dir.path(), false));
    QCOMPARE(found.size(), 4);
    // The two spellings tie in case-blind order; their relative order is open.
    QCOMPARE(found.mid(0, 2), kLegacyRecords.mid(0, 2));
    std::sort(found.begin() + 2, found.end());
    QCOMPARE(found.mid(2), (QStringList{"MASTER.DAT 0x100000 30", "master.dat 0x100000 31"}));
}

void TestReleaseScan::completeRelease_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("complete");
    QTest::newRow("legacy") << QStringList{"APPSDISK.DAT", "GIRVAARM.ROM", "MASTER.DAT"} << true;
    QTest::newRow("current, any case") << QStringList{"tavix_app.dat", "Tavix_Master.dat", "TAVIX_OS.ROM"} << true;
    QTest::newRow("two spellings of the master, no system image")
        << QStringList{"APPSDISK.DAT", "MASTER.DAT", "master.dat"} << false;
    QTest::newRow("the same name three times") << QStringList{"TAVIX_OS.ROM", "tavix_os.rom", "Tavix_OS.rom"}
                                               << false;
    QTest::newRow("one missing") << QStringList{"APPSDISK.DAT", "GIRVAARM.ROM"} << false;
    QTest::newRow("four") << QStringList{"APPSDISK.DAT", "GIRVAARM.ROM", "MASTER.DAT", "master.dat"} << false;
    QTest::newRow("a mixture of the sets") << QStringList{"APPSDISK.DAT", "TAVIX_OS.ROM", "MASTER.DAT"} << false;
    QTest::newRow("another file") << QStringList{"APPSDISK.DAT", "GIRVAARM.ROM", "README.TXT"} << false;
}

void TestReleaseScan::completeRelease()
{
    QFETCH(QStringList, names);
    QFETCH(bool, complete);
    QVector<CUpdateFile> files;
    for (const QString &name : names) {
        CUpdateFile file;
        file.name = name;
        file.size = 1; // sizes against rooms: shortfallOfGeneratedFolders
        files << file;
    }
    QCOMPARE(isCompleteRelease(files), complete);
}

// Where a --report or --log file is, against the release folder: through
// links and "..", at any depth, and never by a mere common prefix of names.
void TestReleaseScan::recordsInsideTheRelease()
{
    QTemporaryDir temp;
    const QString rel = temp.filePath("rel"), sibling = temp.filePath("release"), link = temp.filePath("link");
    QVERIFY(QDir().mkpath(rel + "/sub") && QDir().mkpath(sibling));
    // (On Windows QFile::link makes a shortcut, which no path goes through.)
    const bool links = QFile::link(rel, link) && QFileInfo(link).isDir();
    QVERIFY(folderHolds(rel, rel + "/x.csv"));             // not there yet
    QVERIFY(folderHolds(rel, rel + "/sub/deeper/x.csv"));   // nor its folder
    QVERIFY(folderHolds(rel, sibling + "/../rel/x.csv"));
    QVERIFY(!links || folderHolds(rel, link + "/x.csv"));
    QVERIFY(!links || folderHolds(link, sibling + "/../rel/x.csv"));
    QVERIFY(!folderHolds(rel, sibling + "/x.csv"));
    QVERIFY(!folderHolds(rel, temp.filePath("x.csv")));
    QVERIFY(!folderHolds(temp.filePath("missing"), temp.filePath("missing/x.csv")));
    QVERIFY(!folderHolds(rel, QString()));
    QVERIFY(sameFile(rel + "/x.csv", sibling + "/../rel/x.csv"));
    QVERIFY(!links || sameFile(rel + "/x.csv", link + "/x.csv"));
    QVERIFY(!sameFile(rel + "/x.csv", rel + "/y.csv"));
    QVERIFY(!sameFile(QString(), QString()));
}

QTEST_GUILESS_MAIN(TestReleaseScan)
#include "test_release_scan.moc"

// Folders of random entries (release names of both sets in random letter
// case, other files, directories with release names): the shortfall is
// empty exactly for a complete release, and names what a plain count of the
// names finds missing or spelt twice.
void TestReleaseScan::shortfallOfGeneratedFolders()
{
    const QStringList legacy{"APPSDISK.DAT", "GIRVAARM.ROM", "MASTER.DAT"};
    const QStringList current{"TAVIX_APP.DAT", "TAVIX_OS.ROM", "TAVIX_MASTER.DAT"};
    const QStringList other{"README.TXT", "MASTER.DAT.BAK", "TAVIX_OS.ROM~"};
    // Each role's room as the release is described: the system image up to
    // the master file at 1 MiB, the master file up to the application image
    // at 5 MiB, the application image to the end of the disk (none here).
    const qint64 rooms[] = {0, 0x100000, 0x400000};
    std::mt19937 rng(22);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    // Where letter case does not tell names apart (Windows), one name in two
    // spellings is one file: such folders are not generated there.
    QVERIFY(makeEntries(temp.path(), {"probe:1", "PROBE:1"}));
    const bool foldsCase = QDir(temp.path()).entryList(QDir::Files).size() == 1;
    QVERIFY(QDir(temp.path()).removeRecursively() && QDir().mkpath(temp.path()));
    int accepted = 0; // folders that hold a release
    for (int c = 0; c < 600; ++c) {
        const QString folder = temp.filePath(QString::number(c));
        QVERIFY(QDir().mkpath(folder));
        QStringList entries;
        // Half the folders begin with a whole set, the rest with a few names.
        const QStringList start = rng() % 2 ? QStringList() : rng() % 2 ? current : legacy;
        for (int n = int(start.size() + rng() % 4); n > 0; --n) {
            const QStringList &pool = rng() % 4 == 0 ? other : rng() % 3 == 0 ? current : legacy;
            QString name = n > 3 || start.isEmpty() ? pool[int(rng() % pool.size())] : start[3 - n];
            for (QChar &ch : name)
                if (rng() % 4 == 0)
                    ch = ch.toLower();
            const bool directory = rng() % 8 == 0;
            if (!entries.filter(QRegularExpression("^" + QRegularExpression::escape(name) + "[:/]",
                                                   foldsCase ? QRegularExpression::CaseInsensitiveOption
                                                             : QRegularExpression::NoPatternOption))
                     .isEmpty())
                continue;
            // A role's file at and around the edges of its room.
            const int role = std::max(legacy.indexOf(name.toUpper()), current.indexOf(name.toUpper()));
            const qint64 room = role >= 0 ? rooms[role] : 0;
            const qint64 sizes[] = {0, 1, room - 1, room, room + 1};
            const qint64 size = role < 0 ? 1 : room == 0 ? qint64(rng() % 3) : sizes[rng() % 5];
            entries << (directory ? name + "/" : name + ":" + QString::number(size));
        }
        QVERIFY(makeEntries(folder, entries));

        // The reference: the current set is in force when a file has one of
        // its names; each name of the set counts the files that carry it.
        bool useCurrent = false;
        for (const QString &entry : entries)
            useCurrent |= !entry.endsWith('/') && current.contains(entry.section(':', 0, 0).toUpper());
        // A name's only file is empty, or larger than its role's room.
        QStringList missing, twice, empty, tooLarge;
        const QStringList &inForce = useCurrent ? current : legacy;
        for (const QString &name : inForce) {
            QStringList files;
            for (const QString &entry : entries)
                if (!entry.endsWith('/') && entry.section(':', 0, 0).toUpper() == name)
                    files << entry;
            if (files.isEmpty())
                missing << name;
            if (files.size() > 1)
                twice << name;
            if (files.size() != 1)
                continue;
            const qint64 size = files[0].section(':', 1).toLongLong();
            const qint64 room = rooms[inForce.indexOf(name)];
            if (size == 0)
                empty << files[0].section(':', 0, 0);
            else if (room != 0 && size > room)
                tooLarge << files[0] + " " + QString::number(room);
        }
        QCOMPARE(releaseUsesCurrentNames(folder), useCurrent);
        const ReleaseShortfall shortfall = releaseShortfall(folder, useCurrent);
        const QString where = entries.join(' ');
        QVERIFY2(shortfall.isEmpty() == isCompleteRelease(listReleaseFiles(folder, useCurrent)), qPrintable(where));
        missing.sort();
        twice.sort();
        QStringList gotMissing = shortfall.missing, gotTwice = shortfall.twoSpellings, gotEmpty = shortfall.empty,
                    gotTooLarge;
        for (const ReleaseShortfall::Oversized &file : shortfall.tooLarge)
            gotTooLarge << QString("%1:%2 %3").arg(file.name).arg(file.size).arg(file.room);
        for (QStringList *list : {&missing, &twice, &empty, &tooLarge, &gotMissing, &gotTwice, &gotEmpty, &gotTooLarge})
            list->sort();
        QVERIFY2(gotMissing == missing && gotTwice == twice, qPrintable(where));
        QVERIFY2(gotEmpty == empty && gotTooLarge == tooLarge,
                 qPrintable(where + "\n" + gotEmpty.join(' ') + " | " + gotTooLarge.join(' ')));
        accepted += shortfall.isEmpty();
    }
    QVERIFY(releaseShortfall(temp.filePath("none"), false).noFolder);
    QVERIFY2(accepted >= 5, qPrintable(QString::number(accepted))); // the generator reaches both answers
}
