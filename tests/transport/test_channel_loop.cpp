// The command channel and a raw data write through the Linux backend's real
// O_DIRECT path, on a loop device shown in sysfs as a calculator. A loop device
// has no calculator behind it: the "reply" is the block itself, which the
// channel must read back from the device and judge as a refusal.
#include "platform/posix/posix_disk_system.h"
#include "support/loop_calculator.h"
#include "transport/command_channel.h"
#include "transport/protocol_extras.h"
#include "transport/device_discovery.h"
#include "transport/transfer_engine.h"
#include "platform/clock.h"

#include <QtTest>

class TestChannelLoop : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { platform::installDiskSystem(nullptr); }

    void exchangeAndRawWriteReachTheDevice()
    {
        testsupport::LoopCalculator calculator;
        if (!calculator.isReady())
            QSKIP(qPrintable(calculator.skipReason()));
        platform::PosixDiskSystem system(calculator.sysfsRoot(), calculator.devRoot());
        platform::installDiskSystem(&system);

        char16_t table[kMaxDevices][kDevicePathLength];
        QCOMPARE(findCalculatorDisks(table, u"XQ", u"Tavix update", kMaxDevices), 1);
        QCOMPARE(std::u16string(table[0]), calculator.expectedDevicePath());
        platform::Handle disk = platform::activeDiskSystem().openDisk(table[0]);
        QVERIFY(disk != platform::kInvalidHandle);

        QVERIFY(readCommandArea(disk, false));
        const std::int64_t dataAt = 0x40000;
        QCOMPARE(seekDisk(disk, dataAt, platform::SeekOrigin::Begin), dataAt);

        // The block goes to the device and comes back unchanged: no reply flag.
        std::uint32_t code = 0, value = 0;
        QVERIFY(queryCommand(disk, kCmdProgress, 40, &code, &value));
        QCOMPARE(code, kCmdProgress);
        QCOMPARE(value, 40u);
        QVERIFY(!sendProgress(disk, 41));
        QCOMPARE(seekDisk(disk, 0, platform::SeekOrigin::Current), dataAt);

        // A raw chunk at the remembered position.
        auto *chunk = static_cast<std::uint8_t *>(platform::allocAligned(16384));
        QVERIFY(chunk != nullptr);
        for (int i = 0; i < 16384; ++i)
            chunk[i] = std::uint8_t(i * 13 + 1);
        std::uint32_t moved = 0;
        const bool wrote = disk->write(chunk, 16384, &moved);
        QVERIFY(disk->flush());
        const QByteArray written(reinterpret_cast<const char *>(chunk), 16384);
        platform::freeAligned(chunk);
        QVERIFY(wrote);
        QCOMPARE(moved, 16384u);
        QVERIFY(sendEndSession(disk));
        QVERIFY(platform::closeHandle(disk));

        const QByteArray image = calculator.imageBytes();
        QCOMPARE(image.mid(int(dataAt), 16384), written);
        // The last block at the command area is the end of session.
        const QByteArray block = image.mid(int(kCommandOffset), 20).toHex(' ');
        QCOMPARE(block, QByteArray("aa 55 55 aa 4b 51 56 44 00 02 00 00 c1 be 00 00 00 00 00 00"));
    }

    void transferOntoTheDevice_data()
    {
        QTest::addColumn<int>("sectorSize"); // the loop device's logical sectors
        QTest::newRow("sectors of 512 bytes") << 512;
        QTest::newRow("sectors of 4096 bytes") << 4096;
    }
    void transferOntoTheDevice()
    {
        // A file that ends inside a sector, through the engine onto the real
        // device: with 512-byte sectors the image holds the file, then zeros
        // to the sector's end; a device of 4096-byte sectors (BLKSSZGET) is
        // refused before anything is written to it.
        QFETCH(int, sectorSize);
        testsupport::LoopCalculator calculator(testsupport::CalculatorIdentity(), 4 << 20, sectorSize);
        if (!calculator.isReady())
            QSKIP(qPrintable(calculator.skipReason()));
        platform::PosixDiskSystem system(calculator.sysfsRoot(), calculator.devRoot());
        platform::installDiskSystem(&system);
        platform::useSimulatedClock(true);

        QTemporaryDir folder;
        QByteArray bytes(1000000, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 131) ^ (i >> 9));
        QFile file(folder.filePath("os.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();

        const std::int64_t offset = 0x100000;
        const std::int32_t result = runFirmwareTransfer(u"XQ", u"Tavix update",
                                                        file.fileName().toStdU16String().c_str(),
                                                        offset, nullptr, nullptr);
        platform::useSimulatedClock(false);
        const QByteArray image = calculator.imageBytes();
        if (sectorSize != 512) {
            QCOMPARE(result, kSectorSizeRefused);
            QCOMPARE(image, QByteArray(4 << 20, 0));
            return;
        }
        QCOMPARE(result, kTransferOk);
        QCOMPARE(image.mid(int(offset), bytes.size()), bytes);
        const int tail = 512 - bytes.size() % 512;
        QCOMPARE(image.mid(int(offset) + bytes.size(), tail), QByteArray(tail, 0));
    }
};

QTEST_GUILESS_MAIN(TestChannelLoop)
#include "test_channel_loop.moc"
