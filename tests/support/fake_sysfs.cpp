#include "support/fake_sysfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

namespace testsupport {

FakeSysfs::FakeSysfs()
{
    if (dir_.isValid()) {
        QDir().mkpath(absolutePath("devices"));
        QDir().mkpath(absolutePath("block"));
        QDir().mkpath(devRoot());
    }
}

bool FakeSysfs::isValid() const
{
    return dir_.isValid() && QFileInfo(absolutePath("block")).isDir();
}

QString FakeSysfs::root() const
{
    return dir_.path() + "/sys";
}

QString FakeSysfs::devRoot() const
{
    return dir_.path() + "/dev";
}

std::string FakeSysfs::rootPath() const
{
    return QFile::encodeName(root()).toStdString();
}

std::string FakeSysfs::devRootPath() const
{
    return QFile::encodeName(devRoot()).toStdString();
}

QString FakeSysfs::absolutePath(const QString &relativePath) const
{
    return root() + "/" + relativePath;
}

QString FakeSysfs::blockDir(const QString &blockName) const
{
    return disks_.value(blockName).block;
}

QString FakeSysfs::deviceDir(const QString &blockName) const
{
    return disks_.value(blockName).device;
}

QString FakeSysfs::usbInterfaceDir(const QString &blockName) const
{
    return disks_.value(blockName).usbInterface;
}

QString FakeSysfs::usbDeviceDir(const QString &blockName) const
{
    return disks_.value(blockName).usbDevice;
}

QByteArray FakeSysfs::scsiField(const QByteArray &text, int width)
{
    QByteArray field = text.left(width);
    field.append(QByteArray(width - field.size(), ' '));
    return field + "\n";
}

DevNumbers FakeSysfs::numbersFor(DevNumbers dev, quint32 major)
{
    if (dev.major != 0 || dev.minor != 0)
        return dev;
    DevNumbers fresh;
    fresh.major = major;
    fresh.minor = nextMinor_;
    nextMinor_ += 16;
    return fresh;
}

bool FakeSysfs::writeFile(const QString &relativePath, const QByteArray &bytes)
{
    const QString path = absolutePath(relativePath);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

bool FakeSysfs::makeSymlink(const QString &relativePath, const QString &target)
{
    const QString path = absolutePath(relativePath);
    QDir().mkpath(QFileInfo(path).path());
    // Relative targets stay relative, as in the real tree.
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(path).constData()) == 0;
}

bool FakeSysfs::removePath(const QString &relativePath)
{
    const QString path = absolutePath(relativePath);
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

bool FakeSysfs::addBlockEntry(const QString &blockName, const QString &blockDir, DevNumbers dev)
{
    const QByteArray numbers = QByteArray::number(dev.major) + ":" + QByteArray::number(dev.minor) + "\n";
    return writeFile(blockDir + "/dev", numbers) && writeFile(blockDir + "/size", "2048\n") &&
           makeSymlink("block/" + blockName, "../" + blockDir);
}

QString FakeSysfs::finishDisk(bool ok, const QString &blockName, const Disk &disk, DevNumbers dev,
                              quint32 major, const QString &deviceLink)
{
    ok = ok && addBlockEntry(blockName, disk.block, numbersFor(dev, major)) &&
         makeSymlink(disk.block + "/device", deviceLink);
    disks_.insert(blockName, disk);
    return ok ? disk.device : QString();
}

QString FakeSysfs::addUsbDisk(const QString &blockName, const QByteArray &vendor,
                              const QByteArray &model, const QByteArray &revision,
                              const QByteArray &serial, const QByteArray &interfaceClass,
                              DevNumbers dev)
{
    const int port = nextUsbPort_++;
    const int host = nextScsiHost_++;
    const QString usbDevice = QString("devices/pci0000:00/0000:00:14.0/usb2/2-%1").arg(port);
    const QString interface = usbDevice + QString("/2-%1:1.0").arg(port);
    const QString lun = QString("%1:0:0:0").arg(host);
    const QString scsiDevice = interface + QString("/host%1/target%1:0:0/").arg(host) + lun;
    const QString blockDir = scsiDevice + "/block/" + blockName;

    bool ok = writeFile(usbDevice + "/idVendor", "abcd\n") && writeFile(usbDevice + "/idProduct", "1234\n");
    if (!serial.isNull())
        ok = ok && writeFile(usbDevice + "/serial", serial + "\n");
    ok = ok && writeFile(interface + "/bInterfaceClass", interfaceClass + "\n") &&
         writeFile(interface + "/bInterfaceSubClass", "06\n") &&
         writeFile(interface + "/bInterfaceProtocol", "50\n") &&
         writeFile(scsiDevice + "/vendor", scsiField(vendor, 8)) &&
         writeFile(scsiDevice + "/model", scsiField(model, 16)) &&
         writeFile(scsiDevice + "/rev", scsiField(revision, 4)) &&
         writeFile(scsiDevice + "/type", "0\n");
    return finishDisk(ok, blockName, Disk{usbDevice, blockDir, scsiDevice, interface, usbDevice}, dev, 8,
                      "../../../" + lun);
}

QString FakeSysfs::addSataDisk(const QString &blockName, const QByteArray &vendor,
                               const QByteArray &model, const QByteArray &revision, DevNumbers dev)
{
    const int port = ++nextOther_;
    const int host = nextScsiHost_++;
    const QString ata = QString("devices/pci0000:00/0000:00:17.0/ata%1").arg(port);
    const QString lun = QString("%1:0:0:0").arg(host);
    const QString scsiDevice = ata + QString("/host%1/target%1:0:0/").arg(host) + lun;
    const QString blockDir = scsiDevice + "/block/" + blockName;
    const bool ok = writeFile(scsiDevice + "/vendor", scsiField(vendor, 8)) &&
                    writeFile(scsiDevice + "/model", scsiField(model, 16)) &&
                    writeFile(scsiDevice + "/rev", scsiField(revision, 4));
    return finishDisk(ok, blockName, Disk{ata, blockDir, scsiDevice, QString(), QString()}, dev, 8,
                      "../../../" + lun);
}

QString FakeSysfs::addNvmeDisk(const QString &blockName, const QByteArray &model,
                               const QByteArray &serial, DevNumbers dev)
{
    const int index = ++nextOther_;
    const QString function = QString("devices/pci0000:00/0000:00:1d.0/0000:3d:00.%1").arg(index);
    const QString controller = function + QString("/nvme/nvme%1").arg(index);
    const QString blockDir = controller + "/" + blockName;
    const bool ok = writeFile(controller + "/model", model + "\n") &&
                    writeFile(controller + "/serial", serial + "\n") &&
                    writeFile(controller + "/firmware_rev", "2B2QEXM7\n");
    return finishDisk(ok, blockName, Disk{function, blockDir, controller, QString(), QString()}, dev, 259,
                      QString("../../nvme%1").arg(index));
}

QString FakeSysfs::addVirtioDisk(const QString &blockName, DevNumbers dev)
{
    const int index = ++nextOther_;
    const QString function = QString("devices/pci0000:00/0000:00:%1.0").arg(index + 3, 2, 10, QChar('0'));
    const QString virtio = function + QString("/virtio%1").arg(index);
    const QString blockDir = virtio + "/block/" + blockName;
    const bool ok = writeFile(virtio + "/vendor", "0x1af4\n") && writeFile(virtio + "/device", "0x0002\n");
    return finishDisk(ok, blockName, Disk{function, blockDir, virtio, QString(), QString()}, dev, 254,
                      QString("../../../virtio%1").arg(index));
}

QString FakeSysfs::addLoopDevice(const QString &blockName, DevNumbers dev)
{
    const QString blockDir = "devices/virtual/block/" + blockName;
    const bool ok = addBlockEntry(blockName, blockDir, numbersFor(dev, 7));
    disks_.insert(blockName, Disk{blockDir, blockDir, QString(), QString(), QString()});
    return ok ? blockDir : QString();
}

bool FakeSysfs::addPartition(const QString &blockName, const QString &partitionName, int number)
{
    const QString dir = blockDir(blockName) + "/" + partitionName;
    const DevNumbers dev = numbersFor(DevNumbers(), 8);
    return !blockDir(blockName).isEmpty() && writeFile(dir + "/partition", QByteArray::number(number) + "\n") &&
           writeFile(dir + "/dev", QByteArray::number(dev.major) + ":" + QByteArray::number(dev.minor) + "\n");
}

bool FakeSysfs::addDeviceNode(const QString &name)
{
    QFile node(devRoot() + "/" + name);
    return node.open(QIODevice::WriteOnly);
}

bool FakeSysfs::removeDisk(const QString &blockName)
{
    const QString top = disks_.take(blockName).top;
    const bool linkGone = removePath("block/" + blockName);
    return linkGone && (top.isEmpty() || removePath(top));
}

} // namespace testsupport
