// A fake sysfs tree in a temporary folder, laid out as a real machine shows it,
// for discovery tests: USB disks (calculators and others), SATA, NVMe, virtio
// and loop disks. Hand root() to PosixDiskSystem as its sysfs root.
//
// A USB disk "sdb" becomes, as on a real machine:
//   devices/pci0000:00/0000:00:14.0/usb2/2-1/                  serial, idVendor, idProduct
//   devices/.../usb2/2-1/2-1:1.0/                              bInterfaceClass ("08")
//   devices/.../2-1:1.0/host6/target6:0:0/6:0:0:0/             vendor, model, rev (padded)
//   devices/.../6:0:0:0/block/sdb/                              dev ("8:16")
//   block/sdb -> ../devices/.../6:0:0:0/block/sdb
//   devices/.../block/sdb/device -> ../../../6:0:0:0
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTemporaryDir>

#include <string>

namespace testsupport {

// Device numbers of a fake block entry. {0, 0} asks for fresh ones.
struct DevNumbers {
    quint32 major = 0; // the driver
    quint32 minor = 0; // the disk within the driver
};

class FakeSysfs {
public:
    // Makes an empty tree (devices/, block/) and an empty device-node folder.
    FakeSysfs();
    FakeSysfs(const FakeSysfs &) = delete;
    FakeSysfs &operator=(const FakeSysfs &) = delete;

    // False when the temporary folder could not be made.
    bool isValid() const;
    // The sysfs root ("<tmp>/sys") and a folder for fake device nodes ("<tmp>/dev").
    QString root() const;
    QString devRoot() const;
    std::string rootPath() const;
    std::string devRootPath() const;

    // A SCSI disk behind a USB interface of class `interfaceClass` (two hex
    // digits, "08" for mass storage). vendor / model / revision are written as
    // the kernel shows them: space-padded (or cut) to 8 / 16 / 4 columns and a
    // newline. A null `serial` leaves the USB device without a serial file.
    // Every add* returns the disk's device directory relative to root() (for
    // a SCSI disk, where vendor, model, rev are), or an empty string when the
    // tree could not be written.
    QString addUsbDisk(const QString &blockName, const QByteArray &vendor, const QByteArray &model,
                       const QByteArray &revision, const QByteArray &serial = QByteArray(),
                       const QByteArray &interfaceClass = "08", DevNumbers dev = DevNumbers());
    // A SCSI disk on a SATA port (libata names every vendor "ATA", but any text may be given).
    QString addSataDisk(const QString &blockName, const QByteArray &vendor = "ATA",
                        const QByteArray &model = "Samsung SSD 860", const QByteArray &revision = "4B6Q",
                        DevNumbers dev = DevNumbers());
    // An NVMe namespace ("nvme0n1"): its controller has model, serial, firmware_rev, no vendor.
    QString addNvmeDisk(const QString &blockName, const QByteArray &model = "Fast NVMe 1TB",
                        const QByteArray &serial = "S4EWNX0N", DevNumbers dev = DevNumbers());
    // A virtio disk ("vda"): the virtio device has vendor "0x1af4" and device "0x0002".
    QString addVirtioDisk(const QString &blockName, DevNumbers dev = DevNumbers());
    // A loop device ("loop0"): a virtual block entry with no device behind
    // it; returns its block directory.
    QString addLoopDevice(const QString &blockName, DevNumbers dev = DevNumbers());

    // Partition `number` of an added disk, as the kernel shows it: a folder
    // <block dir>/<partitionName> with "partition" and "dev", and no entry of
    // its own under block/.
    bool addPartition(const QString &blockName, const QString &partitionName, int number);
    // A stand-in for the device node <devRoot>/<name>: an empty regular file.
    bool addDeviceNode(const QString &name);

    // As if unplugged: the block entry and everything under its device go.
    bool removeDisk(const QString &blockName);

    // Where the parts of an added disk are, relative to root() (empty for a
    // disk that has no such part): its block directory (holding "dev"), its
    // device directory, and for a USB disk its interface (holding
    // "bInterfaceClass") and its USB device (holding "serial").
    QString blockDir(const QString &blockName) const;
    QString deviceDir(const QString &blockName) const;
    QString usbInterfaceDir(const QString &blockName) const;
    QString usbDeviceDir(const QString &blockName) const;
    QString absolutePath(const QString &relativePath) const;

    // Low-level changes, paths relative to root(); parents are made as needed.
    bool writeFile(const QString &relativePath, const QByteArray &bytes);
    bool makeSymlink(const QString &relativePath, const QString &target);
    bool removePath(const QString &relativePath);

    // `text` as a fixed-width SCSI inquiry field in sysfs: padded with spaces
    // (or cut) to `width`, then a newline. scsiField("XQ", 8) == "XQ      \n".
    static QByteArray scsiField(const QByteArray &text, int width);

private:
    // The directories of one added disk, relative to root().
    struct Disk {
        QString top;          // what removeDisk deletes
        QString block;        // holds "dev"
        QString device;       // what block/<name>/device leads to
        QString usbInterface; // USB disks only
        QString usbDevice;    // USB disks only
    };

    // Fills in fresh numbers when `dev` is {0, 0}; `major` is the driver's.
    DevNumbers numbersFor(DevNumbers dev, quint32 major);
    // Writes block/<name> (link) and <blockDir>/dev; blockDir relative to root.
    bool addBlockEntry(const QString &blockName, const QString &blockDir, DevNumbers dev);
    // How every add* of a disk with a device behind it ends: when `ok` (all
    // before was written), its block entry (numbersFor(dev, major)) and the
    // link block/<name>/device -> deviceLink; then `disk` recorded. Returns
    // disk.device, or an empty string when anything failed.
    QString finishDisk(bool ok, const QString &blockName, const Disk &disk, DevNumbers dev,
                       quint32 major, const QString &deviceLink);

    QTemporaryDir dir_;                // holds sys/ and dev/
    int nextUsbPort_ = 1;              // 2-<port> of the next USB disk
    int nextScsiHost_ = 6;             // host<N> of the next SCSI disk
    int nextOther_ = 0;                // index for ata / nvme / virtio parents
    quint32 nextMinor_ = 16;           // fresh minors, a disk's worth apart
    QHash<QString, Disk> disks_;       // by block name
};

} // namespace testsupport
