// Discovery through the Linux backend, on fake sysfs trees shaped like real
// machines: only USB mass-storage disks with the calculator's identity are
// ever found, whatever other disks claim.
#include "platform/posix/posix_disk_system.h"
#include "support/fake_sysfs.h"
#include "transport/device_discovery.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cerrno>

using testsupport::FakeSysfs;

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";

// One disk of a machine: "kind:block[:vendor:model[:serial[:class]]]", or a
// change to one: "part:disk:partition", "node:block" (a device node),
// "nodev:block" (its dev file gone), "dangling:block" (a block entry leading nowhere).
void addDisk(FakeSysfs &sysfs, const QString &spec)
{
    const QStringList f = spec.split(':');
    const QString kind = f[0], block = f[1];
    auto field = [&](int i, const char *fallback) { return f.size() > i ? f[i].toUtf8() : QByteArray(fallback); };
    if (kind == "part")
        QVERIFY(sysfs.addPartition(block, f[2], 1));
    else if (kind == "node")
        QVERIFY(sysfs.addDeviceNode(block));
    else if (kind == "nodev")
        QVERIFY(sysfs.removePath(sysfs.blockDir(block) + "/dev"));
    else if (kind == "dangling")
        QVERIFY(sysfs.makeSymlink("block/" + block, "../devices/gone/" + block));
    else if (kind == "usb")
        QVERIFY(!sysfs.addUsbDisk(block, field(2, "XQ"), field(3, "Tavix update"), "1.00",
                                  field(4, "TX0001"), field(5, "08")).isEmpty());
    else if (kind == "sata")
        QVERIFY(!sysfs.addSataDisk(block, field(2, "ATA"), field(3, "Samsung SSD 860")).isEmpty());
    else if (kind == "nvme")
        QVERIFY(!sysfs.addNvmeDisk(block, field(2, "XQ Tavix update")).isEmpty());
    else if (kind == "virtio")
        QVERIFY(!sysfs.addVirtioDisk(block).isEmpty());
    else if (kind == "loop")
        QVERIFY(!sysfs.addLoopDevice(block).isEmpty());
    else
        QFAIL(qPrintable("unknown disk kind " + kind));
}

// What the survey says of a disk, in a few words.
QString verdictOf(const SurveyedCalculatorDisk &row)
{
    static const char *const kAccess[] = {"unknown", "may write", "denied"};
    static const char *const kRefusal[] = {"", "no device", "not scsi", "not usb", "not mass storage",
                                           "partition of ", "no dev numbers", "not nameable", "unreadable"};
    switch (row.verdict) {
    case DiskVerdict::Calculator:
        return QString("calculator, %1 %2").arg(kAccess[int(row.disk.access)]).arg(row.disk.accessError);
    case DiskVerdict::NotUsbMassStorage:
        return "not usb storage";
    case DiskVerdict::OtherModel:
        return "other " + QString::fromStdU16String(row.vendor + u' ' + row.product);
    case DiskVerdict::PathTooLong:
        return "too long";
    case DiskVerdict::RefusedByPlatform:
        break;
    }
    return kRefusal[int(row.disk.refusal)] + QString::fromStdString(row.disk.parent);
}

// The survey of the active disk system, "name: verdict" a disk; false in
// *agrees unless its calculators are exactly findEveryCalculatorDisk's paths.
QStringList survey(bool *agrees)
{
    QStringList rows, calculators, found;
    for (const SurveyedCalculatorDisk &row : surveyCalculatorDisks(kVendor, kProduct)) {
        rows << QString::fromStdString(row.disk.name) + ": " + verdictOf(row);
        if (row.verdict == DiskVerdict::Calculator)
            calculators << QString::fromStdU16String(row.disk.devicePath);
    }
    for (const std::u16string &path : findEveryCalculatorDisk(kVendor, kProduct))
        found << QString::fromStdU16String(path);
    *agrees = calculators == found;
    return rows;
}

// A machine made of `disks` (see addDisk), surveyed through the Linux backend.
QStringList surveyMachine(const QStringList &disks, bool *agrees)
{
    FakeSysfs sysfs;
    for (const QString &disk : disks) {
        addDisk(sysfs, disk);
        if (QTest::currentTestFailed())
            return {};
    }
    platform::PosixDiskSystem system(sysfs.rootPath(), sysfs.devRootPath());
    platform::installDiskSystem(&system);
    const QStringList rows = survey(agrees);
    platform::installDiskSystem(nullptr);
    return rows;
}

// A disk system that lists the given paths, as Windows would.
class ListedPaths : public platform::DiskSystem {
public:
    explicit ListedPaths(QStringList paths) : paths_(std::move(paths)) {}
    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override
    {
        for (const QString &path : paths_)
            visit(reinterpret_cast<const char16_t *>(path.utf16()));
    }
    platform::Handle openDisk(const char16_t *) override { return platform::kInvalidHandle; }
    platform::Handle openFile(const char16_t *) override { return platform::kInvalidHandle; }

private:
    QStringList paths_;
};

} // namespace

class TestDiscoverySysfs : public QObject {
    Q_OBJECT

    char16_t table[kMaxDevices][kDevicePathLength] = {}; // what discovery fills

private slots:
    void cleanup() { platform::installDiskSystem(nullptr); }

    void machines_data()
    {
        QTest::addColumn<QStringList>("disks");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QStringList>("found"); // block names, in slot order
        const QStringList office{"sata:sda", "usb:sdb:SanDisk:Cruzer Blade:4C53", "virtio:vda",
                                 "nvme:nvme0n1", "loop:loop0"};
        QTest::newRow("no calculator among ordinary disks") << office << 16 << QStringList{};
        QTest::newRow("a calculator") << office + QStringList{"usb:sdc:XQ:Tavix update:TX0001"} << 16
                                      << QStringList{"sdc"};
        QTest::newRow("two calculators")
            << office + QStringList{"usb:sdc:XQ:Tavix update:TX0001", "usb:sdd:XQ:Tavix update:TX0002"} << 16
            << QStringList{"sdc", "sdd"};
        QTest::newRow("three calculators, maximum 2")
            << QStringList{"usb:sdc:XQ:Tavix update:TX0001", "usb:sdd:XQ:Tavix update:TX0002",
                           "usb:sde:XQ:Tavix update:TX0003"}
            << 2 << QStringList{"sdc", "sdd"};
        QTest::newRow("a product that only begins with ours")
            << QStringList{"usb:sdc:XQ:Tavix updater:TX0001"} << 16 << QStringList{"sdc"};
        QTest::newRow("a shorter product") << QStringList{"usb:sdc:XQ:Tavix upd:TX0001"} << 16 << QStringList{};
        QTest::newRow("vendor in small letters in sysfs")
            << QStringList{"usb:sdc:xq:tavix update:TX0001"} << 16 << QStringList{"sdc"};
        QTest::newRow("SATA disk calling itself XQ") << QStringList{"sata:sda:XQ:Tavix update"} << 16
                                                      << QStringList{};
        QTest::newRow("NVMe disk with the name in its model") << QStringList{"nvme:nvme0n1"} << 16 << QStringList{};
        QTest::newRow("USB disk that is not mass storage")
            << QStringList{"usb:sdc:XQ:Tavix update:TX0001:ff"} << 16 << QStringList{};
    }
    void machines()
    {
        QFETCH(QStringList, disks);
        QFETCH(int, maximum);
        QFETCH(QStringList, found);
        FakeSysfs sysfs;
        QVERIFY(sysfs.isValid());
        for (const QString &disk : disks) {
            addDisk(sysfs, disk);
            if (QTest::currentTestFailed())
                return;
        }
        platform::PosixDiskSystem system(sysfs.rootPath(), sysfs.devRootPath());
        platform::installDiskSystem(&system);

        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, maximum), found.size());
        for (int i = 0; i < found.size(); ++i) {
            const QString path = QString::fromUtf16(table[i]);
            QVERIFY2(path.startsWith("\\\\?\\usbstor#disk&ven_xq&prod_tavix_update"), qPrintable(path));
            QVERIFY2(path.contains("&" + found[i] + "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), qPrintable(path));
        }
        QCOMPARE(isCalculatorConnected(kVendor, kProduct), !found.isEmpty());
    }

    void surveyGivesEveryReason()
    {
        bool agrees = false;
        const QStringList rows = surveyMachine(
            {"usb:sdc", "node:sdc", "part:sdc:sdc1", "usb:sdd", "usb:sdb:SanDisk:Cruzer Blade:4C53",
             "usb:sde:XQ:Tavix update:TX1:ff", "sata:sda:XQ:Tavix update", "nvme:nvme0n1", "virtio:vda",
             "loop:loop0", "usb:SDF", "usb:sdg", "nodev:sdg", "dangling:sdz",
             "usb:sdh:XQ:Tavix update:" + QString(200, 'S')},
            &agrees);
        QCOMPARE(rows, (QStringList{"SDF: not nameable", "loop0: no device", "nvme0n1: not scsi",
                                    "sda: not usb", "sdb: other sandisk cruzer_blade",
                                    "sdc: calculator, may write 0", "sdc1: partition of sdc",
                                    QString("sdd: calculator, denied %1").arg(ENOENT), "sde: not mass storage",
                                    "sdg: no dev numbers", "sdh: too long", "sdz: unreadable", "vda: not scsi"}));
        QVERIFY(agrees);
        // A refused node is this user's access (the udev rule); a missing one is not.
        SurveyedCalculatorDisk denied;
        denied.disk.access = platform::DiskAccess::Denied;
        for (const int error : {EACCES, ENOENT}) {
            denied.disk.accessError = std::uint32_t(error);
            QCOMPARE(QString::fromStdString(diskSurveyReason(denied)).startsWith("this user may not"), error == EACCES);
        }

        const QString guid = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        ListedPaths windows({"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#7&1a2b&0" + guid,
                             "\\\\?\\scsi#disk&ven_nvme&prod_samsung_ssd#4&2f0e&0&000000" + guid,
                             "\\\\?\\USBSTOR#Disk&Ven_Kingston&Prod_DT_Exodia#0011&0" + guid,
                             "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#" + QString(220, '7') + guid});
        platform::installDiskSystem(&windows);
        QCOMPARE(survey(&agrees), (QStringList{"#1: calculator, unknown 0", "#2: not usb storage",
                                               "#3: other Kingston DT_Exodia", "#4: too long"}));
        QVERIFY(agrees);
    }

    void surveyAgreesWithDiscoveryOnGeneratedMachines()
    {
        // Each kind: how addDisk makes it (%1 the block name, %2 a serial) and its verdict.
        const QStringList kinds{"usb:%1", "calculator", "usb:%1:xq:tavix update:TX%2", "calculator",
                                "usb:%1:XQ:Tavix updater:TX%2", "calculator",
                                "usb:%1:SanDisk:Cruzer Blade:%2", "other sandisk cruzer_blade",
                                "usb:%1:XQ:Tavix update:TX%2:ff", "not mass storage",
                                "sata:%1:XQ:Tavix update", "not usb", "nvme:%1", "not scsi",
                                "virtio:%1", "not scsi", "loop:%1", "no device"};
        QRandomGenerator random(20240611);
        for (int machine = 0; machine < 60; ++machine) {
            QStringList disks, expected;
            for (int i = 0, count = random.bounded(12); i < count; ++i) {
                const int kind = 2 * random.bounded(kinds.size() / 2);
                const QString prefix = kinds[kind].section(':', 0, 0);
                const QString name = prefix == "usb" || prefix == "sata" ? QString("sd") + QChar('a' + i)
                                     : prefix == "virtio"                ? QString("vd") + QChar('a' + i)
                                                                         : QString("%1%2").arg(prefix).arg(i);
                disks << kinds[kind].arg(name).arg(i);
                QString verdict = kinds[kind + 1];
                if (verdict == "calculator") {
                    const bool node = random.bounded(2) == 1;
                    if (node)
                        disks << "node:" + name;
                    verdict += node ? ", may write 0" : QString(", denied %1").arg(ENOENT);
                }
                expected << name + ": " + verdict;
                const QString separator = name.back().isDigit() ? "p" : "";
                for (int k = 1, partitions = random.bounded(3); k <= partitions; ++k) {
                    disks << QString("part:%1:%1%2%3").arg(name, separator).arg(k);
                    expected << QString("%1%2%3: partition of %1").arg(name, separator).arg(k);
                }
            }
            bool agrees = false;
            QStringList rows = surveyMachine(disks, &agrees);
            expected.sort();
            rows.sort(); // every entry once: the sorted lists are equal
            QVERIFY2(rows == expected && agrees, qPrintable(disks.join(' ')));
        }
    }

    void unpluggedCalculatorIsGoneFromTheNextPass()
    {
        FakeSysfs sysfs;
        QVERIFY(sysfs.isValid());
        QVERIFY(!sysfs.addUsbDisk("sdc", "XQ", "Tavix update", "1.00", "TX0001").isEmpty());
        platform::PosixDiskSystem system(sysfs.rootPath(), sysfs.devRootPath());
        platform::installDiskSystem(&system);
        QVERIFY(isCalculatorConnected(kVendor, kProduct));
        QVERIFY(sysfs.removeDisk("sdc"));
        QVERIFY(!isCalculatorConnected(kVendor, kProduct));
    }

    void identitySurvivesANewBlockName_data()
    {
        QTest::addColumn<QByteArray>("serial"); // as the USB device's serial file holds it; null: no file
        QTest::addColumn<QString>("identity");  // while it is sdc
        QTest::addColumn<QString>("back");      // once it came back as sdd
        QTest::newRow("serial number") << QByteArray("tx-0001") << "TX-0001" << "TX-0001";
        QTest::newRow("'&' in the serial") << QByteArray("A&B") << "A_B" << "A_B";
        // Without a serial number only the block name tells the disk apart.
        QTest::newRow("no serial") << QByteArray() << "0&SDC" << "0&SDD";
    }
    void identitySurvivesANewBlockName()
    {
        // Unplugged and back, a calculator often gets another block device;
        // its identity comes from its serial number, so it stays.
        QFETCH(QByteArray, serial);
        QFETCH(QString, identity);
        QFETCH(QString, back);
        FakeSysfs sysfs;
        QVERIFY(sysfs.isValid());
        platform::PosixDiskSystem system(sysfs.rootPath(), sysfs.devRootPath());
        platform::installDiskSystem(&system);
        const QStringList blocks{"sdc", "sdd"};
        const QStringList expected{identity, back};
        char16_t output[kDevicePathLength];
        for (int i = 0; i < 2; ++i) {
            QVERIFY(!sysfs.addUsbDisk(blocks[i], "XQ", "Tavix update", "1.00", serial).isEmpty());
            QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, kMaxDevices), 1);
            QCOMPARE(calculatorIdentity(output, kDevicePathLength, table[0]), expected[i].size());
            QCOMPARE(QString::fromUtf16(output), expected[i]);
            QVERIFY(sysfs.removeDisk(blocks[i]));
        }
    }
};

QTEST_GUILESS_MAIN(TestDiscoverySysfs)
#include "test_discovery_sysfs.moc"
