// tavix-updater-sim as a user starts it: a separate process on a copy of the
// sample release, followed through what it echoes and checked by the disk
// images it leaves. Every copy gets a temporary home and configuration folder
// and runs its pauses ten times faster.
#include "platform/instance_lock.h"
#include "support/csv_records.h"
#include "support/release_layout.h"

#include <QtTest>

#include <cerrno>
#include <cstring>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const QString kSimulator = QStringLiteral(TAVIX_UPDATER_SIM);
const QString kSampleRelease = QStringLiteral(TAVIX_SAMPLE_RELEASE);
// Long enough for a sanitizer build on a busy machine; a passing run takes a
// second or two and never waits this long.
constexpr int kWaitMs = 60000;

using testsupport::ReleaseFile;
const auto &kRelease = testsupport::kLegacyRelease;

// One running copy of the simulator and the lines it has echoed so far.
class Updater {
public:
    Updater(const QProcessEnvironment &environment, const QStringList &arguments)
    {
        process.setProcessEnvironment(environment);
        process.start(kSimulator, arguments);
    }
    ~Updater() { kill(); }

    // Ends the copy the hard way, as a crash would: its guard stays behind.
    void kill()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kWaitMs);
        }
    }

    // The first echoed line that starts with `prefix`; empty when the copy
    // ended or the wait ran out without one.
    QString waitForLine(const QString &prefix)
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            readLines();
            for (const QString &line : lines) {
                if (line.startsWith(prefix))
                    return line;
            }
            const qint64 left = kWaitMs - timer.elapsed();
            if (process.state() == QProcess::NotRunning || left <= 0)
                return QString();
            process.waitForReadyRead(static_cast<int>(left));
        }
    }

    // Waits for the copy to end by itself; true when it exited normally.
    bool finish()
    {
        const bool ended = process.waitForFinished(kWaitMs);
        readLines();
        return ended && process.exitStatus() == QProcess::NormalExit;
    }

    QProcess process;
    QStringList lines;

private:
    void readLines()
    {
        pending += process.readAllStandardOutput();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            lines << QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
        }
    }

    QByteArray pending;
};

// The suite's own single-instance guard: two builds' suites, or a person's
// own copy, never meet it.
QString instanceName()
{
    return QStringLiteral("test-updater-sim-%1").arg(QCoreApplication::applicationPid());
}

bool copyRelease(const QString &folder)
{
    if (!QDir().mkpath(folder))
        return false;
    for (const ReleaseFile &file : kRelease) {
        if (!QFile::copy(kSampleRelease + '/' + file.name, folder + '/' + file.name))
            return false;
    }
    return true;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A report line's calculator, outcome, files held, last code and reason.
QStringList updatedLine(const QString &identity)
{
    return {identity, "updated", "3", "0", ""};
}

// One whose every data write failed (the simulator's failed writes: EIO).
QStringList givenUpLine(const QString &identity)
{
    return {identity, "given up", "0", "112", QString("The calculator stopped accepting data. (%1)").arg(strerror(EIO))};
}

// The log names a calculator where it was found, and a failing one's code
// with the system's error behind it (the simulator's failed writes: EIO).
void verifyLogNames(const QString &log, const QString &identity, bool failing)
{
    const QString text = QString::fromUtf8(readAll(log));
    QVERIFY2(text.contains("calculator " + identity + " found at \\\\?\\usbstor#disk&ven_xq&prod_tavix_update"),
             qPrintable(identity + "\n" + text));
    const QString failure = QString("  %1: 112 (system error %2: %3)").arg(identity).arg(EIO).arg(strerror(EIO));
    QCOMPARE(text.contains(failure), failing);
    QVERIFY2(text.contains(QString("  %1: 0\n").arg(identity)) || failing, qPrintable(text));
}

} // namespace

class TestUpdaterSim : public QObject {
    Q_OBJECT

private slots:
    void init();

    void sendsReleaseToEveryCalculator();
    void unpluggedCalculatorGetsEveryFile();
    void aFileLargerThanItsPlaceIsNoRelease();
    void aDiskTooSmallIsRefusedUntouched();
    void whatACalculatorsDiskTells();
    void aReleaseChangedWhileItIsSentIsNeverDone();
    void theExitCodeSaysHowTheSessionEnded_data();
    void theExitCodeSaysHowTheSessionEnded();
    void cartOfCalculators_data();
    void cartOfCalculators();
    void aCartSwapsCalculatorsWhoseSessionEnded();
    void aStationServesAWholeCart();
    void aStalledCalculatorHoldsOnlyItself();
    void aWriteThatNeverReturnsDoesNotHoldTheProgram();
    void folderAndLanguage_data();
    void folderAndLanguage();
    void secondCopyLeavesAtOnce();
    void unusableCommandLineStartsNothing();
    void aRecordNotWrittenIsAFailure();
    void reportLinesAccumulate();
    void twoCopiesAppendToOneReport();
    void aKilledSessionKeepsItsReportLines();
    void aStartWaitsForACopyThatIsFinishing();
    void helpAndVersionOpenNoWindow();

private:
    QProcessEnvironment environment(int calculators) const;
    // The calculators come as a cart's (TAVIX_SIM_CART=`cart`).
    QProcessEnvironment cartEnvironment(const QString &cart) const
    {
        QProcessEnvironment env = environment(0);
        env.remove("TAVIX_SIM_CALCULATORS");
        env.insert("TAVIX_SIM_CART", cart);
        return env;
    }
    void verifyImages(const QString &release, int calculators, const QList<int> &lacking = {});
    void verifyNothingWritten(Updater &updater, int calculators);
    void verifyReport(const QString &report, const QString &release, QList<QStringList> expected);
    QString path(const QString &relative) const { return tmp->path() + '/' + relative; }

    std::unique_ptr<QTemporaryDir> tmp;
    QDateTime started; // when the case began: no report line is older
};

void TestUpdaterSim::init()
{
    started = QDateTime::currentDateTime();
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    QVERIFY(QDir().mkpath(path("home")));
    QVERIFY(QDir().mkpath(path("config")));
    QVERIFY(QDir().mkpath(path("runtime")));
    QVERIFY(QDir().mkpath(path("temp")));
    QVERIFY(QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}


QProcessEnvironment TestUpdaterSim::environment(int calculators) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : env.keys()) {
        if (name.startsWith(QLatin1String("TAVIX_SIM_")) || name.startsWith(QLatin1String("XDG_")))
            env.remove(name);
    }
    env.insert("HOME", path("home"));
    env.insert("XDG_CONFIG_HOME", path("config"));
    env.insert("XDG_RUNTIME_DIR", path("runtime"));
    env.insert("TMPDIR", path("temp")); // where the release's private copy goes
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("LC_ALL", "C.UTF-8");
    env.insert("TAVIX_SIM_CLOCK_SCALE", "10");
    env.insert("TAVIX_SIM_CALCULATORS", QString::number(calculators));
    env.insert("TAVIX_SIM_DISK_MIB", "8");
    env.insert("TAVIX_SIM_OUTPUT", path("output"));
    env.insert("TAVIX_SIM_INSTANCE", instanceName());
    return env;
}

void TestUpdaterSim::sendsReleaseToEveryCalculator()
{
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = environment(2);
    // The calculators come about a second later (on the fast clock, and
    // counted from the start of the process, however slow the build), so that
    // the window waits for them first.
    env.insert("TAVIX_SIM_ATTACH_MS", "10000");

    Updater updater(env, {release, "1"});
    const bool ended = updater.finish();
    const QString echoed = updater.lines.join('\n');
    const QString errors = QString::fromUtf8(updater.process.readAllStandardError());
    QVERIFY2(ended, qPrintable(updater.process.errorString() + '\n' + echoed));
    QVERIFY2(updater.process.exitCode() == 0, qPrintable(echoed + '\n' + errors));

    QVERIFY2(updater.waitForLine("status: Waiting for connection").size() > 0, qPrintable(echoed));
    QVERIFY2(updater.lines.indexOf(QRegularExpression("^button: Start - [0-9]$")) >= 0, qPrintable(echoed));
    // The files are shown in listing order, each once the one before it was
    // sent. The status speaks of the cart while files go out, before the
    // second file; "Done" comes after the last.
    QVector<int> shown;
    for (const ReleaseFile &file : kRelease) {
        const QString line = "file: " + QDir::toNativeSeparators(release + '/' + file.name);
        shown << updater.lines.indexOf(line);
        QVERIFY2(shown.last() > (shown.size() > 1 ? shown.at(shown.size() - 2) : -1),
                 qPrintable(line + "\n" + echoed));
    }
    const int sent = updater.lines.indexOf("status: Updating 2 calculators");
    QVERIFY2(sent >= 0 && sent < shown.at(1), qPrintable(echoed));
    QVERIFY2(updater.lines.indexOf("status: Done", shown.at(2)) > shown.at(2), qPrintable(echoed));
    QCOMPARE(updater.lines.filter("Update failed").size(), 0);

    verifyImages(release, 2);
    // The private copy of the release went with the program.
    QCOMPARE(QDir(path("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

// Every calculator's disk image holds every file of the release at its
// offset, and its trace ends with the one end of the session.
// (Those listed in `lacking` must not hold the first file.)
void TestUpdaterSim::verifyImages(const QString &release, int calculators, const QList<int> &lacking)
{
    for (int calculator = 1; calculator <= calculators; ++calculator) {
        const QString stem = path("output/calculator-%1").arg(calculator);
        QFile image(stem + ".img");
        QVERIFY2(image.open(QIODevice::ReadOnly), qPrintable(image.fileName()));
        if (lacking.contains(calculator)) {
            const QByteArray first = readAll(release + '/' + kRelease[0].name);
            QVERIFY(image.seek(kRelease[0].diskOffset));
            QVERIFY2(image.read(first.size()) != first, qPrintable(stem));
            continue;
        }
        for (const ReleaseFile &file : kRelease) {
            const QByteArray expected = readAll(release + '/' + file.name);
            QVERIFY(!expected.isEmpty());
            QVERIFY(image.seek(file.diskOffset));
            QVERIFY2(image.read(expected.size()) == expected,
                     qPrintable(QString("calculator %1, %2").arg(calculator).arg(file.name)));
            // The rest of the last sector is the transfer's padding.
            const int padding = (512 - expected.size() % 512) % 512;
            QCOMPARE(image.read(padding), QByteArray(padding, '\0'));
        }
        // (A cart's calculator was pulled out after it.)
        QStringList trace = QString::fromUtf8(readAll(stem + ".trace")).trimmed().split('\n');
        if (trace.last() == "unplugged")
            trace.removeLast();
        QVERIFY2(trace.last() == "end-session" && trace.count("end-session") == 1, qPrintable(stem));
    }
}

void TestUpdaterSim::unpluggedCalculatorGetsEveryFile()
{
    // The first of two calculators is unplugged 200 KB into the first file
    // and comes back five seconds later: the program says "Done" and ends
    // with 0 only once both hold the whole release.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QFile big(release + "/APPSDISK.DAT");
    QVERIFY(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray bytes;
    for (int i = 0; bytes.size() < 300001; ++i)
        bytes += QByteArray::number(i * 7919) + ' ';
    bytes.truncate(300001);
    QCOMPARE(big.write(bytes), qint64(bytes.size()));
    big.close();
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_FAULTS", "unplug-after=200000@1,replug-after=5000@1");

    Updater updater(env, {release, "1"});
    const bool ended = updater.finish();
    const QString echoed = updater.lines.join('\n');
    QVERIFY2(ended && updater.process.exitCode() == 0, qPrintable(echoed));
    // Its failure is in its row; the status speaks of the cart.
    QVERIFY2(!updater.lines.filter(QRegularExpression("^calculator: .*: (retrying \\(|unplugged)")).isEmpty(),
             qPrintable(echoed));
    QVERIFY2(updater.lines.filter("status: ").last() == "status: Done", qPrintable(echoed));
    verifyImages(release, 2);
}

void TestUpdaterSim::aFileLargerThanItsPlaceIsNoRelease()
{
    // An OS image one sector longer than its place would run into the master
    // file's: no release, said in words and bytes, and nothing written.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QVERIFY(QFile::resize(release + "/GIRVAARM.ROM", 0x100000 + 512));
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_CLOSE_ON", "status: No updates are available");
    Updater updater(env, {release, "1"});
    QVERIFY2(!updater.waitForLine("status: No updates are available").isEmpty(), qPrintable(updater.lines.join('\n')));
    QCOMPARE(updater.waitForLine("info: "),
             "info: No release in " + QDir::toNativeSeparators(release) +
                 ": GIRVAARM.ROM is 1,049,088 bytes, its place holds 1,048,576");
    QVERIFY(updater.finish());
    QCOMPARE(updater.process.exitCode(), 3); // closed on no release
    QVERIFY(updater.lines.filter("status: Done").isEmpty());
    verifyNothingWritten(updater, 2);
}

void TestUpdaterSim::aReleaseChangedWhileItIsSentIsNeverDone()
{
    // Someone copies another master file into the folder while the
    // application image goes out (slow calculators): the calculators get
    // only the bytes that were checked, the session ends in the final
    // failure with the reason, never "Done", and the report says so.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    const QByteArray master = readAll(release + "/MASTER.DAT");
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_BYTES_PER_SEC", "5000"); // 8 s for the application image (0.8 s here)
    env.insert("TAVIX_SIM_CLOSE_ON", "status: Update failed (120)");
    Updater updater(env, {release, "1", "--report", path("cart.csv")});
    QVERIFY2(!updater.waitForLine("calculator: TAVIX0000001: file 1 of 3").isEmpty(), qPrintable(updater.lines.join('\n')));
    QVERIFY(QFile::resize(release + "/MASTER.DAT", 1000));
    QVERIFY(updater.finish());
    const QString echoed = updater.lines.join('\n');
    QVERIFY2(updater.process.exitCode() == 1, qPrintable(echoed));
    QVERIFY2(updater.lines.filter("status: Done").isEmpty(), qPrintable(echoed));
    QVERIFY2(updater.lines.filter("info: ").last().startsWith("info: MASTER.DAT changed after it was checked"),
             qPrintable(echoed));
    for (int calculator = 1; calculator <= 2; ++calculator) {
        QFile image(path("output/calculator-%1.img").arg(calculator));
        QVERIFY(image.open(QIODevice::ReadOnly) && image.seek(0x100000));
        const QByteArray there = image.read(master.size());
        QVERIFY2(there == master || there == QByteArray(master.size(), '\0'), qPrintable(image.fileName()));
    }
    const QList<QStringList> report = testsupport::readCsv(readAll(path("cart.csv")));
    QCOMPARE(report.size(), 3);
    for (const QStringList &line : report.mid(1)) {
        QCOMPARE(line.value(1), QString("given up"));
        QCOMPARE(line.value(9), QString("MASTER.DAT changed after it was checked"));
    }
}

void TestUpdaterSim::theExitCodeSaysHowTheSessionEnded_data()
{
    QTest::addColumn<int>("calculators");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QString>("closeOn"); // when the person closes the window
    QTest::addColumn<int>("exitCode");
    QTest::newRow("stopped while waiting") << 0 << "" << "status: Waiting for connection" << 4;
    QTest::newRow("final failure, then closed") << 2 << "fail-writes=all" << "summary: " << 1;
    QTest::newRow("closed in the countdown") << 3 << "" << "button: Start - 3" << 4;
}

void TestUpdaterSim::theExitCodeSaysHowTheSessionEnded()
{
    QFETCH(int, calculators);
    QFETCH(QString, faults);
    QFETCH(QString, closeOn);
    QFETCH(int, exitCode);
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = environment(calculators);
    env.insert("TAVIX_SIM_FAULTS", faults);
    env.insert("TAVIX_SIM_CLOSE_ON", closeOn);
    Updater updater(env, {release, "1", "--report", path("report.csv")});
    QVERIFY(updater.finish());
    QVERIFY2(updater.process.exitCode() == exitCode, qPrintable(updater.lines.join('\n')));
    // Closed before the first file: the calculators found are in the report,
    // not updated, stopped.
    if (closeOn.startsWith("button: Start")) {
        QList<QStringList> expected;
        for (int k = 1; k <= calculators; ++k)
            expected << QStringList{QString("TAVIX%1").arg(k, 7, 10, QChar('0')), "not updated", "0", "0", "stopped"};
        verifyReport(path("report.csv"), release, expected);
    }
}

void TestUpdaterSim::aDiskTooSmallIsRefusedUntouched()
{
    // An application image a sector longer than what an 8 MiB calculator
    // holds after 0x500000: each calculator is refused at once, without
    // retries, and nothing is written to either.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QVERIFY(QFile::resize(release + "/APPSDISK.DAT", (8 << 20) - 0x500000 + 512));
    Updater updater(environment(2), {release, "1"});
    QVERIFY2(!updater.waitForLine("summary: ").isEmpty(), qPrintable(updater.lines.join('\n')));
    QCOMPARE(updater.lines.filter("status: ").last(), QString("status: Update failed (119)"));
    QVERIFY(updater.lines.filter("Retry: 2").isEmpty());
    QVERIFY2(updater.lines.filter("info: ").last().contains("The release does not fit this calculator's disk."),
             qPrintable(updater.lines.join('\n')));
    verifyNothingWritten(updater, 2);
}

void TestUpdaterSim::whatACalculatorsDiskTells()
{
    // The first calculator's disk has sectors of 4096 bytes: given up at once,
    // nothing written, its reason on the info line. The second's has no flush:
    // updated all the same. The log says what each disk told.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_FAULTS", "sector-size=4096@1,flush-error=unsupported@2");
    Updater updater(env, {release, "1", "--log", path("session.log")});
    QVERIFY2(!updater.waitForLine("summary: ").isEmpty(), qPrintable(updater.lines.join('\n')));
    QTRY_VERIFY_WITH_TIMEOUT(readAll(path("output/calculator-2.trace")).contains("end-session"), kWaitMs);
    updater.kill();
    verifyImages(release, 2, {1});
    QVERIFY(!readAll(path("output/calculator-1.trace")).contains("write "));
    QCOMPARE(updater.lines.filter("status: ").last(), QString("status: Update failed (121)"));
    QCOMPARE(updater.lines.filter("calculator: TAVIX0000001: "),
             QStringList({"calculator: TAVIX0000001: waiting", "calculator: TAVIX0000001: file 1 of 3: 0%",
                          "calculator: TAVIX0000001: given up (121)"}));
    QVERIFY(updater.lines.filter("info: ").last().contains("does not have sectors of 512 bytes"));
    const QByteArray log = readAll(path("session.log"));
    QVERIFY2(log.contains("  TAVIX0000001: 121 (its disk has sectors of 4096 bytes)") &&
                 log.contains("  TAVIX0000002: the flush is not supported (system error "),
             log.constData());
}

// Once the session has ended (the calculators are saved then), the copy is
// stopped: no calculator's trace holds a data write.
void TestUpdaterSim::verifyNothingWritten(Updater &updater, int calculators)
{
    QTRY_VERIFY_WITH_TIMEOUT(readAll(path("output/calculator-%1.trace").arg(calculators)).contains("end-session"),
                             kWaitMs);
    updater.kill();
    for (int calculator = 1; calculator <= calculators; ++calculator) {
        const QString trace = QString::fromUtf8(readAll(path("output/calculator-%1.trace").arg(calculator)));
        QVERIFY2(!trace.contains("write "), qPrintable(trace));
    }
}

void TestUpdaterSim::cartOfCalculators_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("faults");
    QTest::addColumn<QString>("serial");   // TAVIX_SIM_SERIAL: one serial for the whole batch
    QTest::addColumn<QList<int>>("givenUp"); // from 1
    QTest::newRow("three, the second failing every write") << 3 << "fail-writes=all@2" << "" << QList<int>{2};
    QTest::newRow("twenty") << 20 << "" << "" << QList<int>{};
    QTest::newRow("two of one serial, the second failing") << 2 << "fail-writes=all@2" << "XQ42" << QList<int>{2};
}

// The default session takes the calculators found at its start: the cart
// unplugs each 100 ms after its end of session and plugs in the next, which
// this session need not take (a station would).
void TestUpdaterSim::aCartSwapsCalculatorsWhoseSessionEnded()
{
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = cartEnvironment("total=3,ports=2,swap-ms=100");
    Updater updater(env, {release, "1"});
    const bool ended = updater.finish();
    const QString echoed = updater.lines.join('\n');
    QVERIFY2(ended && updater.process.exitCode() == 0, qPrintable(echoed));
    QVERIFY2(updater.lines.contains("summary: Updated 2 of 2 calculators"), qPrintable(echoed));
    for (int calculator = 1; calculator <= 3; ++calculator) {
        const QByteArray image = readAll(path("output/calculator-%1.img").arg(calculator));
        QCOMPARE(image.size(), 8 << 20);
        const QByteArray first = readAll(release + '/' + kRelease[0].name);
        QVERIFY(calculator == 3 || image.mid(kRelease[0].diskOffset, first.size()) == first); // 3: plugged in
    }
    const QString trace = QString::fromUtf8(readAll(path("output/calculator-1.trace")));
    QVERIFY2(trace.endsWith("end-session\nunplugged\n"), qPrintable(trace));
}

void TestUpdaterSim::aStationServesAWholeCart()
{
    // --station on a cart of thirty through ten ports, each calculator pulled
    // out 2 s after its end of session, or after the window showed it given
    // up; the 5th, 14th and 23rd plugged in fail every write. Each healthy
    // one ends with the release and nothing else is written; the report has
    // a line per visit; the tally counts all thirty; the program is still
    // running when the cart is through, until it is closed, and its exit
    // code says some were given up.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = cartEnvironment("total=30,ports=10,swap-ms=2000");
    env.insert("TAVIX_SIM_FAULTS", "fail-writes=all@5,fail-writes=all@14,fail-writes=all@23");
    env.insert("TAVIX_SIM_CLOSE_ON", "cart: 30 served");
    const QString report = path("report.csv");
    Updater updater(env, {release, "1", "--station", "--report", report});
    QVERIFY2(!updater.waitForLine("cart: 30 served").isEmpty(), qPrintable(updater.lines.join('\n')));
    QVERIFY(updater.finish());
    const QString echoed = updater.lines.join('\n');
    QVERIFY2(updater.process.exitCode() == 1 && updater.lines.filter("status: Done").isEmpty(), qPrintable(echoed));
    QCOMPARE(updater.lines.filter("tally: ").last(), QString("tally: Updated 27 \u00b7 given up 3 \u00b7 being written 0"));
    QCOMPARE(updater.lines.filter(QRegularExpression(": updated: unplug it$")).size(), 27);
    verifyImages(release, 30, {5, 14, 23});
    QList<QStringList> expected;
    for (int k = 1; k <= 30; ++k) {
        const QString identity = QString("TAVIX%1").arg(k, 7, 10, QChar('0'));
        expected << (k == 5 || k == 14 || k == 23 ? givenUpLine(identity) : updatedLine(identity));
    }
    verifyReport(report, release, expected);
}

void TestUpdaterSim::cartOfCalculators()
{
    // Every healthy calculator ends with the whole release byte for byte,
    // whatever the others do; the session ends "Done" (and the program with
    // 0) only when every one holds it, otherwise in the final failure with
    // the window left open. The report names the given-up calculators alone.
    QFETCH(int, count);
    QFETCH(QString, faults);
    QFETCH(QString, serial);
    QFETCH(QList<int>, givenUp);
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = environment(count);
    if (!faults.isEmpty())
        env.insert("TAVIX_SIM_FAULTS", faults);
    if (!serial.isEmpty())
        env.insert("TAVIX_SIM_SERIAL", serial);
    const QString report = path("report.csv");
    const QString log = path("session.log");

    Updater updater(env, {release, "1", "--report", report, "--log", log});
    if (givenUp.isEmpty()) {
        QVERIFY2(updater.finish() && updater.process.exitCode() == 0, qPrintable(updater.lines.join('\n')));
    } else {
        QVERIFY2(!updater.waitForLine("summary: ").isEmpty(), qPrintable(updater.lines.join('\n')));
        // The report and the saved calculators follow the end of the session.
        const QString lastTrace = path("output/calculator-%1.trace").arg(count);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(report) && readAll(lastTrace).contains("end-session"), kWaitMs);
        updater.kill();
    }
    const QString echoed = updater.lines.join('\n');
    const QStringList statuses = updater.lines.filter(QRegularExpression("^status: "));
    QVERIFY2(!statuses.isEmpty(), qPrintable(echoed));
    QCOMPARE(statuses.last(), QString(givenUp.isEmpty() ? "status: Done" : "status: Update failed (112)"));
    QCOMPARE(updater.lines.filter("summary: "),
             QStringList{QString("summary: Updated %1 of %2 calculators").arg(count - givenUp.size()).arg(count)});
    verifyImages(release, count, givenUp);

    QList<QStringList> expected;
    for (int calculator = 1; calculator <= count; ++calculator) {
        const QString identity = serial.isEmpty() ? QString("TAVIX%1").arg(calculator, 7, 10, QChar('0'))
                                                  : QString("%1&%2").arg(serial).arg(calculator);
        expected << (givenUp.contains(calculator) ? givenUpLine(identity) : updatedLine(identity));
        verifyLogNames(log, identity, givenUp.contains(calculator));
    }
    verifyReport(report, release, expected);
    // The log's window lines are what the window echoed, but the bar's steps.
    QStringList shown, logged;
    for (const QString &line : updater.lines)
        if (!QRegularExpression("^progress: \\d+$").match(line).hasMatch())
            shown << line;
    for (const QString &line : QString::fromUtf8(readAll(log)).split('\n', Qt::SkipEmptyParts)) {
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  \\s*\\S").match(line).hasMatch(),
                 qPrintable(line));
        if (line.mid(25).startsWith("window: "))
            logged << line.mid(25 + 8);
    }
    QCOMPARE(logged, shown.mid(0, logged.size()));
    QVERIFY(logged.size() >= shown.size() - 1); // the echo may be ahead by the last line
}


void TestUpdaterSim::aStalledCalculatorHoldsOnlyItself()
{
    // The second of four calculators stops answering 20000 bytes into its
    // first file, for 60 s: the other three are updated long before its
    // write returns, its row says so, and the log names it. Then it is
    // updated too, and the session is "Done".
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = environment(4);
    env.insert("TAVIX_SIM_FAULTS", "stall-after=20000@2,stall-ms=60000@2");
    const QString log = path("session.log");
    Updater updater(env, {release, "1", "--log", log});
    QVERIFY2(updater.finish() && updater.process.exitCode() == 0, qPrintable(updater.lines.join('\n')));
    const QString echoed = updater.lines.join('\n');
    const QString stalled = "calculator: TAVIX0000002: ";
    // Its row counts the silence from 10 s on; 40 s of it is well before the write returns.
    const int silent = updater.lines.indexOf(QRegularExpression("^" + stalled + "not answering for 1\\d s$"));
    const int longSilent = updater.lines.indexOf(QRegularExpression("^" + stalled + "not answering for [45]\\d s$"));
    QVERIFY2(silent > 0 && longSilent > silent, qPrintable(echoed));
    for (const int other : {1, 3, 4}) {
        const int updated = updater.lines.indexOf(QString("calculator: TAVIX%1: updated").arg(other, 7, 10, QChar('0')));
        QVERIFY2(updated > 0 && updated < longSilent, qPrintable(echoed));
    }
    QVERIFY2(updater.lines.indexOf(stalled + "updated") > longSilent, qPrintable(echoed));
    QCOMPARE(updater.lines.filter("status: ").last(), QString("status: Done"));
    verifyImages(release, 4);
    const QString logged = QString::fromUtf8(readAll(log));
    QVERIFY2(logged.contains(QRegularExpression("calculator TAVIX0000002 not answering for 1\\d s")), qPrintable(logged));
}

void TestUpdaterSim::aWriteThatNeverReturnsDoesNotHoldTheProgram()
{
    // The second calculator is unplugged in the middle of a write that then
    // hangs for 600 s (60 s here): it is let go, given up, and the program
    // ends as soon as the window is closed, without waiting for that write.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_FAULTS", "unplug-after=20000@2,stall-after=20000@2,stall-ms=600000@2");
    env.insert("TAVIX_SIM_CLOSE_ON", "summary: ");
    const QString log = path("session.log");
    QElapsedTimer timer;
    timer.start();
    Updater updater(env, {release, "1", "--log", log});
    const bool ended = updater.finish();
    const QString echoed = updater.lines.join('\n');
    QVERIFY2(ended && updater.process.exitCode() == 1, qPrintable(echoed));
    QVERIFY2(timer.elapsed() < 45000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(updater.lines.filter("summary: "), QStringList{"summary: Updated 1 of 2 calculators"});
    verifyImages(release, 2, {2});
    const QString logged = QString::fromUtf8(readAll(log));
    QVERIFY2(logged.contains("calculator TAVIX0000002 unplugged while its write did not return: let go"), qPrintable(logged));
}

void TestUpdaterSim::folderAndLanguage_data()
{
    QTest::addColumn<QStringList>("arguments");  // $RELEASE: tmp/release
    QTest::addColumn<bool>("settings");          // WorkFolder tmp/work (in backslashes), Language 4
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("firmwareFolder"); // where the release is found; empty: nowhere
    QTest::addColumn<QString>("status");         // how the first status line starts

    const QString release = QStringLiteral("$RELEASE");
    QTest::newRow("folder and German") << QStringList{release, "4"} << true << "C.UTF-8" << "release"
                                       << "status: Warte auf Verbindung";
    QTest::newRow("folder and English, settings not read")
        << QStringList{release, "1"} << true << "C.UTF-8" << "release" << "status: Waiting for connection";
    QTest::newRow("a folder alone (dropped on the program): the settings' language")
        << QStringList{release} << true << "C.UTF-8" << "release" << "status: Warte auf Verbindung";
    QTest::newRow("empty folder: the settings decide")
        << QStringList{QString(), "1"} << true << "C.UTF-8" << "work/Firmware" << "status: Warte auf Verbindung";
    QTest::newRow("no settings: documents folder, locale's language")
        << QStringList() << false << "de_DE.UTF-8" << "home/Documents/XQ Tarnlink/Firmware"
        << "status: Warte auf Verbindung";
    // The settings name an older release: a folder named on the command line
    // is that folder or nothing, never the settings' release.
    QTest::newRow("missing folder") << QStringList{"$RELEASE/missing", "1"} << true << "C.UTF-8" << QString()
                                    << "status: No updates are available";
    QTest::newRow("missing folder alone") << QStringList{"$RELEASE/missing"} << true << "C.UTF-8" << QString()
                                          << "status: Keine Updates";
    QTest::newRow("a file as the folder") << QStringList{"$RELEASE/APPSDISK.DAT", "1"} << true << "C.UTF-8"
                                          << QString() << "status: No updates are available";
}

void TestUpdaterSim::folderAndLanguage()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, settings);
    QFETCH(QString, locale);
    QFETCH(QString, firmwareFolder);
    QFETCH(QString, status);

    QVERIFY(copyRelease(path("release")));
    if (!firmwareFolder.isEmpty() && firmwareFolder != "release")
        QVERIFY(copyRelease(path(firmwareFolder)));
    if (settings && firmwareFolder != "work/Firmware")
        QVERIFY(copyRelease(path("work/Firmware"))); // the settings' release, ready to be taken
    if (settings) {
        // Written as the suite on Windows would have it: a path in backslashes.
        QSettings store(path("config/XQ/XQ Tarnlink.conf"), QSettings::IniFormat);
        store.setValue("WorkFolder", path("work").replace('/', '\\'));
        store.setValue("Language", 4);
        store.sync();
        QCOMPARE(store.status(), QSettings::NoError);
    }
    for (QString &argument : arguments)
        argument.replace("$RELEASE", path("release"));
    QProcessEnvironment env = environment(0);
    env.insert("LC_ALL", locale);

    Updater updater(env, arguments);
    QString line;
    do
        line = updater.waitForLine("status: ");
    while (line == "status: " && updater.lines.removeOne(line)); // the cleared line says nothing
    const QString echoed = updater.lines.join('\n');
    QVERIFY2(line.startsWith(status), qPrintable(echoed));
    // The window stays open: without calculators nothing ends the session.
    QCOMPARE(updater.process.state(), QProcess::Running);

    if (firmwareFolder.isEmpty()) {
        QCOMPARE(updater.lines.filter(QRegularExpression("^file: .")).size(), 0);
        return;
    }
    QString file = updater.waitForLine("file: ").mid(6);
    file.replace('\\', '/');
    QVERIFY2(file.startsWith(path(firmwareFolder) + '/'), qPrintable(echoed));
    QVERIFY2(QFileInfo(file).isFile(), qPrintable(file));
}

void TestUpdaterSim::secondCopyLeavesAtOnce()
{
    const QProcessEnvironment env = environment(0);
    const QStringList arguments{path("missing"), "1"};

    Updater first(env, arguments);
    QVERIFY(!first.waitForLine("status: No updates are available").isEmpty());

    // The second says why nothing else happens, at once (a copy with its
    // window open is not waited for), and the first's window comes to the
    // front (the user was looking for it).
    QElapsedTimer started;
    started.start();
    Updater second(env, arguments);
    QVERIFY(second.finish());
    QVERIFY2(started.elapsed() < 8000, qPrintable(QString::number(started.elapsed())));
    QCOMPARE(second.process.exitCode(), 0);
    QCOMPARE(second.process.readAllStandardError(),
             QByteArray("tavix-updater-sim: another copy of the updater is running\n"));
    QCOMPARE(second.lines, QStringList());
    QCOMPARE(first.waitForLine("window: "), QString("window: raised"));
    QCOMPARE(first.process.state(), QProcess::Running);

    // A copy that dies leaves its guard behind; the next start must not take
    // it for a running copy.
    first.kill();
    Updater third(env, arguments);
    QVERIFY2(!third.waitForLine("status: No updates are available").isEmpty(),
             qPrintable(third.process.readAllStandardError()));
}

void TestUpdaterSim::unusableCommandLineStartsNothing()
{
    // A mistyped option, a word too many, or outputs that would touch the
    // release or each other: the reason (and for the words the usage), exit
    // code 2, no window, no calculator touched, and the release as it was.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    QVERIFY(QFile::link(release, path("link")));
    const QString native = QDir::toNativeSeparators(release);
    const QList<QPair<QStringList, QString>> cases{
        {{release, "--reprot", path("x.csv")}, "unknown option '--reprot'\nUsage: tavix-updater-sim"},
        {{release, "1", "extra"}, "too many arguments: at most a folder and a language\nUsage: tavix-updater-sim"},
        {{release, "--station", "--station=1"}, "unknown option '--station=1'\nUsage: tavix-updater-sim"},
        {{release, "1", "--report", release + "/APPSDISK.DAT"},
         "--report " + native + "/APPSDISK.DAT is in the release folder " + native},
        {{release, "1", "--log", path("link/MASTER.DAT")}, "--log " + path("link/MASTER.DAT") + " is in the release folder"},
        {{release, "1", "--report", path("r.csv"), "--log", path("link/../r.csv")},
         "--report and --log name the same file, " + path("r.csv")},
    };
    for (const auto &[arguments, reason] : cases) {
        Updater updater(environment(2), arguments);
        QVERIFY(updater.finish());
        const QString errors = QString::fromLocal8Bit(updater.process.readAllStandardError());
        QCOMPARE(updater.process.exitCode(), 2);
        QVERIFY2(errors.startsWith("tavix-updater-sim: " + reason), qPrintable(errors));
        QCOMPARE(updater.lines, QStringList());
        QVERIFY(!QFileInfo::exists(path("output")));
        for (const ReleaseFile &file : kRelease)
            QVERIFY(readAll(release + '/' + file.name) == readAll(kSampleRelease + '/' + file.name));
    }
}

void TestUpdaterSim::aRecordNotWrittenIsAFailure()
{
    // Every calculator holds the release, but the report the person asked
    // for is lost: the exit code says so.
    if (!QFileInfo::exists("/dev/full"))
        QSKIP("no /dev/full here");
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    Updater updater(environment(1), {release, "1", "--report", "/dev/full"});
    QVERIFY(updater.finish());
    QVERIFY2(updater.lines.contains("status: Done"), qPrintable(updater.lines.join('\n')));
    QCOMPARE(updater.process.exitCode(), 5);
    QCOMPARE(QString::fromLocal8Bit(updater.process.readAllStandardError())
                 .count("cannot write the report /dev/full: No space left on device\n"),
             1);
    verifyImages(release, 1);

    // A log that cannot be opened, or a report of another kind (an older
    // updater's), is said at once, nothing is sent, and the file stays as
    // it was.
    const QString older = path("older.csv");
    const QByteArray olderText = "calculator,outcome,files held,last code,seconds\r\nTAVIX0000001,updated,3,0,2.3\r\n";
    QFile olderFile(older);
    QVERIFY(olderFile.open(QIODevice::WriteOnly) && olderFile.write(olderText) == olderText.size());
    olderFile.close();
    const struct {
        QString option, file, reason;
    } records[] = {
        {"--log", path("missing/session.log"), "No such file or directory"},
        {"--report", older, "its first line is not this updater's report header"},
    };
    for (const auto &record : records) {
        Updater refused(environment(1), {release, "1", record.option, record.file});
        const QString said = record.option + ' ' + record.file + ": " + record.reason;
        QCOMPARE(refused.waitForLine("info: "), "info: The record cannot be written: " + said);
        QVERIFY(refused.lines.filter("file: ").isEmpty());
        refused.kill();
        QVERIFY(QString::fromLocal8Bit(refused.process.readAllStandardError()).contains(said));
    }
    QCOMPARE(readAll(older), olderText);
}

// The report read with a reader of the format's own rules: the header once,
// first, then exactly the `expected` lines in any order (each its
// calculator, outcome, files held, last code and reason), every one written
// during this case on this machine for the release in `release`.
void TestUpdaterSim::verifyReport(const QString &report, const QString &release, QList<QStringList> expected)
{
    const QList<QStringList> records = testsupport::readCsv(readAll(report));
    const QStringList header{"calculator", "outcome", "files held", "last code", "seconds",
                             "time",       "computer", "release",   "release sha256", "reason"};
    QVERIFY2(!records.isEmpty() && records.first() == header && records.count(header) == 1,
             readAll(report).constData());
    QByteArray files;
    for (const ReleaseFile &file : kRelease)
        files += readAll(release + '/' + file.name);
    const QString digest = QCryptographicHash::hash(files, QCryptographicHash::Sha256).toHex().left(12);
    QList<QStringList> found;
    for (const QStringList &fields : records.mid(1)) {
        QVERIFY2(fields.size() == header.size(), qPrintable(fields.join('|')));
        const QDateTime time = QDateTime::fromString(fields[5], Qt::ISODate);
        QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$")
                         .match(fields[5])
                         .hasMatch() &&
                     time >= started.addSecs(-1) && time <= QDateTime::currentDateTime().addSecs(1),
                 qPrintable(fields[5]));
        QVERIFY2(QRegularExpression("^\\d+\\.\\d$").match(fields[4]).hasMatch(), qPrintable(fields[4]));
        QCOMPARE(fields.mid(6, 3), (QStringList{QSysInfo::machineHostName(), QFileInfo(release).fileName(), digest}));
        found << QStringList{fields.mid(0, 4) + fields.mid(9)};
    }
    std::sort(found.begin(), found.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(found, expected);
}

void TestUpdaterSim::reportLinesAccumulate()
{
    // Two batches of a cart, one after the other, into one report: the
    // first in German, with a calculator given up (its reason in English
    // all the same), the second the one calculator of the next batch.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    const QString report = path("cart.csv");
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_FAULTS", "fail-writes=all@2");
    Updater first(env, {release, "4", "--report", report});
    QVERIFY2(!first.waitForLine("summary: ").isEmpty(), qPrintable(first.lines.join('\n')));
    // The calculators are saved once the session's last lines are written.
    QTRY_VERIFY_WITH_TIMEOUT(readAll(path("output/calculator-2.trace")).contains("end-session"), kWaitMs);
    first.kill();

    Updater second(environment(1), {release, "1", "--report", report});
    QVERIFY(second.finish());
    QCOMPARE(second.process.exitCode(), 0);
    verifyReport(report, release,
                 {updatedLine("TAVIX0000001"), givenUpLine("TAVIX0000002"), updatedLine("TAVIX0000001")});
}

void TestUpdaterSim::twoCopiesAppendToOneReport()
{
    // Two copies (each its own guard and calculators) write their carts into
    // one new report at the same moment: every line whole, the header once.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    const QString report = path("shared.csv");
    QList<QStringList> expected;
    std::vector<std::unique_ptr<Updater>> copies;
    for (const QString serial : {"XQA", "XQB"}) {
        QProcessEnvironment env = environment(8);
        env.insert("TAVIX_SIM_SERIAL", serial);
        env.insert("TAVIX_SIM_INSTANCE", instanceName() + '-' + serial);
        env.insert("TAVIX_SIM_OUTPUT", path("output-" + serial));
        copies.push_back(std::make_unique<Updater>(env, QStringList{release, "1", "--report", report}));
        for (int calculator = 1; calculator <= 8; ++calculator)
            expected << updatedLine(QString("%1&%2").arg(serial).arg(calculator));
    }
    for (const auto &copy : copies) {
        QVERIFY2(copy->finish(), qPrintable(copy->lines.join('\n')));
        QCOMPARE(copy->process.exitCode(), 0);
    }
    verifyReport(report, release, expected);
}

void TestUpdaterSim::aKilledSessionKeepsItsReportLines()
{
    // The first calculator is updated while the second still fails and is
    // tried again: the copy is killed then, before the session ends, and
    // the first calculator's line is in the report.
    const QString release = path("release");
    QVERIFY(copyRelease(release));
    const QString report = path("report.csv");
    QProcessEnvironment env = environment(2);
    env.insert("TAVIX_SIM_FAULTS", "fail-writes=all@2");
    Updater updater(env, {release, "1", "--report", report});
    QVERIFY2(!updater.waitForLine("calculator: TAVIX0000001: updated").isEmpty(), qPrintable(updater.lines.join('\n')));
    updater.kill();
    updater.finish();
    QVERIFY2(updater.lines.filter("summary: ").isEmpty(), qPrintable(updater.lines.join('\n')));
    verifyReport(report, release, {updatedLine("TAVIX0000001")});
}

void TestUpdaterSim::aStartWaitsForACopyThatIsFinishing()
{
    // The suite holds the copy's guard as a copy does whose window has gone
    // while its end of session still goes out: a start waits for it, shows
    // nothing meanwhile, and runs once that copy has ended.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(path("runtime")));
    platform::InstanceLock *previous = nullptr;
    QCOMPARE(platform::takeInstanceLock(instanceName().toStdString(), &previous, nullptr),
             platform::InstanceLockStatus::Taken);
    platform::setInstanceState(previous, platform::InstanceState::Finishing);
    Updater waiting(environment(0), {path("missing"), "1"});
    const bool endedEarly = waiting.process.waitForFinished(2000);
    const QByteArray shownEarly = waiting.process.readAllStandardOutput() + waiting.process.readAllStandardError();
    platform::releaseInstanceLock(previous);
    QVERIFY2(!endedEarly && shownEarly.isEmpty(), shownEarly.constData());
    QVERIFY2(!waiting.waitForLine("status: No updates are available").isEmpty(),
             qPrintable(waiting.process.readAllStandardError()));
}

// A single --help or --version prints its text and ends with 0: no display
// is needed (none is given), no window opens and no calculator is touched.
void TestUpdaterSim::helpAndVersionOpenNoWindow()
{
    QProcessEnvironment env = environment(1);
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    for (const QString &option : {QStringLiteral("--help"), QStringLiteral("-h"), QStringLiteral("--version")}) {
        Updater updater(env, {option});
        QVERIFY(updater.finish());
        QCOMPARE(updater.process.exitCode(), 0);
        const QString text = updater.lines.join('\n');
        if (option != "--version")
            QVERIFY2(text.startsWith("Usage: tavix-updater-sim [FOLDER [LANGUAGE]]"), qPrintable(text));
        else
            QVERIFY2(QRegularExpression("^tavix-updater-sim \\d+\\.\\d+").match(text).hasMatch(), qPrintable(text));
        QVERIFY2(!text.contains("status:") && !text.contains("button:"), qPrintable(text));
    }
    // Nothing was attached to be saved: the session never started.
    QVERIFY(!QFileInfo::exists(path("output") + "/calculator-1.img"));
}

QTEST_GUILESS_MAIN(TestUpdaterSim)
#include "test_updater_sim.moc"
