#include "support/loop_calculator.h"

#include "platform/device_path.h"
#include "platform/disk_system.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Runs losetup with `arguments`; true with its standard output on success,
// false with a one-line reason.
bool runLosetup(const QStringList &arguments, QString *output)
{
    QProcess losetup;
    losetup.start("losetup", arguments);
    if (!losetup.waitForStarted(10000)) {
        *output = "losetup could not be started";
        return false;
    }
    if (!losetup.waitForFinished(30000)) {
        losetup.kill();
        losetup.waitForFinished(5000);
        *output = "losetup did not finish";
        return false;
    }
    if (losetup.exitStatus() != QProcess::NormalExit || losetup.exitCode() != 0) {
        *output = QString::fromLocal8Bit(losetup.readAllStandardError()).trimmed();
        return false;
    }
    *output = QString::fromLocal8Bit(losetup.readAllStandardOutput()).trimmed();
    return true;
}

} // namespace

LoopCalculator::LoopCalculator(const CalculatorIdentity &identity, qint64 imageBytes, int sectorSize)
    : identity_(identity)
{
    if (::geteuid() != 0) {
        skipReason_ = "attaching a loop device needs root";
        return;
    }
    if (!work_.isValid()) {
        skipReason_ = "no temporary folder for the image";
        return;
    }
    QFile image(imagePath());
    if (!image.open(QIODevice::WriteOnly) || !image.resize(imageBytes)) {
        skipReason_ = "cannot make the image " + imagePath();
        return;
    }
    image.close();

    QString output;
    QStringList arguments{"-f", "--show", imagePath()};
    if (sectorSize != 0)
        arguments << "--sector-size" << QString::number(sectorSize);
    if (!runLosetup(arguments, &output)) {
        skipReason_ = "losetup -f --show failed (no loop devices here?): " + output;
        return;
    }
    loopDevice_ = output;

    struct stat st;
    if (::stat(QFile::encodeName(loopDevice_).constData(), &st) != 0 || !S_ISBLK(st.st_mode)) {
        skipReason_ = "losetup named " + loopDevice_ + " but no such block node exists";
        return; // the destructor still detaches it
    }
    dev_.major = ::major(st.st_rdev);
    dev_.minor = ::minor(st.st_rdev);

    sysfs_.reset(new FakeSysfs);
    if (!sysfs_->isValid() ||
        sysfs_->addUsbDisk(blockName(), identity_.vendor, identity_.model, identity_.revision,
                           identity_.serial, "08", dev_).isEmpty()) {
        skipReason_ = "cannot build the fake sysfs tree";
        return;
    }
}

LoopCalculator::~LoopCalculator()
{
    if (loopDevice_.isEmpty())
        return;
    QString output;
    if (!runLosetup({"-d", loopDevice_}, &output))
        qWarning("could not detach %s: %s", qPrintable(loopDevice_), qPrintable(output));
}

bool LoopCalculator::isReady() const
{
    return skipReason_.isEmpty();
}

QString LoopCalculator::skipReason() const
{
    return skipReason_;
}

std::string LoopCalculator::sysfsRoot() const
{
    return sysfs_ ? sysfs_->rootPath() : std::string();
}

std::string LoopCalculator::devRoot() const
{
    return "/dev";
}

QString LoopCalculator::loopDevice() const
{
    return loopDevice_;
}

QString LoopCalculator::blockName() const
{
    return QFileInfo(loopDevice_).fileName();
}

QString LoopCalculator::imagePath() const
{
    return work_.path() + "/calculator.img";
}

DevNumbers LoopCalculator::devNumbers() const
{
    return dev_;
}

std::u16string LoopCalculator::expectedDevicePath() const
{
    std::string serial = platform::deviceIdField(identity_.serial.toStdString());
    if (serial.empty())
        serial = "0"; // what the backend names a device without a serial
    const std::string instance = serial + "&" + blockName().toStdString();
    return platform::fromUtf8(platform::usbStorageDevicePath(identity_.vendor.toStdString(),
                                                             identity_.model.toStdString(),
                                                             identity_.revision.toStdString(),
                                                             instance));
}

QByteArray LoopCalculator::imageBytes() const
{
    QFile image(imagePath());
    return image.open(QIODevice::ReadOnly) ? image.readAll() : QByteArray();
}

FakeSysfs &LoopCalculator::sysfs()
{
    return *sysfs_;
}

} // namespace testsupport
