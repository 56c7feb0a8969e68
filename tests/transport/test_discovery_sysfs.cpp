// Discovery through the Linux backend, on fake sysfs trees shaped like real
// machines: only USB mass-storage disks with the calculator's identity are
// ever found, whatever other disks claim.
#include "platform/posix/posix_disk_system.h"
#include "support/fake_sysfs.h"
#include "transport/device_discovery.h"

#include <QtTest>

using testsupport::FakeSysfs;

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";

// One disk of a machine: "kind:block[:vendor:model[:serial[:class]]]".
void addDisk(FakeSysfs &sysfs, const QString &spec)
{
    const QStringList f = spec.split(':');
    const QString kind = f[0], block = f[1];
    auto field = [&](int i, const char *fallback) { return f.size() > i ? f[i].toUtf8() : QByteArray(fallback); };
    if (kind == "usb")
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
