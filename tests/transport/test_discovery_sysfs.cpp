// Discovery through the Linux backend, on fake sysfs trees shaped like real
// machines: only USB mass-storage disks with the calculator's identity are
// ever found, whatever other disks claim.
#include "platform/posix/posix_disk_system.h"
#include "support/fake_sysfs.h"
#include "transport/device_discovery.h"

#include <QRandomGenerator>
#include <QtTest>

#include <cerrno>
#include <iterator>

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

// A machine's disks from their specs, each before the next; false once one failed.
bool addDisks(FakeSysfs &sysfs, const QStringList &specs)
{
    for (const QString &spec : specs) {
        addDisk(sysfs, spec);
        if (QTest::currentTestFailed())
            return false;
    }
    return true;
}

// What the survey says of a disk, in a few words.
QString verdictOf(const SurveyedCalculatorDisk &row)
{
    static const char *const kAccess[] = {"unknown", "may write", "denied"};
    static const char *const kRefusal[] = {"named",   "no device",      "not scsi",     "not usb",   "not mass storage",
                                           "partition", "no dev numbers", "not nameable", "unreadable"};
    switch (row.verdict) {
    case DiskVerdict::Calculator:
        return QString("calculator, %1 %2")
            .arg(kAccess[int(row.disk.access)])
            .arg(row.disk.accessError)
            .trimmed();
    case DiskVerdict::NotUsbMassStorage:
        return "not usb storage";
    case DiskVerdict::OtherModel:
        return "other " + QString::fromStdU16String(row.vendor) + " " + QString::fromStdU16String(row.product);
    case DiskVerdict::PathTooLong:
        return "too long";
    case DiskVerdict::RefusedByPlatform:
        break;
    }
    const QString refusal = kRefusal[int(row.disk.refusal)];
    return row.disk.parent.empty() ? refusal : refusal + " of " + QString::fromStdString(row.disk.parent);
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

        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, maximum), found.size());
        for (int i = 0; i < found.size(); ++i) {
            const QString path = QString::fromUtf16(devicePaths[i]);
            QVERIFY2(path.startsWith("\\\\?\\usbstor#disk&ven_xq&prod_tavix_update"), qPrintable(path));
            QVERIFY2(path.contains("&" + found[i] + "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"), qPrintable(path));
        }
        QCOMPARE(isCalculatorConnected(kVendor, kProduct), !found.isEmpty());
    }

    void surveyReasons_data()
    {
        QTest::addColumn<QStringList>("disks");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("verdict");
        const QString noNode = QString("calculator, denied %1").arg(ENOENT);
        QTest::newRow("calculator") << QStringList{"usb:sdc", "node:sdc"} << "sdc" << "calculator, may write 0";
        QTest::newRow("calculator without a node") << QStringList{"usb:sdc"} << "sdc" << noNode;
        QTest::newRow("USB stick") << QStringList{"usb:sdb:SanDisk:Cruzer Blade:4C53"} << "sdb"
                                   << "other sandisk cruzer_blade";
        QTest::newRow("USB, not mass storage") << QStringList{"usb:sdc:XQ:Tavix update:TX1:ff"} << "sdc"
                                               << "not mass storage";
        QTest::newRow("SATA calling itself XQ") << QStringList{"sata:sda:XQ:Tavix update"} << "sda" << "not usb";
        QTest::newRow("NVMe") << QStringList{"nvme:nvme0n1"} << "nvme0n1" << "not scsi";
        QTest::newRow("virtio") << QStringList{"virtio:vda"} << "vda" << "not scsi";
        QTest::newRow("loop") << QStringList{"loop:loop0"} << "loop0" << "no device";
        QTest::newRow("partition") << QStringList{"usb:sdc", "part:sdc:sdc1"} << "sdc1" << "partition of sdc";
        QTest::newRow("upper-case block name") << QStringList{"usb:SDC"} << "SDC" << "not nameable";
        QTest::newRow("no dev file") << QStringList{"usb:sdc", "nodev:sdc"} << "sdc" << "no dev numbers";
        QTest::newRow("entry leading nowhere") << QStringList{"dangling:sdz"} << "sdz" << "unreadable";
        QTest::newRow("path too long") << QStringList{"usb:sdc:XQ:Tavix update:" + QString(200, 'S')} << "sdc"
                                       << "too long";
    }
    void surveyReasons()
    {
        QFETCH(QStringList, disks);
        QFETCH(QString, name);
        QFETCH(QString, verdict);
        FakeSysfs sysfs;
        QVERIFY(sysfs.isValid());
        QVERIFY(addDisks(sysfs, disks));
        platform::PosixDiskSystem system(sysfs.rootPath(), sysfs.devRootPath());
        platform::installDiskSystem(&system);
        QStringList seen;
        for (const SurveyedCalculatorDisk &row : surveyCalculatorDisks(kVendor, kProduct)) {
            seen << QString::fromStdString(row.disk.name);
            if (seen.last() == name)
                QCOMPARE(verdictOf(row), verdict);
        }
        QVERIFY2(seen.contains(name), qPrintable(seen.join(' ')));
    }

    void surveyOfWindowsPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("verdict");
        const QString guid = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        QTest::newRow("calculator") << "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#7&1a2b&0" + guid
                                    << "calculator, unknown 0";
        QTest::newRow("NVMe") << "\\\\?\\scsi#disk&ven_nvme&prod_samsung_ssd#4&2f0e&0&000000" + guid
                              << "not usb storage";
        QTest::newRow("USB stick, upper case") << "\\\\?\\USBSTOR#Disk&Ven_Kingston&Prod_DT_Exodia#0011&0" + guid
                                               << "other Kingston DT_Exodia";
        QTest::newRow("too long") << "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#" + QString(220, '7') + guid
                                  << "too long";
    }
    void surveyOfWindowsPaths()
    {
        QFETCH(QString, path);
        QFETCH(QString, verdict);
        ListedPaths system({path});
        platform::installDiskSystem(&system);
        const std::vector<SurveyedCalculatorDisk> survey = surveyCalculatorDisks(kVendor, kProduct);
        QCOMPARE(int(survey.size()), 1);
        QCOMPARE(QString::fromStdString(survey[0].disk.name), QString("#1"));
        QCOMPARE(QString::fromStdU16String(survey[0].disk.devicePath), path);
        QCOMPARE(verdictOf(survey[0]), verdict);
    }

    void surveyAgreesWithDiscoveryOnGeneratedMachines()
    {
        // Every block entry and partition is listed once with the verdict its
        // kind calls for, and the calculators are exactly discovery's paths.
        struct Kind {
            const char *spec;    // %1 the block name, %2 a serial number
            const char *prefix;  // of block names
            const char *verdict; // verdictOf, a calculator's access apart
        };
        const Kind kinds[] = {
            {"usb:%1", "sd", "calculator"},
            {"usb:%1:xq:tavix update:TX%2", "sd", "calculator"},
            {"usb:%1:XQ:Tavix updater:TX%2", "sd", "calculator"},
            {"usb:%1:SanDisk:Cruzer Blade:%2", "sd", "other sandisk cruzer_blade"},
            {"usb:%1:XQ:Tavix update:TX%2:ff", "sd", "not mass storage"},
            {"sata:%1:XQ:Tavix update", "sd", "not usb"},
            {"nvme:%1", "nvme", "not scsi"},
            {"virtio:%1", "vd", "not scsi"},
            {"loop:%1", "loop", "no device"},
        };
        QRandomGenerator random(20240611);
        for (int machine = 0; machine < 60; ++machine) {
            FakeSysfs sysfs;
            QVERIFY(sysfs.isValid());
            QMap<QString, QString> expected; // name -> verdict
            QStringList specs;
            const int diskCount = random.bounded(12);
            for (int i = 0; i < diskCount; ++i) {
                const Kind &kind = kinds[random.bounded(int(std::size(kinds)))];
                const QString prefix = kind.prefix;
                const QString name = prefix == "nvme" ? QString("nvme%1n1").arg(i)
                                     : prefix == "loop" ? QString("loop%1").arg(i)
                                                        : prefix + QChar('a' + i);
                specs << QString(kind.spec).arg(name).arg(i);
                expected[name] = kind.verdict;
                if (expected[name] == "calculator") {
                    const bool node = random.bounded(2) == 1;
                    if (node)
                        specs << "node:" + name;
                    expected[name] = node ? "calculator, may write 0"
                                          : QString("calculator, denied %1").arg(ENOENT);
                }
                const QString separator = name.back().isDigit() ? "p" : "";
                for (int k = 1, parts = random.bounded(3); k <= parts; ++k) {
                    specs << QString("part:%1:%1%2%3").arg(name, separator).arg(k);
                    expected[name + separator + QString::number(k)] = "partition of " + name;
                }
            }
            QVERIFY(addDisks(sysfs, specs));
            platform::PosixDiskSystem system(sysfs.rootPath(), sysfs.devRootPath());
            platform::installDiskSystem(&system);

            QMap<QString, QString> seen;
            QStringList calculators, found;
            for (const SurveyedCalculatorDisk &row : surveyCalculatorDisks(kVendor, kProduct)) {
                const QString name = QString::fromStdString(row.disk.name);
                QVERIFY2(!seen.contains(name), qPrintable(name + " twice"));
                seen[name] = verdictOf(row);
                if (row.verdict == DiskVerdict::Calculator)
                    calculators << QString::fromStdU16String(row.disk.devicePath);
            }
            for (const std::u16string &path : findEveryCalculatorDisk(kVendor, kProduct))
                found << QString::fromStdU16String(path);
            const QString machineText = QString("machine %1: %2").arg(machine).arg(specs.join(' '));
            QVERIFY2(seen == expected, qPrintable(machineText));
            QVERIFY2(calculators == found, qPrintable(machineText));
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
            QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, kMaxDevices), 1);
            QCOMPARE(calculatorIdentity(output, kDevicePathLength, devicePaths[0]), expected[i].size());
            QCOMPARE(QString::fromUtf16(output), expected[i]);
            QVERIFY(sysfs.removeDisk(blocks[i]));
        }
    }
};

QTEST_GUILESS_MAIN(TestDiscoverySysfs)
#include "test_discovery_sysfs.moc"
