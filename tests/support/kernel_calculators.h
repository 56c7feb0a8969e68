// Simulated calculators behind real block devices, for suites and benchmarks
// that go through the kernel: starts tavix-calcfs (calcfs.cpp) in a folder of
// its own, reads what it set up, stops it, and runs a program the way the
// product runs on a machine with those disks (in a private mount namespace
// with the fake tree over /sys).
//
//   KernelCalculators box;
//   if (!box.start(environment, {"sata"}))
//       QSKIP(qPrintable(box.skipReason()));   // or fail on box.error()
//   ProgramRun run = box.runWithTree(productPath, {folder, "1"}, 120000);
//   box.stop();                                 // images and traces saved
//   QVERIFY2(box.leftovers().isEmpty(), ...);
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

// A program's run: how it ended, what it printed, how long it took.
struct ProgramRun {
    bool finished = false; // false: it did not end in time and was killed
    int exitCode = -1;
    QStringList output;    // standard output, one line each
    QList<qint64> outputMs; // when each line arrived, from the start
    QString errors;        // standard error
    qint64 elapsedMs = 0;

    // When the first line that starts with `prefix` arrived; -1 when none did.
    qint64 msOf(const QString &prefix) const;
};

class KernelCalculators {
public:
    struct Disk {
        bool isCalculator = true;
        QString device;    // "/dev/loopX"
    };

    KernelCalculators();
    // Stops tavix-calcfs (killing it when it does not stop), whatever happened.
    ~KernelCalculators();
    KernelCalculators(const KernelCalculators &) = delete;
    KernelCalculators &operator=(const KernelCalculators &) = delete;

    // Why this machine cannot run it (not root, no /dev/fuse, no loop
    // devices, no unshare or fusermount3, tavix-calcfs not built), or empty.
    static QString missingPrerequisite();

    // Starts tavix-calcfs with the calculators `environment` describes
    // (TAVIX_SIM_*; TAVIX_SIM_OUTPUT is set to output()) and the other disks
    // ("sata", "usb:VENDOR:PRODUCT"). False with error() when it does not
    // come up.
    bool start(const QProcessEnvironment &environment, const QStringList &otherDisks = {});
    QString error() const;
    // After a failed start: the machine refused a FUSE mount or a loop device
    // although everything missingPrerequisite() looks for is there.
    bool machineRefused() const;

    QString sysfsRoot() const;
    const QList<Disk> &disks() const;
    QString output() const; // where calculator-N.img/.trace and other-N.* are saved
    qint64 pid() const;

    // `program` with `arguments`, as on a machine whose disks are these: in a
    // private mount namespace with the fake tree bound over /sys, the real
    // /dev, the window on the offscreen platform, TAVIX_ECHO_DISPLAY=1. With
    // a `uid` other than 0 the program runs as that user (its group the
    // same number, no other groups, no capabilities), HOME a folder of its own.
    // With `endAfter` (a regular expression), the program is ended (SIGTERM)
    // two seconds after it shows a line that matches: for a session whose
    // window stays.
    ProgramRun runWithTree(const QString &program, const QStringList &arguments, int timeoutMs,
                           unsigned uid = 0, const QString &endAfter = QString()) const;

    // Ends tavix-calcfs with SIGTERM and waits; true when it exited with 0
    // (its disks detached, unmounted, saved).
    bool stop();
    // Ends it with SIGKILL, as a crash would.
    void kill();

    // What is still there of it: its process, its mount, loop devices on its
    // files. Empty when nothing is; the kernel's own clean-up is waited for
    // (up to `waitMs`).
    QString leftovers(int waitMs = 5000) const;

private:
    QTemporaryDir work_;
    std::unique_ptr<QProcess> daemon_;
    QString error_;
    bool machineRefused_ = false;
    QString sysfsRoot_;
    QList<Disk> disks_;
    qint64 pid_ = 0;
};

} // namespace testsupport
