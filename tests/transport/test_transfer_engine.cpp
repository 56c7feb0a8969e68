// The transfer engine on simulated calculators: the bytes each disk ends up
// with, the trace each calculator saw, the callbacks, and every result code.
#include "emulator/emulated_disk_system.h"
#include "emulator/simulation_settings.h"
#include "support/calculator_fixtures.h"
#include "platform/clock.h"
#include "platform/error_kind.h"
#include "support/recording_disk_system.h"
#include "transport/protocol_extras.h"
#include "transport/transfer_engine_internal.h"

#include <QtTest>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using testsupport::DiskOp;

using testsupport::traceOf;

namespace {

// A report left over from an earlier run.
TransferReport staleReport()
{
    TransferReport stale;
    stale.count = 0x5A5A5A5A;
    stale.calculators.resize(3);
    for (CalculatorResult &result : stale.calculators) {
        std::fill(std::begin(result.identity), std::end(result.identity), char16_t(0x5A5A));
        result.result = 0x5A5A5A5A;
        result.path = u"stale";
    }
    return stale;
}

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";
constexpr std::int64_t kDiskOffset = 0x100000;

// What the callbacks received, per calling thread.
struct Heard {
    std::mutex mutex;
    std::map<std::thread::id, QList<int>> progress;
    QList<int> sequence; // every thread's progress, in the order of the calls
    QStringList messages;
    int calls = 0;
    // Calculators that must hold `wholeBytes` when 100 is reported.
    std::vector<std::shared_ptr<emulator::Calculator>> watched;
    std::uint64_t wholeBytes = 0;
    bool hundredTooEarly = false;
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        progress.clear();
        sequence.clear();
        messages.clear();
        calls = 0;
        watched.clear();
        hundredTooEarly = false;
    }
} heard;

// Truncates the firmware file when a transfer reports 0: the file shrinks
// after its size was taken.
QString shrinkOnStart;
bool shrunk = false; // whether the system let the file be cut while it was being sent

void onProgress(std::int32_t percent)
{
    std::lock_guard<std::mutex> lock(heard.mutex);
    heard.progress[std::this_thread::get_id()] << percent;
    heard.sequence << percent;
    ++heard.calls;
    if (percent == 100)
        for (const auto &calculator : heard.watched)
            heard.hundredTooEarly = heard.hundredTooEarly || calculator->dataBytesWritten() < heard.wholeBytes;
    if (percent == 0 && !shrinkOnStart.isEmpty())
        shrunk = QFile::resize(shrinkOnStart, 1000);
}

// Each calculator's own reports, by its place in the run's list.
std::vector<QList<int>> eachHeard;
void onCalculatorProgress(int index, std::int32_t percent)
{
    std::lock_guard<std::mutex> lock(heard.mutex);
    if (index >= 0 && std::size_t(index) < eachHeard.size())
        eachHeard[std::size_t(index)] << percent;
}

void onMessage(const char16_t *text)
{
    std::lock_guard<std::mutex> lock(heard.mutex);
    heard.messages << QString::fromUtf16(text);
    ++heard.calls;
}

// The callbacks above as a run's.
TransferCallbacks heardCallbacks()
{
    TransferCallbacks callbacks;
    callbacks.progress = [](void *, std::int32_t percent) { onProgress(percent); };
    callbacks.calculatorProgress = [](void *, int index, std::int32_t percent) {
        onCalculatorProgress(index, percent);
    };
    callbacks.message = [](void *, const char16_t *text) { onMessage(text); };
    return callbacks;
}

// Holds every thread that passes it until it is opened (10 s at most, so
// that an engine that waits for its own threads fails instead of hanging).
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int reached = 0;
    bool opened = false;
    void pass()
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++reached;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [this] { return opened; });
    }
    // Whether `count` threads are held (within 10 s).
    bool holds(int count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return reached >= count; });
    }
    void open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
        changed.notify_all();
    }
};

// What one run's callbacks received, through their context; its messages
// pass `gate` when there is one.
struct RunHeard {
    std::mutex mutex;
    QList<int> bar;
    std::map<int, QList<int>> each; // by place in the run's list
    QStringList messages;
    Gate *gate = nullptr;

    TransferCallbacks callbacks()
    {
        TransferCallbacks callbacks;
        callbacks.context = this;
        callbacks.progress = [](void *context, std::int32_t percent) {
            auto &self = *static_cast<RunHeard *>(context);
            std::lock_guard<std::mutex> lock(self.mutex);
            self.bar << percent;
        };
        callbacks.calculatorProgress = [](void *context, int index, std::int32_t percent) {
            auto &self = *static_cast<RunHeard *>(context);
            std::lock_guard<std::mutex> lock(self.mutex);
            self.each[index] << percent;
        };
        callbacks.message = [](void *context, const char16_t *text) {
            auto &self = *static_cast<RunHeard *>(context);
            {
                std::lock_guard<std::mutex> lock(self.mutex);
                self.messages << QString::fromUtf16(text);
            }
            if (self.gate != nullptr)
                self.gate->pass();
        };
        return callbacks;
    }
};

// The percentages a calculator was told, from its trace.
QList<int> toldProgress(const emulator::Calculator &calculator)
{
    QList<int> told;
    for (const QString &line : testsupport::traceOf(calculator).filter(QRegularExpression("^progress ")))
        told << line.mid(9).toInt();
    return told;
}

// A device path of exactly `units` units, with the calculator's pattern in it.
std::string devicePathOfLength(int units)
{
    const std::string head = "\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#";
    const std::string tail = "#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    return head + std::string(std::size_t(units) - head.size() - tail.size(), 'a') + tail;
}

// Transfer thread starts, counted from 1; the ones listed fail by throwing
// what std::thread's constructor can throw.
int threadStarts = 0;
QList<int> failingStarts;
QString startFailure; // "bad_alloc" or "system_error"

std::thread failingStarter(std::function<void()> body)
{
    if (failingStarts.contains(++threadStarts)) {
        if (startFailure == "bad_alloc")
            throw std::bad_alloc();
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::move(body));
}

QByteArray firmware(int length, int seed = 1)
{
    QByteArray bytes(length, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < length; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(x >> 16);
    }
    return bytes;
}

QByteArray onDisk(const emulator::Calculator &calculator, std::int64_t offset, int length)
{
    const auto bytes = calculator.contents(std::uint64_t(offset), std::size_t(length));
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), int(bytes.size()));
}

// The raw-mode conversation with a calculator that accepts everything.
QStringList rawTrace(std::int64_t offset, const QList<int> &chunks, const QList<int> &percents)
{
    QStringList lines{"opening-read", "progress 0"};
    std::int64_t at = offset;
    for (int i = 0; i < chunks.size(); ++i) {
        lines << QString("write %1 %2").arg(at).arg(chunks[i]);
        at += chunks[i];
        if (i < percents.size())
            lines << QString("progress %1").arg(percents[i]);
    }
    lines << "progress 100" << "closing-read";
    return lines;
}

// The simulated calculators, keeping the device paths of the disks opened;
// a filter on them that leaves out the identities listed and notes what it
// was asked, and whether that was on the calling thread with no disk open.
struct Selecting : platform::DiskSystem {
    platform::DiskSystem &inner;
    QStringList leftOut, asked, opened;
    std::thread::id caller = std::this_thread::get_id();
    bool askedTooLate = false;
    explicit Selecting(platform::DiskSystem &disks) : inner(disks) {}
    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override
    {
        inner.enumerateDiskInterfaces(visit);
    }
    platform::Handle openFile(const char16_t *path) override { return inner.openFile(path); }
    platform::Handle openDisk(const char16_t *path) override // the engine opens disks on the calling thread
    {
        opened << QString::fromUtf16(path);
        return inner.openDisk(path);
    }
    static bool sendTo(const char16_t *identity, void *context)
    {
        auto &self = *static_cast<Selecting *>(context);
        self.asked << QString::fromUtf16(identity);
        self.askedTooLate |= std::this_thread::get_id() != self.caller || !self.opened.isEmpty();
        return !self.leftOut.contains(self.asked.last());
    }
};

} // namespace

class TestTransferEngine : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    std::unique_ptr<emulator::EmulatedDiskSystem> disks;

    std::u16string writeFirmware(const QByteArray &bytes, const QString &name = "firmware.bin")
    {
        const QString path = folder.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path.toStdU16String();
    }
    std::vector<std::shared_ptr<emulator::Calculator>> attach(int count, emulator::Faults faults = {})
    {
        std::vector<std::shared_ptr<emulator::Calculator>> attached;
        for (int i = 1; i <= count; ++i) {
            emulator::Config config;
            config.identity.serial = QString("TAVIX%1").arg(i, 7, 10, QChar('0')).toStdString();
            config.diskBytes = 16ull << 20;
            config.faults = faults;
            attached.push_back(disks->attach(config));
        }
        return attached;
    }
    std::int32_t run(const std::u16string &path, std::int64_t offset = kDiskOffset, TransferReport *report = nullptr)
    {
        if (report == nullptr)
            return runFirmwareTransfer(kVendor, kProduct, path.c_str(), offset, onProgress, onMessage);
        *report = staleReport(); // the engine must replace whatever was there
        return runFirmwareTransfer(kVendor, kProduct, path.c_str(), offset, onProgress, onMessage, nullptr, nullptr,
                                   report);
    }
    // The engine alone on every calculator attached, with the callbacks set.
    std::int32_t runRequest(TransferRequest request, const std::u16string &path, TransferReport *report = nullptr,
                            ThreadStarter starter = startTransferThread)
    {
        std::copy(path.begin(), path.end(), request.sourcePath);
        std::copy(path.begin(), path.end(), request.messageText);
        return runTransferRequest(request, findEveryCalculatorDisk(kVendor, kProduct), heardCallbacks(), report,
                                  starter);
    }

private slots:
    void initTestCase() { QVERIFY(folder.isValid()); }
    void init()
    {
        platform::useSimulatedClock(true);
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        platform::installDiskSystem(disks.get());
        heard.clear();
        shrinkOnStart.clear();
    }
    void cleanup()
    {
        platform::installDiskSystem(nullptr);
        platform::useSimulatedClock(false);
        QCOMPARE(disks->openHandleCount(), 0);
    }

    void progressFollowsWholeChunks_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<QList<int>>("chunks");   // as written: whole sectors
        QTest::addColumn<QList<int>>("percents"); // between 0 and 100
        QTest::newRow("40000 bytes") << 40000 << QList<int>{16384, 16384, 7680} << QList<int>{40, 81};
        QTest::newRow("one byte") << 1 << QList<int>{512} << QList<int>{};
        QTest::newRow("one chunk exactly") << 16384 << QList<int>{16384} << QList<int>{};
        QTest::newRow("one chunk and a sector") << 16384 + 512 << QList<int>{16384, 512} << QList<int>{96};
        QTest::newRow("empty") << 0 << QList<int>{} << QList<int>{};
    }
    void progressFollowsWholeChunks()
    {
        QFETCH(int, length);
        QFETCH(QList<int>, chunks);
        QFETCH(QList<int>, percents);
        auto calculators = attach(1);
        const QByteArray bytes = firmware(length);
        const std::u16string path = writeFirmware(bytes);
        int written = 0;
        for (int chunk : chunks)
            written += chunk;
        // What follows the file's last sector on the disk must survive.
        const std::int64_t after = kDiskOffset + written;
        {
            platform::Handle disk = disks->openDisk(calculators[0]->devicePath().c_str());
            void *marks = platform::allocAligned(1024);
            std::memset(marks, 0xEE, 1024);
            std::uint32_t moved = 0;
            QVERIFY(disk->seek(after, platform::SeekOrigin::Begin) == after);
            QVERIFY(disk->write(marks, 1024, &moved));
            platform::freeAligned(marks);
            platform::closeHandle(disk);
            calculators[0]->clearTrace();
        }

        QCOMPARE(run(path), kTransferOk);

        QCOMPARE(heard.progress.size(), std::size_t(1));
        QCOMPARE(heard.progress.begin()->second, QList<int>{0} + percents + QList<int>{100});
        QCOMPARE(heard.messages, QStringList{QString::fromStdU16String(path)});
        QCOMPARE(traceOf(*calculators[0]), rawTrace(kDiskOffset, chunks, percents));
        QCOMPARE(onDisk(*calculators[0], kDiskOffset, length), bytes);
        // The last sector is padded with zeros and nothing after it is touched.
        QCOMPARE(onDisk(*calculators[0], kDiskOffset + length, written - length), QByteArray(written - length, 0));
        QCOMPARE(onDisk(*calculators[0], after, 1024), QByteArray(1024, char(0xEE)));
    }

    void everyCalculatorGetsTheWholeFile_data()
    {
        QTest::addColumn<int>("attached");
        QTest::addColumn<bool>("byList"); // the calculators given as a list of paths
        QTest::newRow("3 calculators") << 3 << false;
        QTest::newRow("16 calculators") << 16 << false;
        QTest::newRow("17 calculators: 16 are served") << 17 << false;
        QTest::newRow("a list of 20: the first 16 are served") << 20 << true;
    }
    void everyCalculatorGetsTheWholeFile()
    {
        QFETCH(int, attached);
        QFETCH(bool, byList);
        auto calculators = attach(attached);
        const QByteArray bytes = firmware(1 << 20, attached);
        if (byList) {
            std::vector<std::u16string> paths;
            for (const auto &calculator : calculators)
                paths.push_back(calculator->devicePath());
            TransferReport report = staleReport();
            eachHeard.assign(std::size_t(attached), {});
            QCOMPARE(runFirmwareTransferTo(paths, writeFirmware(bytes).c_str(), 0x500000, onProgress, onMessage,
                                           onCalculatorProgress, &report),
                     kTransferOk);
            QCOMPARE(report.count, attached);
            for (int i = 0; i < attached; ++i) {
                QCOMPARE(report.calculators[std::size_t(i)].path, paths[std::size_t(i)]);
                QCOMPARE(report.calculators[std::size_t(i)].result, i < kMaxDevices ? kTransferOk : kCalculatorLeftOut);
                // Each calculator's own reports reach the caller by its place in the list.
                QCOMPARE(eachHeard[std::size_t(i)].size(), i < kMaxDevices ? 2 + 63 : 0);
            }
        } else {
            QCOMPARE(run(writeFirmware(bytes), 0x500000), kTransferOk);
        }
        const int served = qMin(attached, kMaxDevices);
        for (int i = 0; i < served; ++i) {
            QCOMPARE(onDisk(*calculators[i], 0x500000, bytes.size()), bytes);
            QCOMPARE(traceOf(*calculators[i]).last(), QString("closing-read"));
        }
        // Each calculator is told its own progress, rising strictly; the bar
        // follows the slowest one through the same values and never goes back.
        for (int i = 0; i < served; ++i) {
            const QStringList reports = traceOf(*calculators[i]).filter(QRegularExpression("^progress "));
            QCOMPARE(reports.size(), 2 + 63); // 1 MiB is 64 chunks: 1..98 in 63 steps
            QCOMPARE(reports.first(), QString("progress 0"));
            QCOMPARE(reports.last(), QString("progress 100"));
            for (int r = 1; r < reports.size(); ++r)
                QVERIFY2(reports[r].mid(9).toInt() > reports[r - 1].mid(9).toInt(), "percentages rise strictly");
        }
        QList<int> values = heard.sequence;
        std::sort(values.begin(), values.end());
        QCOMPARE(heard.sequence, values);
        values.erase(std::unique(values.begin(), values.end()), values.end());
        QCOMPARE(values.size(), 2 + 63);
        QCOMPARE(values.first(), 0);
        QCOMPARE(values.last(), 100);
        QCOMPARE(heard.messages.size(), served);
        for (int i = served; i < attached; ++i)
            QVERIFY(traceOf(*calculators[i]).isEmpty()); // beyond the table: never touched

        // The end of the session reaches every calculator, beyond 16 too.
        QCOMPARE(endUpdateSession(kVendor, kProduct), kTransferOk);
        for (int i = 0; i < attached; ++i)
            QCOMPARE(traceOf(*calculators[i]).last(), QString("end-session"));
    }

    void progressFollowsTheSlowestCalculator_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<int>>("reached"); // the values the bar took, in order
        QTest::addColumn<QList<bool>>("whole");  // which calculators got the whole file
        QTest::newRow("second calculator slower") << "" << 0 << QList<int>{0, 40, 81, 100}
                                                  << QList<bool>{true, true};
        QTest::newRow("slower one gone after its first chunk")
            << "unplug-after=16384@2" << 112 << QList<int>{0, 40, 100} << QList<bool>{true, false};
        QTest::newRow("faster one fails its writes") << "fail-writes=all@1" << 112 << QList<int>{0, 40, 81, 100}
                                                     << QList<bool>{false, true};
    }
    void progressFollowsTheSlowestCalculator()
    {
        // Two calculators at different speeds share one progress bar: it shows
        // the slower one still being written, never goes back, and shows 100
        // only once every one still written holds the whole file; one that
        // fails leaves the bar to the other. Each calculator is still told
        // its own progress.
        QFETCH(QString, faults);
        QFETCH(int, result);
        QFETCH(QList<int>, reached);
        QFETCH(QList<bool>, whole);
        std::vector<emulator::Faults> perCalculator(2);
        std::string error;
        QVERIFY2(emulator::parseFaultList(faults.toStdString(), perCalculator, &error), error.c_str());
        perCalculator[1].bytesPerSecond = 1000000; // a chunk in about 16 ms of real time
        auto calculators = attach(2);
        for (int i = 0; i < 2; ++i)
            calculators[i]->setFaults(perCalculator[i]);
        for (int i = 0; i < 2; ++i)
            if (whole[i])
                heard.watched.push_back(calculators[i]);
        heard.wholeBytes = 40000;
        const QByteArray bytes = firmware(40000);

        QCOMPARE(run(writeFirmware(bytes)), result);

        QList<int> values = heard.sequence;
        std::sort(values.begin(), values.end());
        QCOMPARE(heard.sequence, values); // never back
        values.erase(std::unique(values.begin(), values.end()), values.end());
        QCOMPARE(values, reached);
        QVERIFY(!heard.hundredTooEarly);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(onDisk(*calculators[i], kDiskOffset, bytes.size()) == bytes, whole[i]);
            if (whole[i])
                QCOMPARE(traceOf(*calculators[i]), rawTrace(kDiskOffset, {16384, 16384, 7680}, {40, 81}));
        }
    }

    void releaseFolderOutsideAscii()
    {
        // A release folder with accents, CJK and an emoji (a surrogate pair),
        // named the Windows way with backslashes as the release scan hands it
        // on: the file opens on either system, and the file line shows the
        // path unchanged, unit for unit.
        const QString sub = QString::fromUtf8("Mise \xC3\xA0 jour \xE8\xB5\x84\xE6\x96\x99 \xF0\x9F\x98\x80");
        QVERIFY(QDir(folder.path()).mkpath(sub));
        const QByteArray bytes = firmware(40000, 7);
        const std::u16string written = writeFirmware(bytes, sub + "/MASTER.DAT");
        QVERIFY(!written.empty());
        const QString windowsForm = QString::fromStdU16String(written).replace('/', '\\');
        auto calculators = attach(2);
        QCOMPARE(run(windowsForm.toStdU16String()), kTransferOk);
        for (const auto &calculator : calculators)
            QCOMPARE(onDisk(*calculator, kDiskOffset, bytes.size()), bytes);
        QCOMPARE(heard.messages, (QStringList{windowsForm, windowsForm}));
    }

    void resultIsFirstFailureInSlotOrder_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<bool>>("whole"); // which disks got the whole file
        QTest::newRow("first disk unopenable") << "unopenable@1" << 107 << QList<bool>{false, true};
        QTest::newRow("second disk fails its writes") << "fail-writes=all@2" << 112 << QList<bool>{true, false};
        QTest::newRow("both fail, first in slot order wins")
            << "fail-writes=all@1,unopenable@2" << 112 << QList<bool>{false, false};
        QTest::newRow("six failed writes, the seventh succeeds") << "fail-writes=6" << 0 << QList<bool>{true, true};
        QTest::newRow("seven failed writes") << "fail-writes=7@1" << 112 << QList<bool>{false, true};
        QTest::newRow("refused progress does not stop a transfer") << "refuse-progress" << 0 << QList<bool>{true, true};
        QTest::newRow("unplugged in the middle") << "unplug-after=65536@2" << 112 << QList<bool>{true, false};
    }
    void resultIsFirstFailureInSlotOrder()
    {
        QFETCH(QString, faults);
        QFETCH(int, result);
        QFETCH(QList<bool>, whole);
        std::vector<emulator::Faults> perCalculator(2);
        std::string error;
        QVERIFY2(emulator::parseFaultList(faults.toStdString(), perCalculator, &error), error.c_str());
        auto calculators = attach(2);
        for (int i = 0; i < 2; ++i)
            calculators[i]->setFaults(perCalculator[i]);
        const QByteArray bytes = firmware(200000);
        QCOMPARE(run(writeFirmware(bytes)), result);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(onDisk(*calculators[i], kDiskOffset, bytes.size()) == bytes, whole[i]);
        // Every disk got its thread and its message, also the one that could not be opened.
        QCOMPARE(heard.messages.size(), 2);
    }

    void aFileRunningPastTheDiskIsRefusedUntouched_data()
    {
        QTest::addColumn<qint64>("spare"); // the first disk's bytes after the file's last sector
        QTest::newRow("the disk ends before the file's place") << -(qint64(kDiskOffset) + 200192 + 512);
        QTest::newRow("a sector short") << qint64(-512);
        QTest::newRow("exactly enough") << qint64(0);
        QTest::newRow("a sector more") << qint64(512);
    }
    void aFileRunningPastTheDiskIsRefusedUntouched()
    {
        // 200,000 bytes take 391 sectors (200,192 bytes, the last padded). A
        // first calculator whose disk is sized around that end: too small, it
        // is refused with 119 before any I/O; the second gets the file.
        QFETCH(qint64, spare);
        const QByteArray bytes = firmware(200000);
        std::vector<std::shared_ptr<emulator::Calculator>> both;
        for (int i = 1; i <= 2; ++i) {
            emulator::Config config;
            config.identity.serial = QString("TAVIX%1").arg(i, 7, 10, QChar('0')).toStdString();
            config.diskBytes = i == 1 ? std::uint64_t(std::max<qint64>(kDiskOffset + 200192 + spare, 0)) : 16u << 20;
            both.push_back(disks->attach(config));
        }
        QCOMPARE(run(writeFirmware(bytes)), spare < 0 ? 119 : 0);
        QCOMPARE(onDisk(*both[1], kDiskOffset, bytes.size()), bytes);
        if (spare < 0)
            QCOMPARE(traceOf(*both[0]), QStringList());
        else
            QCOMPARE(onDisk(*both[0], kDiskOffset, bytes.size()), bytes);
    }

    void sectorSizeAndFinalFlush_data()
    {
        QTest::addColumn<quint32>("sectorSize"); // the first calculator's; 0: it tells none
        QTest::addColumn<quint32>("flushError"); // its flushes fail with it; 0: never
        QTest::addColumn<int>("result");
        for (const quint32 size : {0u, 256u, 511u, 512u, 513u, 520u, 1024u, 4096u})
            QTest::addRow("sectors of %u bytes", size) << size << 0u << (size == 0 || size == 512 ? 0 : 121);
        QTest::newRow("no flush") << 512u << platform::namedSystemError("unsupported") << 0;
        QTest::newRow("a failed flush") << 512u << platform::systemErrorFor(EIO) << 112;
    }
    void sectorSizeAndFinalFlush()
    {
        // Other sectors than 512 bytes: refused before any I/O. A flush the
        // device does not support: a success, kept for the log; any other
        // failed flush: 112. The second calculator gets the file either way.
        QFETCH(quint32, sectorSize);
        QFETCH(quint32, flushError);
        QFETCH(int, result);
        auto calculators = attach(2);
        emulator::Faults first;
        first.sectorSize = sectorSize;
        first.flushError = flushError;
        calculators[0]->setFaults(first);
        const QByteArray bytes = firmware(200000);
        TransferReport report;
        QCOMPARE(run(writeFirmware(bytes), kDiskOffset, &report), result);
        const CalculatorResult &told = report.calculators.at(0);
        QCOMPARE(told.sectorSize, sectorSize);
        QCOMPARE(told.unsupportedFlush, result == 0 ? flushError : 0u);
        QCOMPARE(told.systemError, result == 112 ? flushError : 0u);
        const QStringList trace = traceOf(*calculators[0]);
        QCOMPARE(trace.isEmpty(), result == 121);
        QCOMPARE(trace.contains("closing-read"), result == 0);
        QCOMPARE(onDisk(*calculators[1], kDiskOffset, bytes.size()), bytes);
    }

    void threadThatCannotStart_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QList<int>>("failing"); // thread starts that fail, from 1
        QTest::addColumn<QList<bool>>("whole");  // which calculators got the whole file
        QTest::newRow("no memory for the second of three") << "bad_alloc" << QList<int>{2}
                                                           << QList<bool>{true, false, true};
        QTest::newRow("no thread for the first of two") << "system_error" << QList<int>{1}
                                                        << QList<bool>{false, true};
    }
    void threadThatCannotStart()
    {
        // Every thread that did start runs to its end; a calculator left
        // without a thread makes the run fail with 110. The failing starter
        // is this run's own.
        QFETCH(QString, failure);
        QFETCH(QList<int>, failing);
        QFETCH(QList<bool>, whole);
        auto calculators = attach(whole.size());
        threadStarts = 0;
        failingStarts = failing;
        startFailure = failure;
        const QByteArray bytes = firmware(40000);
        for (int i = 0; i < whole.size(); ++i)
            if (whole[i])
                heard.watched.push_back(calculators[i]);
        heard.wholeBytes = 40000;
        TransferRequest request{};
        request.diskOffset = kDiskOffset;
        request.length = bytes.size();
        TransferReport report = staleReport();
        QCOMPARE(runRequest(request, writeFirmware(bytes), &report, failingStarter), kNoTransferBuffer);
        QCOMPARE(report.count, whole.size());
        for (int i = 0; i < whole.size(); ++i) {
            QCOMPARE(onDisk(*calculators[i], kDiskOffset, bytes.size()) == bytes, whole[i]);
            QCOMPARE(traceOf(*calculators[i]).isEmpty(), !whole[i]);
            QCOMPARE(report.calculators[i].result, whole[i] ? kTransferOk : kNoTransferBuffer);
        }
        QCOMPARE(heard.messages.size(), whole.count(true));
        // The calculator without a thread left the bar: it shows the others,
        // up to 100 once they hold the whole file.
        QCOMPARE(heard.sequence.last(), 100);
        QVERIFY(!heard.hundredTooEarly);
    }

    void severalRunsAtOnce()
    {
        // Three runs started from three threads, each to two calculators of
        // its own with a file and a context of its own. Every message waits
        // at one gate until all six threads are there: only runs that go at
        // once get through it.
        constexpr int kRuns = 3;
        auto calculators = attach(2 * kRuns);
        Gate gate;
        RunHeard heardBy[kRuns];
        QByteArray bytes[kRuns];
        std::u16string files[kRuns], texts[kRuns];
        std::int32_t results[kRuns];
        TransferReport reports[kRuns];
        std::vector<std::thread> starters;
        for (int r = 0; r < kRuns; ++r) {
            bytes[r] = firmware(40000 + 30000 * r, 10 + r); // 3, 5 and 7 chunks
            files[r] = writeFirmware(bytes[r], QString("run%1.bin").arg(r));
            texts[r] = QString("run %1").arg(r).toStdU16String();
            heardBy[r].gate = &gate;
            const std::vector<std::u16string> paths{calculators[2 * r]->devicePath(),
                                                    calculators[2 * r + 1]->devicePath()};
            starters.emplace_back([&, r, paths] {
                const auto run = TransferRun::start(paths, files[r].c_str(), kDiskOffset, heardBy[r].callbacks(),
                                                    texts[r].c_str());
                results[r] = run->wait();
                reports[r] = run->report();
            });
        }
        const bool together = gate.holds(2 * kRuns);
        gate.open();
        for (std::thread &starter : starters)
            starter.join();
        QVERIFY(together);

        for (int r = 0; r < kRuns; ++r) {
            QCOMPARE(results[r], kTransferOk);
            QCOMPARE(reports[r].count, 2);
            const QString text = QString::fromStdU16String(texts[r]);
            QCOMPARE(heardBy[r].messages, (QStringList{text, text}));
            QCOMPARE(heardBy[r].each.size(), std::size_t(2));
            for (int i = 0; i < 2; ++i) {
                const emulator::Calculator &calculator = *calculators[std::size_t(2 * r + i)];
                QCOMPARE(reports[r].calculators[std::size_t(i)].path, calculator.devicePath());
                QCOMPARE(reports[r].calculators[std::size_t(i)].result, kTransferOk);
                QCOMPARE(onDisk(calculator, kDiskOffset, bytes[r].size()), bytes[r]);
                // One conversation, its own: what the calculator was told is
                // what its run's context heard of it, and no more.
                const QStringList trace = traceOf(calculator);
                QCOMPARE(trace.count("opening-read"), 1);
                QCOMPARE(trace.last(), QString("closing-read"));
                QCOMPARE(heardBy[r].each[i], toldProgress(calculator));
            }
            QList<int> sorted = heardBy[r].bar;
            std::sort(sorted.begin(), sorted.end());
            QCOMPARE(heardBy[r].bar, sorted);
            QCOMPARE(heardBy[r].bar.first(), 0);
            QCOMPARE(heardBy[r].bar.last(), 100);
        }
        QCOMPARE(disks->openHandleCount(), 0);
    }

    void aRunGoesOnWithoutItsCaller_data()
    {
        QTest::addColumn<bool>("dropped"); // the caller drops its pointer while the run goes on
        QTest::newRow("waited for") << false;
        QTest::newRow("dropped by its caller") << true;
    }
    void aRunGoesOnWithoutItsCaller()
    {
        // The run's thread is held in its message: start() has returned, the
        // run is under way, and the caller may let go of it.
        QFETCH(bool, dropped);
        auto calculators = attach(1);
        const QByteArray bytes = firmware(100000);
        Gate gate;
        RunHeard heardHere;
        heardHere.gate = &gate;
        std::shared_ptr<TransferRun> run = TransferRun::start({calculators[0]->devicePath()},
                                                              writeFirmware(bytes).c_str(), kDiskOffset,
                                                              heardHere.callbacks());
        const bool held = gate.holds(1);
        const bool finishedEarly = run->finished();
        const std::int32_t early = run->result();
        const std::int32_t earlyCount = run->report().count;
        const std::weak_ptr<TransferRun> left = run;
        if (dropped)
            run.reset();
        gate.open();
        QVERIFY(held);
        QVERIFY(!finishedEarly);
        QCOMPARE(early, kTransferUnderWay);
        QCOMPARE(earlyCount, 0);
        if (dropped) {
            // The last thread to end frees the run.
            QTRY_VERIFY(left.expired());
        } else {
            QCOMPARE(run->wait(), kTransferOk);
            QVERIFY(run->finished());
            QCOMPARE(run->report().calculators.at(0).result, kTransferOk);
        }
        QCOMPARE(onDisk(*calculators[0], kDiskOffset, bytes.size()), bytes);
        QCOMPARE(disks->openHandleCount(), 0);
        std::lock_guard<std::mutex> lock(heardHere.mutex); // the run's last report is ordered before this
        QCOMPARE(heardHere.bar.last(), 100);
    }

    void whatARunTakes_data()
    {
        QTest::addColumn<int>("sourceUnits");  // 0: a firmware file that is there
        QTest::addColumn<int>("messageUnits"); // 0: none, the source path is the message
        QTest::addColumn<int>("deviceUnits");  // the calculator's device path; 0: a usual one,
                                               // -1: no calculator in the list
        QTest::addColumn<int>("result");
        QTest::addColumn<QList<int>>("each"); // the report's own results
        QTest::newRow("an empty list") << 0 << 0 << -1 << 104 << QList<int>{};
        QTest::newRow("a source path of 259 units: no such file") << 259 << 0 << 0 << 105 << QList<int>{105};
        QTest::newRow("a source path of 260 units") << 260 << 0 << 0 << 105 << QList<int>{};
        QTest::newRow("a message of 259 units") << 0 << 259 << 0 << 0 << QList<int>{0};
        QTest::newRow("a message of 260 units") << 0 << 260 << 0 << 105 << QList<int>{};
        QTest::newRow("a device path of 259 units") << 0 << 0 << 259 << 0 << QList<int>{0};
        QTest::newRow("a device path of 260 units: not cut, not opened") << 0 << 0 << 260 << 107 << QList<int>{107};
    }
    void whatARunTakes()
    {
        QFETCH(int, sourceUnits);
        QFETCH(int, messageUnits);
        QFETCH(int, deviceUnits);
        QFETCH(int, result);
        QFETCH(QList<int>, each);
        std::vector<std::u16string> paths;
        std::shared_ptr<emulator::Calculator> calculator;
        if (deviceUnits >= 0) {
            emulator::Config config;
            if (deviceUnits > 0)
                config.identity.pathOverride = devicePathOfLength(deviceUnits);
            calculator = disks->attach(config);
            paths.push_back(calculator->devicePath());
            QVERIFY(deviceUnits == 0 || int(paths[0].size()) == deviceUnits);
        }
        const QByteArray bytes = firmware(20000);
        std::u16string source = writeFirmware(bytes);
        if (sourceUnits > 0) {
            source = u"/nonexistent/";
            source.resize(std::size_t(sourceUnits), u'a');
        }
        const std::u16string message(std::size_t(messageUnits), u'm');
        RunHeard heardHere;
        const auto run = TransferRun::start(paths, source.c_str(), kDiskOffset, heardHere.callbacks(),
                                            messageUnits > 0 ? message.c_str() : nullptr);
        QCOMPARE(run->wait(), result);
        QCOMPARE(run->result(), result);
        const TransferReport report = run->report();
        QCOMPARE(report.count, each.size());
        for (int i = 0; i < each.size(); ++i) {
            QCOMPARE(report.calculators[std::size_t(i)].result, each[i]);
            QCOMPARE(report.calculators[std::size_t(i)].path, paths[std::size_t(i)]);
        }
        if (calculator)
            QCOMPARE(onDisk(*calculator, kDiskOffset, bytes.size()) == bytes, result == kTransferOk);
        // A run refused before its threads has no message; a thread has one.
        const bool threaded = result == kTransferOk || result == kDiskUnopenable;
        QCOMPARE(heardHere.messages.size(), threaded ? 1 : 0);
        if (result == kTransferOk)
            QCOMPARE(heardHere.messages.at(0), QString::fromStdU16String(messageUnits > 0 ? message : source));
    }

    void endOfSessionOnTheListedCalculatorsOnly()
    {
        auto calculators = attach(3);
        QCOMPARE(endUpdateSessionOn({}), kNoCalculatorFound);
        // A path that leads nowhere is passed over; the others are told.
        const std::u16string gone = u"\\\\?\\usbstor#gone";
        QCOMPARE(endUpdateSessionOn({calculators[2]->devicePath(), gone, calculators[0]->devicePath()}), kTransferOk);
        QCOMPARE(traceOf(*calculators[0]), (QStringList{"opening-read", "end-session"}));
        QCOMPARE(traceOf(*calculators[1]), QStringList());
        QCOMPARE(traceOf(*calculators[2]), (QStringList{"opening-read", "end-session"}));
    }

    void failingWriteIsTriedSevenTimesAtOnePosition()
    {
        emulator::Faults faults;
        faults.failWrites = -1;
        auto calculators = attach(1, faults);
        testsupport::RecordingDiskSystem recorder(*disks);
        platform::installDiskSystem(&recorder);
        QCOMPARE(run(writeFirmware(firmware(40000))), kDiskWriteFailed);
        platform::installDiskSystem(disks.get());

        // 7 data writes of the first chunk, each right after a seek to the
        // file's disk offset.
        const std::vector<DiskOp> ops = recorder.ops();
        int dataWrites = 0;
        for (std::size_t i = 0; i < ops.size(); ++i) {
            if (ops[i].kind != DiskOp::Write || ops[i].position == kCommandOffset)
                continue;
            ++dataWrites;
            QCOMPARE(ops[i].position, kDiskOffset);
            QCOMPARE(ops[i].length, kChunkSize);
            QVERIFY(i > 0 && ops[i - 1].kind == DiskOp::Seek && ops[i - 1].position == kDiskOffset);
        }
        QCOMPARE(dataWrites, 7);
        const QStringList trace = traceOf(*calculators[0]);
        QCOMPARE(trace.filter(QString("refused write %1 16384").arg(kDiskOffset)).size(), 7);
        QVERIFY(!trace.contains("progress 100"));
        QVERIFY(!trace.contains("closing-read"));
        QCOMPARE(heard.progress.begin()->second, QList<int>{0});
    }

    void diskOffsetMinusOneWritesNothing()
    {
        // -1 is also what a failed seek gives; it must not pass for a position.
        auto calculators = attach(1);
        QCOMPARE(run(writeFirmware(firmware(40000)), -1), kDiskWriteFailed);
        QVERIFY(traceOf(*calculators[0]).filter(QRegularExpression("^write ")).isEmpty());
        QCOMPARE(calculators[0]->dataBytesWritten(), std::uint64_t(0));
    }

    void packetMode_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("tail"); // the last lines of the trace
        QTest::newRow("accepted") << "" << 0
                                  << QStringList{"check-transfer 40000", "progress 100", "progress 100", "closing-read"};
        QTest::newRow("second packet refused") << "refuse-packet=2" << 117
                                               << QStringList{"packet 0 256", "refused packet 256 256"};
        QTest::newRow("check refused") << "refuse-check" << 118 << QStringList{"refused check-transfer 40000"};
    }
    void packetMode()
    {
        QFETCH(QString, faults);
        QFETCH(int, result);
        QFETCH(QStringList, tail);
        std::vector<emulator::Faults> perCalculator(1);
        std::string error;
        QVERIFY2(emulator::parseFaultList(faults.toStdString(), perCalculator, &error), error.c_str());
        auto calculators = attach(1, perCalculator[0]);
        const QByteArray bytes = firmware(40000);
        const std::u16string path = writeFirmware(bytes);

        TransferRequest request{};
        request.length = bytes.size();
        request.mode = kPacketMode;
        QCOMPARE(runRequest(request, path), result);

        const QStringList trace = traceOf(*calculators[0]);
        QCOMPARE(trace.mid(trace.size() - tail.size()), tail);
        QVERIFY(trace.filter(QRegularExpression("^write ")).isEmpty()); // no raw data in packet mode
        if (result == 0) {
            QCOMPARE(heard.progress.begin()->second, (QList<int>{0, 40, 81, 100, 100}));
            QVERIFY(calculators[0]->packetData() ==
                    std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
        }
    }

    void messageComesBeforeAnyExit_data()
    {
        QTest::addColumn<qint64>("sourceOffset");
        QTest::addColumn<bool>("fileThere");
        QTest::addColumn<int>("result");
        QTest::newRow("file cannot be positioned") << qint64(-2) << true << int(kSourceReadFailed);
        QTest::newRow("offset -1, what a failed seek gives") << qint64(-1) << true << int(kSourceReadFailed);
        QTest::newRow("file cannot be opened") << qint64(0) << false << int(kSourceUnopenable);
    }
    void messageComesBeforeAnyExit()
    {
        // Whatever ends a disk's transfer, its message has been reported.
        QFETCH(qint64, sourceOffset);
        QFETCH(bool, fileThere);
        QFETCH(int, result);
        auto calculators = attach(2);
        const std::u16string path = fileThere ? writeFirmware(firmware(40000))
                                              : folder.filePath("missing.bin").toStdU16String();
        TransferRequest request{};
        request.sourceOffset = sourceOffset;
        request.length = 40000;
        QCOMPARE(runRequest(request, path), result);
        const QString text = QString::fromStdU16String(path);
        QCOMPARE(heard.messages, (QStringList{text, text}));
        for (const auto &calculator : calculators)
            QVERIFY(traceOf(*calculator).isEmpty());
    }

    void filterAndReport_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<QList<int>>("results"); // each calculator's own code; -1: the filter leaves it out
        QTest::addColumn<int>("result");
        QTest::newRow("none left out") << "" << QList<int>{0, 0, 0} << 0;
        QTest::newRow("a failing one left out") << "fail-writes=all@2" << QList<int>{0, -1, 0} << 0;
        QTest::newRow("each its own code, the first for the run")
            << "unopenable@2,fail-writes=all@3" << QList<int>{-1, 107, 112} << 107;
        QTest::newRow("all left out") << "" << QList<int>{-1, -1, -1} << 0;
    }
    void filterAndReport()
    {
        QFETCH(QString, faults);
        QFETCH(QList<int>, results);
        QFETCH(int, result);
        std::vector<emulator::Faults> perCalculator(3);
        std::string error;
        QVERIFY2(emulator::parseFaultList(faults.toStdString(), perCalculator, &error), error.c_str());
        auto calculators = attach(3);
        Selecting selecting(*disks);
        QStringList identities, sentTo;
        for (int i = 0; i < 3; ++i) {
            calculators[i]->setFaults(perCalculator[i]);
            identities << QString("TAVIX%1").arg(i + 1, 7, 10, QChar('0')); // the serials attach() gave
            if (results[i] == kCalculatorLeftOut)
                selecting.leftOut << identities[i];
            else
                sentTo << QString::fromStdU16String(calculators[i]->devicePath());
        }
        const QByteArray bytes = firmware(40000);
        const std::u16string path = writeFirmware(bytes);
        TransferReport report;
        report = staleReport();
        platform::installDiskSystem(&selecting);
        QCOMPARE(runFirmwareTransfer(kVendor, kProduct, path.c_str(), kDiskOffset, onProgress, onMessage,
                                     Selecting::sendTo, &selecting, &report),
                 result);
        platform::installDiskSystem(disks.get());

        QCOMPARE(selecting.asked, identities); // once each, in slot order
        QVERIFY(!selecting.askedTooLate);
        QCOMPARE(selecting.opened, sentTo);
        QCOMPARE(report.count, 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(QString::fromUtf16(report.calculators[i].identity), identities[i]);
            QCOMPARE(report.calculators[i].result, results[i]);
            QCOMPARE(onDisk(*calculators[i], kDiskOffset, bytes.size()) == bytes, results[i] == kTransferOk);
            if (results[i] == kCalculatorLeftOut)
                QCOMPARE(traceOf(*calculators[i]), QStringList{});
        }
        // Messages and progress come from the calculators sent to alone: the
        // bar never goes back, and it reaches 100 once they all hold the file.
        QCOMPARE(heard.messages.size(), sentTo.size());
        QList<int> values = heard.sequence;
        std::sort(values.begin(), values.end());
        QCOMPARE(heard.sequence, values);
        QCOMPARE(heard.sequence.contains(100), result == kTransferOk && !sentTo.isEmpty());
        QCOMPARE(heard.calls == 0, sentTo.isEmpty());
    }

    void requestOfKindThreeTouchesNothing()
    {
        auto calculators = attach(1);
        const std::vector<std::u16string> paths = findEveryCalculatorDisk(kVendor, kProduct);
        disks->resetCallCounter();
        TransferRequest request{};
        request.length = 1;
        for (std::uint32_t kind : {3u, 0xFFFFFFFFu}) {
            request.kind = kind;
            TransferReport report;
            QCOMPARE(runTransferRequest(request, paths, heardCallbacks(), &report), kBadRequestKind);
            QCOMPARE(report.count, 1);
            QCOMPARE(report.calculators[0].result, kBadRequestKind);
        }
        QCOMPARE(disks->callCount(), std::uint64_t(0)); // not even a disk opened
        QVERIFY(traceOf(*calculators[0]).isEmpty());
        QCOMPARE(heard.calls, 0);
    }

    void noCalculator()
    {
        TransferReport report;
        QCOMPARE(run(writeFirmware(firmware(100)), kDiskOffset, &report), kNoCalculatorFound);
        QCOMPARE(report.count, 0);
        QCOMPARE(platform::pauseStats().count, std::uint64_t(6)); // six passes, 500 ms after each
        QCOMPARE(platform::pauseStats().totalMs, std::uint64_t(3000));
        QCOMPARE(heard.calls, 0);
    }

    void firmwareFileMissing()
    {
        auto calculators = attach(2);
        QCOMPARE(run(folder.filePath("missing.bin").toStdU16String()), kSourceUnopenable);
        for (const auto &calculator : calculators)
            QVERIFY(traceOf(*calculator).isEmpty());
        QCOMPARE(heard.calls, 0);
    }

    void firmwareFileShrinks()
    {
        // The file is cut to 1000 bytes once the transfer has started: the
        // calculator must not be told the transfer is complete.
        auto calculators = attach(1);
        const std::u16string path = writeFirmware(firmware(40000), "shrinking.bin");
        shrinkOnStart = QString::fromStdU16String(path);
        shrunk = false;
        const std::int32_t result = run(path);
        const QStringList trace = traceOf(*calculators[0]);
        if (!shrunk) {
            // Windows: the engine opens the file sharing it for reading only,
            // so nobody can cut it while it is sent; it goes out whole.
            QVERIFY2(QSysInfo::kernelType() == "winnt", "the file could not be cut");
            QCOMPARE(result, kTransferOk);
            QCOMPARE(trace.last(), QString("closing-read"));
            return;
        }
        QCOMPARE(result, kSourceReadFailed);
        QVERIFY(!trace.contains("progress 100"));
        QVERIFY(trace.filter(QRegularExpression("^write ")).isEmpty());
    }

    void overlongSourcePathIsRefusedFirst_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("result");
        QTest::newRow("259 units") << 259 << int(kSourceUnopenable); // fits, but no such file
        QTest::newRow("260 units") << 260 << int(kSourceUnopenable);
        QTest::newRow("1000 units") << 1000 << int(kSourceUnopenable);
    }
    void overlongSourcePathIsRefusedFirst()
    {
        QFETCH(int, length);
        QFETCH(int, result);
        auto calculators = attach(1);
        std::u16string path = u"/nonexistent/";
        path.resize(std::size_t(length), u'a');
        TransferReport report;
        QCOMPARE(run(path, kDiskOffset, &report), result);
        QCOMPARE(report.count, length < 260 ? 1 : 0);
        // A path that does not fit never reaches discovery or a disk.
        const bool fits = length < 260;
        QCOMPARE(traceOf(*calculators[0]).isEmpty(), true);
        QCOMPARE(disks->callCount() > 0, fits);
    }

    void endOfSessionOnTwoCalculators()
    {
        auto calculators = attach(2);
        emulator::Faults refusing;
        refusing.refuseProgress = true; // the end of session reads no reply
        calculators[1]->setFaults(refusing);
        QCOMPARE(endUpdateSession(kVendor, kProduct), kTransferOk);
        for (const auto &calculator : calculators)
            QCOMPARE(traceOf(*calculator), (QStringList{"opening-read", "end-session"}));
        QCOMPARE(heard.calls, 0);
    }

    void endOfSessionWithoutCalculator()
    {
        QCOMPARE(endUpdateSession(kVendor, kProduct), kNoCalculatorFound);
        QCOMPARE(platform::pauseStats().count, std::uint64_t(6));
    }

    void faultSweep_data()
    {
        QTest::addColumn<bool>("persistent");
        QTest::addColumn<int>("count");
        QTest::newRow("the Nth call fails once") << false << 1;
        QTest::newRow("every call from the Nth on fails") << true << 1;
        QTest::newRow("two calculators, the Nth call fails once") << false << 2;
    }
    void faultSweep()
    {
        // In the manner of an I/O-error test: make each platform call of a
        // whole transfer fail in turn. Every run must end with a code of the
        // table, release every handle, and report success only when the disk
        // holds the whole file and nothing else was written.
        QFETCH(bool, persistent);
        QFETCH(int, count);
        const QByteArray bytes = firmware(40000, 7);
        const std::u16string path = writeFirmware(bytes, "sweep.bin");
        const std::int64_t offset = 0x100000;
        const QList<int> codes{0, 104, 105, 107, 109, 110, 112, 117, 118};

        std::uint64_t calls = 0;
        {
            auto calculators = attach(count);
            QCOMPARE(run(path, offset), kTransferOk);
            calls = disks->callCount();
        }
        QVERIFY2(calls > 20, QByteArray::number(qulonglong(calls)));
        int failures = 0;
        for (std::uint64_t n = 1; n <= calls + 1; ++n) {
            disks = std::make_unique<emulator::EmulatedDiskSystem>();
            platform::installDiskSystem(disks.get());
            auto calculators = attach(count);
            disks->resetCallCounter(n, persistent);
            const std::int32_t result = run(path, offset);
            const QByteArray context = "call " + QByteArray::number(qulonglong(n));
            QVERIFY2(codes.contains(result), context);
            QVERIFY2(disks->openHandleCount() == 0, context);
            for (const auto &calculator : calculators) {
                // Nothing but the file's sectors: the disk is zero before and after.
                QVERIFY2(onDisk(*calculator, 0, int(offset)) == QByteArray(int(offset), 0), context);
                QVERIFY2(onDisk(*calculator, offset + bytes.size(), 0x100000) == QByteArray(0x100000, 0),
                         context);
                if (result == kTransferOk)
                    QVERIFY2(onDisk(*calculator, offset, bytes.size()) == bytes, context);
            }
            failures += result != kTransferOk;
        }
        QVERIFY(failures > 0);
    }

    void chunkTransform()
    {
        std::uint8_t bytes[] = {0x10, 0x20, 0x30};
        chainXorChunk(bytes, 3, 0); // seed 0: unchanged
        QCOMPARE(QByteArray(reinterpret_cast<char *>(bytes), 3).toHex(), QByteArray("102030"));
        chainXorChunk(bytes, 3, 0x1FF);
        // Each byte XOR the previous original byte, the first with the seed's low byte.
        QCOMPARE(QByteArray(reinterpret_cast<char *>(bytes), 3).toHex(), QByteArray("ef3010"));
    }
};

QTEST_GUILESS_MAIN(TestTransferEngine)
#include "test_transfer_engine.moc"
