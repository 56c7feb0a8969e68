// The update window as the program opens it, on simulated calculators and a
// clock ten times as fast as real time, and everything it showed (its
// displayChanged reports). The suites that drive the window derive their
// test class from WindowUnderTest and call startCase / endCase from their
// init / cleanup; QTEST_MAIN sets up the application as the program does
// (initMain), so that QT_SCALE_FACTOR shows the window as on a scaled display.
#pragma once

#include "app/high_dpi.h"
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "platform/disk_system.h"
#include "support/calculator_fixtures.h"
#include "ui/update_dialog.h"

#include <QtTest>
#include <QtWidgets>

#include <cstdint>
#include <functional>
#include <memory>

namespace testsupport {

constexpr std::uint32_t kClockScale = 10;
constexpr int kSessionTimeoutMs = 60000; // real time; a session takes a few seconds

class WindowUnderTest : public QObject {
public:
    // The application as the program makes it. The offscreen platform says
    // its screen has 100 DPI, which no display at 100% has: the suites take
    // their scale from QT_SCALE_FACTOR alone (1, or what ctest gives).
    static void initMain()
    {
        useHighDpiScaling();
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    }

protected:
    std::unique_ptr<emulator::EmulatedDiskSystem> disks;
    std::unique_ptr<CCalcFWUpdateMSDialog> dialog;
    QStringList shown;       // "field: value", in order
    QList<quint64> shownAt;  // the clock's time of each
    std::function<void(const QString &line)> onShown; // a test reacts to a line here
    int sessionsEnded = 0;   // sessionEnded: the end-of-session command has gone out

    // No calculator yet, the fast clock, nothing shown.
    void startCase()
    {
        platform::useScaledClock(kClockScale);
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        platform::installDiskSystem(disks.get());
        shown.clear();
        shownAt.clear();
        onShown = nullptr;
        sessionsEnded = 0;
    }
    // The window gone, and with it every handle to a calculator.
    void endCase()
    {
        onShown = nullptr;
        dialog.reset();
        // A session that said "Done" has asked the application to quit, which
        // outside exec() makes every later event loop (a folder dialog's)
        // return at once; the application's own loop, run briefly, clears it.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
        QVERIFY(gUpdateDialog == nullptr);
        platform::installDiskSystem(nullptr);
        QCOMPARE(disks->openHandleCount(), 0);
        disks.reset();
        platform::useSimulatedClock(false);
    }

    std::shared_ptr<emulator::Calculator> attach(const QString &faults = QString(), quint64 attachAtMs = 0)
    {
        return attachCalculator(*disks, faults, attachAtMs);
    }

    // The window as the program opens it: constructed, shown, then the scan.
    // `stallMs` (real time) holds the GUI thread before the scan, as a release
    // on a slow network share does; the worker runs meanwhile. `station`: --station.
    void open(const QString &folder, int language = 1, unsigned long stallMs = 0, bool station = false)
    {
        dialog = std::make_unique<CCalcFWUpdateMSDialog>(folder, language);
        dialog->setStationMode(station);
        connect(dialog.get(), &CCalcFWUpdateMSDialog::displayChanged, this,
                [this](const QString &field, const QString &value) {
                    const QString line = field + ": " + value;
                    shown << line;
                    shownAt << platform::nowMs();
                    if (onShown)
                        onShown(line);
                });
        connect(dialog.get(), &CCalcFWUpdateMSDialog::sessionEnded, this, [this] { ++sessionsEnded; });
        QApplication::setActiveWindow(dialog.get());
        dialog->show();
        QThread::msleep(stallMs);
        dialog->scanFirmwareFolder();
    }

    bool waitFor(const QString &line, int timeoutMs = kSessionTimeoutMs)
    {
        return QTest::qWaitFor([&] { return shown.contains(line); }, timeoutMs);
    }
    QStringList lines(const QString &field) const
    {
        QStringList out;
        for (const QString &line : shown)
            if (line.startsWith(field + ": "))
                out << line.mid(field.size() + 2);
        return out;
    }
    template <typename T> T *widget(const char *name) const { return dialog->findChild<T *>(QString::fromLatin1(name)); }
};

} // namespace testsupport
