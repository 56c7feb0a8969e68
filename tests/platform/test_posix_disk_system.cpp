// The Linux disk system: what sysfs bytes mean, which disks discovery names
// (only USB mass storage, never a SATA, NVMe, virtio or loop disk), what
// openDisk refuses, and firmware files read through openFile.
#include "platform/posix/posix_disk_system.h"
#include "platform/posix/sysfs.h"
#include "support/fake_sysfs.h"

#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace platform;
using testsupport::FakeSysfs;

Q_DECLARE_METATYPE(std::string)

namespace {

const QString kClass = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

// The path of a calculator in the fake tree: "<instance>" is serial&block.
QString calculatorPath(const QString &instance)
{
    return "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#" + instance + "#" + kClass;
}

// Every path one enumeration of `disks` delivers, in order.
QStringList enumerate(PosixDiskSystem &disks)
{
    QStringList paths;
    disks.enumerateDiskInterfaces([&](const char16_t *path) {
        paths << QString::fromUtf16(path);
        return true;
    });
    return paths;
}

std::u16string u16(const QString &text)
{
    return std::u16string(reinterpret_cast<const char16_t *>(text.utf16()), text.size());
}

// Puts a regular file where the disk's node would be, so that an open that
// got past the identity checks would fail differently (EACCES, not ENOENT).
void plantNode(const FakeSysfs &tree, const QString &blockName)
{
    QFile node(tree.devRoot() + "/" + blockName);
    QVERIFY(node.open(QIODevice::WriteOnly));
    node.write(QByteArray(4096, 'x'));
}

// Adds the Tavix calculator identity to a disk that is not USB mass storage.
void addCalculatorInquiry(FakeSysfs &tree, const QString &dir)
{
    QVERIFY(!dir.isEmpty());
    QVERIFY(tree.writeFile(dir + "/vendor", FakeSysfs::scsiField("XQ", 8)));
    QVERIFY(tree.writeFile(dir + "/model", FakeSysfs::scsiField("Tavix update", 16)));
    QVERIFY(tree.writeFile(dir + "/rev", FakeSysfs::scsiField("1.00", 4)));
}

// Ways a disk carrying the calculator's identity may sit in a tree and still
// not be a calculator on the USB bus.
enum class Impostor {
    Sata,
    Nvme,
    Virtio,
    Loop,
    UsbVendorClass,
    UsbHubClass,
    ClassWithoutPadding,
    ClassIsADirectory,
    ClassIsASymlink,
    NearestInterfaceDecides,
    InterfaceAboveTheRoot,
    BlockEntryOutsideTheRoot,
    DeviceLinkOutsideTheRoot,
    RevisionMissing,
    DevNumbersGarbled,
    BlockNameNotVerbatim,
};

// Builds the impostor in `tree`; `elsewhere` is a second tree outside it.
void buildImpostor(Impostor kind, FakeSysfs &tree, FakeSysfs &elsewhere)
{
    switch (kind) {
    case Impostor::Sata:
        tree.addSataDisk("sda", "XQ", "Tavix update", "1.00");
        break;
    case Impostor::Nvme:
        addCalculatorInquiry(tree, tree.addNvmeDisk("nvme0n1", "Tavix update"));
        break;
    case Impostor::Virtio:
        addCalculatorInquiry(tree, tree.addVirtioDisk("vda"));
        break;
    case Impostor::Loop:
        addCalculatorInquiry(tree, tree.addLoopDevice("loop0"));
        break;
    case Impostor::UsbVendorClass:
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001", "ff");
        break;
    case Impostor::UsbHubClass:
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001", "09");
        break;
    case Impostor::ClassWithoutPadding:
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001", "8");
        break;
    case Impostor::ClassIsADirectory: {
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
        const QString interfaceClass = tree.usbInterfaceDir("sdb") + "/bInterfaceClass";
        QVERIFY(tree.removePath(interfaceClass));
        QVERIFY(QDir().mkpath(tree.absolutePath(interfaceClass)));
        // Above it, a mass-storage class that must not be reached.
        QVERIFY(tree.writeFile(tree.usbDeviceDir("sdb") + "/../bInterfaceClass", "08\n"));
        break;
    }
    case Impostor::ClassIsASymlink: {
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001", "ff");
        const QString interfaceClass = tree.usbInterfaceDir("sdb") + "/bInterfaceClass";
        QVERIFY(tree.writeFile("class08", "08\n"));
        QVERIFY(tree.removePath(interfaceClass));
        QVERIFY(tree.makeSymlink(interfaceClass, tree.absolutePath("class08")));
        QVERIFY(tree.writeFile(tree.usbDeviceDir("sdb") + "/../bInterfaceClass", "08\n"));
        break;
    }
    case Impostor::NearestInterfaceDecides:
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001", "ff");
        QVERIFY(tree.writeFile(tree.usbDeviceDir("sdb") + "/../bInterfaceClass", "08\n"));
        break;
    case Impostor::InterfaceAboveTheRoot:
        tree.addSataDisk("sda", "XQ", "Tavix update", "1.00");
        tree.writeFile("bInterfaceClass", "08\n");    // the root itself
        tree.writeFile("../bInterfaceClass", "08\n"); // and above it
        break;
    case Impostor::BlockEntryOutsideTheRoot:
        // The entry leads out, and its device link leads back in to a
        // genuine calculator whose own entry is gone.
        tree.addUsbDisk("sdq", "XQ", "Tavix update", "1.00", "TX0001");
        QVERIFY(tree.removePath("block/sdq"));
        QVERIFY(elsewhere.writeFile("loose/sdb/dev", "8:16\n"));
        QVERIFY(elsewhere.makeSymlink("loose/sdb/device", tree.absolutePath(tree.deviceDir("sdq"))));
        QVERIFY(tree.makeSymlink("block/sdb", elsewhere.absolutePath("loose/sdb")));
        break;
    case Impostor::DeviceLinkOutsideTheRoot: {
        const QString outside = elsewhere.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
        QVERIFY(tree.makeSymlink(tree.addLoopDevice("sdb") + "/device", elsewhere.absolutePath(outside)));
        break;
    }
    case Impostor::RevisionMissing: {
        const QString device = tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
        QVERIFY(tree.removePath(device + "/rev"));
        break;
    }
    case Impostor::DevNumbersGarbled: {
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
        QVERIFY(tree.writeFile(tree.blockDir("sdb") + "/dev", "8;16\n"));
        break;
    }
    case Impostor::BlockNameNotVerbatim:
        tree.addUsbDisk("SDB", "XQ", "Tavix update", "1.00", "TX0001");
        tree.addUsbDisk("sd&b", "XQ", "Tavix update", "1.00", "TX0002");
        break;
    }
}

} // namespace

Q_DECLARE_METATYPE(Impostor)

class TestPosixDiskSystem : public QObject {
    Q_OBJECT

private slots:
    void attributeText_data();
    void attributeText();
    void devNumbers_data();
    void devNumbers();
    void diskDevicePath_data();
    void diskDevicePath();
    void pathContainment_data();
    void pathContainment();

    void discoveryNamesOnlyUsbMassStorage();
    void discoveryOrderIsStable();
    void visitorCanStopTheEnumeration();
    void noCalculatorImpostor_data();
    void noCalculatorImpostor();
    void missingTreeIsAnEmptyList();

    void openDiskRefusesPathsNoDiscoveryProduced();
    void openDiskRefusesADiskThatChanged_data();
    void openDiskRefusesADiskThatChanged();
    void openDiskRefusesANodeThatIsNotTheDisk();

    void firmwareFileReadSeekSize();
    void firmwareFileRefused_data();
    void firmwareFileRefused();
};

// ---------------------------------------------------------------------------
// Parsing

void TestPosixDiskSystem::attributeText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("kernel vendor") << QByteArray("XQ      \n") << QByteArray("XQ");
    QTest::newRow("no newline") << QByteArray("TX0001") << QByteArray("TX0001");
    QTest::newRow("inner spaces kept") << QByteArray(" Tavix update \r\n") << QByteArray("Tavix update");
    QTest::newRow("cut at NUL") << QByteArray("XQ\0garbage", 10) << QByteArray("XQ");
    QTest::newRow("NUL first") << QByteArray("\0XQ", 3) << QByteArray();
    QTest::newRow("only whitespace") << QByteArray(" \t\r\n") << QByteArray();
    QTest::newRow("binary kept") << QByteArray("\xFF\x01\x80") << QByteArray("\xFF\x01\x80");
    QTest::newRow("bounded") << QByteArray(5000, 'x') << QByteArray(4096, 'x');
    QTest::newRow("bounded before the trim") << QByteArray(4096, 'y') + "  z" << QByteArray(4096, 'y');
}

void TestPosixDiskSystem::attributeText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, text);
    QCOMPARE(QByteArray::fromStdString(sysfs::attributeText(bytes.constData(), bytes.size())), text);
}

void TestPosixDiskSystem::devNumbers_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<uint>("major");
    QTest::addColumn<uint>("minor");

    QTest::newRow("SCSI disk") << std::string("8:16") << true << 8u << 16u;
    QTest::newRow("NVMe") << std::string("259:0") << true << 259u << 0u;
    QTest::newRow("largest") << std::string("4294967295:4294967295") << true << 4294967295u << 4294967295u;
    QTest::newRow("major overflows") << std::string("4294967296:0") << false << 0u << 0u;
    QTest::newRow("minor overflows") << std::string("8:99999999999999999999") << false << 0u << 0u;
    QTest::newRow("no minor") << std::string("8:") << false << 0u << 0u;
    QTest::newRow("no major") << std::string(":16") << false << 0u << 0u;
    QTest::newRow("no colon") << std::string("816") << false << 0u << 0u;
    QTest::newRow("three parts") << std::string("8:16:1") << false << 0u << 0u;
    QTest::newRow("sign") << std::string("+8:16") << false << 0u << 0u;
    QTest::newRow("negative") << std::string("8:-16") << false << 0u << 0u;
    QTest::newRow("hex") << std::string("0x8:16") << false << 0u << 0u;
    QTest::newRow("inner space") << std::string("8: 16") << false << 0u << 0u;
    QTest::newRow("untrimmed") << std::string("8:16\n") << false << 0u << 0u;
    QTest::newRow("empty") << std::string() << false << 0u << 0u;
}

void TestPosixDiskSystem::devNumbers()
{
    QFETCH(std::string, text);
    QFETCH(bool, valid);
    QFETCH(uint, major);
    QFETCH(uint, minor);
    sysfs::DevNumbers dev{77, 77};
    QCOMPARE(sysfs::parseDevNumbers(text, &dev), valid);
    QCOMPARE(uint(dev.major), valid ? major : 77u);
    QCOMPARE(uint(dev.minor), valid ? minor : 77u);
}

void TestPosixDiskSystem::diskDevicePath_data()
{
    QTest::addColumn<std::string>("serial");
    QTest::addColumn<std::string>("blockName");
    QTest::addColumn<QString>("instance"); // empty: no path at all

    QTest::newRow("calculator") << std::string("TX0001") << std::string("sdb") << "tx0001&sdb";
    QTest::newRow("no serial") << std::string() << std::string("sdb") << "0&sdb";
    QTest::newRow("blank serial") << std::string("   ") << std::string("sdc") << "0&sdc";
    QTest::newRow("serial forging a block name") << std::string("X&sdc") << std::string("sdb") << "x_sdc&sdb";
    QTest::newRow("serial forging a part") << std::string("X#{guid}") << std::string("sdb") << "x_{guid}&sdb";
    QTest::newRow("no block name") << std::string("TX0001") << std::string() << QString();
    QTest::newRow("block name with upper case") << std::string("TX0001") << std::string("SDB") << QString();
    QTest::newRow("block name with a separator") << std::string("TX0001") << std::string("sd&b") << QString();
    QTest::newRow("block name with a space") << std::string("TX0001") << std::string("sd b") << QString();
}

void TestPosixDiskSystem::diskDevicePath()
{
    QFETCH(std::string, serial);
    QFETCH(std::string, blockName);
    QFETCH(QString, instance);
    const sysfs::DiskIdentity identity{"XQ      ", "Tavix update    ", "1.00", serial};
    const QString path = QString::fromStdString(sysfs::diskDevicePath(identity, blockName));
    QCOMPARE(path, instance.isEmpty() ? QString() : calculatorPath(instance));
}

void TestPosixDiskSystem::pathContainment_data()
{
    QTest::addColumn<std::string>("root");
    QTest::addColumn<std::string>("path");
    QTest::addColumn<bool>("below");
    QTest::newRow("child") << std::string("/sys") << std::string("/sys/block") << true;
    QTest::newRow("grandchild") << std::string("/sys") << std::string("/sys/devices/usb2") << true;
    QTest::newRow("the root itself") << std::string("/sys") << std::string("/sys") << false;
    QTest::newRow("sibling sharing a prefix") << std::string("/tmp/a") << std::string("/tmp/ab/c") << false;
    QTest::newRow("parent") << std::string("/tmp/a") << std::string("/tmp") << false;
    QTest::newRow("file-system root") << std::string("/") << std::string("/sys") << true;
    QTest::newRow("empty root") << std::string() << std::string("/sys") << false;
}

void TestPosixDiskSystem::pathContainment()
{
    QFETCH(std::string, root);
    QFETCH(std::string, path);
    QFETCH(bool, below);
    QCOMPARE(sysfs::isBelow(root, path), below);
    // Walking up from a path reaches its root and never passes it.
    if (below) {
        std::string dir = path;
        while (sysfs::isBelow(root, dir))
            dir = sysfs::parentDirectory(dir);
        QCOMPARE(dir, root);
    }
}

// ---------------------------------------------------------------------------
// Discovery

void TestPosixDiskSystem::discoveryNamesOnlyUsbMassStorage()
{
    // A machine with a bit of everything.
    FakeSysfs tree;
    QVERIFY(tree.isValid());
    tree.addSataDisk("sda");
    tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
    tree.addUsbDisk("sdc", "SanDisk", "Cruzer Blade", "1.00", "4C530001");
    tree.addUsbDisk("sdd", "XQ", "Tavix update", "1.00", "TX0002", "ff");
    tree.addUsbDisk("sde", "XQ", "Tavix update", "2.10"); // no serial number
    tree.addSataDisk("sdf", "XQ", "Tavix update", "1.00");
    tree.addNvmeDisk("nvme0n1");
    tree.addVirtioDisk("vda");
    tree.addLoopDevice("loop0");
    tree.addLoopDevice("loop1");

    PosixDiskSystem disks(tree.rootPath(), tree.devRootPath());
    const QStringList expected = {
        calculatorPath("tx0001&sdb"),
        "\\\\?\\usbstor#disk&ven_sandisk&prod_cruzer_blade&rev_1.00#4c530001&sdc#" + kClass,
        "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_2.10#0&sde#" + kClass,
    };
    QCOMPARE(enumerate(disks), expected);
}

void TestPosixDiskSystem::discoveryOrderIsStable()
{
    FakeSysfs tree;
    QVERIFY(tree.isValid());
    for (const char *name : {"sdd", "sdb", "sdaa", "sdc"})
        tree.addUsbDisk(name, "XQ", "Tavix update", "1.00", QByteArray("S-") + name);
    PosixDiskSystem disks(tree.rootPath(), tree.devRootPath());
    const QStringList expected = {
        calculatorPath("s-sdaa&sdaa"),
        calculatorPath("s-sdb&sdb"),
        calculatorPath("s-sdc&sdc"),
        calculatorPath("s-sdd&sdd"),
    };
    QCOMPARE(enumerate(disks), expected);
    QCOMPARE(enumerate(disks), expected);
}

void TestPosixDiskSystem::visitorCanStopTheEnumeration()
{
    FakeSysfs tree;
    QVERIFY(tree.isValid());
    tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "A");
    tree.addUsbDisk("sdc", "XQ", "Tavix update", "1.00", "B");
    PosixDiskSystem disks(tree.rootPath(), tree.devRootPath());
    int visits = 0;
    disks.enumerateDiskInterfaces([&](const char16_t *) { return ++visits < 1; });
    QCOMPARE(visits, 1);
}

void TestPosixDiskSystem::noCalculatorImpostor_data()
{
    QTest::addColumn<Impostor>("kind");
    QTest::newRow("SATA disk saying XQ") << Impostor::Sata;
    QTest::newRow("NVMe disk with inquiry files") << Impostor::Nvme;
    QTest::newRow("virtio disk with inquiry files") << Impostor::Virtio;
    QTest::newRow("loop device with inquiry files") << Impostor::Loop;
    QTest::newRow("USB vendor-specific class") << Impostor::UsbVendorClass;
    QTest::newRow("USB hub class") << Impostor::UsbHubClass;
    QTest::newRow("class written as 8") << Impostor::ClassWithoutPadding;
    QTest::newRow("bInterfaceClass is a directory") << Impostor::ClassIsADirectory;
    QTest::newRow("bInterfaceClass links to 08") << Impostor::ClassIsASymlink;
    QTest::newRow("nearest interface is not mass storage") << Impostor::NearestInterfaceDecides;
    QTest::newRow("class 08 at and above the root") << Impostor::InterfaceAboveTheRoot;
    QTest::newRow("block entry leads out of the tree") << Impostor::BlockEntryOutsideTheRoot;
    QTest::newRow("device link leads out of the tree") << Impostor::DeviceLinkOutsideTheRoot;
    QTest::newRow("no revision file") << Impostor::RevisionMissing;
    QTest::newRow("dev numbers garbled") << Impostor::DevNumbersGarbled;
    QTest::newRow("block name not verbatim in a path") << Impostor::BlockNameNotVerbatim;
}

void TestPosixDiskSystem::noCalculatorImpostor()
{
    QFETCH(Impostor, kind);
    FakeSysfs tree, elsewhere;
    QVERIFY(tree.isValid() && elsewhere.isValid());
    buildImpostor(kind, tree, elsewhere);
    // A genuine calculator beside it shows the tree itself is read.
    tree.addUsbDisk("sdz", "XQ", "Tavix update", "1.00", "REAL");

    PosixDiskSystem disks(tree.rootPath(), tree.devRootPath());
    QCOMPARE(enumerate(disks), QStringList{calculatorPath("real&sdz")});
}

void TestPosixDiskSystem::missingTreeIsAnEmptyList()
{
    PosixDiskSystem disks("/nonexistent/sysfs", "/dev");
    QVERIFY(enumerate(disks).isEmpty());
}

// ---------------------------------------------------------------------------
// openDisk

void TestPosixDiskSystem::openDiskRefusesPathsNoDiscoveryProduced()
{
    FakeSysfs tree;
    QVERIFY(tree.isValid());
    tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
    plantNode(tree, "sdb");
    const std::u16string real = u16(calculatorPath("tx0001&sdb"));

    // Well formed, and the disk is there, but nobody enumerated.
    PosixDiskSystem fresh(tree.rootPath(), tree.devRootPath());
    setLastError(0);
    QCOMPARE(fresh.openDisk(real.c_str()), kInvalidHandle);
    QCOMPARE(lastError(), std::uint32_t(ENOENT));

    // Enumerated by another disk system: still unknown to this one.
    PosixDiskSystem other(tree.rootPath(), tree.devRootPath());
    QCOMPARE(enumerate(other).size(), 1);
    QCOMPARE(fresh.openDisk(real.c_str()), kInvalidHandle);

    // After its own discovery, paths that differ in any way stay refused.
    QCOMPARE(enumerate(fresh).size(), 1);
    for (const QString &forged : {calculatorPath("tx0001&sda"), calculatorPath("TX0001&sdb"),
                                  calculatorPath("tx0001&sdb").left(40), QString("/dev/sdb"),
                                  QString()}) {
        setLastError(0);
        QCOMPARE(fresh.openDisk(u16(forged).c_str()), kInvalidHandle);
        QCOMPARE(lastError(), std::uint32_t(ENOENT));
    }
    QCOMPARE(fresh.openDisk(nullptr), kInvalidHandle);
}

void TestPosixDiskSystem::openDiskRefusesADiskThatChanged_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("unplugged") << "unplug";
    QTest::newRow("another calculator in its place") << "swap";
    QTest::newRow("interface no longer mass storage") << "class";
    QTest::newRow("identity rewritten") << "model";
}

void TestPosixDiskSystem::openDiskRefusesADiskThatChanged()
{
    QFETCH(QString, change);
    FakeSysfs tree;
    QVERIFY(tree.isValid());
    const QString device = tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001");
    plantNode(tree, "sdb");
    PosixDiskSystem disks(tree.rootPath(), tree.devRootPath());
    const QStringList found = enumerate(disks);
    QCOMPARE(found.size(), 1);

    if (change == "unplug") {
        QVERIFY(tree.removeDisk("sdb"));
    } else if (change == "swap") {
        QVERIFY(tree.removeDisk("sdb"));
        tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0002");
    } else if (change == "class") {
        QVERIFY(tree.writeFile(tree.usbInterfaceDir("sdb") + "/bInterfaceClass", "ff\n"));
    } else {
        QVERIFY(tree.writeFile(device + "/model", FakeSysfs::scsiField("Tavix update 2", 16)));
    }
    setLastError(0);
    QCOMPARE(disks.openDisk(u16(found.first()).c_str()), kInvalidHandle);
    QCOMPARE(lastError(), std::uint32_t(ENOENT));
}

void TestPosixDiskSystem::openDiskRefusesANodeThatIsNotTheDisk()
{
    FakeSysfs tree;
    QVERIFY(tree.isValid());
    tree.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX0001", "08", {8, 16});
    PosixDiskSystem disks(tree.rootPath(), tree.devRootPath());
    const std::u16string path = u16(calculatorPath("tx0001&sdb"));
    QCOMPARE(enumerate(disks).size(), 1);
    const std::string node = tree.devRootPath() + "/sdb";

    // No node at all: the system's own answer.
    setLastError(0);
    QCOMPARE(disks.openDisk(path.c_str()), kInvalidHandle);
    QCOMPARE(lastError(), std::uint32_t(ENOENT));

    // A regular file where the disk should be.
    QFile plain(QString::fromStdString(node));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.write(QByteArray(4096, 'x'));
    plain.close();
    const int probe = ::open(node.c_str(), O_RDWR | O_DIRECT);
    if (probe < 0)
        QSKIP("the temporary folder's file system does not take O_DIRECT");
    ::close(probe);
    setLastError(0);
    QCOMPARE(disks.openDisk(path.c_str()), kInvalidHandle);
    QCOMPARE(lastError(), std::uint32_t(EACCES));

    // A real block device whose numbers are not the ones sysfs gave (8:16).
    QVERIFY(plain.remove());
    QString other;
    for (const char *candidate : {"/dev/loop7", "/dev/loop6", "/dev/loop5", "/dev/loop0"}) {
        struct stat st;
        if (::stat(candidate, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev != makedev(8, 16)) {
            other = candidate;
            break;
        }
    }
    if (other.isEmpty() || ::geteuid() != 0)
        QSKIP("no loop device node to stand in for the disk (needs root)");
    QVERIFY(QFile::link(other, QString::fromStdString(node)));
    setLastError(0);
    QCOMPARE(disks.openDisk(path.c_str()), kInvalidHandle);
    QCOMPARE(lastError(), std::uint32_t(EACCES));
}

// ---------------------------------------------------------------------------
// openFile

void TestPosixDiskSystem::firmwareFileReadSeekSize()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray content(1000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 + 3);
    // A name outside ASCII, as a release folder may carry.
    const QString name = dir.path() + QString::fromUtf8("/Mise \xC3\xA0 jour \xF0\x9F\x98\x80.bin");
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    PosixDiskSystem disks;
    // Named the Windows way, as the release scan hands paths on: the same file.
    Handle windowsForm = disks.openFile(u16(QString(name).replace('/', '\\')).c_str());
    QVERIFY(windowsForm != kInvalidHandle);
    QCOMPARE(windowsForm->size(), std::int64_t(1000));
    QVERIFY(closeHandle(windowsForm));
    Handle handle = disks.openFile(u16(name).c_str());
    QVERIFY(handle != kInvalidHandle);
    QCOMPARE(handle->size(), std::int64_t(1000));

    char buffer[400];
    std::uint32_t moved = 0;
    QVERIFY(handle->read(buffer, 300, &moved));
    QCOMPARE(moved, 300u);
    QCOMPARE(QByteArray(buffer, 300), content.left(300));

    QCOMPARE(handle->seek(-100, SeekOrigin::End), std::int64_t(900));
    QVERIFY(handle->read(buffer, 400, &moved)); // a short read at the end is no error
    QCOMPARE(moved, 100u);
    QCOMPARE(QByteArray(buffer, 100), content.right(100));
    QVERIFY(handle->read(buffer, 400, &moved));
    QCOMPARE(moved, 0u);

    QCOMPARE(handle->seek(500, SeekOrigin::Begin), std::int64_t(500));
    QCOMPARE(handle->seek(-20, SeekOrigin::Current), std::int64_t(480));
    setLastError(0);
    QCOMPARE(handle->seek(-481, SeekOrigin::Current), std::int64_t(-1));
    QCOMPARE(lastError(), std::uint32_t(EINVAL));
    QVERIFY(handle->read(buffer, 10, &moved)); // the failed seek left the position alone
    QCOMPARE(QByteArray(buffer, 10), content.mid(480, 10));

    setLastError(0);
    QVERIFY(!handle->write("x", 1, &moved));
    QCOMPARE(moved, 0u);
    QCOMPARE(lastError(), std::uint32_t(EBADF));
    QCOMPARE(static_cast<PosixFile *>(handle)->lastErrno(), EBADF);
    QVERIFY(handle->flush());
    QVERIFY(closeHandle(handle));

    QFile after(name);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), content); // opening for reading never changed it
}

void TestPosixDiskSystem::firmwareFileRefused_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<uint>("error");
    QTest::newRow("missing") << "missing" << uint(ENOENT);
    QTest::newRow("directory") << "directory" << uint(EISDIR);
    QTest::newRow("FIFO, without hanging") << "fifo" << uint(EINVAL);
    QTest::newRow("empty path") << "empty" << uint(ENOENT);
}

void TestPosixDiskSystem::firmwareFileRefused()
{
    QFETCH(QString, what);
    QFETCH(uint, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path;
    if (what == "missing") {
        path = dir.path() + "/no-such.bin";
    } else if (what == "directory") {
        path = dir.path();
    } else if (what == "fifo") {
        path = dir.path() + "/pipe.bin";
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    }
    PosixDiskSystem disks;
    setLastError(0);
    QCOMPARE(disks.openFile(u16(path).c_str()), kInvalidHandle);
    QCOMPARE(lastError(), std::uint32_t(error));
}

QTEST_GUILESS_MAIN(TestPosixDiskSystem)
#include "test_posix_disk_system.moc"
