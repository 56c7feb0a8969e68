// The command channel against a simulated calculator: the blocks as they reach
// the disk (recorded below the transport), the replies, and what the
// calculator made of them (its trace).
#include "emulator/emulated_disk_system.h"
#include "support/calculator_fixtures.h"
#include "support/recording_disk_system.h"
#include "transport/command_channel.h"
#include "transport/protocol_extras.h"

#include <QtTest>

#include <memory>

using testsupport::DiskOp;

using testsupport::traceOf;

namespace {

QByteArray hex(const std::vector<std::uint8_t> &bytes, std::size_t from, std::size_t count)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data() + from), int(count)).toHex(' ');
}

std::uint32_t le32(const std::vector<std::uint8_t> &bytes, std::size_t at)
{
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
           std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}

} // namespace

class TestCommandChannel : public QObject {
    Q_OBJECT

    std::unique_ptr<emulator::EmulatedDiskSystem> disks;
    std::unique_ptr<testsupport::RecordingDiskSystem> recorder;
    std::shared_ptr<emulator::Calculator> calculator;
    platform::Handle disk = platform::kInvalidHandle;

    // Command writes and reply reads at the command area, in order.
    std::vector<DiskOp> commandWrites() const
    {
        return recorder->transfers(DiskOp::Write, kCommandOffset, kCommandBlockSize);
    }
    std::vector<DiskOp> replyReads() const
    {
        return recorder->transfers(DiskOp::Read, kCommandOffset, kCommandBlockSize);
    }

private slots:
    void init()
    {
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        calculator = disks->attach(emulator::Config{});
        recorder = std::make_unique<testsupport::RecordingDiskSystem>(*disks);
        disk = recorder->openDisk(calculator->devicePath().c_str());
        QVERIFY(disk != platform::kInvalidHandle);
        recorder->clear();
    }
    void cleanup()
    {
        platform::closeHandle(disk);
        disk = platform::kInvalidHandle;
        QCOMPARE(disks->openHandleCount(), 0);
    }

    void progressBlockAndReplyBytes()
    {
        QVERIFY(sendProgress(disk, 40));
        const auto writes = commandWrites();
        QCOMPARE(writes.size(), std::size_t(1));
        QCOMPARE(hex(writes[0].bytes, 0, 20),
                 QByteArray("aa 55 55 aa 4b 51 56 44 00 02 00 00 dc be 00 00 28 00 00 00"));
        const auto reads = replyReads();
        QCOMPARE(reads.size(), std::size_t(1));
        QCOMPARE(hex(reads[0].bytes, 12, 4), QByteArray("dc be 00 80"));
        QCOMPARE(traceOf(*calculator), QStringList{"progress 40"});
    }

    void endSessionWritesOneBlockAndReadsNothing()
    {
        QVERIFY(sendEndSession(disk));
        const auto writes = commandWrites();
        QCOMPARE(writes.size(), std::size_t(1));
        QCOMPARE(hex(writes[0].bytes, 0, 20),
                 QByteArray("aa 55 55 aa 4b 51 56 44 00 02 00 00 c1 be 00 00 00 00 00 00"));
        int reads = 0;
        for (const DiskOp &op : recorder->ops())
            reads += op.kind == DiskOp::Read;
        QCOMPARE(reads, 0);
        QCOMPARE(traceOf(*calculator), QStringList{"end-session"});
    }

    void refusedProgressIsTriedSixTimes()
    {
        emulator::Faults faults;
        faults.refuseProgress = true;
        calculator->setFaults(faults);
        QVERIFY(!sendProgress(disk, 40));
        QCOMPARE(commandWrites().size(), std::size_t(6));
        QCOMPARE(replyReads().size(), std::size_t(6));
        QCOMPARE(traceOf(*calculator), QStringList(QVector<QString>(6, "refused progress 40").toList()));
        // The refusal is the reply code without the reply flag.
        QCOMPARE(le32(replyReads()[0].bytes, 12), std::uint32_t(0x0000BEDC));
    }

    void transferCheck_data()
    {
        QTest::addColumn<quint32>("packetBytes");
        QTest::addColumn<qint64>("asked");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<bool>("refuse");
        QTest::newRow("all bytes confirmed") << 1048576u << qint64(1048576) << true << false;
        QTest::newRow("one byte short") << 1048575u << qint64(1048576) << false << false;
        QTest::newRow("low 32 bits only") << 300u << (qint64(1) << 32) + 300 << true << false;
        QTest::newRow("refused") << 300u << qint64(300) << false << true;
    }
    void transferCheck()
    {
        QFETCH(quint32, packetBytes);
        QFETCH(qint64, asked);
        QFETCH(bool, confirmed);
        QFETCH(bool, refuse);
        std::vector<std::uint8_t> data(packetBytes, 0x5A);
        readCommandArea(disk, false); // the calculator counts packets from the opening read
        QVERIFY(sendDataPackets(disk, data.data(), packetBytes, 0));
        emulator::Faults faults;
        faults.refuseCheck = refuse;
        calculator->setFaults(faults);
        recorder->clear();
        QCOMPARE(checkTransfer(disk, asked), confirmed);
        QCOMPARE(commandWrites().size(), std::size_t(1)); // no retry
        QCOMPARE(le32(commandWrites()[0].bytes, 16), std::uint32_t(asked));
        const QString event = QString("check-transfer %1").arg(std::uint32_t(asked));
        QCOMPARE(traceOf(*calculator).last(), refuse ? "refused " + event : event);
    }

    void dataPackets_data()
    {
        QTest::addColumn<quint32>("length");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<QList<quint32>>("arguments");
        QTest::addColumn<QStringList>("trace");
        QTest::newRow("300 bytes from 0") << 300u << qint64(0) << QList<quint32>{0x00000100, 0x0100002C}
                                          << QStringList{"packet 0 256", "packet 256 44"};
        QTest::newRow("at 0x12300") << 256u << qint64(0x12300) << QList<quint32>{0x23000100}
                                    << QStringList{"packet 8960 256"};
        QTest::newRow("at 0x10000 wraps to 0") << 256u << qint64(0x10000) << QList<quint32>{0x00000100}
                                               << QStringList{"packet 0 256"};
        QTest::newRow("wrap inside one call") << 512u << qint64(0xFF00)
                                              << QList<quint32>{0xFF000100, 0x00000100}
                                              << QStringList{"packet 65280 256", "packet 0 256"};
        QTest::newRow("one byte") << 1u << qint64(5) << QList<quint32>{0x00050001} << QStringList{"packet 5 1"};
        QTest::newRow("empty") << 0u << qint64(0) << QList<quint32>{} << QStringList{};
    }
    void dataPackets()
    {
        QFETCH(quint32, length);
        QFETCH(qint64, start);
        QFETCH(QList<quint32>, arguments);
        QFETCH(QStringList, trace);
        std::vector<std::uint8_t> data(length);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = std::uint8_t(i * 7 + 3);
        QVERIFY(sendDataPackets(disk, data.data(), length, start));
        const auto writes = commandWrites();
        QCOMPARE(int(writes.size()), arguments.size());
        std::vector<std::uint8_t> carried;
        for (int i = 0; i < arguments.size(); ++i) {
            QCOMPARE(le32(writes[i].bytes, 12), kCmdDataPacket);
            QCOMPARE(le32(writes[i].bytes, 16), arguments[i]);
            const std::uint32_t size = arguments[i] & 0xFFFF;
            carried.insert(carried.end(), writes[i].bytes.begin() + 20, writes[i].bytes.begin() + 20 + size);
        }
        QVERIFY(carried == data);
        QVERIFY(calculator->packetData() == data);
        QCOMPARE(traceOf(*calculator), trace);
    }

    void refusedSecondPacketStopsAfterTwoExchanges()
    {
        emulator::Faults faults;
        faults.refusePacket = 2;
        calculator->setFaults(faults);
        std::vector<std::uint8_t> data(1024, 1);
        QVERIFY(!sendDataPackets(disk, data.data(), 1024, 0));
        QCOMPARE(commandWrites().size(), std::size_t(2));
        QCOMPARE(replyReads().size(), std::size_t(2));
        QCOMPARE(traceOf(*calculator), (QStringList{"packet 0 256", "refused packet 256 256"}));
    }

    void emptyReplyIsNeverAccepted_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("emptyFrom"); // the first reply read that moves nothing
        QTest::addColumn<int>("exchanges"); // command blocks written before giving up
        QTest::newRow("first data packet") << "packets" << 1 << 1;
        QTest::newRow("second data packet, after an accepted one") << "packets" << 2 << 2;
        QTest::newRow("progress report") << "progress" << 1 << 6;
        QTest::newRow("transfer check") << "check" << 1 << 1;
        QTest::newRow("query") << "query" << 1 << 1;
    }
    void emptyReplyIsNeverAccepted()
    {
        // A reply read that succeeds but moves nothing (as at the end of a
        // device) brought no answer: neither an earlier reply nor whatever the
        // reply buffer held counts as the calculator's acceptance.
        QFETCH(QString, command);
        QFETCH(int, emptyFrom);
        QFETCH(int, exchanges);
        const std::vector<std::uint8_t> data(512, 0x5A);
        readCommandArea(disk, false);
        recorder->clear();
        recorder->emptyReadsFrom(kCommandOffset, kCommandBlockSize, emptyFrom);
        std::uint32_t code = 0, value = 0;
        bool accepted = true;
        if (command == "packets")
            accepted = sendDataPackets(disk, data.data(), 512, 0);
        else if (command == "progress")
            accepted = sendProgress(disk, 50);
        else if (command == "check")
            accepted = checkTransfer(disk, 0);
        else
            accepted = queryCommand(disk, kCmdProgress, 50, &code, &value);
        QVERIFY(!accepted);
        QCOMPARE(int(commandWrites().size()), exchanges);
    }

    void exchangeRestoresPosition_data()
    {
        QTest::addColumn<bool>("reply"); // a query, or the end-of-session block (no reply)
        QTest::addColumn<qint64>("position");
        QTest::addColumn<int>("failingCall"); // 0: none
        QTest::addColumn<int>("blocksWritten");
        QTest::addColumn<int>("repliesRead");
        QTest::addColumn<qint64>("after"); // the position the call leaves
        const qint64 pastBlock = kCommandOffset + 512;
        // Calls through the handle: seek (remember), seek, write, seek, read, seek;
        // without a reply: seek (remember), seek, write, seek.
        QTest::newRow("start") << true << qint64(0) << 0 << 1 << 1 << qint64(0);
        QTest::newRow("inside the command area") << true << pastBlock << 0 << 1 << 1 << pastBlock;
        QTest::newRow("data stream") << true << qint64(0x500000) << 0 << 1 << 1 << qint64(0x500000);
        QTest::newRow("failed write: the reply is still read") << true << qint64(0x100000) << 3 << 1 << 1
                                                               << qint64(0x100000);
        QTest::newRow("failed seek: no block lands on the data") << true << qint64(0x100000) << 2 << 0 << 1
                                                                 << qint64(0x100000);
        QTest::newRow("failed second seek: no read elsewhere") << true << qint64(0x100000) << 4 << 1 << 0
                                                               << qint64(0x100000);
        // A position that cannot be had cannot be put back: the calculator is
        // not talked to at all.
        QTest::newRow("position not known: nothing sent") << true << qint64(0x100000) << 1 << 0 << 0
                                                          << qint64(0x100000);
        QTest::newRow("position not put back: a failure") << true << qint64(0x100000) << 6 << 1 << 1 << pastBlock;
        QTest::newRow("end of session") << false << qint64(0x100000) << 0 << 1 << 0 << qint64(0x100000);
        QTest::newRow("end of session, position not known") << false << qint64(0x100000) << 1 << 0 << 0
                                                            << qint64(0x100000);
        QTest::newRow("end of session, position not put back") << false << qint64(0x100000) << 4 << 1 << 0
                                                               << pastBlock;
    }
    void exchangeRestoresPosition()
    {
        QFETCH(bool, reply);
        QFETCH(qint64, position);
        QFETCH(int, failingCall);
        QFETCH(int, blocksWritten);
        QFETCH(int, repliesRead);
        QFETCH(qint64, after);
        QCOMPARE(seekDisk(disk, position, platform::SeekOrigin::Begin), position);
        recorder->clear();
        disks->resetCallCounter(std::uint64_t(failingCall), false);
        std::uint32_t code = 0, value = 0;
        const bool ok = reply ? queryCommand(disk, kCmdProgress, 1, &code, &value) : sendEndSession(disk);
        QCOMPARE(ok, failingCall == 0);
        QCOMPARE(seekDisk(disk, 0, platform::SeekOrigin::Current), after);
        int writes = 0, reads = 0;
        for (const DiskOp &op : recorder->ops()) {
            writes += op.kind == DiskOp::Write;
            reads += op.kind == DiskOp::Read;
            if (op.kind != DiskOp::Seek)
                QCOMPARE(op.position, kCommandOffset); // nothing anywhere else
        }
        QCOMPARE(writes, blocksWritten);
        QCOMPARE(reads, repliesRead);
        QCOMPARE(calculator->contents(std::uint64_t(position), 512), std::vector<std::uint8_t>(512, 0));
    }

    void commandAreaReads_data()
    {
        QTest::addColumn<bool>("closing");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<QString>("event");
        QTest::newRow("opening") << false << kOpeningReadLength << "opening-read";
        QTest::newRow("closing") << true << kClosingReadLength << "closing-read";
    }
    void commandAreaReads()
    {
        QFETCH(bool, closing);
        QFETCH(quint32, length);
        QFETCH(QString, event);
        QVERIFY(readCommandArea(disk, closing));
        QCOMPARE(recorder->transfers(DiskOp::Read, kCommandOffset, length).size(), std::size_t(1));
        QCOMPARE(traceOf(*calculator), QStringList{event});
        // The position is left after the read, not restored.
        QCOMPARE(seekDisk(disk, 0, platform::SeekOrigin::Current), kCommandOffset + length);
    }

    void commandsOnAGoneCalculatorFail()
    {
        // Every I/O fails once the calculator is unplugged: nothing is
        // reported as accepted, and the reads still "succeed" as promised.
        emulator::Faults faults;
        faults.unplugAfterBytes = 512;
        calculator->setFaults(faults);
        alignas(4096) static std::uint8_t sector[512] = {};
        std::uint32_t moved = 0;
        QVERIFY(seekDisk(disk, 0, platform::SeekOrigin::Begin) == 0);
        QVERIFY(disk->write(sector, 512, &moved));
        QVERIFY(!sendProgress(disk, 50));
        QVERIFY(!checkTransfer(disk, 0));
        QVERIFY(!sendDataPackets(disk, sector, 10, 0));
        QVERIFY(!sendEndSession(disk));
        QVERIFY(readCommandArea(disk, true));
    }
};

QTEST_GUILESS_MAIN(TestCommandChannel)
#include "test_command_channel.moc"
