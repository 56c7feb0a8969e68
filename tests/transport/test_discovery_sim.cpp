// Discovery of calculators among simulated disks: the pattern, the match
// rules, the table, the retries on the simulated clock, and the limits.
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "support/long_run.h"
#include "support/recording_disk_system.h"
#include "transport/device_discovery.h"

#include <QtTest>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

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

// A calculator's identity as its description words it, the plain way: split
// at every '#', take the third piece, drop its last '&' field, keep the whole
// piece when that leaves nothing or "0", upper-case a-z.
std::optional<std::u16string> referenceIdentity(const std::u16string &path, bool wholeInstance = false)
{
    std::vector<std::u16string> pieces(1);
    for (char16_t unit : path) {
        if (unit == u'#')
            pieces.emplace_back();
        else
            pieces.back() += unit;
    }
    if (pieces.size() < 4 || pieces[2].empty())
        return std::nullopt;
    // The whole instance part tells apart two disks of one serial number.
    std::u16string identity = wholeInstance ? pieces[2] : pieces[2].substr(0, pieces[2].rfind(u'&'));
    if (identity.empty() || identity == u"0")
        identity = pieces[2];
    for (char16_t &unit : identity)
        unit = unit >= u'a' && unit <= u'z' ? char16_t(unit - u'a' + u'A') : unit;
    return identity;
}

// Serial numbers with what serials hold and what they should not: the
// neighbours of a-z and A-Z, letters outside ASCII (a full-width a, a dotted
// I), an emoji's surrogate halves, '&' and '#'.
std::u16string randomSerial(std::mt19937 &rng, int maxLength)
{
    static const std::u16string units = u"abyzABYZ0189_-. `{@[\\?&#\u00e9\u0130\uff41\U0001F600\x7f";
    std::u16string serial(rng() % std::uint32_t(maxLength + 1), u'x');
    for (char16_t &unit : serial)
        unit = units[rng() % units.size()];
    return serial;
}

} // namespace

class TestDiscoverySim : public QObject {
    Q_OBJECT

    std::unique_ptr<emulator::EmulatedDiskSystem> disks;
    char16_t table[kMaxDevices][kDevicePathLength] = {}; // what discovery fills

    QString slot(int index) const { return QString::fromUtf16(table[index]); }

private slots:
    void init()
    {
        platform::useSimulatedClock(true);
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        platform::installDiskSystem(disks.get());
        for (auto &path : table)
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
        table[expected.size()][0] = u'!'; // the slot after the last one found stays untouched
        table[expected.size()][1] = 0;
        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, kMaxDevices), expected.size());
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
        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, 2), 2);
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
        QCOMPARE(findCalculatorDisks(table, kVendor, asked31.c_str(), kMaxDevices), 1);
        QCOMPARE(findCalculatorDisks(table, kVendor, asked32.c_str(), kMaxDevices), 0);
        QCOMPARE(findCalculatorDisks(table, asked32.c_str(), kProduct, kMaxDevices), 0);
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
        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, kMaxDevices), found);
        if (found)
            QCOMPARE(slot(0), QString::fromStdString(path));
    }

    void retriesSixTimesWithPauses()
    {
        disks->attach(disk("S1", "usbstor", "SanDisk", "Cruzer Blade"));
        QCOMPARE(findCalculatorDisksWithRetry(table, kVendor, kProduct, kMaxDevices), 0);
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
        QCOMPARE(findCalculatorDisksWithRetry(table, kVendor, kProduct, kMaxDevices), 1);
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
        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, kMaxDevices), 0);
        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, kMaxDevices), 1);
    }

    void identityMatchesItsDescription()
    {
        // Instances of every shape (serial&0 as on Windows, serial&block as on
        // Linux, 0&block, no '&', '&' inside the serial, empty, anything), the
        // head or the class part now and then cut short, and one buffer in
        // four too small or just big enough.
        std::mt19937 rng(7919);
        const std::u16string head = u"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#";
        const std::u16string heads[] = {head, head, head, u"\\\\?\\usbstor##", u"\\\\?\\usbstor#", u""};
        const std::u16string tails[] = {u"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", u"#", u"", u"#a#b"};
        const std::u16string blocks[] = {u"0", u"sdb", u"sdaa", u"1", u""};
        for (int n = casesForRun(4000, 200000); n > 0; --n) {
            const std::u16string serial = randomSerial(rng, 20), &block = blocks[rng() % 5];
            const std::u16string instances[] = {serial + u"&" + block, u"0&" + block, randomSerial(rng, 8),
                                                serial + u"&" + serial + u"&" + block, u"", randomSerial(rng, 300)};
            const std::u16string path = heads[rng() % 6] + instances[rng() % 6] + tails[rng() % 2 ? 0 : rng() % 4];
            const std::optional<std::u16string> expected = referenceIdentity(path);
            const int capacity = rng() % 4 ? kDevicePathLength : int(rng() % (expected ? expected->size() + 3 : 3));
            std::vector<char16_t> output(std::size_t(capacity) + 8, char16_t(0xBEEF));
            const int length = calculatorIdentity(output.data(), capacity, path.c_str());
            const QByteArray context = QString::fromStdU16String(path).toUtf8().toPercentEncoding() + ", capacity " +
                                       QByteArray::number(capacity);
            const bool fits = expected && int(expected->size()) < capacity;
            QVERIFY2(length == (fits ? int(expected->size()) : -1), context);
            QVERIFY2(capacity == 0 || std::u16string(output.data()) == (fits ? *expected : u""), context);
            QVERIFY2(std::count(output.begin() + capacity, output.end(), 0xBEEF) == 8, context + ": past the buffer");

            const std::optional<std::u16string> instance = referenceIdentity(path, true);
            std::fill(output.begin(), output.end(), char16_t(0xBEEF));
            const bool instanceFits = instance && int(instance->size()) < capacity;
            QVERIFY2(calculatorInstance(output.data(), capacity, path.c_str()) ==
                         (instanceFits ? int(instance->size()) : -1), context);
            QVERIFY2(capacity == 0 || std::u16string(output.data()) == (instanceFits ? *instance : u""), context);
            QVERIFY2(std::count(output.begin() + capacity, output.end(), 0xBEEF) == 8, context + ": past the buffer");
        }
    }

    void everyCalculatorIsFound()
    {
        // Up to 70 disks, calculators among others (other vendors, other
        // buses, our product in capitals, paths too long for a slot): every
        // one whose path holds the pattern and fits a slot, in the order the
        // system lists them, however many; the table takes the first 16.
        const std::u16string pattern = u"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update";
        std::mt19937 rng(64);
        int overSixteen = 0;
        for (int n = casesForRun(200, 5000); n > 0; --n) {
            disks = std::make_unique<emulator::EmulatedDiskSystem>();
            platform::installDiskSystem(disks.get());
            const int count = int(rng() % 71);
            for (int i = 0; i < count; ++i) {
                const std::string serial = "S" + std::to_string(n) + "X" + std::to_string(i);
                switch (rng() % 6) {
                case 0: disks->attach(disk(serial, "usbstor", "SanDisk", "Cruzer")); break;
                case 1: disks->attach(disk(serial, "scsi")); break;
                case 2: disks->attach(disk(serial + std::string(250, 'z'))); break;
                case 3: disks->attach(disk(serial, "usbstor", "XQ", "TAVIX UPDATE")); break;
                default: disks->attach(disk(serial)); break;
                }
            }
            std::vector<std::u16string> expected;
            disks->enumerateDiskInterfaces([&](const char16_t *path) {
                const std::u16string whole(path);
                if (whole.find(pattern) != std::u16string::npos && whole.size() < std::size_t(kDevicePathLength))
                    expected.push_back(whole);
                return true;
            });
            QCOMPARE(findEveryCalculatorDisk(kVendor, kProduct), expected);
            overSixteen += expected.size() > std::size_t(kMaxDevices);
            const int inTable = findCalculatorDisks(table, kVendor, kProduct, kMaxDevices);
            QCOMPARE(inTable, std::min<int>(int(expected.size()), kMaxDevices));
            for (int i = 0; i < inTable; ++i)
                QCOMPARE(std::u16string(table[i]), expected[std::size_t(i)]);
        }
        QVERIFY(overSixteen > 10);
    }

    void identityOfEmulatedCalculators_data()
    {
        QTest::addColumn<QString>("serial");
        QTest::addColumn<QString>("identity");
        QTest::newRow("serial number") << "TAVIX0000001" << "TAVIX0000001";
        QTest::newRow("small letters, '&' and a space") << "tx-12&a b" << "TX-12&A_B";
        QTest::newRow("serial 0: the whole instance") << "0" << "0&0";
    }
    void identityOfEmulatedCalculators()
    {
        QFETCH(QString, serial);
        QFETCH(QString, identity);
        disks->attach(disk(serial.toStdString()));
        QCOMPARE(findCalculatorDisks(table, kVendor, kProduct, kMaxDevices), 1);
        char16_t output[kDevicePathLength];
        QCOMPARE(calculatorIdentity(output, kDevicePathLength, table[0]), identity.size());
        QCOMPARE(QString::fromUtf16(output), identity);
    }
};

QTEST_GUILESS_MAIN(TestDiscoverySim)
#include "test_discovery_sim.moc"
