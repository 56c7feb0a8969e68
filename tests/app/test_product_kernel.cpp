// tavix-updater, the program users start, through the kernel: simulated
// calculators behind real loop devices (tavix-calcfs), named in a fake /sys
// that is bound over the real one in the program's own mount namespace. The
// program is run unchanged; what it shows is followed through its echo
// (TAVIX_ECHO_DISPLAY=1) and what it did through the calculators' images and
// traces. Every case also has disks that are not calculators beside them
// (a SATA disk, a USB stick of another vendor), which must stay untouched,
// and leaves no process, mount or loop device behind.
#include "support/kernel_calculators.h"
#include "support/release_layout.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

using testsupport::KernelCalculators;
using testsupport::ProgramRun;

namespace {

const QString kUpdater = QStringLiteral(TAVIX_UPDATER);
const QString kSampleRelease = QStringLiteral(TAVIX_SAMPLE_RELEASE);
const QStringList kOtherDisks{"sata", "usb:Kingston:DataTraveler"};
// A session takes about ten seconds (six of countdown, three from "Done" to
// the end); a sanitizer build on a busy machine never comes near this.
constexpr int kRunMs = 180000;
constexpr unsigned kNobody = 65534;

using testsupport::ReleaseFile;
const auto &kRelease = testsupport::kLegacyRelease;

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList traceOf(const QString &path)
{
    return QString::fromUtf8(readAll(path)).split('\n', Qt::SkipEmptyParts);
}

QProcessEnvironment calculators(int count, const QString &faults = QString(), qint64 bytesPerSecond = 0)
{
    QProcessEnvironment env;
    env.insert("TAVIX_SIM_CALCULATORS", QString::number(count));
    if (!faults.isEmpty())
        env.insert("TAVIX_SIM_FAULTS", faults);
    if (bytesPerSecond > 0)
        env.insert("TAVIX_SIM_BYTES_PER_SEC", QString::number(bytesPerSecond));
    return env;
}

// What every case checks after the box has stopped: each calculator holds
// the release in `folder` byte for byte at its offsets and saw a whole
// session (an opening read first, the end of the session last); every other
// disk is unchanged (all zero, no write in its trace).
void checkDisks(const KernelCalculators &box, const QString &folder, int calculatorCount, int lacking = 0)
{
    for (int n = 1; n <= calculatorCount; ++n) {
        if (n == lacking) // the one calculator that is not updated
            continue;
        const QString base = box.output() + QString("/calculator-%1").arg(n);
        const QByteArray image = readAll(base + ".img");
        QVERIFY2(!image.isEmpty(), qPrintable(base + ".img was not saved"));
        for (const ReleaseFile &file : kRelease) {
            const QByteArray expected = readAll(folder + '/' + file.name);
            QVERIFY2(image.mid(file.diskOffset, expected.size()) == expected,
                     qPrintable(QString("calculator %1 does not hold %2").arg(n).arg(file.name)));
        }
        const QStringList trace = traceOf(base + ".trace");
        QVERIFY(!trace.isEmpty());
        QCOMPARE(trace.first(), QString("opening-read"));
        QCOMPARE(trace.last(), QString("end-session"));
        QCOMPARE(trace.count("end-session"), 1);
    }
    for (int n = 1; n <= kOtherDisks.size(); ++n) {
        const QString base = box.output() + QString("/other-%1").arg(n);
        const QByteArray image = readAll(base + ".img");
        QVERIFY2(!image.isEmpty() && image.count('\0') == image.size(),
                 qPrintable(QString("disk %1 that is no calculator was changed").arg(base)));
        for (const QString &line : traceOf(base + ".trace"))
            QVERIFY2(!line.startsWith("write") && !line.contains("session") && !line.contains("progress"),
                     qPrintable(base + ": " + line));
    }
}

// A release of bigger files, for the speed case.
bool writeBigRelease(const QString &folder, qint64 appBytes)
{
    const qint64 sizes[] = {appBytes, 1 << 20, 2 << 20};
    QRandomGenerator random(7);
    for (int i = 0; i < 3; ++i) {
        QByteArray bytes(int(sizes[i]), Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
        QFile file(folder + '/' + kRelease[i].name);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

} // namespace

class TestProductKernel : public QObject {
    Q_OBJECT

    std::unique_ptr<KernelCalculators> box;

    // Starts the box; false (with box->error()) when it does not come up.
    bool startBox(const QProcessEnvironment &environment)
    {
        box.reset(new KernelCalculators);
        return box->start(environment, kOtherDisks);
    }

    ProgramRun runUpdater(const QString &folder)
    {
        return box->runWithTree(kUpdater, {folder, "1"}, kRunMs);
    }

    static QString describe(const ProgramRun &run)
    {
        return QString("exit %1 after %2 ms; shown: %3; errors: %4")
            .arg(run.exitCode)
            .arg(run.elapsedMs)
            .arg(run.output.join(" | "))
            .arg(run.errors.right(600));
    }

private slots:
    void initTestCase()
    {
        QString missing = KernelCalculators::missingPrerequisite();
        if (missing.isEmpty()) {
            // Everything is there; whether the machine lets it mount and
            // attach is seen by trying once.
            KernelCalculators probe;
            if (!probe.start(calculators(1)) && probe.machineRefused())
                missing = probe.error();
        }
        if (!missing.isEmpty())
            QSKIP(qPrintable("the kernel path cannot run here: " + missing));
    }

    void cleanup()
    {
        if (!box)
            return;
        box->stop();
        const QString left = box->leftovers();
        box.reset();
        QVERIFY2(left.isEmpty(), qPrintable("left behind: " + left));
    }

    void sampleRelease_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("one calculator") << 1;
        QTest::newRow("two calculators") << 2;
    }
    void sampleRelease()
    {
        QFETCH(int, count);
        QVERIFY2(startBox(calculators(count)), qPrintable(box ? box->error() : QString()));
        QCOMPARE(box->disks().size(), count + kOtherDisks.size());
        const ProgramRun run = runUpdater(kSampleRelease);
        QVERIFY2(run.finished && run.exitCode == 0 && run.output.contains("status: Done"), qPrintable(describe(run)));
        QVERIFY2(!run.output.join('\n').contains("failed"), qPrintable(describe(run)));
        QVERIFY(box->stop());
        checkDisks(*box, kSampleRelease, count);
        // The whole conversation, each progress report accepted at the first try.
        for (int n = 1; n <= count; ++n) {
            const QStringList trace = traceOf(box->output() + QString("/calculator-%1.trace").arg(n));
            QCOMPARE(trace.count("opening-read"), 4); // three files and the end of the session
            QCOMPARE(trace.count("closing-read"), 3);
            QCOMPARE(trace.count("progress 100"), 3);
            for (const QString &line : trace)
                QVERIFY2(!line.startsWith("refused"), qPrintable(line));
        }
    }

    // Unplugged after 20 KiB of the first file, back four seconds later: the
    // retries are shown, the session then succeeds, and nothing went anywhere
    // else.
    void unplugInTheMiddle()
    {
        QVERIFY2(startBox(calculators(1, "unplug-after=20480,replug-after=4000")), qPrintable(box->error()));
        const ProgramRun run = runUpdater(kSampleRelease);
        QVERIFY2(run.finished && run.exitCode == 0, qPrintable(describe(run)));
        const qint64 retry = run.msOf("status: Update failed (");
        QVERIFY2(retry >= 0 && run.output.filter(", Retry: 1").size() == 1, qPrintable(describe(run)));
        QVERIFY2(run.msOf("status: Done") > retry, qPrintable(describe(run)));
        QVERIFY(box->stop());
        checkDisks(*box, kSampleRelease, 1);
        const QStringList trace = traceOf(box->output() + "/calculator-1.trace");
        QVERIFY(trace.contains("unplugged"));
        QVERIFY(trace.contains("replugged"));
    }

    // Two calculators; the first unplugged for good 20 KiB into the first
    // file. The second goes on and ends with the whole release; the first is
    // given up, and the window stays with the final failure.
    void oneUnpluggedForGood()
    {
        QVERIFY2(startBox(calculators(2, "unplug-after=20480@1")), qPrintable(box->error()));
        const QString finalFailure("^status: Update failed \\(\\d+\\)$");
        QTemporaryDir logFolder;
        QVERIFY(logFolder.isValid());
        const QString log = logFolder.filePath("session.log");
        const ProgramRun run =
            box->runWithTree(kUpdater, {kSampleRelease, "1", "--log", log}, kRunMs, 0, finalFailure);
        const QStringList statuses = run.output.filter(QRegularExpression(finalFailure));
        QVERIFY2(run.finished && !statuses.isEmpty() && !run.output.contains("status: Done"), qPrintable(describe(run)));
        // The log says which calculator went, and which other disks of the
        // machine (a SATA disk, a USB stick) were not taken, and why.
        QFile logFile(log);
        QVERIFY(logFile.open(QIODevice::ReadOnly));
        const QString logged = QString::fromUtf8(logFile.readAll());
        QVERIFY2(logged.contains(QRegularExpression("  calculator \\S+ lost\\n")), qPrintable(logged));
        QVERIFY2(logged.contains(QRegularExpression("  disk loop\\d+ not taken: not on USB \\(SATA, SAS\\)\\n")) &&
                     logged.contains(QRegularExpression("  disk loop\\d+ not taken: other vendor or model")),
                 qPrintable(logged.right(800)));
        QVERIFY(box->stop());
        checkDisks(*box, kSampleRelease, 2, 1);
    }

    // Two calculators, the first's disk 5 MiB: the application image's place
    // is its very end. The product refuses it before any write (119, at once,
    // no retries) and updates the second.
    void aDiskTooSmallIsRefusedUntouched()
    {
        QVERIFY2(startBox(calculators(2, "disk-mib=5@1")), qPrintable(box->error()));
        const QString finalFailure("^status: Update failed \\(119\\)$");
        const ProgramRun run = box->runWithTree(kUpdater, {kSampleRelease, "1"}, kRunMs, 0, finalFailure);
        QVERIFY2(run.finished && !run.output.filter(QRegularExpression(finalFailure)).isEmpty() &&
                     run.output.filter("Retry: 2").isEmpty(),
                 qPrintable(describe(run)));
        QVERIFY(box->stop());
        checkDisks(*box, kSampleRelease, 2, 1);
        QVERIFY(traceOf(box->output() + "/calculator-1.trace").filter(QRegularExpression("^write ")).isEmpty());
    }

    // Five seconds without an answer in the middle of a write, then on: the
    // update finishes with no retry and no failure shown.
    void stallInTheMiddle()
    {
        QVERIFY2(startBox(calculators(1, "stall-after=32768,stall-ms=5000")), qPrintable(box->error()));
        const ProgramRun run = runUpdater(kSampleRelease);
        QVERIFY2(run.finished && run.exitCode == 0 && run.output.contains("status: Done"), qPrintable(describe(run)));
        QVERIFY2(!run.output.join('\n').contains("failed"), qPrintable(describe(run)));
        QVERIFY(box->stop());
        checkDisks(*box, kSampleRelease, 1);
        QVERIFY(traceOf(box->output() + "/calculator-1.trace").contains("stall 5000"));
    }

    // Calculators at USB 2.0 speed (20 MB/s each) on a 43 MiB release, one
    // alone and then two: the transfer takes at least the device's time, and
    // two calculators take about as long as one (they are written at the same
    // time), not twice as long.
    void usb2Speed()
    {
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        const qint64 appBytes = 40 << 20;
        QVERIFY(writeBigRelease(folder.path(), appBytes));
        const qint64 releaseBytes = appBytes + (3 << 20);
        const qint64 bytesPerSecond = 20000000;
        qint64 transferMs[3] = {0, 0, 0}; // by the number of calculators
        for (int count = 1; count <= 2; ++count) {
            QVERIFY2(startBox(calculators(count, QString(), bytesPerSecond)), qPrintable(box->error()));
            const ProgramRun run = runUpdater(folder.path());
            QVERIFY2(run.finished && run.exitCode == 0, qPrintable(describe(run)));
            // From the transfer's start (the button disabled) to "Done".
            const qint64 start = run.msOf("button: Start (disabled)");
            const qint64 done = run.msOf("status: Done");
            QVERIFY2(start >= 0 && done > start, qPrintable(describe(run)));
            transferMs[count] = done - start;
            QVERIFY(box->stop());
            checkDisks(*box, folder.path(), count);
            cleanup();
        }
        const qint64 deviceMs = releaseBytes * 1000 / bytesPerSecond;
        qInfo("transfer at 20 MB/s: %lld ms to one calculator, %lld ms to two (the device's time: %lld ms)",
              transferMs[1], transferMs[2], deviceMs);
        QVERIFY2(transferMs[1] >= deviceMs, qPrintable(QString("%1 ms: faster than the device").arg(transferMs[1])));
        QVERIFY2(transferMs[2] < transferMs[1] * 8 / 5,
                 qPrintable(QString("two calculators took %1 ms, one %2 ms: they took turns?")
                                .arg(transferMs[2]).arg(transferMs[1])));
    }

    // An ordinary user (nobody), given the access to the calculator's block
    // device that the udev rule's uaccess tag gives the person at the seat
    // (here as the owner of the node, restored afterwards): the product finds
    // the calculator and writes the release without root. Without that
    // access the window says why the calculator cannot be opened, and what
    // to do.
    void ordinaryUser_data()
    {
        QTest::addColumn<bool>("access");
        QTest::newRow("with the seat's access") << true;
        QTest::newRow("without access") << false;
    }
    void ordinaryUser()
    {
        QFETCH(bool, access);
        QVERIFY2(startBox(calculators(1)), qPrintable(box->error()));
        const QByteArray node = QFile::encodeName(box->disks().first().device);
        struct stat before;
        QVERIFY(::stat(node.constData(), &before) == 0);
        struct Restore {
            QByteArray node;
            struct stat st;
            ~Restore()
            {
                if (::chown(node.constData(), st.st_uid, st.st_gid) != 0)
                    qWarning("could not give %s back to its owner", node.constData());
            }
        } restore{node, before};
        if (access)
            QVERIFY(::chown(node.constData(), kNobody, kNobody) == 0);
        // The release where that user can read it.
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QVERIFY(QFile::setPermissions(folder.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                                         QFileDevice::ExeOther));
        for (const ReleaseFile &file : kRelease) {
            const QString copy = folder.path() + '/' + file.name;
            QVERIFY(QFile::copy(kSampleRelease + '/' + file.name, copy));
            QVERIFY(QFile::setPermissions(copy, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        }
        const QString noAccess("^info: The calculator could not be opened: this user may not write to it. "
                               "Install the updater's udev rule, or run the updater as root. \\(.+\\)$");
        const ProgramRun run =
            box->runWithTree(kUpdater, {folder.path(), "1"}, kRunMs, kNobody, access ? QString() : noAccess);
        if (!access) {
            QVERIFY2(run.finished && !run.output.filter(QRegularExpression(noAccess)).isEmpty() &&
                         run.output.contains("status: Update failed (107), Retry: 1"),
                     qPrintable(describe(run)));
            QVERIFY(box->stop());
            return;
        }
        QVERIFY2(run.finished && run.exitCode == 0 && run.output.contains("status: Done"), qPrintable(describe(run)));
        QVERIFY(box->stop());
        checkDisks(*box, folder.path(), 1);
    }

    // Killed outright, as a crash would end it: the kernel still detaches the
    // loop devices and the file system is unmounted.
    void killedLeavesNothing()
    {
        QVERIFY2(startBox(calculators(2)), qPrintable(box->error()));
        box->kill();
        const QString left = box->leftovers(10000);
        QVERIFY2(left.isEmpty(), qPrintable("left behind: " + left));
    }
};

QTEST_GUILESS_MAIN(TestProductKernel)
#include "test_product_kernel.moc"
