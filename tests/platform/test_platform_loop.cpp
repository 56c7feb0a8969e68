// The Linux disk system on a real block device: a loop device presented as a
// USB calculator is discovered, opened raw (O_DIRECT | O_SYNC) and written
// the way the updater writes a calculator. Needs root and losetup; skipped
// with a message otherwise.
#include "platform/posix/posix_disk_system.h"
#include "support/loop_calculator.h"

#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

using namespace platform;
using testsupport::LoopCalculator;

namespace {

constexpr std::int64_t kImageBytes = 1024 * 1024;

// An aligned buffer freed when it goes out of scope.
struct AlignedBuffer {
    explicit AlignedBuffer(std::size_t size) : data(static_cast<char *>(allocAligned(size))) {}
    ~AlignedBuffer() { freeAligned(data); }
    AlignedBuffer(const AlignedBuffer &) = delete;
    AlignedBuffer &operator=(const AlignedBuffer &) = delete;
    char *data; // kBufferAlignment-aligned
};

// A disk handle closed when it goes out of scope, so a failing check never
// leaves the loop device busy.
struct HandleCloser {
    void operator()(File *handle) const { closeHandle(handle); }
};
using OwnedDisk = std::unique_ptr<File, HandleCloser>;

// Discovers the calculator and opens it; null when either step fails.
OwnedDisk openCalculator(PosixDiskSystem &disks)
{
    std::u16string found;
    disks.enumerateDiskInterfaces([&](const char16_t *path) {
        found = path;
        return false;
    });
    return OwnedDisk(found.empty() ? kInvalidHandle : disks.openDisk(found.c_str()));
}

} // namespace

class TestPlatformLoop : public QObject {
    Q_OBJECT

private slots:
    void calculatorIsDiscoveredAndWrittenRaw();
    void changedCalculatorIsNotOpened_data();
    void changedCalculatorIsNotOpened();
    void unalignedTransfersAreRefused_data();
    void unalignedTransfersAreRefused();
};

void TestPlatformLoop::calculatorIsDiscoveredAndWrittenRaw()
{
    LoopCalculator calculator(testsupport::CalculatorIdentity(), kImageBytes);
    if (!calculator.isReady())
        QSKIP(qPrintable(calculator.skipReason()));
    // A SATA disk with the same identity beside it is never touched.
    calculator.sysfs().addSataDisk("sda", "XQ", "Tavix update", "1.00");

    PosixDiskSystem disks(calculator.sysfsRoot(), calculator.devRoot());
    QStringList paths;
    disks.enumerateDiskInterfaces([&](const char16_t *path) {
        paths << QString::fromUtf16(path);
        return true;
    });
    const QString expected = "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#tx0001&" +
                             calculator.blockName() + "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    QCOMPARE(paths, QStringList{expected});
    QVERIFY(calculator.expectedDevicePath() == expected.toStdU16String());

    OwnedDisk disk = openCalculator(disks);
    QVERIFY2(disk != nullptr, qPrintable(QString::fromStdU16String(errorText(lastError()))));
    QCOMPARE(disk->size(), kImageBytes);

    constexpr std::uint32_t kLength = 16384;
    constexpr std::int64_t kOffset = 87040; // sector-aligned, not page-aligned
    AlignedBuffer out(kLength), in(kLength);
    QVERIFY(out.data && in.data);
    for (std::uint32_t i = 0; i < kLength; ++i)
        out.data[i] = char(i * 13 + 5);

    QCOMPARE(disk->seek(kOffset, SeekOrigin::Begin), kOffset);
    std::uint32_t moved = 0;
    QVERIFY(disk->write(out.data, kLength, &moved));
    QCOMPARE(moved, kLength);
    QVERIFY(disk->flush());
    QCOMPARE(disk->seek(0, SeekOrigin::Current), kOffset + kLength);

    QCOMPARE(disk->seek(-(kImageBytes - kOffset), SeekOrigin::End), kOffset);
    std::memset(in.data, 0, kLength);
    QVERIFY(disk->read(in.data, kLength, &moved));
    QCOMPARE(moved, kLength);
    QVERIFY(std::memcmp(in.data, out.data, kLength) == 0);

    // At the end of the disk a read moves nothing and is no error.
    QCOMPARE(disk->seek(0, SeekOrigin::End), kImageBytes);
    QVERIFY(disk->read(in.data, 512, &moved));
    QCOMPARE(moved, 0u);
    disk.reset();

    const QByteArray image = calculator.imageBytes();
    QCOMPARE(image.size(), int(kImageBytes));
    QCOMPARE(image.mid(int(kOffset), int(kLength)), QByteArray(out.data, int(kLength)));
    QCOMPARE(image.left(int(kOffset)), QByteArray(int(kOffset), '\0'));
    QCOMPARE(image.mid(int(kOffset + kLength)), QByteArray(int(kImageBytes - kOffset - kLength), '\0'));
}

void TestPlatformLoop::changedCalculatorIsNotOpened_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<uint>("error");
    QTest::newRow("never discovered") << "undiscovered" << uint(ENOENT);
    QTest::newRow("serial changed since discovery") << "serial" << uint(ENOENT);
    QTest::newRow("sysfs names other device numbers") << "numbers" << uint(EACCES);
}

void TestPlatformLoop::changedCalculatorIsNotOpened()
{
    QFETCH(QString, change);
    QFETCH(uint, error);
    LoopCalculator calculator(testsupport::CalculatorIdentity(), kImageBytes);
    if (!calculator.isReady())
        QSKIP(qPrintable(calculator.skipReason()));
    PosixDiskSystem disks(calculator.sysfsRoot(), calculator.devRoot());
    const std::u16string path = calculator.expectedDevicePath();

    if (change != "undiscovered") {
        int found = 0;
        disks.enumerateDiskInterfaces([&](const char16_t *) { return ++found > 0; });
        QCOMPARE(found, 1);
    }
    testsupport::FakeSysfs &tree = calculator.sysfs();
    if (change == "serial") {
        QVERIFY(tree.writeFile(tree.usbDeviceDir(calculator.blockName()) + "/serial", "TX0002\n"));
    } else if (change == "numbers") {
        const testsupport::DevNumbers dev = calculator.devNumbers();
        const QByteArray other = QByteArray::number(dev.major) + ":" + QByteArray::number(dev.minor + 1);
        QVERIFY(tree.writeFile(tree.blockDir(calculator.blockName()) + "/dev", other + "\n"));
    }
    setLastError(0);
    OwnedDisk disk(disks.openDisk(path.c_str()));
    QVERIFY(disk == nullptr);
    QCOMPARE(lastError(), std::uint32_t(error));
}

void TestPlatformLoop::unalignedTransfersAreRefused_data()
{
    QTest::addColumn<bool>("writing");
    QTest::addColumn<int>("bufferShift"); // bytes past an aligned address
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("position");
    QTest::addColumn<bool>("mustRefuse");

    // Lengths and positions must be whole sectors on every kernel.
    QTest::newRow("write, part of a sector") << true << 0 << 100 << 0 << true;
    QTest::newRow("write, sector and a bit") << true << 0 << 612 << 512 << true;
    QTest::newRow("write, position inside a sector") << true << 0 << 512 << 100 << true;
    QTest::newRow("read, part of a sector") << false << 0 << 100 << 0 << true;
    QTest::newRow("read, position inside a sector") << false << 0 << 512 << 100 << true;
    // Since Linux 6.0 the buffer address only has to meet the queue's DMA
    // alignment, and newer kernels take any address: such a transfer is
    // either refused or done in full, never half done or garbled.
    QTest::newRow("write, buffer off by one") << true << 1 << 512 << 1024 << false;
    QTest::newRow("read, buffer off by one") << false << 1 << 512 << 1024 << false;
}

void TestPlatformLoop::unalignedTransfersAreRefused()
{
    QFETCH(bool, writing);
    QFETCH(int, bufferShift);
    QFETCH(int, length);
    QFETCH(int, position);
    QFETCH(bool, mustRefuse);

    LoopCalculator calculator(testsupport::CalculatorIdentity(), kImageBytes);
    if (!calculator.isReady())
        QSKIP(qPrintable(calculator.skipReason()));
    {
        // Something to read back that is not all zeros.
        QFile image(calculator.imagePath());
        QVERIFY(image.open(QIODevice::ReadWrite));
        QVERIFY(image.seek(1024));
        image.write(QByteArray(512, '\x33'));
    }
    const QByteArray before = calculator.imageBytes();
    PosixDiskSystem disks(calculator.sysfsRoot(), calculator.devRoot());
    OwnedDisk disk = openCalculator(disks);
    QVERIFY(disk != nullptr);

    AlignedBuffer buffer(8192);
    QVERIFY(buffer.data);
    std::memset(buffer.data, 0x5A, 8192);
    QCOMPARE(disk->seek(position, SeekOrigin::Begin), std::int64_t(position));
    std::uint32_t moved = 12345;
    setLastError(0);
    char *at = buffer.data + bufferShift;
    const bool ok = writing ? disk->write(at, std::uint32_t(length), &moved)
                            : disk->read(at, std::uint32_t(length), &moved);
    if (mustRefuse || !ok) {
        QVERIFY(!ok);
        QCOMPARE(moved, 0u);
        QCOMPARE(lastError(), std::uint32_t(EINVAL));
        QCOMPARE(static_cast<PosixFile *>(disk.get())->lastErrno(), EINVAL);
        disk.reset();
        QCOMPARE(calculator.imageBytes(), before); // nothing slipped through
        return;
    }
    QCOMPARE(moved, std::uint32_t(length));
    disk.reset();
    QByteArray expected = before;
    if (writing)
        expected.replace(position, length, QByteArray(length, '\x5A'));
    else
        QCOMPARE(QByteArray(at, length), before.mid(position, length));
    QCOMPARE(calculator.imageBytes(), expected);
}

QTEST_GUILESS_MAIN(TestPlatformLoop)
#include "test_platform_loop.moc"
