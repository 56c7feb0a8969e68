// Discovery of calculators among simulated disks: the pattern, the match
// rules, the table, the retries on the simulated clock, and the limits.
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "support/recording_disk_system.h"
#include "transport/device_discovery.h"

#include <QtTest>

#include <cstring>
#include <memory>

Q_DECLARE_METATYPE(emulator::Config)

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";
const char kClassSuffix[] = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

emulator::Config disk(const std::string &serial, const std::string &bus = "usbstor",
                      const std::string &vendor = "XQ", const std::string &product = "Tavix update")
{
    emulator::Config config;
    config.identity.bus = bus;
    config.identity.vendor = vendor;
    config.identity.product = product;
    config.identity.serial = serial;
    return config;
}

emulator::Config withPath(const std::string &path)
{
    emulator::Config config;
    config.identity.pathOverride = path;
    return config;
}

QString slot(int index)
{
    return QString::fromUtf16(devicePaths[index]);
}

} // namespace

class TestDiscoverySim : public QObject {
    Q_OBJECT

    std::unique_ptr<emulator::EmulatedDiskSystem> disks;

private slots:
    void init()
    {
        platform::useSimulatedClock(true);
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        platform::installDiskSystem(disks.get());
        for (auto &path : devicePaths)
            path[0] = 0;
    }
    void cleanup()
    {
        platform::installDiskSystem(nullptr);
        platform::useSimulatedClock(false);
    }

    void normalisesUnitByUnit()
    {
        const char16_t input[] = {u'A', u' ', u'B', u'_', u'c', 0};
        char16_t output[kIdStringLength];
        QCOMPARE(normaliseIdString(output, kIdStringLength, input), 5);
        const char16_t expected[] = {u'a', u'_', u'b', 0x007F, u'c', 0};
        QCOMPARE(QString::fromUtf16(output), QString::fromUtf16(expected));
    }

    void idStringLimits_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("result");
        QTest::newRow("31 units fit") << 31 << 31;
        QTest::newRow("32 units are refused, not cut") << 32 << -1;
        QTest::newRow("empty") << 0 << 0;
    }
    void idStringLimits()
    {
        QFETCH(int, length);
        QFETCH(int, result);
        std::u16string input(std::size_t(length), u'V');
        char16_t output[kIdStringLength];
        output[0] = u'x';
        QCOMPARE(normaliseIdString(output, kIdStringLength, input.c_str()), result);
        QCOMPARE(QString::fromUtf16(output).size(), qMax(result, 0));
    }

    void matching_data()
    {
        QTest::addColumn<QList<emulator::Config>>("attached");
        QTest::addColumn<QStringList>("expected"); // the device paths found, in order
        const QString calc1 = "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#tavix0000001&0" + QString(kClassSuffix);
        const QString calc2 = "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#tavix0000002&0" + QString(kClassSuffix);
        QTest::newRow("one calculator") << QList<emulator::Config>{disk("TAVIX0000001")} << QStringList{calc1};
        QTest::newRow("two calculators, enumeration order")
            << QList<emulator::Config>{disk("TAVIX0000002"), disk("TAVIX0000001")} << QStringList{calc2, calc1};
        QTest::newRow("a USB stick is not a calculator")
            << QList<emulator::Config>{disk("S1", "usbstor", "SanDisk", "Cruzer Blade"), disk("TAVIX0000001")}
            << QStringList{calc1};
        QTest::newRow("XQ on another bus is not a calculator")
            << QList<emulator::Config>{disk("TAVIX0000009", "scsi")} << QStringList{};
        QTest::newRow("a longer product that begins with ours matches")
            << QList<emulator::Config>{disk("P2", "usbstor", "XQ", "Tavix update 2")}
            << QStringList{"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update_2&rev_1.00#p2&0" + QString(kClassSuffix)};
        QTest::newRow("another product") << QList<emulator::Config>{disk("P3", "usbstor", "XQ", "Tavix")}
                                         << QStringList{};
        QTest::newRow("capitals in the path do not match")
            << QList<emulator::Config>{withPath("\\\\?\\USBSTOR#DISK&VEN_XQ&PROD_TAVIX_UPDATE&REV_1.00#1&0" +
                                                std::string(kClassSuffix))}
            << QStringList{};
        QTest::newRow("vendor part in capitals does not match")
            << QList<emulator::Config>{withPath("\\\\?\\usbstor#disk&ven_XQ&prod_tavix_update&rev_1.00#1&0" +
                                                std::string(kClassSuffix))}
            << QStringList{};
    }
    void matching()
    {
        QFETCH(QList<emulator::Config>, attached);
        QFETCH(QStringList, expected);
        for (const auto &config : attached)
            disks->attach(config);
        devicePaths[expected.size()][0] = u'!'; // the slot after the last one found stays untouched
        devicePaths[expected.size()][1] = 0;
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, kMaxDevices), expected.size());
        for (int i = 0; i < expected.size(); ++i)
            QCOMPARE(slot(i), expected[i]);
        QCOMPARE(slot(expected.size()), QString("!"));
        QCOMPARE(isCalculatorConnected(kVendor, kProduct), !expected.isEmpty());
    }

    void stopsAtTheMaximum()
    {
        for (int i = 1; i <= 3; ++i)
            disks->attach(disk("TAVIX000000" + std::to_string(i)));
        testsupport::RecordingDiskSystem counting(*disks);
        platform::installDiskSystem(&counting);
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, 2), 2);
        QCOMPARE(counting.interfacesVisited(), 2); // the third disk was never looked at
        QVERIFY(slot(1).contains("tavix0000002"));
    }

    void overlongIdentityFindsNothing()
    {
        // Cutting a 32-character product to 31 would find disks of a different
        // product; nothing is found instead.
        const std::string product31(31, 'p');
        disks->attach(disk("A", "usbstor", "XQ", product31));
        const std::u16string asked31(31, u'p');
        const std::u16string asked32(32, u'p');
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, asked31.c_str(), kMaxDevices), 1);
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, asked32.c_str(), kMaxDevices), 0);
        QCOMPARE(findCalculatorDisks(devicePaths, asked32.c_str(), kProduct, kMaxDevices), 0);
    }

    void overlongDevicePathIsPassedOver_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("found");
        QTest::newRow("259 units fit a slot") << 259 << 1;
        QTest::newRow("260 units do not") << 260 << 0;
        QTest::newRow("600 units do not") << 600 << 0;
    }
    void overlongDevicePathIsPassedOver()
    {
        QFETCH(int, length);
        QFETCH(int, found);
        // The pattern sits at the start, so a cut path would still match.
        std::string path = "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#";
        path += std::string(std::size_t(length) - path.size() - std::strlen(kClassSuffix), 'a') + kClassSuffix;
        QCOMPARE(int(path.size()), length);
        disks->attach(withPath(path));
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, kMaxDevices), found);
        if (found)
            QCOMPARE(slot(0), QString::fromStdString(path));
    }

    void retriesSixTimesWithPauses()
    {
        disks->attach(disk("S1", "usbstor", "SanDisk", "Cruzer Blade"));
        QCOMPARE(findCalculatorDisksWithRetry(devicePaths, kVendor, kProduct, kMaxDevices), 0);
        const platform::PauseStats stats = platform::pauseStats();
        QCOMPARE(stats.count, std::uint64_t(6));
        QCOMPARE(stats.totalMs, std::uint64_t(3000));
    }

    void retryFindsALateCalculator()
    {
        // Passes run at 0, 500, 1000 and 1500 ms: a calculator that appears at
        // 1200 ms is found by the fourth, after three pauses.
        emulator::Config late = disk("TAVIX0000001");
        late.faults.attachAtMs = 1200;
        disks->attach(late);
        QCOMPARE(findCalculatorDisksWithRetry(devicePaths, kVendor, kProduct, kMaxDevices), 1);
        QCOMPARE(platform::pauseStats().count, std::uint64_t(3));
    }

    void presenceCheckTakesNoPause()
    {
        QVERIFY(!isCalculatorConnected(kVendor, kProduct));
        QCOMPARE(platform::pauseStats().count, std::uint64_t(0));
    }

    void failedEnumerationFindsNothing()
    {
        disks->attach(disk("TAVIX0000001"));
        disks->resetCallCounter(1, false); // the enumeration itself fails
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, kMaxDevices), 0);
        QCOMPARE(findCalculatorDisks(devicePaths, kVendor, kProduct, kMaxDevices), 1);
    }
};

QTEST_GUILESS_MAIN(TestDiscoverySim)
#include "test_discovery_sim.moc"
