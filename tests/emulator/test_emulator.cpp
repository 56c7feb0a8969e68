// The simulated calculator, driven through the disk system interface as the
// transport drives it: what reaches its disk, the replies it gives, what it
// traces, and how each fault shows.
#include "emulator/cart.h"
#include "emulator/emulated_disk_system.h"
#include "emulator/simulation_settings.h"
#include "platform/clock.h"
#include "platform/error_kind.h"

#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

using emulator::Calculator;
using emulator::Config;
using emulator::EmulatedDiskSystem;
using emulator::Faults;
using platform::Handle;
using platform::SeekOrigin;

namespace {

constexpr std::int64_t kCommandArea = 87040;
constexpr std::uint64_t kSmallDisk = 1 << 20;

struct AlignedFree {
    void operator()(std::uint8_t *p) const { platform::freeAligned(p); }
};
using Buffer = std::unique_ptr<std::uint8_t[], AlignedFree>;

// An aligned buffer of `length` bytes, each (seed + i) & 0xFF.
Buffer pattern(std::size_t length, std::uint8_t seed)
{
    Buffer buffer(static_cast<std::uint8_t *>(platform::allocAligned(length + 512)));
    for (std::size_t i = 0; i < length + 512; ++i)
        buffer[i] = std::uint8_t(seed + i);
    return buffer;
}

std::vector<std::uint8_t> bytes(const std::uint8_t *p, std::size_t n) { return {p, p + n}; }

void putLe32(std::uint8_t *p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}

Buffer commandBlock(std::uint32_t code, std::uint32_t argument, std::uint8_t payloadSeed = 0)
{
    Buffer block = pattern(512, payloadSeed);
    std::memcpy(block.get(), "\xAA\x55\x55\xAA" "KQVD\x00\x02\x00\x00", 12);
    putLe32(block.get() + 12, code);
    putLe32(block.get() + 16, argument);
    return block;
}

bool writeAt(Handle h, std::int64_t offset, const void *data, std::uint32_t length)
{
    std::uint32_t moved = 0;
    return h->seek(offset, SeekOrigin::Begin) == offset && h->write(data, length, &moved) &&
           moved == length;
}

bool readAt(Handle h, std::int64_t offset, void *data, std::uint32_t length)
{
    std::uint32_t moved = 0;
    return h->seek(offset, SeekOrigin::Begin) == offset && h->read(data, length, &moved) &&
           moved == length;
}

// A command block written and its reply read back, as the transport exchanges them.
std::vector<std::uint8_t> exchange(Handle h, std::uint32_t code, std::uint32_t argument,
                                   std::uint8_t payloadSeed = 0)
{
    const Buffer block = commandBlock(code, argument, payloadSeed);
    Buffer reply = pattern(512, 0xEE);
    if (!writeAt(h, kCommandArea, block.get(), 512) || !readAt(h, kCommandArea, reply.get(), 512))
        return {};
    return bytes(reply.get(), 512);
}

std::uint32_t le32(const std::vector<std::uint8_t> &b, std::size_t at)
{
    return b.size() < at + 4 ? 0xFFFFFFFFu
                             : std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 |
                                   std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 3]) << 24;
}

QStringList traceOf(const Calculator &c)
{
    QStringList lines;
    for (const std::string &line : c.trace())
        lines << QString::fromStdString(line);
    return lines;
}

QStringList enumerate(platform::DiskSystem &system)
{
    QStringList paths;
    system.enumerateDiskInterfaces([&](const char16_t *path) {
        paths << QString::fromStdU16String(path);
        return true;
    });
    return paths;
}

QString describe(const Faults &f)
{
    return QStringLiteral("progress=%1 packet=%2 check=%3 writes=%4 open=%5 unplug=%6 replug=%7 "
                          "attach=%8 speed=%9 stall=%10/%11 errors=%12/%13/%14/%15 sector=%16 mounted=%17:%18")
        .arg(!f.refuseProgress).arg(f.refusePacket).arg(!f.refuseCheck).arg(f.failWrites)
        .arg(!f.unopenable).arg(f.unplugAfterBytes).arg(f.replugAfterMs).arg(f.attachAtMs)
        .arg(f.bytesPerSecond).arg(f.stallAfterBytes).arg(f.stallMs)
        .arg(f.openError).arg(f.writeError).arg(f.flushError).arg(f.lockError).arg(f.sectorSize)
        .arg(QString::fromStdString(f.mountedVolume), QString::fromStdString(f.mountedFileSystem));
}

// The code a sharing violation has on this system (the fault list's "sharing").
std::uint32_t sharingCode()
{
#ifdef _WIN32
    return 32; // ERROR_SHARING_VIOLATION
#else
    return EBUSY;
#endif
}

QString describe(const std::vector<Faults> &faults)
{
    QStringList parts;
    for (const Faults &f : faults)
        parts << describe(f);
    return parts.join(" | ");
}

const char *const kSimVariables[] = {"TAVIX_SIM_CALCULATORS", "TAVIX_SIM_ATTACH_MS",
                                     "TAVIX_SIM_DISK_MIB",   "TAVIX_SIM_BYTES_PER_SEC",
                                     "TAVIX_SIM_FAULTS",     "TAVIX_SIM_OUTPUT",
                                     "TAVIX_SIM_SERIAL",     "TAVIX_SIM_INSTANCE",
                                     "TAVIX_SIM_CLOSE_ON",   "TAVIX_SIM_CART"};

} // namespace

class TestEmulator : public QObject {
    Q_OBJECT

    std::unique_ptr<EmulatedDiskSystem> disks;
    std::shared_ptr<Calculator> calc;
    Handle disk = platform::kInvalidHandle;

    Handle open(const Calculator &c) { return disks->openDisk(c.devicePath().c_str()); }

private slots:
    void init()
    {
        platform::useSimulatedClock(true);
        disks = std::make_unique<EmulatedDiskSystem>();
        Config config;
        config.diskBytes = kSmallDisk;
        calc = disks->attach(config);
        disk = open(*calc);
        QVERIFY(disk);
    }
    void cleanup()
    {
        platform::closeHandle(disk);
        disk = platform::kInvalidHandle;
        QCOMPARE(disks->openHandleCount(), 0);
        platform::useSimulatedClock(false);
    }

    void enumerationAndOpen()
    {
        Config scsi, named;
        scsi.identity.bus = "scsi";
        scsi.identity.serial = "TAVIX0000002";
        named.identity.pathOverride = "\\\\?\\USBSTOR#Disk&Ven_XQ#Long&0#{x}";
        const auto other = disks->attach(scsi), third = disks->attach(named);
        const QString guid = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        const QStringList expected = {
            "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#tavix0000001&0#" + guid,
            "\\\\?\\scsi#disk&ven_xq&prod_tavix_update&rev_1.00#tavix0000002&0#" + guid,
            "\\\\?\\USBSTOR#Disk&Ven_XQ#Long&0#{x}"};
        QCOMPARE(enumerate(*disks), expected);
        QVERIFY(calc->isCalculator());
        QVERIFY(!other->isCalculator());

        for (const QString &path : expected) {
            Handle h = disks->openDisk(path.toStdU16String().c_str());
            QVERIFY2(h, qPrintable(path));
            QCOMPARE(disks->openHandleCount(), 2);
            platform::closeHandle(h);
        }
        // Only an exact path opens a disk.
        for (const QString &path : {expected[0].toUpper(), expected[2].toLower(), QString("x")}) {
            platform::setLastError(0);
            QVERIFY(!disks->openDisk(path.toStdU16String().c_str()));
            QCOMPARE(platform::lastError(), platform::systemErrorFor(ENOENT));
        }
        QCOMPARE(disks->openHandleCount(), 1);
    }

    void wholeSectorRule_data()
    {
        QTest::addColumn<bool>("write");
        QTest::addColumn<qint64>("offset");
        QTest::addColumn<quint32>("length");
        QTest::addColumn<int>("shift"); // buffer address offset from an aligned one
        QTest::addColumn<int>("error");
        const qint64 end = qint64(kSmallDisk);
        for (bool write : {false, true}) {
            const char *op = write ? "write" : "read";
            QTest::addRow("%s, offset not in sectors", op) << write << qint64(100) << 512u << 0 << EINVAL;
            QTest::addRow("%s, length not in sectors", op) << write << qint64(512) << 700u << 0 << EINVAL;
            QTest::addRow("%s, buffer not aligned", op) << write << qint64(512) << 512u << 8 << EINVAL;
            QTest::addRow("%s, command area unaligned", op) << write << qint64(kCommandArea) << 511u << 0 << EINVAL;
            QTest::addRow("%s, runs past the end", op) << write << end - 512 << 1024u << 0 << ENXIO;
            QTest::addRow("%s, at the end", op) << write << end << 512u << 0 << ENXIO;
        }
    }
    void wholeSectorRule()
    {
        QFETCH(bool, write);
        QFETCH(qint64, offset);
        QFETCH(quint32, length);
        QFETCH(int, shift);
        QFETCH(int, error);
        const Buffer before = pattern(4096, 1);
        QVERIFY(writeAt(disk, 0, before.get(), 4096));
        QVERIFY(writeAt(disk, qint64(kSmallDisk) - 4096, before.get(), 4096));
        const auto trace = calc->trace();
        const auto head = calc->contents(0, 4096), tail = calc->contents(kSmallDisk - 4096, 4096);

        Buffer data = pattern(length, 0x80);
        QCOMPARE(disk->seek(offset, SeekOrigin::Begin), offset);
        std::uint32_t moved = 7;
        platform::setLastError(0);
        QVERIFY(write ? !disk->write(data.get() + shift, length, &moved)
                      : !disk->read(data.get() + shift, length, &moved));
        QCOMPARE(platform::lastError(), platform::systemErrorFor(error));
        QCOMPARE(moved, 0u);
        QCOMPARE(disk->seek(0, SeekOrigin::Current), offset);
        QCOMPARE(calc->trace(), trace);
        QCOMPARE(calc->contents(0, 4096), head);
        QCOMPARE(calc->contents(kSmallDisk - 4096, 4096), tail);
        if (!write)
            QCOMPARE(bytes(data.get(), length), bytes(pattern(length, 0x80).get(), length));
    }

    void sparseStorage()
    {
        Config big;
        big.identity.serial = "BIG";
        big.diskBytes = 4ull << 30;
        const auto bigCalc = disks->attach(big);
        Handle h = open(*bigCalc);
        QVERIFY(h);
        QCOMPARE(h->size(), qint64(4ll << 30));
        QCOMPARE(h->seek(0, SeekOrigin::End), qint64(4ll << 30));
        // The middle write straddles a 64 KiB page boundary.
        const qint64 offsets[] = {0, (3ll << 30) + 65536 - 512, (4ll << 30) - 1024};
        for (std::size_t i = 0; i < 3; ++i)
            QVERIFY(writeAt(h, offsets[i], pattern(1024, std::uint8_t(i * 50)).get(), 1024));
        QCOMPARE(bigCalc->residentBytes(), std::uint64_t(4 * 65536));
        Buffer back = pattern(1024, 0);
        for (std::size_t i = 0; i < 3; ++i) {
            QVERIFY(readAt(h, offsets[i], back.get(), 1024));
            QCOMPARE(bytes(back.get(), 1024), bytes(pattern(1024, std::uint8_t(i * 50)).get(), 1024));
        }
        QVERIFY(readAt(h, 2ll << 30, back.get(), 1024));
        QCOMPARE(bytes(back.get(), 1024), std::vector<std::uint8_t>(1024, 0));
        QCOMPARE(bigCalc->residentBytes(), std::uint64_t(4 * 65536)); // reads allocate nothing
        platform::closeHandle(h);
    }

    void commandReplies_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<quint32>("argument");
        QTest::addColumn<quint32>("replyCode");
        QTest::addColumn<quint32>("replyValue");
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("packetBytes"); // payload kept for packetData

        // Reply bytes 12..15 of the first row: DC BE 00 80.
        QTest::newRow("progress") << "" << 0xBEDCu << 40u << 0x8000BEDCu << 40u << "progress 40" << 0;
        QTest::newRow("progress refused") << "refuse-progress" << 0xBEDCu << 40u << 0xBEDCu << 0u
                                          << "refused progress 40" << 0;
        QTest::newRow("packet") << "" << 0xBEC6u << (3u << 16 | 256) << 0x8000BEC6u << 256u
                                << "packet 3 256" << 256;
        QTest::newRow("packet refused") << "refuse-packet=1" << 0xBEC6u << (3u << 16 | 256) << 0xBEC6u
                                        << 0u << "refused packet 3 256" << 0;
        QTest::newRow("packet too long") << "" << 0xBEC6u << 257u << 0xBEC6u << 0u
                                         << "refused packet 0 257" << 0;
        QTest::newRow("packet empty") << "" << 0xBEC6u << (9u << 16) << 0xBEC6u << 0u
                                      << "refused packet 9 0" << 0;
        QTest::newRow("check") << "" << 0xBEC7u << 1000u << 0x8000BEC7u << 0u << "check-transfer 1000" << 0;
        QTest::newRow("check refused") << "refuse-check" << 0xBEC7u << 0u << 0xBEC7u << 0u
                                       << "refused check-transfer 0" << 0;
        QTest::newRow("unknown") << "" << 0xBEEFu << 7u << 0xBEEFu << 0u << "refused command 0xBEEF 7" << 0;
        QTest::newRow("reply code as command") << "" << 0x8000BEDCu << 1u << 0xBEDCu << 0u
                                               << "refused command 0x8000BEDC 1" << 0;
    }
    void commandReplies()
    {
        QFETCH(QString, faults);
        QFETCH(quint32, code);
        QFETCH(quint32, argument);
        QFETCH(quint32, replyCode);
        QFETCH(quint32, replyValue);
        QFETCH(QString, event);
        QFETCH(int, packetBytes);
        std::vector<Faults> list(1);
        QVERIFY(emulator::parseFaultList(faults.toStdString(), list, nullptr));
        calc->setFaults(list[0]);

        const auto reply = exchange(disk, code, argument, 0x30);
        QCOMPARE(reply.size(), std::size_t(512));
        QCOMPARE(bytes(reply.data(), 12), bytes(commandBlock(0, 0).get(), 12)); // magic, tag, length
        QCOMPARE(le32(reply, 12), replyCode);
        QCOMPARE(le32(reply, 16), replyValue);
        QCOMPARE(std::vector<std::uint8_t>(reply.begin() + 20, reply.end()), std::vector<std::uint8_t>(492, 0));
        QCOMPARE(traceOf(*calc), QStringList{event});
        // A command block is not stored and is not a data write.
        QCOMPARE(calc->contents(kCommandArea, 512), std::vector<std::uint8_t>(512, 0));
        QCOMPARE(calc->dataBytesWritten(), std::uint64_t(0));
        QCOMPARE(calc->packetData(), bytes(pattern(512, 0x30).get() + 20, std::size_t(packetBytes)));
    }

    void replyLifetime()
    {
        Buffer sector = pattern(512, 0);
        Buffer opening = pattern(15360, 0);
        const std::vector<std::uint8_t> zeros(512, 0);
        // Served once; the next read at the command area sees the disk.
        QCOMPARE(le32(exchange(disk, 0xBEDC, 1), 12), 0x8000BEDCu);
        QVERIFY(readAt(disk, kCommandArea, sector.get(), 512));
        QCOMPARE(bytes(sector.get(), 512), zeros);
        // Dropped by other I/O at the command area.
        QVERIFY(writeAt(disk, kCommandArea, commandBlock(0xBEDC, 2).get(), 512));
        QVERIFY(readAt(disk, kCommandArea, opening.get(), 15360));
        QVERIFY(readAt(disk, kCommandArea, sector.get(), 512));
        QCOMPARE(bytes(sector.get(), 512), zeros);
        // End of session leaves no reply behind.
        QVERIFY(writeAt(disk, kCommandArea, commandBlock(0xBEDC, 3).get(), 512));
        QVERIFY(writeAt(disk, kCommandArea, commandBlock(0xBEC1, 0).get(), 512));
        QVERIFY(readAt(disk, kCommandArea, sector.get(), 512));
        QCOMPARE(bytes(sector.get(), 512), zeros);
        // A 512-byte write there that is no command block is data.
        const Buffer data = pattern(512, 9);
        QVERIFY(writeAt(disk, kCommandArea, data.get(), 512));
        QVERIFY(readAt(disk, kCommandArea, sector.get(), 512));
        QCOMPARE(bytes(sector.get(), 512), bytes(data.get(), 512));
        QCOMPARE(traceOf(*calc), (QStringList{"progress 1", "read 87040 512", "progress 2", "opening-read",
                                              "read 87040 512", "progress 3", "end-session", "read 87040 512",
                                              "write 87040 512", "read 87040 512"}));
    }

    void checkTransferConfirmsWhatArrived()
    {
        Faults faults;
        faults.refusePacket = 2;
        calc->setFaults(faults);
        Buffer opening = pattern(15360, 0);
        QVERIFY(readAt(disk, kCommandArea, opening.get(), 15360));
        QCOMPARE(le32(exchange(disk, 0xBEC6, 100, 1), 12), 0x8000BEC6u);
        QCOMPARE(le32(exchange(disk, 0xBEC6, 1u << 16 | 200, 2), 12), 0xBEC6u);
        QCOMPARE(le32(exchange(disk, 0xBEC6, 2u << 16 | 50, 3), 12), 0x8000BEC6u);
        QCOMPARE(le32(exchange(disk, 0xBEC7, 350), 16), 150u);
        // The count starts again at each opening read; the payloads are kept.
        QVERIFY(readAt(disk, kCommandArea, opening.get(), 15360));
        QCOMPARE(le32(exchange(disk, 0xBEC6, 30, 4), 12), 0x8000BEC6u);
        QCOMPARE(le32(exchange(disk, 0xBEC7, 30), 16), 30u);
        std::vector<std::uint8_t> expected = bytes(pattern(512, 1).get() + 20, 100);
        for (auto part : {bytes(pattern(512, 3).get() + 20, 50), bytes(pattern(512, 4).get() + 20, 30)})
            expected.insert(expected.end(), part.begin(), part.end());
        QCOMPARE(calc->packetData(), expected);
        QCOMPARE(traceOf(*calc), (QStringList{"opening-read", "packet 0 100", "refused packet 1 200",
                                              "packet 2 50", "check-transfer 350", "opening-read",
                                              "packet 0 30", "check-transfer 30"}));
    }

    void sessionTrace()
    {
        Buffer opening = pattern(15872, 0);
        QVERIFY(readAt(disk, kCommandArea, opening.get(), 15360));
        exchange(disk, 0xBEDC, 0);
        QVERIFY(writeAt(disk, 0, pattern(1024, 5).get(), 1024));
        exchange(disk, 0xBEDC, 100);
        QVERIFY(readAt(disk, kCommandArea, opening.get(), 15872));
        QVERIFY(writeAt(disk, kCommandArea, commandBlock(0xBEC1, 0).get(), 512));
        QVERIFY(readAt(disk, 4096, opening.get(), 1024));
        QCOMPARE(QString::fromStdString(calc->traceText()),
                 "opening-read\nprogress 0\nwrite 0 1024\nprogress 100\nclosing-read\nend-session\n"
                 "read 4096 1024\n");
        QCOMPARE(calc->contents(0, 1024), bytes(pattern(1024, 5).get(), 1024));
        QCOMPARE(calc->dataBytesWritten(), std::uint64_t(1024));
    }

    void failWrites_data()
    {
        QTest::addColumn<qint64>("failWrites");
        QTest::addColumn<QString>("outcomes"); // of four data writes
        QTest::addColumn<qint64>("left");
        QTest::newRow("none") << qint64(0) << "ok ok ok ok" << qint64(0);
        QTest::newRow("next two") << qint64(2) << "fail fail ok ok" << qint64(0);
        QTest::newRow("more than tried") << qint64(9) << "fail fail fail fail" << qint64(5);
        QTest::newRow("every one") << qint64(-1) << "fail fail fail fail" << qint64(-1);
    }
    void failWrites()
    {
        QFETCH(qint64, failWrites);
        QFETCH(QString, outcomes);
        QFETCH(qint64, left);
        Faults faults;
        faults.failWrites = failWrites;
        calc->setFaults(faults);
        QStringList seen, expectedTrace;
        for (int i = 0; i < 4; ++i) {
            platform::setLastError(0);
            const bool ok = writeAt(disk, i * 512, pattern(512, std::uint8_t(i + 1)).get(), 512);
            seen << (ok ? "ok" : "fail");
            QCOMPARE(platform::lastError(), platform::systemErrorFor(ok ? 0 : EIO));
            QCOMPARE(calc->contents(i * 512, 512),
                     ok ? bytes(pattern(512, std::uint8_t(i + 1)).get(), 512) : std::vector<std::uint8_t>(512, 0));
            expectedTrace << QString("%1write %2 512").arg(ok ? "" : "refused ").arg(i * 512);
            // Command blocks are not data writes: they get through.
            QCOMPARE(le32(exchange(disk, 0xBEDC, std::uint32_t(i)), 12), 0x8000BEDCu);
            expectedTrace << QString("progress %1").arg(i);
        }
        QCOMPARE(seen.join(' '), outcomes);
        QCOMPARE(traceOf(*calc), expectedTrace);
        QCOMPARE(calc->faults().failWrites, left);
    }

    // The write that reaches the stall point pauses on the clock in use and
    // then completes; the stall fires once (the trace says after which write).
    void stallOnce_data()
    {
        QTest::addColumn<int>("clock");
        QTest::newRow("simulated") << 0;
        QTest::newRow("event") << 1;
        QTest::newRow("real") << 2;
    }
    void stallOnce()
    {
        QFETCH(int, clock);
        if (clock == 1)
            platform::useEventClock();
        else if (clock == 2)
            platform::useSimulatedClock(false);
        Faults faults;
        faults.stallAfterBytes = 1024;
        faults.stallMs = 300;
        calc->setFaults(faults);
        std::uint64_t longest = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint64_t start = platform::nowMs();
            QVERIFY(writeAt(disk, i * 512, pattern(512, std::uint8_t(i + 1)).get(), 512));
            const std::uint64_t ms = platform::nowMs() - start;
            if (i != 1)
                longest = std::max(longest, ms);
            else if (clock == 2)
                QVERIFY2(ms >= 300, qPrintable(QString("the stalled write took %1 ms").arg(ms)));
            else
                QCOMPARE(ms, std::uint64_t(300));
        }
        if (clock == 2)
            QVERIFY2(longest < 300, qPrintable(QString("a write that should not stall took %1 ms").arg(longest)));
        else
            QCOMPARE(longest, std::uint64_t(0));
        QCOMPARE(traceOf(*calc), (QStringList{"write 0 512", "write 512 512", "stall 300", "write 1024 512",
                                              "write 1536 512"}));
        QCOMPARE(calc->faults().stallAfterBytes, qint64(-1));
    }

    void unopenable()
    {
        Faults faults;
        faults.unopenable = true;
        calc->setFaults(faults);
        QVERIFY(!open(*calc));
        QCOMPARE(platform::lastError(), platform::systemErrorFor(EACCES));
        QCOMPARE(traceOf(*calc), QStringList{"refused open"});
        QCOMPARE(enumerate(*disks).size(), 1); // still there, only not openable
        QCOMPARE(disks->openHandleCount(), 1);
        calc->setFaults(Faults{});
        Handle h = open(*calc);
        QVERIFY(h);
        platform::closeHandle(h);
    }

    // The system's refusals come back with exactly the code the fault names,
    // and a file system the system mounted keeps writes out until it is held.
    void systemRefusals()
    {
        const Buffer data = pattern(1024, 7);
        Faults faults;
        faults.openError = 1167, faults.writeError = 19, faults.flushError = 50, faults.sectorSize = 4096;
        calc->setFaults(faults);
        QVERIFY(!open(*calc));
        QCOMPARE(platform::lastError(), 1167u);
        QCOMPARE(disk->sectorSize(), 4096u); // the handle opened before still works
        QVERIFY(!writeAt(disk, 0, data.get(), 512));
        QCOMPARE(platform::lastError(), 19u);
        QCOMPARE(le32(exchange(disk, 0xBEDC, 5), 12), 0x8000BEDCu); // commands still go through
        QVERIFY(!disk->flush());
        QCOMPARE(platform::lastError(), 50u);
        QCOMPARE(traceOf(*calc), (QStringList{"refused open", "refused write 0 512", "progress 5", "refused flush"}));

        calc->clearTrace();
        faults = Faults{};
        faults.mountedVolume = "E:", faults.mountedFileSystem = "FAT";
        calc->setFaults(faults);
        std::vector<platform::MountedVolume> volumes;
        QVERIFY(disks->listVolumes(calc->devicePath().c_str(), &volumes));
        QCOMPARE(volumes.size(), std::size_t(1));
        QVERIFY(volumes[0].name == u"E:" && volumes[0].fileSystem == u"FAT");
        QVERIFY(!writeAt(disk, 512, data.get(), 512));
        QCOMPARE(platform::lastError(), platform::systemErrorFor(EACCES));
        {
            const auto hold = disks->holdVolumes(calc->devicePath().c_str(), nullptr);
            QVERIFY(hold);
            QVERIFY(writeAt(disk, 512, data.get(), 512));
        }
        QVERIFY(!writeAt(disk, 512, data.get(), 512)); // released: mounted again
        QCOMPARE(traceOf(*calc), (QStringList{"refused write 512 512 (volume mounted)", "volume E: locked",
                                              "volume E: dismounted", "write 512 512", "volume E: released",
                                              "refused write 512 512 (volume mounted)"}));

        faults.lockError = 5;
        calc->setFaults(faults);
        platform::MountedVolume refused;
        QVERIFY(!disks->holdVolumes(calc->devicePath().c_str(), &refused));
        QCOMPARE(platform::lastError(), 5u);
        QVERIFY(refused.name == u"E:" && refused.fileSystem == u"FAT");

        // A RAW volume keeps nothing out and needs no lock.
        calc->clearTrace();
        faults.mountedFileSystem = "RAW";
        calc->setFaults(faults);
        QVERIFY(disks->holdVolumes(calc->devicePath().c_str(), nullptr));
        QVERIFY(writeAt(disk, 512, data.get(), 512));
        QCOMPARE(traceOf(*calc), QStringList{"write 512 512"});
    }

    void unplugAndReplug_data()
    {
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<bool>("writeOk");  // the 1536-byte write
        QTest::addColumn<qint64>("replugMs");
        QTest::newRow("write crosses the limit") << qint64(1024) << false << qint64(500);
        QTest::newRow("write reaches the limit") << qint64(1536) << true << qint64(500);
        QTest::newRow("never back") << qint64(1024) << false << qint64(-1);
    }
    void unplugAndReplug()
    {
        QFETCH(qint64, limit);
        QFETCH(bool, writeOk);
        QFETCH(qint64, replugMs);
        Faults faults;
        faults.unplugAfterBytes = limit;
        faults.replugAfterMs = replugMs;
        calc->setFaults(faults);
        Handle second = open(*calc);
        QVERIFY(second);
        const Buffer data = pattern(1536, 3);
        platform::setLastError(0);
        QCOMPARE(writeAt(disk, 0, data.get(), 1536), writeOk);
        if (!writeOk)
            QCOMPARE(platform::lastError(), platform::systemErrorFor(ENODEV));
        // Only what fitted below the limit is on the disk.
        std::vector<std::uint8_t> expected = bytes(data.get(), std::size_t(limit));
        expected.resize(1536, 0);
        QCOMPARE(calc->contents(0, 1536), expected);
        QCOMPARE(traceOf(*calc), writeOk ? (QStringList{"write 0 1536", "unplugged"}) : QStringList{"unplugged"});

        // Gone: every handle fails, and it is not in the enumeration.
        Buffer sector = pattern(512, 0);
        for (Handle h : {disk, second}) {
            QVERIFY(!readAt(h, 0, sector.get(), 512));
            QCOMPARE(platform::lastError(), platform::systemErrorFor(ENODEV));
        }
        QVERIFY(!second->flush());
        QCOMPARE(second->size(), qint64(-1));
        QVERIFY(!open(*calc));
        QCOMPARE(enumerate(*disks), QStringList{});

        platform::advanceSimulatedClock(499);
        QVERIFY(!calc->isPresent());
        platform::advanceSimulatedClock(replugMs < 0 ? 1000000 : 1);
        QCOMPARE(calc->isPresent(), replugMs >= 0);
        if (replugMs >= 0) {
            QCOMPARE(traceOf(*calc).last(), QString("replugged"));
            QVERIFY(!readAt(second, 0, sector.get(), 512)); // old handles stay dead
            QCOMPARE(platform::lastError(), platform::systemErrorFor(ENODEV));
            Handle again = open(*calc);
            QVERIFY(again);
            QVERIFY(readAt(again, 0, sector.get(), 512));
            QCOMPARE(bytes(sector.get(), 512), bytes(expected.data(), 512)); // the disk as it was
            QVERIFY(writeAt(again, 4096, data.get(), 1536)); // the limit was used up
            platform::closeHandle(again);
        }
        platform::closeHandle(second);
    }

    void attachDelay()
    {
        Config late;
        late.identity.serial = "LATE";
        late.faults.attachAtMs = 1000;
        const auto lateCalc = disks->attach(late);
        const QString first = QString::fromStdU16String(calc->devicePath());
        const QString second = QString::fromStdU16String(lateCalc->devicePath());
        QCOMPARE(enumerate(*disks), QStringList{first});
        QVERIFY(!open(*lateCalc));
        QCOMPARE(platform::lastError(), platform::systemErrorFor(ENOENT));
        platform::advanceSimulatedClock(999);
        QCOMPARE(enumerate(*disks), QStringList{first});
        platform::advanceSimulatedClock(1);
        QCOMPARE(enumerate(*disks), (QStringList{first, second}));
        Handle h = open(*lateCalc);
        QVERIFY(h);
        platform::closeHandle(h);
    }

    void faultCounter_data()
    {
        QTest::addColumn<quint64>("failAt");
        QTest::addColumn<bool>("persistent");
        QTest::addColumn<QString>("outcomes");
        // Calls: open, seek, write, seek, read, size, flush, enumerate.
        QTest::newRow("no fault") << quint64(0) << false << "ok ok ok ok ok ok ok ok";
        QTest::newRow("open fails") << quint64(1) << false << "fail";
        QTest::newRow("write fails once") << quint64(3) << false << "ok ok fail ok ok ok ok ok";
        QTest::newRow("from the write on") << quint64(3) << true << "ok ok fail fail fail fail fail fail";
        QTest::newRow("enumeration fails") << quint64(8) << false << "ok ok ok ok ok ok ok fail";
    }
    void faultCounter()
    {
        QFETCH(quint64, failAt);
        QFETCH(bool, persistent);
        QFETCH(QString, outcomes);
        QStringList seen;
        auto note = [&](bool ok) {
            seen << (ok ? "ok" : platform::lastError() == platform::systemErrorFor(EIO) ? "fail" : "wrong error");
            platform::setLastError(0);
            return ok;
        };
        const Buffer data = pattern(512, 7);
        Buffer back = pattern(512, 0);
        std::uint32_t moved = 0;
        disks->resetCallCounter(failAt, persistent);
        platform::setLastError(0);
        Handle h = open(*calc);
        if (note(h != platform::kInvalidHandle)) {
            note(h->seek(512, SeekOrigin::Begin) == 512);
            note(h->write(data.get(), 512, &moved));
            note(h->seek(512, SeekOrigin::Begin) == 512);
            const bool readOk = note(h->read(back.get(), 512, &moved));
            note(h->size() == qint64(kSmallDisk));
            note(h->flush());
            note(!enumerate(*disks).isEmpty());
            QCOMPARE(disks->callCount(), std::uint64_t(8));
            // A failed write stored nothing; a failed read moved nothing.
            const bool stored = calc->contents(512, 512) == bytes(data.get(), 512);
            QCOMPARE(stored, seen[2] == "ok");
            QCOMPARE(bytes(back.get(), 512) == bytes(data.get(), 512), stored && readOk);
            platform::closeHandle(h);
        }
        QCOMPARE(seen.join(' '), outcomes);
    }

    void firmwareFiles()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("firmware.bin");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(1000, 'f') + "tail");
        out.close();
        disks->resetCallCounter(4);
        Handle file = disks->openFile(path.toStdU16String().c_str());
        QVERIFY(file);
        QCOMPARE(disks->openHandleCount(), 2);
        QCOMPARE(file->size(), qint64(1004));
        char text[8] = {};
        std::uint32_t moved = 0;
        QCOMPARE(file->seek(1000, SeekOrigin::Begin), qint64(1000));
        QVERIFY(!file->read(text, 4, &moved)); // the 4th call fails, counted like any other
        QCOMPARE(platform::lastError(), platform::systemErrorFor(EIO));
        QVERIFY(file->read(text, 8, &moved));
        QCOMPARE(QByteArray(text, int(moved)), QByteArray("tail"));
        QVERIFY(!file->write(text, 4, &moved)); // read-only
        QCOMPARE(disks->callCount(), std::uint64_t(6));
        platform::closeHandle(file);
        QVERIFY(!disks->openFile(dir.filePath("missing.bin").toStdU16String().c_str()));
        QCOMPARE(platform::lastError(), platform::systemErrorFor(ENOENT));
    }

    void parseFaultList_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("calculators");
        QTest::addColumn<QString>("result"); // the faults, or a part of the reason
        const QString none = describe(Faults{});
        const auto with = [](void (*set)(Faults &)) { Faults f; set(f); return describe(f); };
        QTest::newRow("empty") << "" << 2 << none + " | " + none;
        QTest::newRow("all calculators") << "refuse-progress" << 2
            << with([](Faults &f) { f.refuseProgress = true; }) + " | " + with([](Faults &f) { f.refuseProgress = true; });
        QTest::newRow("one calculator") << "refuse-packet=3@2" << 2
            << none + " | " + with([](Faults &f) { f.refusePacket = 3; });
        QTest::newRow("several") << "fail-writes=all,unplug-after=4096@1,replug-after=250@1,unopenable,refuse-check" << 1
            << with([](Faults &f) { f.failWrites = -1, f.unplugAfterBytes = 4096, f.replugAfterMs = 250,
                                    f.unopenable = true, f.refuseCheck = true; });
        QTest::newRow("stall") << "stall-after=8192@2,stall-ms=4000@2" << 2
            << none + " | " + with([](Faults &f) { f.stallAfterBytes = 8192, f.stallMs = 4000; });
        QTest::newRow("stall too long") << "stall-ms=600001" << 1 << "larger than 600000";
        QTest::newRow("counts") << "fail-writes=7,unplug-after=0,refuse-packet=4294967295" << 1
            << with([](Faults &f) { f.failWrites = 7, f.unplugAfterBytes = 0, f.refusePacket = 4294967295u; });

        // The system's refusals: codes as numbers (1 to 2^32-1) or names, the
        // sector size (1 to 65536), a mounted volume with or without a letter.
        QTest::newRow("refusals") << "open-error=5@1,write-error=write-protect@2,flush-error=4294967295@2,"
                                     "lock-error=sharing@1,mounted=e:FAT@1,sector-size=65536@2" << 2
            << with([](Faults &f) { f.openError = 5, f.lockError = sharingCode(), f.mountedVolume = "E:",
                                    f.mountedFileSystem = "FAT"; }) + " | " +
               with([](Faults &f) { f.writeError = platform::systemErrorFor(EROFS), f.flushError = 4294967295u,
                                    f.sectorSize = 65536; });
        QTest::newRow("volume without a letter") << "mounted=:NTFS,sector-size=1,open-error=gone" << 1
            << with([](Faults &f) { f.mountedVolume = "\\\\?\\Volume{7a5c0000-0000-0000-0000-000000000001}\\",
                                    f.mountedFileSystem = "NTFS", f.sectorSize = 1, f.openError = platform::systemErrorFor(ENODEV); });
        QTest::newRow("file system of 16") << "mounted=Z:ABCDEFGHIJKLMNOP" << 1
            << with([](Faults &f) { f.mountedVolume = "Z:", f.mountedFileSystem = "ABCDEFGHIJKLMNOP"; });
        QTest::newRow("file system of 17") << "mounted=Z:ABCDEFGHIJKLMNOPQ" << 1 << "is not LETTER:FS";
        QTest::newRow("no file system") << "mounted=E:" << 1 << "is not LETTER:FS";
        QTest::newRow("two letters") << "mounted=EF:FAT" << 1 << "is not LETTER:FS";
        QTest::newRow("no colon") << "mounted=E" << 1 << "is not LETTER:FS";
        QTest::newRow("file system with a dot") << "mounted=E:FA.T" << 1 << "is not LETTER:FS";
        QTest::newRow("code zero") << "open-error=0" << 1 << "0 is smaller than 1";
        QTest::newRow("code overflow") << "write-error=4294967296" << 1 << "larger than 4294967295";
        QTest::newRow("unknown code name") << "flush-error=denied" << 1 << "'denied' is neither";
        QTest::newRow("sector size zero") << "sector-size=0" << 1 << "0 is smaller than 1";
        QTest::newRow("sector size too large") << "sector-size=65537" << 1 << "larger than 65536";
        QTest::newRow("code without value") << "lock-error" << 1 << "'lock-error' needs a value";

        QTest::newRow("unknown name") << "refuse-everything" << 1 << "unknown fault 'refuse-everything'";
        QTest::newRow("space") << " refuse-check" << 1 << "unknown fault ' refuse-check'";
        QTest::newRow("control character") << "refuse\ncheck" << 1 << "unknown fault 'refuse\\x0Acheck'";
        QTest::newRow("extra value") << "refuse-check=1" << 1 << "'refuse-check' takes no value";
        QTest::newRow("missing value") << "refuse-packet" << 1 << "'refuse-packet' needs a value";
        QTest::newRow("empty value") << "unplug-after=" << 1 << "'' is not a number";
        QTest::newRow("negative") << "fail-writes=-1" << 1 << "'-1' is not a number";
        QTest::newRow("packet zero") << "refuse-packet=0" << 1 << "0 is smaller than 1";
        QTest::newRow("packet overflow") << "refuse-packet=4294967296" << 1 << "larger than 4294967295";
        QTest::newRow("bytes overflow") << "unplug-after=99999999999999999999" << 1 << "larger than";
        QTest::newRow("K too large") << "refuse-check@3" << 2 << "calculator 3 is out of range 1..2";
        QTest::newRow("K zero") << "refuse-check@0" << 2 << "0 is smaller than 1";
        QTest::newRow("K missing") << "unopenable@" << 2 << "'' is not a number";
        QTest::newRow("K twice") << "unopenable@1@1" << 2 << "'1@1' is not a number";
        QTest::newRow("empty item") << "refuse-check,,unopenable" << 1 << "empty fault";
        QTest::newRow("trailing comma") << "refuse-check," << 1 << "empty fault";
        QTest::newRow("bad after good") << "refuse-check,unopenable=2" << 1 << "takes no value";
    }
    void parseFaultList()
    {
        QFETCH(QString, text);
        QFETCH(int, calculators);
        QFETCH(QString, result);
        std::vector<Faults> faults(static_cast<std::size_t>(calculators));
        std::string error;
        const bool ok = emulator::parseFaultList(text.toStdString(), faults, &error);
        if (ok) {
            QCOMPARE(describe(faults), result);
        } else {
            // A bad list changes nothing and says why on one line.
            QVERIFY2(QString::fromStdString(error).contains(result), error.c_str());
            QVERIFY(error.find('\n') == std::string::npos);
            QCOMPARE(faults.size(), std::size_t(calculators));
            QCOMPARE(describe(faults), describe(std::vector<Faults>(std::size_t(calculators))));
        }
        QCOMPARE(ok, result.startsWith("progress="));
    }

    void simulationSettings_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QString>("result"); // serial, disk bytes and faults of each, then the folder
        Faults tuned;
        tuned.attachAtMs = 1500, tuned.bytesPerSecond = 1000000;
        Faults tunedCheck = tuned;
        tunedCheck.refuseCheck = true;
        QTest::newRow("defaults") << QStringList{} << "TAVIX0000001@0 67108864 " + describe(Faults{}) + " -> ";
        QTest::newRow("three") << QStringList{"TAVIX_SIM_CALCULATORS=3", "TAVIX_SIM_ATTACH_MS=1500",
                                              "TAVIX_SIM_DISK_MIB=2", "TAVIX_SIM_BYTES_PER_SEC=1000000",
                                              "TAVIX_SIM_FAULTS=refuse-check@3", "TAVIX_SIM_OUTPUT=/tmp/out"}
            << "TAVIX0000001@0 2097152 " + describe(tuned) + "; TAVIX0000002@0 2097152 " + describe(tuned) +
                   "; TAVIX0000003@0 2097152 " + describe(tunedCheck) + " -> /tmp/out";
        QTest::newRow("sixty-four") << QStringList{"TAVIX_SIM_CALCULATORS=64", "TAVIX_SIM_FAULTS=unopenable@64"}
            << "TAVIX0000064@0";
        QTest::newRow("one serial") << QStringList{"TAVIX_SIM_CALCULATORS=2", "TAVIX_SIM_SERIAL=XQ42"}
            << "XQ42@1 67108864 " + describe(Faults{}) + "; XQ42@2 67108864";
        QTest::newRow("bad serial") << QStringList{"TAVIX_SIM_SERIAL=XQ#1"}
            << "error: TAVIX_SIM_SERIAL: at most 31 letters and digits";
        // (The name's rule itself: test_instance_lock, on generated names.)
        const QString guardError = "error: TAVIX_SIM_INSTANCE: 1 to 64 letters, digits";
        QTest::newRow("guard of its own, longest name")
            << QStringList{"TAVIX_SIM_INSTANCE=" + QString(63, 'a') + "."} << " -> guard " + QString(63, 'a') + ".";
        QTest::newRow("guard name too long") << QStringList{"TAVIX_SIM_INSTANCE=" + QString(65, 'a')} << guardError;
        const QString closeError = "error: TAVIX_SIM_CLOSE_ON: at most 200 printable ASCII characters";
        QTest::newRow("close on the longest text")
            << QStringList{"TAVIX_SIM_CLOSE_ON=" + QString(199, 'a') + "~"} << " -> close on " + QString(199, 'a') + "~";
        QTest::newRow("close text too long") << QStringList{"TAVIX_SIM_CLOSE_ON=" + QString(201, 'a')} << closeError;
        QTest::newRow("close text with a tab") << QStringList{"TAVIX_SIM_CLOSE_ON=status:\tDone"} << closeError;
        QTest::newRow("close text beyond ASCII") << QStringList{"TAVIX_SIM_CLOSE_ON=status: Fertig \u00e4"} << closeError;
        QTest::newRow("one small disk") << QStringList{"TAVIX_SIM_CALCULATORS=2", "TAVIX_SIM_FAULTS=disk-mib=5@1"}
                                        << "TAVIX0000001@0 5242880 ";
        QTest::newRow("largest disk") << QStringList{"TAVIX_SIM_FAULTS=disk-mib=1048576"} << "TAVIX0000001@0 1099511627776 ";
        QTest::newRow("disk of no MiB") << QStringList{"TAVIX_SIM_FAULTS=disk-mib=0"} << "error: TAVIX_SIM_FAULTS: fault 'disk-mib'";
        QTest::newRow("disk too large") << QStringList{"TAVIX_SIM_FAULTS=disk-mib=1048577"}
                                        << "error: TAVIX_SIM_FAULTS: fault 'disk-mib'";
        QTest::newRow("none") << QStringList{"TAVIX_SIM_CALCULATORS=0"} << " -> ";
        QTest::newRow("too many") << QStringList{"TAVIX_SIM_CALCULATORS=65"}
            << "error: TAVIX_SIM_CALCULATORS: 65 is larger than 64";
        QTest::newRow("no disk") << QStringList{"TAVIX_SIM_DISK_MIB=0"}
            << "error: TAVIX_SIM_DISK_MIB: 0 is smaller than 1";
        QTest::newRow("bad speed") << QStringList{"TAVIX_SIM_BYTES_PER_SEC=fast"}
            << "error: TAVIX_SIM_BYTES_PER_SEC: 'fast' is not a number";
        QTest::newRow("fault for a missing calculator") << QStringList{"TAVIX_SIM_FAULTS=refuse-check@2"}
            << "error: TAVIX_SIM_FAULTS: fault 'refuse-check@2': calculator 2 is out of range 1..1";
        // A cart: faults count every calculator plugged in, not the ports.
        Faults checkless;
        checkless.refuseCheck = true;
        const QString plain = " 67108864 " + describe(Faults{}) + " -> cart ";
        const QString bad = "error: TAVIX_SIM_CART: ";
        const QString carts[][3] = { // TAVIX_SIM_CART, TAVIX_SIM_FAULTS, result
            {"total=1,ports=1,swap-ms=0", "", "TAVIX0000001@0" + plain + "1/1/0"},
            {"swap-ms=600000,ports=16,total=10000", "", "TAVIX0010000@0" + plain + "10000/16/600000"},
            {"total=3,ports=2,swap-ms=5", "refuse-check@3", "TAVIX0000003@0 67108864 " + describe(checkless) + " -> cart 3/2/5"},
            {"total=2,ports=2,swap-ms=5", "refuse-check@3", "calculator 3 is out of range 1..2"},
            {"total=0,ports=1,swap-ms=0", "", bad + "total: 0 is smaller than 1"},
            {"total=10001,ports=1,swap-ms=0", "", bad + "total: 10001 is larger than 10000"},
            {"total=20,ports=0,swap-ms=0", "", bad + "ports: 0 is smaller than 1"},
            {"total=20,ports=17,swap-ms=0", "", bad + "ports: 17 is larger than 16"},
            {"total=3,ports=4,swap-ms=0", "", bad + "ports=4 is more than total=3"},
            {"total=3,ports=2,swap-ms=600001", "", bad + "swap-ms: 600001 is larger than 600000"},
            {"total=3,ports=2", "", bad + "swap-ms is missing"},
            {"total=3,ports=2,swap-ms=1,total=3", "", bad + "total is given twice"},
            {"total=3,,ports=2,swap-ms=1", "", bad + "'' is not total=N, ports=P or swap-ms=MS"},
            {"total=3,ports=2,swap=1", "", bad + "'swap=1' is not total=N"},
            {"total=3,ports=2,swap-ms=-1", "", bad + "swap-ms: '-1' is not a number"},
        };
        for (const auto &cart : carts) {
            QStringList environment{"TAVIX_SIM_CART=" + cart[0]};
            if (!cart[1].isEmpty())
                environment << "TAVIX_SIM_FAULTS=" + cart[1];
            QTest::newRow(qPrintable(cart[0])) << environment << cart[2];
        }
        QTest::newRow("cart beside a count")
            << QStringList{"TAVIX_SIM_CART=total=3,ports=2,swap-ms=0", "TAVIX_SIM_CALCULATORS=2"}
            << "error: TAVIX_SIM_CART and TAVIX_SIM_CALCULATORS: give one of them";
    }
    void simulationSettings()
    {
        QFETCH(QStringList, environment);
        QFETCH(QString, result);
        for (const char *name : kSimVariables)
            qunsetenv(name);
        for (const QString &assignment : environment)
            qputenv(assignment.section('=', 0, 0).toLatin1(), assignment.section('=', 1).toUtf8());
        emulator::SimulationSettings settings;
        std::string error;
        const bool ok = emulator::simulationSettingsFromEnvironment(&settings, &error);
        for (const char *name : kSimVariables)
            qunsetenv(name);
        QStringList parts;
        for (const Config &c : settings.calculators)
            parts << QString("%1@%2 %3 %4").arg(QString::fromStdString(c.identity.serial))
                         .arg(QString::fromStdString(c.identity.location)).arg(c.diskBytes)
                         .arg(describe(c.faults));
        QString seen = ok ? parts.join("; ") + " -> " + QString::fromStdString(settings.outputFolder)
                          : "error: " + QString::fromStdString(error);
        if (ok && !settings.instanceName.empty())
            seen += "guard " + QString::fromStdString(settings.instanceName);
        if (ok && !settings.closeOn.empty())
            seen += "close on " + QString::fromStdString(settings.closeOn);
        if (ok && settings.cart.total != 0)
            seen += QString("cart %1/%2/%3").arg(settings.cart.total).arg(settings.cart.ports).arg(settings.cart.swapMs);
        QVERIFY2(seen.contains(result), qPrintable(seen));
        if (ok && environment.isEmpty())
            QCOMPARE(seen, result);
    }

    void saveCalculators()
    {
        Config second;
        second.identity.serial = "TWO";
        second.diskBytes = 3 << 20;
        const auto other = disks->attach(second);
        QVERIFY(writeAt(disk, 4096, pattern(1024, 1).get(), 1024));
        exchange(disk, 0xBEDC, 50);
        QTemporaryDir dir;
        const std::string folder = dir.filePath("out/sub").toStdString();
        std::string error;
        QVERIFY2(emulator::saveCalculators({calc, other}, folder, &error), error.c_str());
        for (const auto &[n, c] : {std::pair{1, calc}, std::pair{2, other}}) {
            QFile image(QString::fromStdString(folder) + QString("/calculator-%1.img").arg(n));
            QVERIFY(image.open(QIODevice::ReadOnly));
            const QByteArray all = image.readAll();
            QCOMPARE(std::uint64_t(all.size()), c->diskBytes());
            QVERIFY(bytes(reinterpret_cast<const std::uint8_t *>(all.constData()), all.size()) ==
                    c->contents(0, all.size()));
            QFile trace(QString::fromStdString(folder) + QString("/calculator-%1.trace").arg(n));
            QVERIFY(trace.open(QIODevice::ReadOnly));
            QCOMPARE(trace.readAll().toStdString(), c->traceText());
        }
        QVERIFY(calc->contents(4096, 1024) == bytes(pattern(1024, 1).get(), 1024));
        // A folder that cannot be made.
        QVERIFY(!emulator::saveCalculators({calc}, folder + "/calculator-1.img/x", &error));
        QVERIFY2(QString::fromStdString(error).startsWith("cannot"), error.c_str());
    }

    void cartServesEveryCalculatorThroughItsPorts()
    {
        // Five calculators through two ports, the fourth plugged in unopenable.
        qputenv("TAVIX_SIM_CART", "total=5,ports=2,swap-ms=100");
        qputenv("TAVIX_SIM_FAULTS", "unopenable@4");
        emulator::SimulationSettings settings;
        std::string error;
        QVERIFY2(emulator::simulationSettingsFromEnvironment(&settings, &error), error.c_str());
        qunsetenv("TAVIX_SIM_CART");
        qunsetenv("TAVIX_SIM_FAULTS");
        QTemporaryDir dir;
        EmulatedDiskSystem hub;
        emulator::Cart cart(hub, settings.calculators, settings.cart.ports, settings.cart.swapMs,
                            dir.path().toStdString());
        cart.start();
        const auto path = [&](std::size_t k) { return QString::fromStdU16String(cart.plugged().at(k - 1)->devicePath()); };
        const auto endSession = [&](std::size_t k) {
            Handle h = hub.openDisk(cart.plugged().at(k - 1)->devicePath().c_str());
            QVERIFY(writeAt(h, kCommandArea, commandBlock(0xBEC1, 0).get(), 512));
            platform::closeHandle(h);
        };
        const auto poll = [&](std::uint64_t ms) {
            platform::advanceSimulatedClock(ms);
            QVERIFY2(cart.poll(&error), error.c_str());
        };
        const auto saved = [&](std::size_t k) { return QFile::exists(dir.filePath(QString("calculator-%1.img").arg(k))); };
        QCOMPARE(enumerate(hub), (QStringList{path(1), path(2)}));
        QVERIFY2(path(1).contains("#tavix0000001&1#") && path(2).contains("#tavix0000002&2#"), qPrintable(path(1)));

        // The second ends its session: unplugged 100 ms later, the third takes its port.
        endSession(2);
        poll(0);
        poll(99);
        QCOMPARE(cart.pluggedCount(), 2u);
        poll(1);
        QCOMPARE(enumerate(hub), (QStringList{path(1), path(3)}));
        QVERIFY(path(3).contains("#tavix0000003&2#"));
        QVERIFY(saved(2) && !saved(1) && !saved(3));
        QCOMPARE(traceOf(*cart.plugged()[1]).mid(-2), (QStringList{"end-session", "unplugged"}));

        // The fourth, in the first port, carries its fault and is given up by the updater.
        endSession(1);
        poll(0);
        poll(100);
        QVERIFY(path(4).contains("#tavix0000004&1#"));
        QVERIFY(cart.plugged()[3]->faults().unopenable && !cart.plugged()[2]->faults().unopenable);
        QVERIFY(!cart.givenUp(u"\\\\?\\nothing"));
        QVERIFY(cart.givenUp(cart.plugged()[3]->devicePath()));
        QVERIFY(!cart.givenUp(cart.plugged()[3]->devicePath()));
        endSession(3);
        poll(50);
        QCOMPARE(cart.servedCount(), 2u);
        poll(50); // the fourth's time is up; the third's is not yet
        QCOMPARE(enumerate(hub), (QStringList{path(3), path(5)}));
        QVERIFY(saved(4) && !saved(5) && !cart.finished());
        poll(50);
        QCOMPARE(enumerate(hub), (QStringList{path(5)}));
        endSession(5);
        poll(0);
        poll(100);
        QVERIFY(cart.finished() && enumerate(hub).isEmpty());
        QCOMPARE(cart.pluggedCount(), 5u);
        for (std::size_t k = 1; k <= 5; ++k) {
            QFile trace(dir.filePath(QString("calculator-%1.trace").arg(k)));
            QVERIFY(trace.open(QIODevice::ReadOnly));
            QCOMPARE(trace.readAll().toStdString(), cart.plugged()[k - 1]->traceText());
        }

        // A save that fails is told, and the cart goes on.
        EmulatedDiskSystem other;
        emulator::Cart blocked(other, {settings.calculators[0], settings.calculators[1]}, 1, 0,
                               dir.filePath("calculator-1.img/x").toStdString());
        blocked.start();
        QVERIFY(blocked.givenUp(blocked.plugged()[0]->devicePath()));
        QVERIFY(!blocked.poll(&error));
        QVERIFY2(QString::fromStdString(error).startsWith("cannot"), error.c_str());
        QCOMPARE(blocked.pluggedCount(), 2u);
    }

    void concurrentHandles()
    {
        // Two threads, each with its own calculator and a handle on a shared
        // one, while a third keeps enumerating.
        Config config;
        config.diskBytes = kSmallDisk;
        config.identity.serial = "B";
        const auto own2 = disks->attach(config);
        config.identity.serial = "SHARED";
        const auto shared = disks->attach(config);
        std::atomic<bool> done{false};
        constexpr int kRounds = 200;
        auto worker = [&](std::shared_ptr<Calculator> own, int lane) {
            Handle mine = open(*own), common = open(*shared);
            const Buffer data = pattern(512, std::uint8_t(lane));
            for (int i = 0; i < kRounds; ++i) {
                writeAt(mine, i * 512, data.get(), 512);
                exchange(mine, 0xBEC6, 16, std::uint8_t(lane));
                writeAt(common, (2 * i + lane) * 512, data.get(), 512);
            }
            platform::closeHandle(mine);
            platform::closeHandle(common);
        };
        std::thread watcher([&] {
            while (!done.load())
                enumerate(*disks);
        });
        std::thread a(worker, calc, 0), b(worker, own2, 1);
        for (int i = 0; i < 20; ++i) { // more disks come while the others work
            config.identity.serial = "MORE" + std::to_string(i);
            disks->attach(config);
        }
        a.join();
        b.join();
        done = true;
        watcher.join();
        QCOMPARE(enumerate(*disks).size(), 23);
        for (const auto &[c, lane] : {std::pair{calc, 0}, std::pair{own2, 1}}) {
            QCOMPARE(c->dataBytesWritten(), std::uint64_t(kRounds * 512));
            QCOMPARE(c->packetData().size(), std::size_t(kRounds * 16));
            QCOMPARE(c->trace().size(), std::size_t(2 * kRounds));
            for (int i = 0; i < kRounds; ++i)
                QCOMPARE(c->contents(i * 512, 512), bytes(pattern(512, std::uint8_t(lane)).get(), 512));
        }
        for (int i = 0; i < 2 * kRounds; ++i)
            QCOMPARE(shared->contents(i * 512, 512), bytes(pattern(512, std::uint8_t(i % 2)).get(), 512));
        QCOMPARE(shared->trace().size(), std::size_t(2 * kRounds));
    }
};

QTEST_GUILESS_MAIN(TestEmulator)
#include "test_emulator.moc"
