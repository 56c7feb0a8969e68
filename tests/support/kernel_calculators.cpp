#include "support/kernel_calculators.h"

#include <QRegularExpression>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <signal.h>
#include <unistd.h>

namespace testsupport {

namespace {

const char kCalcfs[] = TAVIX_CALCFS_PATH; // empty when it was not built

// The lines of /proc/self/mountinfo-like text `path` that mention `needle`.
QStringList linesWith(const QString &path, const QString &needle)
{
    QFile file(path);
    QStringList found;
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.contains(needle.toUtf8()))
            found << QString::fromUtf8(line);
    return found;
}

} // namespace

qint64 ProgramRun::msOf(const QString &prefix) const
{
    for (int i = 0; i < output.size(); ++i)
        if (output[i].startsWith(prefix))
            return outputMs.value(i, -1);
    return -1;
}

KernelCalculators::KernelCalculators() = default;

KernelCalculators::~KernelCalculators()
{
    if (daemon_ && daemon_->state() != QProcess::NotRunning && !stop())
        kill();
}

QString KernelCalculators::missingPrerequisite()
{
    if (::geteuid() != 0)
        return "loop devices and mounts need root";
    if (QString(kCalcfs).isEmpty() || !QFileInfo(kCalcfs).isExecutable())
        return "tavix-calcfs was not built (libfuse3-dev missing when configured)";
    if (!QFileInfo::exists("/dev/fuse"))
        return "no /dev/fuse on this machine";
    if (!QFileInfo::exists("/dev/loop-control"))
        return "no loop devices on this machine (/dev/loop-control)";
    for (const char *tool : {"unshare", "mount", "fusermount3"})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            return QString("no %1 on this machine").arg(tool);
    return QString();
}

bool KernelCalculators::start(const QProcessEnvironment &environment, const QStringList &otherDisks)
{
    const QString missing = missingPrerequisite();
    if (!missing.isEmpty()) {
        error_ = missing;
        return false;
    }
    if (!work_.isValid()) {
        error_ = "no temporary folder";
        return false;
    }
    QProcessEnvironment env = environment;
    env.insert("TAVIX_SIM_OUTPUT", output());
    QStringList arguments{work_.path()};
    for (const QString &other : otherDisks)
        arguments << "--other" << other;
    daemon_.reset(new QProcess);
    daemon_->setProcessEnvironment(env);
    daemon_->start(kCalcfs, arguments);
    if (!daemon_->waitForStarted(10000)) {
        error_ = "tavix-calcfs did not start";
        return false;
    }
    pid_ = daemon_->processId();
    QElapsedTimer clock;
    clock.start();
    QString text;
    while (!text.contains("ready\n") && clock.elapsed() < 30000) {
        if (daemon_->state() == QProcess::NotRunning)
            break;
        daemon_->waitForReadyRead(200);
        text += QString::fromUtf8(daemon_->readAllStandardOutput());
    }
    if (!text.contains("ready\n")) {
        error_ = "tavix-calcfs did not come up: " + QString::fromUtf8(daemon_->readAllStandardError()).trimmed();
        machineRefused_ = daemon_->state() == QProcess::NotRunning &&
                          daemon_->exitStatus() == QProcess::NormalExit && daemon_->exitCode() == 3;
        return false;
    }
    for (const QString &line : text.split('\n', Qt::SkipEmptyParts)) {
        const QStringList words = line.split(' ');
        if (words.size() == 2 && words[0] == "sysfs")
            sysfsRoot_ = words[1];
        else if (words.size() == 5 && words[0] == "disk")
            disks_ << Disk{words[2] == "calculator", words[3]};
    }
    return true;
}

QString KernelCalculators::error() const
{
    return error_;
}

bool KernelCalculators::machineRefused() const
{
    return machineRefused_;
}

QString KernelCalculators::sysfsRoot() const
{
    return sysfsRoot_;
}

const QList<KernelCalculators::Disk> &KernelCalculators::disks() const
{
    return disks_;
}

QString KernelCalculators::output() const
{
    return work_.path() + "/saved";
}

qint64 KernelCalculators::pid() const
{
    return pid_;
}

ProgramRun KernelCalculators::runWithTree(const QString &program, const QStringList &arguments,
                                          int timeoutMs, unsigned uid, const QString &endAfter) const
{
    ProgramRun run;
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("TAVIX_ECHO_DISPLAY", "1");
    QStringList command{program};
    if (uid != 0) {
        const QString home = work_.path() + QString("/home-%1").arg(uid);
        QDir().mkpath(home);
        if (::chown(QFile::encodeName(home).constData(), uid, uid) != 0)
            qWarning("cannot hand %s to user %u", qPrintable(home), uid);
        env.insert("HOME", home);
        env.remove("XDG_RUNTIME_DIR");
        command = QStringList{"setpriv", QString("--reuid=%1").arg(uid), QString("--regid=%1").arg(uid),
                              "--clear-groups", "--inh-caps=-all", "--", program};
    } else {
        // The product's one-copy lock in a runtime folder of the suite's
        // own: a person's running copy is never met.
        const QString runtime = work_.path() + "/runtime";
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("XDG_RUNTIME_DIR", runtime);
    }
    process.setProcessEnvironment(env);
    // The bind mount lives and dies with the namespace: nothing of it is
    // seen outside, and it is gone when the program ends.
    QStringList shell{"--mount", "--propagation", "private", "--", "sh", "-c",
                      "mount --bind \"$0\" /sys && exec \"$@\"", sysfsRoot_};
    shell << command << arguments;
    QElapsedTimer clock;
    clock.start();
    process.start("unshare", shell);
    if (!process.waitForStarted(10000)) {
        run.errors = "unshare did not start";
        return run;
    }
    // Read as it comes, so that every line carries the time it arrived.
    QByteArray pending;
    const auto takeLines = [&] {
        pending += process.readAllStandardOutput();
        int end;
        while ((end = pending.indexOf('\n')) >= 0) {
            run.output << QString::fromUtf8(pending.left(end));
            run.outputMs << clock.elapsed();
            pending.remove(0, end + 1);
        }
    };
    qint64 endAt = -1;
    while (process.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs) {
        process.waitForReadyRead(50);
        takeLines();
        if (endAt < 0 && !endAfter.isEmpty() && !run.output.filter(QRegularExpression(endAfter)).isEmpty())
            endAt = clock.elapsed() + 2000;
        if (endAt >= 0 && clock.elapsed() >= endAt) {
            process.terminate();
            process.waitForFinished(10000);
            takeLines();
            run.finished = true;
            run.elapsedMs = clock.elapsed();
            run.exitCode = 0;
            run.errors = QString::fromUtf8(process.readAllStandardError());
            return run;
        }
    }
    run.finished = process.state() == QProcess::NotRunning || process.waitForFinished(0);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(10000);
    }
    takeLines();
    run.elapsedMs = clock.elapsed();
    run.exitCode = run.finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

bool KernelCalculators::stop()
{
    if (!daemon_ || daemon_->state() == QProcess::NotRunning)
        return daemon_ && daemon_->exitStatus() == QProcess::NormalExit && daemon_->exitCode() == 0;
    ::kill(pid_t(pid_), SIGTERM);
    if (!daemon_->waitForFinished(60000)) {
        kill();
        return false;
    }
    return daemon_->exitStatus() == QProcess::NormalExit && daemon_->exitCode() == 0;
}

void KernelCalculators::kill()
{
    if (!daemon_ || daemon_->state() == QProcess::NotRunning)
        return;
    daemon_->kill();
    daemon_->waitForFinished(10000);
}

QString KernelCalculators::leftovers(int waitMs) const
{
    const QString mountPoint = work_.path() + "/mnt";
    QElapsedTimer clock;
    clock.start();
    QStringList found;
    for (;;) {
        found.clear();
        if (pid_ != 0 && QFileInfo::exists(QString("/proc/%1").arg(pid_)) && daemon_ &&
            daemon_->state() != QProcess::NotRunning)
            found << QString("tavix-calcfs still runs (pid %1)").arg(pid_);
        for (const QString &line : linesWith("/proc/self/mountinfo", mountPoint))
            found << "mounted: " + line;
        const QStringList loops = QDir("/sys/block").entryList({"loop*"}, QDir::Dirs | QDir::NoDotAndDotDot);
        for (const QString &loop : loops) {
            QFile backing("/sys/block/" + loop + "/loop/backing_file");
            if (backing.open(QIODevice::ReadOnly) && backing.readAll().startsWith(mountPoint.toUtf8()))
                found << "/dev/" + loop + " still attached";
        }
        if (found.isEmpty() || clock.elapsed() >= waitMs)
            break;
        QThread::msleep(50);
    }
    return found.join("; ");
}

} // namespace testsupport
