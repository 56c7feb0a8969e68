// The update window driven end to end: the real dialog, its worker on its own
// thread, the transfer engine and simulated calculators, on a clock that runs
// ten times as fast as real time. What the user sees is followed through the
// window's displayChanged reports ("status: ...", "button: ...") and checked
// against the bytes and the trace each calculator saw.
#include "emulator/cart.h"
#include "emulator/emulated_disk_system.h"
#include "support/calculator_fixtures.h"
#include "support/hooked_disk_system.h"
#include "support/nothing_cut.h"
#include "support/release_files.h"
#include "support/window_under_test.h"
#include "platform/clock.h"
#include "platform/disk_system.h"
#include "platform/elevation.h"
#include "platform/error_kind.h"
#include "app/single_instance.h"
#include "app/updater_main.h"
#include "session/session_rules.h"
#include "session/update_worker.h"
#include "ui/update_dialog.h"

#include <QtTest>
#include <QtWidgets>

#include <cerrno>
#include <functional>
#include <memory>
#include <thread>

using testsupport::fileBytes;
using testsupport::kLegacyRelease;
using testsupport::kSessionTimeoutMs;
using testsupport::ReleaseFile;
using testsupport::sizeOf;
using testsupport::traceOf;
using testsupport::writeRelease;

class TestUpdateDialog : public testsupport::WindowUnderTest {
    Q_OBJECT

    QTemporaryDir temp;
    QString releaseFolder;

    // A progress report strictly between 0 and 100.
    // Where a picture of the window goes: the screenshot folder, `name`,
    // the case's data tag and the phase, named for the display's scale
    // ("calculators-en-end@2x.png").
    static QString picturePath(const QString &name, const QString &phase)
    {
        const QString folder = QString::fromUtf8(TAVIX_SCREENSHOT_DIR);
        QDir().mkpath(folder);
        const qreal scale = qApp->devicePixelRatio();
        return folder + "/" + name + "-" + QString::fromLatin1(QTest::currentDataTag()) + "-" + phase +
               (scale == 1 ? QString(".png") : QString("@%1x.png").arg(scale));
    }
    static bool midTransfer(const QString &line)
    {
        if (!line.startsWith("progress: "))
            return false;
        bool number = false;
        const int percent = line.mid(10).toInt(&number);
        return number && percent > 0 && percent < 100;
    }

    // What a refused disk means: on Linux this user's access (the udev
    // rule, or root); on Windows an administrator's rights, or a policy.
    static QString refusedSentence()
    {
        return QSysInfo::productType() == "windows"
                   ? "The calculator could not be opened: Windows refused this user access to the calculator's "
                     "disk. Start the updater as administrator, or ask the IT administrator about the "
                     "removable-storage policy."
                   : "The calculator could not be opened: this user may not write to it. "
                     "Install the updater's udev rule, or run the updater as root.";
    }

    // `sentence` with the system's message for the simulated calculator's
    // errno after it, as the info line says it.
    static QString withSystemError(const QString &sentence, int error)
    {
        return sentence + " (" +
               QString::fromStdU16String(platform::errorText(platform::systemErrorFor(error))).trimmed() + ")";
    }

    void verifyHoldsRelease(const emulator::Calculator &calculator, const QString &folder)
    {
        for (const ReleaseFile &file : kLegacyRelease) {
            const QByteArray expected = fileBytes(QString::fromLatin1(file.name), sizeOf(file));
            const std::vector<std::uint8_t> onDisk = calculator.contents(std::uint64_t(file.diskOffset), std::size_t(sizeOf(file)));
            QVERIFY2(QByteArray(reinterpret_cast<const char *>(onDisk.data()), int(onDisk.size())) == expected,
                     qPrintable(folder + "/" + file.name));
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        // Never the user's own settings.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, temp.filePath("settings"));
        releaseFolder = temp.filePath("release");
        QVERIFY(writeRelease(releaseFolder));
    }
    void init() { startCase(); }
    void cleanup() { endCase(); }

    void firstLookBeforeTheScan()
    {
        dialog = std::make_unique<CCalcFWUpdateMSDialog>(releaseFolder, 1);
        QCOMPARE(gUpdateDialog, dialog.get());
        QCOMPARE(dialog->firmwareFolder, releaseFolder); // no subfolder appended
        QCOMPARE(dialog->windowTitle(), QString("Firmware update"));
        QCOMPARE(dialog->minimumWidth(), 525);
        dialog->show();
        dialog->resize(100, dialog->height());
        QVERIFY(dialog->width() >= 525);
        QVERIFY(widget<QLabel>("statusLabel")->text().isEmpty());
        QCOMPARE(widget<QPushButton>("actionButton")->text(), QString("Cancel"));
        QVERIFY(widget<QPushButton>("actionButton")->isVisible());
        QVERIFY(!widget<QPushButton>("browseButton")->isVisible());
        QVERIFY(widget<QProgressBar>("progressBar")->isVisible());
        QCOMPARE(widget<QProgressBar>("progressBar")->value(), -1); // empty
        QVERIFY(!dialog->windowIcon().isNull());
        // The calculator picture: 64 by 64 on the screen at every scale, from
        // the picture drawn for it (at 2 the 128-pixel one, not the 64 one
        // enlarged). The Browse button's folder has its 2x drawings too.
        QCOMPARE(dialog->devicePixelRatioF(), qEnvironmentVariable("QT_SCALE_FACTOR", "1").toDouble());
        const QPixmap picture = widget<QLabel>("iconLabel")->pixmap(Qt::ReturnByValue);
        QCOMPARE(widget<QLabel>("iconLabel")->sizeHint(), QSize(64, 64));
        QCOMPARE(picture.devicePixelRatio(), dialog->devicePixelRatioF());
        QCOMPARE(picture.size(), QSize(64, 64) * dialog->devicePixelRatioF());
        QVERIFY(widget<QPushButton>("browseButton")->icon().availableSizes().contains(QSize(64, 64)));
    }

    void threeFilesSentThenTheProgramEnds()
    {
        // The second calculator is slower: the file line never goes back to
        // an earlier file, and the bar shows 100 only once both hold the release.
        auto first = attach();
        auto second = attach();
        emulator::Faults slow = second->faults();
        slow.bytesPerSecond = 400000;
        second->setFaults(slow);
        QStringList fullTooEarly;
        onShown = [&](const QString &line) {
            if (line != "progress: 100")
                return;
            const QString path = lines("file").last();
            for (const ReleaseFile &file : kLegacyRelease) {
                if (!path.endsWith(QLatin1String(file.name)))
                    continue;
                for (const auto &calculator : {first, second}) {
                    const auto onDisk = calculator->contents(std::uint64_t(file.diskOffset), std::size_t(sizeOf(file)));
                    if (QByteArray(reinterpret_cast<const char *>(onDisk.data()), sizeOf(file)) !=
                        fileBytes(QString::fromLatin1(file.name), sizeOf(file)))
                        fullTooEarly << path;
                }
            }
        };
        open(releaseFolder);
        QVERIFY(waitFor("status: Done"));
        // The exit timer: the event loop ends with 0, three seconds later.
        const quint64 doneAt = shownAt[shown.indexOf("status: Done")];
        QEventLoop loop;
        QTimer::singleShot(20000, &loop, [&] { loop.exit(99); });
        QCOMPARE(loop.exec(), 0);
        const quint64 exitAfter = platform::nowMs() - doneAt;
        QVERIFY2(exitAfter >= 2900 && exitAfter < 6000, qPrintable(QString::number(exitAfter)));

        // The cart while the files go out, then "Done"; no calculator's own
        // result on the status line.
        const QStringList status = lines("status");
        QVERIFY(status.contains("Updating 2 calculators"));
        QVERIFY(status.filter("Update OK").isEmpty());
        QCOMPARE(status.last(), QString("Done"));
        QVERIFY(status.first().startsWith("Waiting for connection"));
        QVERIFY(status.contains("Waiting to start\u2026"));
        QCOMPARE(status.last(), QString("Done"));
        QVERIFY(status.filter("failed").isEmpty());
        // The countdown on the button, then Start while the files go out.
        const QStringList button = lines("button");
        QCOMPARE(button, (QStringList{"Cancel", "Start - 4", "Start - 3", "Start - 2", "Start - 1", "Start - 0",
                                      "Start (disabled)", "hidden"}));
        // The file line: each file's path (as the system writes paths) before its transfer.
        const QStringList files = lines("file");
        const QString firstPath = QDir::toNativeSeparators(releaseFolder + "/APPSDISK.DAT");
        QCOMPARE(files.first(), firstPath);
        QCOMPARE(files.filter("GIRVAARM.ROM").size(), 1);
        QCOMPARE(files.last(), QString());
        // The cart's bar: it never goes back, and shows 100 once, when both
        // hold every file.
        QCOMPARE(lines("progress").count("100"), 1);
        QCOMPARE(lines("progress").last(), QString("hidden"));
        QCOMPARE(fullTooEarly, QStringList());
        const QStringList progress = lines("progress");
        for (int i = 1; i + 1 < progress.size(); ++i)
            QVERIFY2(progress[i].toInt() >= progress[i - 1].toInt(), qPrintable(progress.join(' ')));
        QVERIFY(!widget<QPushButton>("browseButton")->isVisible());

        for (const auto &calculator : {first, second}) {
            verifyHoldsRelease(*calculator, releaseFolder);
            const QStringList trace = traceOf(*calculator);
            QCOMPARE(trace.filter("closing-read").size(), 3);
            QCOMPARE(trace.last(), QString("end-session"));
        }
    }

    void aFileFailingEveryTimeEndsTheSession()
    {
        auto calculator = attach("fail-writes=all");
        open(releaseFolder);
        QVERIFY(waitFor("status: Update failed (112)"));
        QStringList expected;
        for (int retry = 1; retry <= 5; ++retry)
            expected << QString("Update failed (112), Retry: %1").arg(retry);
        expected << "Update failed (112)";
        QCOMPARE(lines("status").filter("Update failed"), expected);
        // Six attempts and the end of the session, each with its opening read
        // (the end of the session follows the final status: the window does
        // not wait for it).
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        const QStringList trace = traceOf(*calculator);
        QCOMPARE(trace.filter("opening-read").size(), 7);
        QCOMPARE(trace.last(), QString("end-session"));
        // The window stays, without buttons.
        QTest::qWait(int(platform::realDurationMs(4000)));
        QVERIFY(dialog->isVisible());
        QVERIFY(!widget<QPushButton>("actionButton")->isVisible());
        QVERIFY(!widget<QPushButton>("browseButton")->isVisible());
        QVERIFY(!widget<QProgressBar>("progressBar")->isVisible());
        QCOMPARE(lines("status").last(), QString("Update failed (112)"));
        // One calculator: no list, and the info line as it always was.
        QVERIFY(widget<QTreeWidget>("calculatorList")->isHidden());
        QCOMPARE(lines("calculator"), QStringList());
        QCOMPARE(lines("summary"), QStringList());
        dialog->close();
        QVERIFY(!dialog->isVisible());
    }

    void closeAndEscapeRefusedForTheWholeUpdate()
    {
        // From the first file's result until "Done", a close and an Escape
        // every few milliseconds. A window that goes would end the program
        // (the dialog is destroyed here as main() would), leaving calculators
        // without the rest of the release.
        std::vector<std::shared_ptr<emulator::Calculator>> calculators;
        for (int i = 0; i < 3; ++i)
            calculators.push_back(attach());
        QTimer closer;
        closer.setInterval(3);
        QString closedAfter;
        connect(&closer, &QTimer::timeout, this, [&] {
            dialog->close();
            QTest::keyClick(dialog.get(), Qt::Key_Escape);
            if (!dialog->isVisible()) {
                closer.stop();
                closedAfter = lines("status").join(" | ");
                dialog.reset();
            }
        });
        onShown = [&](const QString &line) {
            if (line == "status: Update OK (0)" && !closer.isActive())
                closer.start();
            else if (line == "status: Done")
                closer.stop();
        };
        open(releaseFolder);
        QVERIFY(QTest::qWaitFor([&] { return !dialog || shown.contains("status: Done"); }, kSessionTimeoutMs));
        QVERIFY2(closedAfter.isEmpty(), qPrintable("the window went after: " + closedAfter));
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        for (const auto &calculator : calculators) {
            verifyHoldsRelease(*calculator, releaseFolder);
            QCOMPARE(traceOf(*calculator).last(), QString("end-session"));
        }
    }

    void aCloseAsTheFirstTransferIsDecidedIsRefused()
    {
        // The countdown is over and the worker has decided to send the first
        // file, but nothing is written yet: a close then would end the
        // program before the release went out. It is refused.
        auto calculator = attach();
        static std::atomic<int> phase;
        static std::atomic<CUpdateWorker *> deciding;
        phase = 0;
        deciding = nullptr;
        platform::setPauseObserver([](std::uint32_t ms) {
            CUpdateWorker *worker = deciding.load();
            if (ms != session_rules::kBeforeTransferPauseMs || worker == nullptr ||
                worker->loopState() != CUpdateWorker::Transferring)
                return;
            int expected = 0;
            if (!phase.compare_exchange_strong(expected, 1))
                return;
            for (int waited = 0; phase.load() == 1 && waited < 10000; waited += 5) // until the window was asked
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        });
        const auto observed = qScopeGuard([] { platform::setPauseObserver(nullptr); });
        open(releaseFolder);
        deciding = dialog->worker.get(); // the countdown has six seconds to run
        QVERIFY(QTest::qWaitFor([] { return phase.load() == 1; }, kSessionTimeoutMs));
        dialog->close();
        const bool stayed = dialog->isVisible();
        phase = 2;
        QVERIFY(stayed);
        QVERIFY(QTest::qWaitFor([&] { return shown.contains("status: Done"); }, kSessionTimeoutMs));
        verifyHoldsRelease(*calculator, releaseFolder);
    }

    void retriesCountPerFile()
    {
        // The first file fails once (seven refused writes of its first chunk),
        // then goes; the second then fails every time: five retries again.
        auto calculator = attach("fail-writes=7");
        onShown = [&](const QString &line) {
            if (line == "status: Update OK (0)") {
                emulator::Faults faults = calculator->faults();
                faults.failWrites = -1;
                calculator->setFaults(faults);
            }
        };
        open(releaseFolder);
        QVERIFY(waitFor("status: Update failed (112)"));
        QStringList expected{"Update failed (112), Retry: 1", "Update OK (0)"};
        for (int retry = 1; retry <= 5; ++retry)
            expected << QString("Update failed (112), Retry: %1").arg(retry);
        expected << "Update failed (112)";
        QStringList results = lines("status").filter(QRegularExpression("^Update "));
        QCOMPARE(results, expected);
        // The first file is on the disk; the third was never sent.
        const std::vector<std::uint8_t> onDisk = calculator->contents(0x500000, 70001);
        QVERIFY(QByteArray(reinterpret_cast<const char *>(onDisk.data()), 70001) ==
                fileBytes("APPSDISK.DAT", 70001));
        QVERIFY(lines("file").filter("MASTER.DAT").isEmpty());
    }

    void cancelWhileWaitingAbortsAndCloses()
    {
        // No calculator while the worker looks; one turns up in time for the
        // end of the session, which tells it so.
        auto calculator = attach(QString(), 2500);
        open(releaseFolder);
        QVERIFY(QTest::qWaitFor([&] { return !lines("status").filter("Waiting for connection").isEmpty(); },
                                kSessionTimeoutMs));
        QVERIFY(platform::nowMs() < 2300);
        // The click inside the application's own loop, as in the program:
        // the window closes, and with the last window the loop ends with 0.
        QTimer::singleShot(0, widget<QPushButton>("actionButton"), &QPushButton::click);
        QTimer stuck;
        stuck.setSingleShot(true);
        connect(&stuck, &QTimer::timeout, qApp, [] { QCoreApplication::exit(99); });
        stuck.start(kSessionTimeoutMs);
        QCOMPARE(QCoreApplication::exec(), 0);
        stuck.stop();
        QCOMPARE(lines("status").last(), QString("Update aborted"));
        QVERIFY(!dialog->isVisible());
        // The worker sends the end of the session once its loop is over (the
        // program waits for it before it ends).
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(traceOf(*calculator), (QStringList{"opening-read", "end-session"}));
        QVERIFY(dialog->worker->isEndRequested());
    }

    void startPressedDuringTheCountdown()
    {
        auto calculator = attach();
        quint64 pressedAt = 0;
        onShown = [&](const QString &line) {
            if (line == "button: Start - 3") {
                pressedAt = platform::nowMs();
                QTimer::singleShot(0, widget<QPushButton>("actionButton"), &QPushButton::click);
            }
        };
        open(releaseFolder);
        // The next countdown step (within a second) clears the status; the
        // transfer begins a second after that, instead of four. (Bounds with
        // room for a loaded machine; the button never reading "Start - 2" is
        // the sharp check.)
        QVERIFY(waitFor("button: Start (disabled)"));
        const int cleared = int(shown.indexOf("status: ", shown.indexOf("button: Start - 3")));
        const int started = int(shown.indexOf("button: Start (disabled)"));
        QVERIFY(cleared > 0 && cleared < started);
        QVERIFY2(shownAt[cleared] - pressedAt < 2000, qPrintable(QString::number(shownAt[cleared] - pressedAt)));
        QVERIFY2(shownAt[started] - pressedAt < 3000, qPrintable(QString::number(shownAt[started] - pressedAt)));
        QVERIFY(!shown.contains("button: Start - 2"));
        QVERIFY(waitFor("status: Done"));
        verifyHoldsRelease(*calculator, releaseFolder);
    }

    void noAbortOnceTheCountdownIsShown()
    {
        // A click while the button reads "Start - 0" starts (the transfer is
        // due within the second); a click during the transfer changes nothing.
        auto calculator = attach("");
        emulator::Faults slow = calculator->faults();
        slow.bytesPerSecond = 400000; // about half a second for the first file
        calculator->setFaults(slow);
        bool clickedDuringTransfer = false;
        onShown = [&](const QString &line) {
            if (line == "button: Start - 0")
                QTimer::singleShot(0, widget<QPushButton>("actionButton"), &QPushButton::click);
            if (midTransfer(line) && !clickedDuringTransfer) {
                clickedDuringTransfer = true;
                QTimer::singleShot(0, dialog.get(), [this] {
                    QVERIFY(dialog->worker->isBusy());
                    QMetaObject::invokeMethod(dialog.get(), "onActionButton");
                    // Closing and Escape are refused as well.
                    dialog->close();
                    QTest::keyClick(dialog.get(), Qt::Key_Escape);
                    QVERIFY(dialog->isVisible());
                });
            }
        };
        open(releaseFolder);
        QVERIFY(waitFor("status: Done"));
        QVERIFY(clickedDuringTransfer);
        QVERIFY(shown.filter("Update aborted").isEmpty());
        verifyHoldsRelease(*calculator, releaseFolder);
        // With the transfer over, the window may close.
        dialog->close();
        QVERIFY(!dialog->isVisible());
    }

    void cancelAbortsUntilTheSecondsShow()
    {
        // The calculator has just been found: the window has asked for the
        // countdown, but the button still reads Cancel under the waiting
        // text. A click there aborts, and nothing is written.
        auto calculator = attach();
        bool clicked = false;
        // Connected before the worker can find the calculator (a slow machine
        // shows and scans later than that), after the window's own slot.
        onCreated = [&] {
            connect(dialog->worker.get(), &CUpdateWorker::foundDevice, this, [&] {
                QCOMPARE(widget<QPushButton>("actionButton")->text(), QString("Cancel"));
                widget<QPushButton>("actionButton")->click();
                clicked = true;
            });
        };
        open(releaseFolder);
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QVERIFY(clicked);
        QCOMPARE(lines("status").last(), QString("Update aborted"));
        QVERIFY(!dialog->isVisible());
        QCOMPARE(traceOf(*calculator), (QStringList{"opening-read", "end-session"}));
    }

    void aLateWindowStillCountsDown()
    {
        // The scan holds the GUI thread for five seconds of the clock while
        // the worker finds the calculator: the first file waits for a file to
        // be selected and the whole countdown to be shown.
        auto calculator = attach();
        open(releaseFolder, 1, 500);
        QVERIFY(waitFor("status: Done"));
        QCOMPARE(lines("button"), (QStringList{"Cancel", "Start - 4", "Start - 3", "Start - 2", "Start - 1",
                                               "Start - 0", "Start (disabled)", "hidden"}));
        QVERIFY(lines("status").filter("failed").isEmpty());
        verifyHoldsRelease(*calculator, releaseFolder);
    }

    void busyForTheWholeOfEveryTransfer()
    {
        // The window takes the first file's result late, when the worker has
        // already begun the second file: busy holds, and a close is refused.
        auto calculator = attach();
        emulator::Faults slow = calculator->faults();
        slow.bytesPerSecond = 100000; // the second file takes about 0.4 s
        calculator->setFaults(slow);
        int checked = 0;
        open(releaseFolder);
        QObject scope; // the lambdas below use this function's locals: they go with it
        connect(dialog->worker.get(), &CUpdateWorker::updaterRan, &scope, [&](const NextStep &next) {
            if (next.result != 0 || checked != 0)
                return;
            checked = 1;
            // Hold the GUI thread until the worker is sending the next file.
            for (int waited = 0; traceOf(*calculator).count("opening-read") < 2 && waited < 5000; ++waited)
                QThread::msleep(1);
            // Queued behind the reports already waiting.
            QTimer::singleShot(0, &scope, [&] {
                QVERIFY(traceOf(*calculator).count("closing-read") < 2); // the second file still goes
                QVERIFY(dialog->worker->isBusy());
                dialog->close();
                QVERIFY(dialog->isVisible());
                checked = 2;
            });
        });
        QVERIFY(waitFor("status: Done"));
        QCOMPARE(checked, 2);
        verifyHoldsRelease(*calculator, releaseFolder);
    }

    void anExceptionEndsTheSessionWithAFailure()
    {
        // Something throws on the worker's thread in the middle of a transfer
        // (here the disk enumeration of the transfer, as a failed allocation
        // would): the window ends the session with a failure it can close.
        testsupport::HookedDiskSystem hooked(*disks);
        platform::installDiskSystem(&hooked);
        auto calculator = attach();
        open(releaseFolder);
        connect(dialog->worker.get(), &CUpdateWorker::downloadActive, this, [&] { hooked.throwNext = true; },
                Qt::DirectConnection);
        QVERIFY(waitFor("status: Update failed (-2)", 15000));
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(traceOf(*calculator).last(), QString("end-session"));
        QVERIFY(!dialog->worker->isBusy());
        QVERIFY(!widget<QPushButton>("actionButton")->isVisible());
        dialog->close();
        QVERIFY(!dialog->isVisible());
        platform::installDiskSystem(disks.get());
    }

    void endingTheSessionNeverFreezesTheWindow()
    {
        // The worker sits in a presence check that does not end (a hung
        // device): Cancel returns at once, and the end of the session follows
        // once the check is over, never during it.
        testsupport::HookedDiskSystem hooked(*disks);
        hooked.holdLimit = std::chrono::milliseconds(3000);
        platform::installDiskSystem(&hooked);
        open(releaseFolder);
        QVERIFY(QTest::qWaitFor([&] { return !lines("status").filter("Waiting for connection").isEmpty(); },
                                kSessionTimeoutMs));
        hooked.hold();
        QVERIFY(hooked.waitUntilInside(std::chrono::milliseconds(5000)));
        widget<QPushButton>("actionButton")->click();
        QVERIFY2(!hooked.heldTooLong(), "the click waited for the presence check");
        QCOMPARE(lines("status").last(), QString("Update aborted"));
        QCOMPARE(sessionsEnded, 0);
        hooked.release();
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(hooked.mostAtOnce(), 1);
        platform::installDiskSystem(disks.get());
    }

    void twoSpellingsOfOneFileAreNoRelease()
    {
        // Where letter case tells names apart: two master files and no system
        // image are three files, but no release. Nothing is written.
        auto calculator = attach();
        const QString folder = temp.filePath("two masters");
        QVERIFY(writeRelease(folder, {"APPSDISK.DAT", "master.dat", "MASTER.DAT"}));
        if (QDir(folder).entryList(QDir::Files).size() != 3)
            QSKIP("this file system does not tell letter case apart");
        open(folder);
        QCOMPARE(lines("status"), QStringList{"No updates are available"});
        // The info line names the folder and what it lacks.
        QCOMPARE(lines("info"), QStringList{QString("No release in %1: missing GIRVAARM.ROM, two spellings of MASTER.DAT")
                                                .arg(QDir::toNativeSeparators(folder))});
        QVERIFY(widget<QPushButton>("browseButton")->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(traceOf(*calculator), (QStringList{"opening-read", "end-session"}));
        QCOMPARE(dialog->exitCode(), 3); // no release
    }

    void aFailureSaysWhy_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("sentence");
        QTest::addColumn<int>("systemError"); // its message follows in brackets; 0: none
        // A refused disk (see refusedSentence), in German.
        const bool windows = QSysInfo::productType() == "windows";
        QTest::newRow("107 en") << "unopenable" << 1 << refusedSentence() << EACCES;
        QTest::newRow("107 de")
            << "unopenable" << 4
            << (windows ? "Der Rechner konnte nicht geöffnet werden: Windows hat diesem Benutzer den Zugriff auf "
                          "das Laufwerk des Rechners verweigert. Starten Sie den Updater als Administrator oder "
                          "fragen Sie den IT-Administrator nach der Richtlinie für Wechseldatenträger."
                        : "Der Rechner konnte nicht geöffnet werden: dieser Benutzer darf nicht darauf "
                          "schreiben. Installieren Sie die udev-Regel des Updaters oder starten Sie den "
                          "Updater als root.")
            << EACCES;
        QTest::newRow("112 en") << "fail-writes=all" << 1 << "The calculator stopped accepting data." << EIO;
        QTest::newRow("112 de") << "fail-writes=all" << 4 << "Der Rechner hat aufgehört, Daten anzunehmen." << EIO;
        QTest::newRow("104 en") << "unplug-after=30000|" << 1 << "Calculator TAVIX1 is missing: plug it in again." << 0;
        QTest::newRow("104 de") << "unplug-after=30000|" << 4 << "Rechner TAVIX1 fehlt: stecken Sie ihn wieder an." << 0;
        QTest::newRow("122 en") << "mounted=E:FAT,lock-error=access-denied" << 1
                                << "Windows has mounted drive E: on the calculator and would not let it go. Close any "
                                   "window or program using E:, or start the updater as administrator. Never accept "
                                   "Windows' offer to format the drive."
                                << EACCES;
        QTest::newRow("122 de") << "mounted=E:FAT,lock-error=access-denied" << 4
                                << "Windows hat das Laufwerk E: auf dem Rechner eingebunden und gibt es nicht frei. "
                                   "Schließen Sie alle Fenster und Programme, die E: verwenden, oder starten Sie den "
                                   "Updater als Administrator. Nehmen Sie niemals das Angebot von Windows an, das "
                                   "Laufwerk zu formatieren."
                                << EACCES;
    }
    void aFailureSaysWhy()
    {
        // A failed pass puts its sentence on the info line, in the window's
        // language, with the system's own message after it; the status keeps
        // its number. (A calculator unplugged mid-file first fails its
        // write, then is missing when the others' next pass goes out: one
        // calculator "|" another.)
        QFETCH(QString, faults);
        QFETCH(int, language);
        QFETCH(QString, sentence);
        QFETCH(int, systemError);
        std::vector<std::shared_ptr<emulator::Calculator>> calculators;
        for (const QString &each : faults.split('|'))
            calculators.push_back(attach(each));
        open(releaseFolder, language);
        QVERIFY(QTest::qWaitFor([&] { return !lines("status").filter("(").isEmpty(); }, kSessionTimeoutMs));
        const QString status = lines("status").filter("(").first();
        QVERIFY2(status.startsWith("Update failed ("), qPrintable(shown.join(QLatin1Char('\n'))));
        // The simulated calculator says its failures as errno values, which
        // the platform gives as the system's own codes.
        if (systemError != 0)
            sentence = withSystemError(sentence, systemError);
        QTRY_VERIFY2_WITH_TIMEOUT(lines("info").contains(sentence), qPrintable(lines("info").join('\n')),
                                  kSessionTimeoutMs);
    }

    void theStationServesEachCalculatorAsItComes()
    {
        // --station. TAVIX1 is written, told its session ends, and says
        // "unplug it"; TAVIX2, failing every write, is given up; a close is
        // refused while TAVIX1 is written, and says why. TAVIX1 unplugged and
        // plugged in again is a new visit, counted once in the tally. Stop
        // pressed while that visit is written finishes it, and takes no
        // calculator plugged in after it; the exit code is that of the last
        // visits: one given up.
        auto first = attach(), failing = attach("fail-writes=all");
        std::shared_ptr<emulator::Calculator> late;
        emulator::Faults slow = first->faults();
        slow.bytesPerSecond = 1000000;
        first->setFaults(slow);
        QString refusal; // the info line of a close refused while TAVIX1 was written
        int visits = 0;  // TAVIX1's visits seen being written
        onShown = [&](const QString &line) {
            if (!line.startsWith("calculator: TAVIX1: file 1 of 3"))
                return;
            if (++visits == 1)
                refusal = dialog->close() ? QString("closed") : lines("info").value(lines("info").size() - 1);
            else if (visits == 2) {
                QTest::mouseClick(widget<QPushButton>("actionButton"), Qt::LeftButton);
                late = attach();
            }
        };
        open(releaseFolder, 1, 0, true);
        QVERIFY(dialog->sessionArguments().contains("--station")); // a restart as administrator keeps it
        QVERIFY(waitFor("button: Stop"));
        QVERIFY(waitFor("calculator: TAVIX1: updated: unplug it"));
        QVERIFY(waitFor("calculator: TAVIX2: given up (112): unplug it"));
        QCOMPARE(refusal, QString("A calculator is being written: the window can be closed once it is done. "
                                  "Press Stop to take no new calculator."));
        verifyHoldsRelease(*first, releaseFolder);
        QCOMPARE(traceOf(*first).filter("end-session").size(), 1);
        QVERIFY(traceOf(*failing).filter("end-session").isEmpty()); // left in update mode
        QVERIFY(waitFor("tally: Updated 1 \u00b7 given up 1 \u00b7 being written 0"));

        emulator::Faults out = first->faults();
        out.unplugAfterBytes = 0;
        out.replugAfterMs = 3000;
        first->setFaults(out);
        QVERIFY(!first->isPresent());
        QVERIFY(waitFor("status: Stopped"));
        QCOMPARE(lines("calculator").filter("TAVIX1: updated: unplug it").size(), 2);
        QCOMPARE(traceOf(*first).filter("end-session").size(), 3); // each visit's, and the station's end
        QVERIFY(late && traceOf(*late).filter(QRegularExpression("^(write|packet) ")).isEmpty());
        QCOMPARE(lines("tally").last(), QString("Updated 1 \u00b7 given up 1 \u00b7 being written 0"));
        QCOMPARE(dialog->exitCode(), exit_code::kFailed);
        QVERIFY(dialog->close());
    }

    void aStationThroughACart_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("toUnplug"); // an updated calculator's words at the station
        QTest::addColumn<QString>("endTally");
        QTest::newRow("en") << 1 << "updated: unplug it" << "Updated 27 \u00b7 given up 3 \u00b7 being written 0";
        QTest::newRow("de") << 4 << "aktualisiert: abstecken"
                            << "Aktualisiert 27 \u00b7 aufgegeben 3 \u00b7 werden beschrieben 0";
    }
    void aStationThroughACart()
    {
        // --station on a cart of thirty through ten ports, the 5th, 14th and
        // 23rd failing every write; the teacher pulls a calculator out 2 s
        // after it was told its session ends, or shown given up, and plugs
        // in the next. In the middle of the cart the rows to unplug stand
        // out in green; at its end the list is empty and the tally counts all
        // thirty. A picture of each for anyone to look at.
        QFETCH(int, language);
        QFETCH(QString, toUnplug);
        QFETCH(QString, endTally);
        std::vector<emulator::Config> configs(30);
        for (std::size_t k = 0; k < configs.size(); ++k) {
            configs[k].identity.serial = QString("TAVIX%1").arg(k + 1, 7, 10, QChar('0')).toStdString();
            configs[k].diskBytes = 8u << 20;
            configs[k].faults.failWrites = k == 4 || k == 13 || k == 22 ? -1 : 0;
        }
        emulator::Cart cart(*disks, configs, 10, 2000, std::string());
        cart.start();
        QTimer hands;
        connect(&hands, &QTimer::timeout, this, [&] {
            std::string error;
            QVERIFY(cart.poll(&error));
        });
        hands.start(20);
        auto *list = static_cast<QTreeWidget *>(nullptr);
        bool middle = false;
        QStringList cuts; // in the middle and at the end: nothing in the window is cut
        onShown = [&](const QString &line) {
            if (middle || cart.servedCount() < 12 || !line.endsWith(": " + toUnplug))
                return;
            dialog->layout()->activate();
            int green = 0;
            for (int row = 0; row < list->topLevelItemCount(); ++row) {
                const QTreeWidgetItem *item = list->topLevelItem(row);
                green += !item->isHidden() && item->text(1) == toUnplug &&
                         item->foreground(1).color() == QColor(0x00, 0x70, 0x2a) && item->font(1).bold();
            }
            middle = green > 0 && dialog->grab().save(picturePath("station", "middle"));
            cuts << testsupport::cutTexts(dialog.get());
        };
        open(releaseFolder, language, 0, true);
        list = widget<QTreeWidget>("calculatorList");
        connect(dialog.get(), &CCalcFWUpdateMSDialog::calculatorsShown, this, [&](const QVector<CalculatorView> &rows) {
            for (const CalculatorView &row : rows)
                if (row.state == CalculatorView::GivenUp && row.attached)
                    cart.givenUpNamed(row.identity.toStdString());
        });
        QVERIFY(QTest::qWaitFor([&] { return cart.finished(); }, 4 * kSessionTimeoutMs));
        QTRY_COMPARE_WITH_TIMEOUT(lines("tally").last(), endTally, kSessionTimeoutMs);
        const auto listed = [&] {
            int shownRows = 0;
            for (int row = 0; row < list->topLevelItemCount(); ++row)
                shownRows += !list->topLevelItem(row)->isHidden();
            return shownRows;
        };
        QTRY_COMPARE(listed(), 0); // every calculator has left
        QVERIFY(middle);
        dialog->layout()->activate();
        QVERIFY(dialog->grab().save(picturePath("station", "end")));
        cuts << testsupport::cutTexts(dialog.get());
        QVERIFY2(cuts.isEmpty(), qPrintable(cuts.join('\n')));
        QVERIFY(dialog->close());
        QCOMPARE(dialog->exitCode(), exit_code::kFailed);
    }

    void aCalculatorWindowsRefusesIsLeftOut()
    {
        // Calculator 1's disk is refused with access denied at every open
        // (Windows' 5, Linux's EACCES): it is never written and its reason
        // says what to do; calculator 2 is updated. Windows' way through, the
        // restart as administrator, is offered only once calculator 2 is no
        // longer written; Linux has none.
        auto refused = attach("open-error=access-denied"), healthy = attach();
        const bool windows = QSysInfo::productType() == "windows";
        QString healthyState; // its row's words as the offer came
        QStringList offeredWhile;
        onShown = [&](const QString &line) {
            healthyState = line.startsWith("calculator: TAVIX2: ") ? line.mid(20) : healthyState;
            if (line == "restart: Restart as administrator")
                offeredWhile << healthyState;
        };
        open(releaseFolder);
        QVERIFY(waitFor("status: Update failed (107)"));
        verifyHoldsRelease(*healthy, releaseFolder);
        QVERIFY(traceOf(*refused).filter(QRegularExpression("^(write|packet) ")).isEmpty());
        QVERIFY2(lines("info").last().startsWith("TAVIX1: " + refusedSentence()), qPrintable(lines("info").last()));
        QCOMPARE(offeredWhile, windows ? QStringList{"updated"} : QStringList());
    }

    void theRestartHandsTheSessionOver_data()
    {
        QTest::addColumn<uint>("refusal"); // the system's code the start fails with; 0: the copy starts
        QTest::newRow("started") << 0u;
        QTest::newRow("declined") << uint(platform::kElevationDeclined);
        QTest::newRow("failed") << 2u; // ERROR_FILE_NOT_FOUND
    }
    void theRestartHandsTheSessionOver()
    {
        // Clicked: the calculators are told the session ends, the updater is
        // started elevated with this session (relative paths made absolute),
        // the window closes, the guard and the exit code are the new copy's.
        // Refused while calculator 1 is retried: only the button changes (and
        // a failure other than a no is said), and the session goes on.
        if (QSysInfo::productType() != "windows")
            QSKIP("only Windows refuses a disk with access denied and elevates");
        QFETCH(uint, refusal);
        const QString here = QDir::currentPath();
        QDir::setCurrent(temp.path());
        const auto back = qScopeGuard([&] { QDir::setCurrent(here); });
        attach("open-error=access-denied");
        const auto healthy = refusal == 0 ? attach() : nullptr;
        // The system's elevation stood in for: it starts nothing, or a copy that ends with 42.
        struct StandIn : platform::Elevation, platform::ElevatedProcess {
            std::uint32_t refusal = 0;
            emulator::Calculator *watched = nullptr;
            QStringList started, told; // the program and its arguments; what `watched` had seen then
            std::unique_ptr<platform::ElevatedProcess> start(const std::u16string &program,
                                                             const std::vector<std::u16string> &arguments,
                                                             const std::u16string &, std::uintptr_t) override
            {
                started << QString::fromStdU16String(program);
                for (const std::u16string &word : arguments)
                    started << QString::fromStdU16String(word);
                told = watched ? traceOf(*watched) : QStringList();
                platform::setLastError(refusal);
                return refusal != 0 ? nullptr : std::make_unique<StandIn>();
            }
            bool waitForExit(std::uint32_t *code) override
            {
                *code = 42;
                return true;
            }
        } elevation;
        elevation.refusal = refusal;
        elevation.watched = healthy.get();
        platform::installElevation(&elevation);
        const auto uninstall = qScopeGuard([] { platform::installElevation(nullptr); });
        int clickedAt = -1;
        onShown = [&](const QString &line) {
            if (clickedAt < 0 && line == (healthy ? "restart: Restart as administrator" : "status: Update failed (107), Retry: 1"))
                QMetaObject::invokeMethod(dialog.get(), [&] {
                    clickedAt = shown.size();
                    widget<QPushButton>("restartButton")->click();
                }, Qt::QueuedConnection);
        };
        open("release");
        dialog->setReportPath("report.csv");
        QString error;
        QVERIFY(dialog->setLogPath("session.log", &error));
        QTRY_VERIFY_WITH_TIMEOUT(!elevation.started.isEmpty(), kSessionTimeoutMs);
        QCOMPARE(elevation.started, (QStringList{QDir::toNativeSeparators(QCoreApplication::applicationFilePath()),
                                                 QDir::toNativeSeparators(releaseFolder), "1", "--report",
                                                 QDir::toNativeSeparators(temp.filePath("report.csv")), "--log",
                                                 QDir::toNativeSeparators(temp.filePath("session.log"))}));
        if (refusal == 0) {
            QCOMPARE(elevation.told.last(), QString("end-session"));
            QVERIFY(!dialog->isVisible());
            CSingleInstance guard("tavix-handover-suite");
            QCOMPARE(guard.acquire(), CSingleInstance::Taken);
            QCOMPARE(awaitSuccessor(*dialog, guard, exit_code::kStopped), 42);
            QCOMPARE(CSingleInstance("tavix-handover-suite").acquire(), CSingleInstance::Taken);
            QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
            QCOMPARE(traceOf(*healthy).count("end-session"), 1); // told once, at the hand-over
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(shown.mid(clickedAt).contains("restart: Restart as administrator"), kSessionTimeoutMs);
        const QStringList meanwhile = shown.mid(clickedAt, shown.indexOf("restart: Restart as administrator", clickedAt) - clickedAt);
        QCOMPARE(meanwhile.first(), QString("restart: Restart as administrator (disabled)"));
        QCOMPARE(meanwhile.size(), refusal == platform::kElevationDeclined ? 1 : 2);
        if (meanwhile.size() == 2)
            QVERIFY(meanwhile[1].startsWith("info: ") &&
                    meanwhile[1].endsWith("The updater could not be started as administrator. (" +
                                          QString::fromStdU16String(platform::errorText(refusal)).trimmed() + ")"));
        QVERIFY(waitFor("status: Update failed (107)")); // retried until given up
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs); // its report written here
        QCOMPARE(elevation.started.size(), 7);                        // started once
    }

    void everyCalculatorGetsEveryFile_data()
    {
        QTest::addColumn<QString>("faults1");
        QTest::addColumn<QString>("faults2");
        QTest::addColumn<int>("attach2Ms");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("reason"); // the final failure's, before the summary
        QTest::newRow("first unplugged in the first file, back 5 s later")
            << "unplug-after=30000,replug-after=5000" << "" << 0 << "Done" << "Updated 2 of 2 calculators" << "";
        QTest::newRow("first unplugged for good")
            << "unplug-after=30000" << "" << 0 << "Update failed (104)" << "Updated 1 of 2 calculators"
            << "Calculator TAVIX1 is missing: plug it in again.";
        QTest::newRow("second plugged in after the first file") << "" << "" << 8000 << "Done"
                                                                << "Updated 2 of 2 calculators" << "";
        // Both given up: the reason is the one of the calculator given up
        // last (the one whose writes fail, which takes longer to fail than
        // an open), with its own system error.
        QTest::newRow("both failing, differently")
            << "fail-writes=all" << "unopenable" << 0 << "Update failed (112)" << "Updated 0 of 2 calculators"
            << "TAVIX1: " + withSystemError(QStringLiteral("The calculator stopped accepting data."), EIO);
        // The session aborted while both wait, partly written, to be plugged
        // in again (as the window does when it goes): neither counts.
        QTest::newRow("both unplugged, then aborted")
            << "unplug-after=30000" << "unplug-after=30000" << 0 << "Update aborted" << "Updated 0 of 2 calculators"
            << "";
    }
    void everyCalculatorGetsEveryFile()
    {
        // "Done" only once every calculator the session met holds all three
        // files, each received in the release's order; otherwise the final
        // failure. Either way the info line says how many were updated.
        QFETCH(QString, faults1);
        QFETCH(QString, faults2);
        QFETCH(int, attach2Ms);
        QFETCH(QString, outcome);
        QFETCH(QString, summary);
        QFETCH(QString, reason);
        auto first = attach(faults1);
        auto second = attach(faults2, quint64(attach2Ms));
        bool aborting = false;
        if (outcome == "Update aborted")
            onShown = [&](const QString &line) {
                if (line.startsWith("calculator: ") && line.endsWith(": unplugged") && !aborting) {
                    aborting = true;
                    QTimer::singleShot(0, dialog.get(), [&] { dialog->abortUpdate(); });
                }
            };
        open(releaseFolder);
        QVERIFY(QTest::qWaitFor([&] { return lines("status").contains(outcome); }, kSessionTimeoutMs));
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(lines("status").last(), outcome);
        QCOMPARE(dialog->exitCode(), outcome == "Done" ? 0 : outcome == "Update aborted" ? 4 : 1);
        // Two calculators: the last failure's reason on the info line, the
        // summary on its own, and no list of names on the info line; the
        // reason in the row of the calculator it is about.
        QCOMPARE(widget<QLabel>("infoLabel")->text(), reason);
        QCOMPARE(widget<QLabel>("summaryLabel")->text(), summary);
        QVERIFY(widget<QLabel>("summaryLabel")->isVisible());
        QCOMPARE(lines("summary"), QStringList{summary});
        const QTreeWidgetItem *firstRow = widget<QTreeWidget>("calculatorList")->topLevelItem(0);
        if (reason.startsWith(firstRow->text(0) + ": ")) {
            QCOMPARE(firstRow->toolTip(1), reason.mid(firstRow->text(0).size() + 2));
            QCOMPARE(firstRow->data(1, Qt::AccessibleDescriptionRole).toString(), firstRow->toolTip(1));
        }
        QVERIFY(lines("info").filter("Not updated").isEmpty());
        // Given up for going missing, it may still come back, and its row
        // says so: plugged in again, it is taken up, the session opens again
        // and ends "Done", its calculators told once more.
        QCOMPARE(firstRow->toolTip(1).contains("plug it in again"), outcome == "Update failed (104)");
        if (outcome == "Update failed (104)") {
            emulator::Faults back = first->faults();
            back.replugAfterMs = 0;
            first->setFaults(back);
            QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 2, kSessionTimeoutMs);
            QCOMPARE(lines("status").last(), QString("Done"));
            QCOMPARE(dialog->exitCode(), 0);
            verifyHoldsRelease(*first, releaseFolder);
        }
        // A healthy calculator goes on whatever the other does.
        if (faults2.isEmpty() && attach2Ms == 0)
            verifyHoldsRelease(*second, releaseFolder);
        if (outcome != "Done")
            return;
        for (const auto &calculator : {first, second}) {
            verifyHoldsRelease(*calculator, releaseFolder);
            const QStringList trace = traceOf(*calculator);
            QStringList order; // where each file's first write went
            for (const QString &line : trace.filter(QRegularExpression("^write (5242880|0|1048576) ")))
                if (!order.contains(line.section(' ', 1, 1)))
                    order << line.section(' ', 1, 1);
            QCOMPARE(order, (QStringList{"5242880", "0", "1048576"}));
            QCOMPARE(trace.last(), QString("end-session"));
        }
    }

    void theEchoFollowsTheListsWords()
    {
        // Generated rows, fed as the worker sends them, with each calculator's
        // percentage between: a calculator's echo lines are the words the list
        // showed for it, each time they changed, its percentage aside. A
        // single calculator has neither list nor echo.
        open(releaseFolder); // no calculator: the worker sends no rows of its own
        auto *list = widget<QTreeWidget>("calculatorList");
        QRandomGenerator random(2026);
        const auto percentAside = [](QString text) { return text.remove(QRegularExpression(": \\d+%$")); };
        for (int session = 0; session < 60; ++session) {
            const int count = session < 10 ? 1 : 2 + random.bounded(6);
            emit dialog->worker->calculatorsChanged({}); // the next rows are new calculators
            shown.clear();
            QVector<CalculatorView> rows(count);
            QVector<QStringList> listed(count); // each row's words as the list changed them
            for (int i = 0; i < count; ++i) {
                rows[i].identity = QString("XQ%1&%2").arg(session).arg(i);
                rows[i].files = 3;
            }
            for (int step = 0; step < 15; ++step) {
                for (CalculatorView &row : rows) {
                    if (random.bounded(3) == 0) {
                        row.state = CalculatorView::State(random.bounded(6));
                        row.file = random.bounded(3);
                        row.code = random.bounded(2) ? 112 : 104;
                    }
                    row.percent = random.bounded(101);
                }
                emit dialog->worker->calculatorsChanged(rows);
                for (int i = 0; i < count; ++i) {
                    const int percent = random.bounded(101);
                    emit dialog->calculatorProgress(i, percent);
                    const QString text = list->topLevelItem(i)->text(1);
                    if (rows[i].state == CalculatorView::Writing)
                        QVERIFY2(text.endsWith(QString(": %1%").arg(percent)), qPrintable(text));
                    if (listed[i].isEmpty() || listed[i].last() != percentAside(text))
                        listed[i] << percentAside(text);
                }
            }
            QCOMPARE(list->isHidden(), count == 1);
            for (int i = 0; i < count; ++i) {
                QStringList echoed;
                for (const QString &line : lines("calculator").filter(rows[i].identity + ": "))
                    echoed << percentAside(line.mid(rows[i].identity.size() + 2));
                QCOMPARE(echoed, count == 1 ? QStringList() : listed[i]);
            }
        }
    }

    void theReportOutlivesTheEventLoop()
    {
        // The program's event loop may end before the worker's sessionClosed
        // reaches the window (Cancel closes it at once; a slow end of session
        // outlasts the three seconds after "Done"). Here the program stops
        // the worker as the window shows the final failure, ahead of that
        // report: the CSV file is written then, once, from the worker's last
        // rows.
        auto healthy = attach();
        auto failing = attach("fail-writes=all");
        const QString path = temp.filePath("report.csv");
        QFile::remove(path);
        auto read = [&] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        bool stopped = false;
        int endedAtStop = -1;
        QByteArray atStop;
        onShown = [&](const QString &line) {
            if (!line.startsWith("summary: "))
                return;
            // Queued before the window asks for the end of the session, so
            // ahead of the worker's sessionClosed.
            QMetaObject::invokeMethod(this, [&] {
                dialog->stopWorker();
                stopped = true;
                endedAtStop = sessionsEnded;
                atStop = read();
            }, Qt::QueuedConnection);
        };
        open(releaseFolder);
        dialog->setReportPath(path);
        QTRY_VERIFY_WITH_TIMEOUT(stopped, 4 * kSessionTimeoutMs);
        QCOMPARE(endedAtStop, 0);
        const QList<QByteArray> records = atStop.split('\n');
        QCOMPARE(records.size(), 4); // a header, two calculators, the last line's end
        QVERIFY(records[1].contains(",updated,3,0,"));
        QVERIFY(records[2].contains(",given up,0,112,"));
        QCOMPARE(traceOf(*failing).last(), QString("end-session"));
        // The late sessionClosed still ends the session, and leaves the file.
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(read(), atStop);
        verifyHoldsRelease(*healthy, releaseFolder);
    }

    void aFolderHoldingTheReportIsNoRelease()
    {
        // Rescanned, the release folder now holds the session's report: no
        // release (the CSV would go out as firmware), and no report written there.
        open(releaseFolder);
        const QString report = releaseFolder + "/cart.csv";
        dialog->setReportPath(report);
        dialog->scanFirmwareFolder();
        QCOMPARE(lines("status").last(), QString("No updates are available"));
        QCOMPARE(lines("info").last(), "No release in " + QDir::toNativeSeparators(releaseFolder) +
                                           ": it holds the report or the log (" + QDir::toNativeSeparators(report) + ")");
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QVERIFY(!QFileInfo::exists(report));
        QCOMPARE(dialog->exitCode(), 3);
    }

    void anUnreadableFileIsNoRelease()
    {
        // The master file cannot be read (a bad sector, a policy): found by
        // the scan, with the system's reason, before any calculator is written.
        testsupport::HookedDiskSystem hooked(*disks);
        hooked.failReadsOf = u"MASTER.DAT";
        hooked.readError = EIO;
        platform::installDiskSystem(&hooked);
        auto calculator = attach();
        open(releaseFolder);
        QCOMPARE(lines("status"), QStringList{"No updates are available"});
        const QString reason = QString::fromStdU16String(platform::errorText(EIO)).trimmed();
        QVERIFY(!reason.isEmpty());
        QCOMPARE(lines("info"), QStringList{"No release in " + QDir::toNativeSeparators(releaseFolder) +
                                            ": MASTER.DAT could not be read (" + reason + ")"});
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        platform::installDiskSystem(disks.get());
        QCOMPARE(traceOf(*calculator), (QStringList{"opening-read", "end-session"}));
        QCOMPARE(dialog->exitCode(), 3);
    }

    void browseToACompleteReleaseResumes()
    {
        auto calculator = attach();
        const QString chosen = temp.filePath("chosen");
        QVERIFY(QDir().mkpath(chosen));
        open(temp.filePath("no such folder"));
        QCOMPARE(lines("status").last(), QString("No updates are available"));
        QVERIFY(widget<QPushButton>("browseButton")->isVisible());
        QVERIFY(!widget<QPushButton>("actionButton")->isVisible());
        QVERIFY(!widget<QProgressBar>("progressBar")->isVisible());
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, kSessionTimeoutMs);
        QCOMPARE(traceOf(*calculator), (QStringList{"opening-read", "end-session"}));

        // Cancelling the folder dialog changes nothing.
        // Answers the folder dialog once it is up; an empty folder cancels it.
        auto chooseFolder = [this](const QString &folder) {
            auto *answer = new QTimer(this);
            connect(answer, &QTimer::timeout, this, [answer, folder] {
                auto *chooser = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
                if (chooser == nullptr || !chooser->isVisible())
                    return;
                answer->deleteLater();
                answer->stop();
                if (folder.isEmpty()) {
                    chooser->reject();
                    return;
                }
                // As a user does: in the folder's parent, its name typed.
                chooser->setDirectory(QFileInfo(folder).path());
                auto *name = chooser->findChild<QLineEdit *>("fileNameEdit");
                QVERIFY(name != nullptr);
                name->setText(QFileInfo(folder).fileName());
                static_cast<QDialog *>(chooser)->done(QDialog::Accepted);
            });
            answer->start(10);
            widget<QPushButton>("browseButton")->click();
        };
        chooseFolder(QString());
        QCOMPARE(dialog->firmwareFolder, temp.filePath("no such folder"));
        QCOMPARE(lines("status").last(), QString("No updates are available"));

        // An empty folder: scanned again, still nothing.
        chooseFolder(chosen);
        QCOMPARE(dialog->firmwareFolder, chosen);
        QCOMPARE(lines("status").last(), QString("No updates are available"));

        // The release appears; choosing the same folder again scans it again,
        // and the update starts anew: bar, Cancel, countdown, three files.
        QVERIFY(writeRelease(chosen, {"tavix_app.dat", "tavix_os.rom", "Tavix_Master.dat"}));
        chooseFolder(chosen);
        QVERIFY(dialog->useCurrentNames);
        QVERIFY(widget<QProgressBar>("progressBar")->isVisible());
        QCOMPARE(widget<QPushButton>("actionButton")->text(), QString("Cancel"));
        QVERIFY(!widget<QPushButton>("browseButton")->isVisible());
        QCOMPARE(lines("file").last(), QDir::toNativeSeparators(chosen + "/tavix_app.dat"));
        QTRY_COMPARE(dialog->worker->nextFileDiskOffset(), 0x500000); // the worker takes the release at its next pass
        QVERIFY(waitFor("status: Done"));
        QVERIFY(lines("button").contains("Start - 2"));
        // Current names, same roles: the same bytes at the same offsets.
        verifyHoldsRelease(*calculator, chosen);
    }

    void slotTexts()
    {
        // A session that has not ended, its worker stopped: nothing else
        // writes the status while these run.
        dialog = std::make_unique<CCalcFWUpdateMSDialog>(releaseFolder, 1);
        dialog->stopWorker();
        auto *status = widget<QLabel>("statusLabel");
        QMetaObject::invokeMethod(dialog.get(), "onWaitingTicks", Q_ARG(int, 0));
        QCOMPARE(status->text(), QString("Waiting for connection.."));
        QMetaObject::invokeMethod(dialog.get(), "onWaitingTicks", Q_ARG(int, -3));
        QCOMPARE(status->text(), QString("Waiting for connection.."));
        QMetaObject::invokeMethod(dialog.get(), "onWaitingTicks", Q_ARG(int, 4));
        QCOMPARE(status->text(), QString("Waiting for connection......"));
        emit dialog->updateMessage(QString());
        QTRY_COMPARE(widget<QLabel>("fileLabel")->text(), QString());
        emit dialog->updateMessage("C:\\release\\MASTER.DAT");
        // The transfer's form of the path, shown as the system writes paths.
        QTRY_COMPARE(widget<QLabel>("fileLabel")->text(), QDir::toNativeSeparators("C:/release/MASTER.DAT"));
    }

    void cartOfThirtyCalculators_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("givenUp");
        QTest::addColumn<QString>("reason");
        QTest::newRow("en") << 1 << "Updated 27 of 30 calculators" << "given up (112)"
                            << withSystemError("The calculator stopped accepting data.", EIO);
        QTest::newRow("de") << 4 << "27 von 30 Rechnern aktualisiert" << "aufgegeben (112)"
                            << withSystemError("Der Rechner hat aufgehört, Daten anzunehmen.", EIO);
    }
    void cartOfThirtyCalculators()
    {
        // Thirty calculators, the 5th, 14th and 23rd failing every write; the
        // others end with the whole release, the three are given up.
        // The list under the bar shows each calculator; every text fits its
        // column, or the list scrolls to it; the given-up one says so, to a
        // screen reader too. A picture of the end is left for anyone to look at.
        QFETCH(int, language);
        QFETCH(QString, summary);
        QFETCH(QString, givenUp);
        QFETCH(QString, reason);
        std::vector<std::shared_ptr<emulator::Calculator>> cart;
        for (int i = 0; i < 30; ++i)
            cart.push_back(attach(i == 4 || i == 13 || i == 22 ? "fail-writes=all" : ""));

        bool midway = false; // a picture while the second file goes out
        int countdownRows = 0; // the list's rows as the countdown shows 3 s
        onShown = [&](const QString &line) {
            if (line.endsWith(" - 3")) {
                const auto *found = widget<QTreeWidget>("calculatorList");
                countdownRows = found->isVisible() ? found->topLevelItemCount() : -1;
            }
            if (!midway && midTransfer(line) && lines("calculator").filter(QRegularExpression(" 2 .* 3")).size() > 0) {
                dialog->layout()->activate();
                midway = dialog->grab().save(picturePath("calculators", "transfer"));
            }
        };
        open(releaseFolder, language);
        QVERIFY(QTest::qWaitFor([&] { return !lines("summary").isEmpty(); }, 4 * kSessionTimeoutMs));
        QCOMPARE(lines("summary"), QStringList{summary});
        QCOMPARE(lines("status").last(), QString("Update failed (112)"));

        auto *list = widget<QTreeWidget>("calculatorList");
        QVERIFY(list != nullptr && list->isVisible());
        QCOMPARE(list->topLevelItemCount(), 30);
        dialog->layout()->activate();
        int wanted = 0;
        for (int column = 0; column < 2; ++column) {
            int widest = 0;
            for (int row = 0; row < 30; ++row) {
                const QTreeWidgetItem *item = list->topLevelItem(row);
                widest = std::max(widest, QFontMetrics(item->font(column)).horizontalAdvance(item->text(column)));
                QVERIFY(!item->data(column, Qt::AccessibleTextRole).toString().isEmpty());
            }
            QVERIFY2(list->header()->sectionSize(column) >= widest, qPrintable(QString("column %1").arg(column)));
            wanted += list->header()->sectionSize(column);
        }
        QVERIFY(wanted <= list->viewport()->width() ||
                list->horizontalScrollBar()->maximum() >= wanted - list->viewport()->width());
        QVERIFY(list->verticalScrollBar()->maximum() > 0); // thirty rows scroll
        const QTreeWidgetItem *fifth = list->topLevelItem(4);
        QCOMPARE(fifth->text(1), givenUp);
        QVERIFY(fifth->font(1).bold());
        QVERIFY(fifth->data(1, Qt::AccessibleTextRole).toString().contains(givenUp));
        // Its reason in words in its row; none for an updated one.
        QCOMPARE(fifth->toolTip(1), reason);
        QCOMPARE(fifth->data(1, Qt::AccessibleDescriptionRole).toString(), reason);
        QVERIFY(list->topLevelItem(0)->toolTip(1).isEmpty());

        // The end reads whole: the summary on a line of its own, the reason
        // wrapped to as many lines as it needs, the list right under the
        // summary and growing with the window.
        const auto *summaryLabel = widget<QLabel>("summaryLabel");
        const auto *info = widget<QLabel>("infoLabel");
        QVERIFY(summaryLabel->isVisible());
        QCOMPARE(summaryLabel->text(), summary);
        QVERIFY(summaryLabel->width() >= summaryLabel->sizeHint().width());
        // (the reason of whichever of the three was given up last)
        QVERIFY2(QStringList({"TAVIX5", "TAVIX14", "TAVIX23"}).contains(info->text().section(": ", 0, 0)) &&
                     info->text().endsWith(": " + reason),
                 qPrintable(info->text()));
        QVERIFY(info->wordWrap());
        QVERIFY2(info->height() >= info->heightForWidth(info->width()),
                 qPrintable(QString("%1 < %2").arg(info->height()).arg(info->heightForWidth(info->width()))));
        QCOMPARE(list->geometry().top() - summaryLabel->geometry().bottom() - 1, dialog->layout()->spacing());

        onShown = nullptr;
        QVERIFY(midway);
        QCOMPARE(countdownRows, 30); // every calculator found is listed before the first write
        QVERIFY(dialog->grab().save(picturePath("calculators", "end")));
        const int listHeight = list->height();
        dialog->resize(dialog->width(), dialog->height() + 120);
        dialog->layout()->activate();
        QCOMPARE(list->height(), listHeight + 120);
        for (int i = 0; i < 30; ++i)
            if (i != 4 && i != 13 && i != 22)
                verifyHoldsRelease(*cart[std::size_t(i)], releaseFolder);
    }

    void germanTextsAndScreenshots_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<QString>("waiting");
        QTest::addColumn<QString>("countdown");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("done");
        QTest::addColumn<QString>("title");
        QTest::newRow("en") << 1 << "Waiting for connection" << "Waiting to start\u2026" << "Start" << "Done"
                            << "Firmware update";
        QTest::newRow("de") << 4 << "Warte auf Verbindung" << "Warte auf Start\u2026" << "Starten" << "Fertig"
                            << "Firmware-Update";
    }
    void germanTextsAndScreenshots()
    {
        // The texts from the real resource files beside the program, and a
        // picture of the window in each phase for anyone to look at.
        QFETCH(int, language);
        QFETCH(QString, waiting);
        QFETCH(QString, countdown);
        QFETCH(QString, start);
        QFETCH(QString, done);
        QFETCH(QString, title);
        auto calculator = attach(QString(), 1000);
        emulator::Faults slow = calculator->faults();
        slow.bytesPerSecond = 400000;
        calculator->setFaults(slow);
        const QString folder = QString::fromUtf8(TAVIX_SCREENSHOT_DIR);
        QVERIFY(QDir().mkpath(folder));
        // (On a scaled screen the pictures are named for the scale: "en-done@2x.png".)
        const qreal scale = qApp->devicePixelRatio();
        const QString tag = QString::fromLatin1(QTest::currentDataTag());
        const QString suffix = scale == 1 ? QString(".png") : QString("@%1x.png").arg(scale);
        QStringList saved;
        auto snap = [&](const QString &phase) {
            // Every text has the room it needs, at every scale.
            const QStringList cuts = testsupport::cutTexts(dialog.get());
            QVERIFY2(cuts.isEmpty(), qPrintable(phase + ": " + cuts.join("; ")));
            const QPixmap picture = dialog->grab();
            const QString path = folder + "/" + tag + "-" + phase + suffix;
            if (!picture.isNull() && picture.width() >= 525 && picture.save(path))
                saved << phase;
        };
        onShown = [&](const QString &line) {
            if (line.startsWith("status: " + waiting) && !saved.contains("waiting"))
                snap("waiting");
            else if (line == "button: " + start + " - 3")
                snap("countdown");
            else if (midTransfer(line) && !saved.contains("transfer"))
                snap("transfer");
        };
        open(releaseFolder, language);
        // The last picture once the session has ended (file line cleared too).
        // (Cut before this function's locals go: the window's end in cleanup()
        // ends a session too.)
        struct Cut {
            QMetaObject::Connection connection;
            ~Cut() { QObject::disconnect(connection); }
        } whenEnded{connect(dialog.get(), &CCalcFWUpdateMSDialog::sessionEnded, this, [&] { snap("done"); })};
        QCOMPARE(dialog->windowTitle(), title);
        QVERIFY(waitFor("status: " + done));
        QTRY_COMPARE_WITH_TIMEOUT(saved, (QStringList{"waiting", "countdown", "transfer", "done"}), kSessionTimeoutMs);
        QVERIFY(lines("status").contains(countdown));
        QVERIFY(lines("button").contains(start + " - 4"));
        QVERIFY(lines("button").contains(start + " (disabled)"));
        verifyHoldsRelease(*calculator, releaseFolder);
    }

    void nothingInTheWindowIsCut_data()
    {
        QTest::addColumn<int>("language");
        QTest::newRow("en") << 1;
        QTest::newRow("de") << 4; // long words
        QTest::newRow("ja") << 8; // another script, no spaces to wrap at
        QTest::newRow("ru") << 9;
    }
    void nothingInTheWindowIsCut()
    {
        // Every text whole after every change the window shows (ctest runs
        // this at 100%, 150% and 200% too): waiting, the countdown, thirty
        // calculators written, one failing every write (a long reason), one
        // unplugged for good (missing), and the end.
        QFETCH(int, language);
        if (language == 8 && QFontDatabase().families(QFontDatabase::Japanese).isEmpty())
            QSKIP("Japanese not checked: Qt finds no font covering it, and would measure empty boxes "
                  "(on Linux scripts/install-deps --test installs fonts-ipafont-gothic for fontconfig; "
                  "under Wine the offscreen platform reads the one QT_QPA_FONTDIR folder)");
        for (int i = 0; i < 30; ++i)
            attach(i == 4 ? "fail-writes=all" : i == 7 ? "unplug-after=30000" : "", 2000);
        const QStringList phases{"waiting", "countdown", "transfer", "end", "no release"};
        int phase = 0;
        QSet<QString> checked; // the phases seen by a check
        QStringList cuts;
        bool queued = false;
        const auto check = [&] {
            queued = false;
            checked << phases[phase];
            for (const QString &cut : testsupport::cutTexts(dialog.get()))
                if (!cuts.contains(phases[phase] + ": " + cut))
                    cuts << phases[phase] + ": " + cut;
        };
        onShown = [&](const QString &line) {
            // Checked once the slot that changed the window is over.
            phase = std::max(phase, line.startsWith("summary: ")                           ? 3
                                    : midTransfer(line)                                    ? 2
                                    : line.startsWith("button: ") && line.endsWith(" - 3") ? 1
                                                                                           : 0);
            if (!std::exchange(queued, true))
                QTimer::singleShot(0, dialog.get(), check);
        };
        open(releaseFolder, language);
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, 4 * kSessionTimeoutMs);
        onShown = nullptr;
        QTRY_VERIFY(!queued);
        check();
        QCOMPARE(widget<QTreeWidget>("calculatorList")->topLevelItemCount(), 30);
        QVERIFY(!widget<QLabel>("infoLabel")->text().isEmpty()); // a reason at the end
        // Then a folder without a release: the reason names the folder, and
        // Browse is offered; the restart as administrator (which only Windows
        // offers) beside them.
        phase = 4;
        dialog->firmwareFolder = temp.filePath("an empty folder with a name as long as people give them");
        dialog->scanFirmwareFolder();
        QVERIFY(widget<QPushButton>("browseButton")->isVisible());
        widget<QPushButton>("restartButton")->show();
        check();
        QCOMPARE(checked.size(), phases.size());
        for (const QString &cut : cuts) // (all of them: a failure's message is cut at 1 KiB)
            qWarning("%s", qPrintable(cut));
        QVERIFY2(cuts.isEmpty(), qPrintable(cuts.join('\n')));
    }

    void settingsWhenNoFolderIsGiven_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<uint>("language");
        QTest::addColumn<QString>("folder");
        QTest::newRow("German, a Windows path")
            << "Language=4\nWorkFolder=C:\\\\Users\\\\ana\\\\XQ Work\n" << 4u << "C:/Users/ana/XQ Work/Firmware";
        QTest::newRow("language out of range") << "Language=12\nWorkFolder=/data/xq\n" << 1u << "/data/xq/Firmware";
        QTest::newRow("language not a number") << "Language=German\nWorkFolder=/data/xq\n" << 0u
                                               << "/data/xq/Firmware";
    }
    void settingsWhenNoFolderIsGiven()
    {
        QFETCH(QString, stored);
        QFETCH(uint, language);
        QFETCH(QString, folder);
        QFile file(temp.filePath("settings/XQ/XQ Tarnlink.conf"));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\n" + stored.toUtf8());
        file.close();
        // On Windows the suite keeps its settings in the registry: the same
        // values go there, as the suite would have written them.
        QSettings native(QSettings::NativeFormat, QSettings::UserScope, "XQ", "XQ Tarnlink");
        const bool registry = native.fileName().startsWith(QLatin1String("\\HKEY"));
        QMap<QString, QVariant> values;
        if (registry) {
            const QSettings ini(file.fileName(), QSettings::IniFormat);
            for (const QString &key : ini.allKeys())
                values[key] = ini.value(key);
            native.clear();
            for (auto it = values.cbegin(); it != values.cend(); ++it)
                native.setValue(it.key(), it.value());
            native.sync();
        }
        dialog = std::make_unique<CCalcFWUpdateMSDialog>(QString(), 3);
        QCOMPARE(dialog->languageIndex, language);
        QCOMPARE(dialog->firmwareFolder, folder);
        QCOMPARE(QCoreApplication::organizationName(), QString("XQ"));
        QCOMPARE(QCoreApplication::applicationName(), QString("XQ Tarnlink"));
        // Read, never written.
        if (registry) {
            native.sync();
            QCOMPARE(native.allKeys().size(), values.size());
            for (auto it = values.cbegin(); it != values.cend(); ++it)
                QCOMPARE(native.value(it.key()), it.value());
            native.clear();
            return;
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(file.readAll()), "[General]\n" + stored);
    }

    void noSettingsStored()
    {
        QFile::remove(temp.filePath("settings/XQ/XQ Tarnlink.conf"));
        dialog = std::make_unique<CCalcFWUpdateMSDialog>(QString(), 1);
        const QStringList documents = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
        const QString base = documents.isEmpty() ? QDir::homePath() : documents.first();
        QCOMPARE(dialog->firmwareFolder, base + "/XQ Tarnlink/Firmware");
        QVERIFY(dialog->languageIndex >= 1 && dialog->languageIndex <= 8);
        QVERIFY(!QFile::exists(temp.filePath("settings/XQ/XQ Tarnlink.conf")));
    }

    void aFolderOnTheCommandLineSkipsTheSettings()
    {
        QFile file(temp.filePath("settings/XQ/XQ Tarnlink.conf"));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\nLanguage=4\nWorkFolder=/elsewhere\n");
        file.close();
        dialog = std::make_unique<CCalcFWUpdateMSDialog>("some/folder/", 10);
        QCOMPARE(dialog->firmwareFolder, QString("some/folder/"));
        QCOMPARE(dialog->languageIndex, 1u); // 10 is out of range
        dialog.reset();
        dialog = std::make_unique<CCalcFWUpdateMSDialog>("some/folder", 0);
        QCOMPARE(dialog->languageIndex, 0u);
    }
};

QTEST_MAIN(TestUpdateDialog)
#include "test_update_dialog.moc"
