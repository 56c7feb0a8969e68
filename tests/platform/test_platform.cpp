// The parts of the platform layer every disk system shares: how a disk is
// named, text at the POSIX boundary, sector buffers, the clock and the
// active disk system.
#include "platform/clock.h"
#include "platform/device_path.h"
#include "platform/disk_system.h"
#include "platform/volume_match.h"

#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <limits>
#include <random>
#include <thread>
#include <vector>

using namespace platform;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::u16string)
using PauseLists = std::vector<std::vector<std::uint32_t>>; // one list of pauses per thread
Q_DECLARE_METATYPE(PauseLists)

namespace {

// A std::string holding exactly these bytes (NULs included).
std::string bytes(const char *text, std::size_t length)
{
    return std::string(text, length);
}

// One thread per list, each handed its participation at its start, taking its
// pauses; what nowMs() said after each of them, per thread. Every participation
// is taken before the first start: the time stands still until the last thread
// has started.
std::vector<std::vector<std::uint64_t>> eventTimesSeen(const PauseLists &pausesPerThread)
{
    std::vector<std::vector<std::uint64_t>> seen(pausesPerThread.size());
    std::vector<ClockParticipant> parts;
    for (std::size_t t = 0; t < pausesPerThread.size(); ++t)
        parts.push_back(ClockParticipant::forNewThread());
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < pausesPerThread.size(); ++t)
        threads.emplace_back([part = std::move(parts[t]), &pauses = pausesPerThread[t], &times = seen[t]]() mutable {
            part.adopt();
            for (std::uint32_t ms : pauses) {
                pauseMs(ms);
                times.push_back(nowMs());
            }
        });
    ClockStandAside aside; // for a caller that takes part
    for (std::thread &thread : threads)
        thread.join();
    return seen;
}

} // namespace

class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    void cleanup();

    void deviceIdField_data();
    void deviceIdField();
    void devicePathOfACalculator_data();
    void devicePathOfACalculator();

    void utf8RoundTrip_data();
    void utf8RoundTrip();
    void loneSurrogatesBecomeReplacement_data();
    void loneSurrogatesBecomeReplacement();
    void invalidUtf8BecomesReplacement_data();
    void invalidUtf8BecomesReplacement();

    void alignedBuffers_data();
    void alignedBuffers();

    void simulatedPausesDoNotSleep();
    void simulatedPausesFromManyThreadsAddUp();
    void realClockCountsPausesToo();
    void eventTimeIsEachThreadsOwn_data();
    void eventTimeIsEachThreadsOwn();
    void aStartingThreadHoldsTheEventTimeUntilItPauses();
    void standingAsideLetsTheJoinedThreadMoveTheTime();
    void eventClockSwitchesAndLimits();

    void volumesOfADisk_data();
    void volumesOfADisk();
    void onlyRawNeedsNoHold();

    void errorTextNamesTheError();
    void installedDiskSystemIsActive();
};

void TestPlatform::volumesOfADisk_data()
{
    QTest::addColumn<std::uint32_t>("disk");
    QTest::addColumn<QStringList>("mounted"); // "NAME|FILE SYSTEM", in the order listed
    QTest::newRow("letters, a folder, none, RAW, a spanned one") << 3u
        << QStringList{"E:|FAT", R"(\\?\Volume{c}\|FAT)", R"(C:\mnt\raw|RAW)", "G:|NTFS"};
    QTest::newRow("the other disk of a spanned volume") << 1u << QStringList{"G:|NTFS"};
    QTest::newRow("the system disk") << 0u << QStringList{"C:|NTFS"};
    QTest::newRow("a disk with none") << 2u << QStringList{};
    QTest::newRow("no disk number") << kNoDiskNumber << QStringList{};
}

void TestPlatform::volumesOfADisk()
{
    // A machine's volumes as the system lists them: the calculator is disk 3.
    const std::vector<VolumeFacts> machine = {
        {uR"(\\?\Volume{a}\)", {uR"(C:\)"}, u"NTFS", {0}},
        {uR"(\\?\Volume{b}\)", {uR"(F:\)", uR"(C:\mnt\calc\)", uR"(e:\)"}, u"FAT", {3}}, // the first letter wins
        {uR"(\\?\Volume{c}\)", {}, u"FAT", {3}},                                       // no letter: its path
        {uR"(\\?\Volume{d}\)", {uR"(C:\mnt\raw\)"}, u"RAW", {3}},                      // a mounted folder
        {uR"(\\?\Volume{e}\)", {uR"(G:\)"}, u"NTFS", {1, 3, 1}},                       // spans two disks
        {uR"(\\?\Volume{f}\)", {uR"(H:\)"}, u"", {}},                                  // no disk told
        {uR"(\\?\Volume{g}\)", {uR"(I:\)"}, u"FAT", {kNoDiskNumber}},
    };
    QFETCH(std::uint32_t, disk);
    QFETCH(QStringList, mounted);
    QStringList found;
    for (const MountedVolume &volume : mountedOnDisk(machine, disk))
        found << QString::fromStdU16String(volume.name + u"|" + volume.fileSystem);
    QCOMPARE(found, mounted);
}

void TestPlatform::onlyRawNeedsNoHold()
{
    for (const char16_t *raw : {u"RAW", u"raw", u"Raw"})
        QVERIFY(!needsHold(raw));
    for (const char16_t *other : {u"FAT", u"FAT32", u"exFAT", u"NTFS", u"", u"RA", u"RAWX", u"RAV"})
        QVERIFY2(needsHold(other), qPrintable(QString::fromStdU16String(other)));
}

void TestPlatform::cleanup()
{
    useSimulatedClock(false);
    installDiskSystem(nullptr);
}

void TestPlatform::deviceIdField_data()
{
    QTest::addColumn<std::string>("raw");
    QTest::addColumn<std::string>("field");

    QTest::newRow("kernel-padded vendor") << std::string("XQ      \n") << std::string("xq");
    QTest::newRow("kernel-padded model") << std::string("Tavix update    ") << std::string("tavix_update");
    QTest::newRow("each inner space kept") << std::string("Tavix  update") << std::string("tavix__update");
    QTest::newRow("NUL padding") << bytes("\0XQ\0\0", 5) << std::string("xq");
    QTest::newRow("inner NUL") << bytes("X\0Q", 3) << std::string("x_q");
    QTest::newRow("inner tab") << std::string("A\tB") << std::string("a_b");
    QTest::newRow("separators cannot forge") << std::string("xq#disk&prod_x") << std::string("xq_disk_prod_x");
    QTest::newRow("path characters") << std::string("a\\b/c") << std::string("a_b_c");
    QTest::newRow("non-ASCII") << std::string("caf\xC3\xA9") << std::string("caf__");
    QTest::newRow("DEL") << std::string("a\x7F") << std::string("a_");
    QTest::newRow("punctuation kept") << std::string("Rev-1.0_b") << std::string("rev-1.0_b");
    QTest::newRow("only padding") << std::string("   \n") << std::string();
}

void TestPlatform::deviceIdField()
{
    QFETCH(std::string, raw);
    QFETCH(std::string, field);
    QCOMPARE(platform::deviceIdField(raw), field);
}

void TestPlatform::devicePathOfACalculator_data()
{
    QTest::addColumn<std::string>("vendor");
    QTest::addColumn<std::string>("model");
    QTest::addColumn<std::string>("revision");
    QTest::addColumn<std::string>("instance");
    QTest::addColumn<std::string>("path");

    QTest::newRow("as the kernel pads it")
        << std::string("XQ      ") << std::string("Tavix update    ") << std::string("1.00")
        << std::string("tx0001&sdb")
        << std::string("\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#tx0001&sdb#"
                       "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    QTest::newRow("forged separators in every field")
        << std::string("XQ#a") << std::string("Tavix&rev_9") << std::string("1#0")
        << std::string("ser#ial&sdb")
        << std::string("\\\\?\\usbstor#disk&ven_xq_a&prod_tavix_rev_9&rev_1_0#ser_ial&sdb#"
                       "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    QTest::newRow("empty fields")
        << std::string() << std::string() << std::string() << std::string()
        << std::string("\\\\?\\usbstor#disk&ven_&prod_&rev_##{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
}

void TestPlatform::devicePathOfACalculator()
{
    QFETCH(std::string, vendor);
    QFETCH(std::string, model);
    QFETCH(std::string, revision);
    QFETCH(std::string, instance);
    QFETCH(std::string, path);
    QCOMPARE(usbStorageDevicePath(vendor, model, revision, instance), path);
}

void TestPlatform::utf8RoundTrip_data()
{
    QTest::addColumn<std::u16string>("utf16");
    QTest::addColumn<std::string>("utf8");

    QTest::newRow("ASCII path") << std::u16string(u"/tmp/Tavix.bin") << std::string("/tmp/Tavix.bin");
    QTest::newRow("two bytes") << std::u16string(u"Gr\u00FC\u00DFe") << std::string("Gr\xC3\xBC\xC3\x9F" "e");
    QTest::newRow("three bytes") << std::u16string(u"\u20AC\uFFFD") << std::string("\xE2\x82\xAC\xEF\xBF\xBD");
    QTest::newRow("surrogate pair") << std::u16string(u"a\U0001F600b") << std::string("a\xF0\x9F\x98\x80" "b");
    QTest::newRow("highest code point") << std::u16string(u"\U0010FFFF") << std::string("\xF4\x8F\xBF\xBF");
    QTest::newRow("last unit before surrogates") << std::u16string(u"\uD7FF") << std::string("\xED\x9F\xBF");
    QTest::newRow("empty") << std::u16string() << std::string();
}

void TestPlatform::utf8RoundTrip()
{
    QFETCH(std::u16string, utf16);
    QFETCH(std::string, utf8);
    QCOMPARE(toUtf8(utf16), utf8);
    QCOMPARE(toUtf8(utf16.c_str()), utf8);
    QVERIFY(fromUtf8(utf8) == utf16);
}

void TestPlatform::loneSurrogatesBecomeReplacement_data()
{
    QTest::addColumn<std::u16string>("utf16");
    QTest::addColumn<std::string>("utf8");

    const std::u16string high(1, char16_t(0xD83D));
    const std::u16string low(1, char16_t(0xDE00));
    QTest::newRow("high at the end") << u"a" + high << std::string("a\xEF\xBF\xBD");
    QTest::newRow("high before a letter") << high + u"b" << std::string("\xEF\xBF\xBD" "b");
    QTest::newRow("low alone") << low + u"c" << std::string("\xEF\xBF\xBD" "c");
    QTest::newRow("low then high") << low + high << std::string("\xEF\xBF\xBD\xEF\xBF\xBD");
}

void TestPlatform::loneSurrogatesBecomeReplacement()
{
    QFETCH(std::u16string, utf16);
    QFETCH(std::string, utf8);
    QCOMPARE(toUtf8(utf16), utf8);
}

void TestPlatform::invalidUtf8BecomesReplacement_data()
{
    QTest::addColumn<std::string>("utf8");
    QTest::addColumn<std::u16string>("utf16");

    QTest::newRow("stray continuation") << std::string("a\x80" "b") << std::u16string(u"a\uFFFDb");
    QTest::newRow("overlong slash") << std::string("\xC0\xAF") << std::u16string(u"\uFFFD\uFFFD");
    QTest::newRow("encoded surrogate") << std::string("\xED\xA0\x80") << std::u16string(u"\uFFFD\uFFFD\uFFFD");
    QTest::newRow("beyond U+10FFFF") << std::string("\xF4\x90\x80\x80")
                                     << std::u16string(u"\uFFFD\uFFFD\uFFFD\uFFFD");
    QTest::newRow("invalid lead") << std::string("\xFF" "z") << std::u16string(u"\uFFFDz");
    QTest::newRow("lead then ASCII") << std::string("\xE2" "ab") << std::u16string(u"\uFFFDab");
    QTest::newRow("embedded NUL kept") << bytes("a\0b", 3) << std::u16string(u"a\0b", 3);
}

void TestPlatform::invalidUtf8BecomesReplacement()
{
    QFETCH(std::string, utf8);
    QFETCH(std::u16string, utf16);
    QVERIFY(fromUtf8(utf8) == utf16);
}

void TestPlatform::alignedBuffers_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("zero") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("one sector") << 512;
    QTest::newRow("one page") << 4096;
    QTest::newRow("page and a byte") << 4097;
    QTest::newRow("a data packet") << 1024 * 1024 + 512;
}

void TestPlatform::alignedBuffers()
{
    QFETCH(int, size);
    std::vector<void *> buffers;
    for (int i = 0; i < 4; ++i) {
        void *buffer = allocAligned(static_cast<std::size_t>(size));
        QVERIFY(buffer != nullptr);
        QCOMPARE(reinterpret_cast<std::uintptr_t>(buffer) % kBufferAlignment, std::uintptr_t(0));
        std::memset(buffer, 0xA5, static_cast<std::size_t>(size)); // the sanitizers check the extent
        buffers.push_back(buffer);
    }
    for (void *buffer : buffers)
        freeAligned(buffer);
}

void TestPlatform::simulatedPausesDoNotSleep()
{
    useSimulatedClock(true);
    QVERIFY(simulatedClockInUse());
    QCOMPARE(nowMs(), std::uint64_t(0));

    // A day: the suite would time out if this slept.
    pauseMs(24u * 60 * 60 * 1000);
    QCOMPARE(nowMs(), std::uint64_t(86400000));
    advanceSimulatedClock(250); // time passing without a pause
    QCOMPARE(nowMs(), std::uint64_t(86400250));
    for (int pass = 0; pass < 6; ++pass)
        pauseMs(500);
    QCOMPARE(nowMs(), std::uint64_t(86403250));
    QCOMPARE(pauseStats().count, std::uint64_t(7));
    QCOMPARE(pauseStats().totalMs, std::uint64_t(86403000));

    useSimulatedClock(true); // switching starts over
    QCOMPARE(nowMs(), std::uint64_t(0));
    QCOMPARE(pauseStats().count, std::uint64_t(0));
}

void TestPlatform::simulatedPausesFromManyThreadsAddUp()
{
    useSimulatedClock(true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            ClockParticipant part; // nothing on this clock
            for (int i = 0; i < 250; ++i)
                pauseMs(2);
        });
    for (std::thread &thread : threads)
        thread.join();
    QCOMPARE(nowMs(), std::uint64_t(2000));
    QCOMPARE(pauseStats().count, std::uint64_t(1000));
}

void TestPlatform::realClockCountsPausesToo()
{
    useSimulatedClock(false);
    QVERIFY(!simulatedClockInUse());
    const std::uint64_t before = nowMs();
    pauseMs(1);
    pauseMs(2);
    QVERIFY(nowMs() >= before + 3);
    QCOMPARE(pauseStats().count, std::uint64_t(2));
    QCOMPARE(pauseStats().totalMs, std::uint64_t(3));
    resetPauseStats();
    QCOMPARE(pauseStats().count, std::uint64_t(0));
}

void TestPlatform::eventTimeIsEachThreadsOwn_data()
{
    QTest::addColumn<PauseLists>("pauses");
    QTest::newRow("a long wait beside short steps") << PauseLists{{60000}, std::vector<std::uint32_t>(50, 100)};
    QTest::newRow("pauses that end together") << PauseLists{{100, 100}, {100, 100}, {100, 100}};
    std::mt19937 random(20240611);
    PauseLists calculators(17); // sixteen and the worker
    for (std::vector<std::uint32_t> &pauses : calculators)
        for (std::uint32_t n = random() % 30; n > 0; --n)
            pauses.push_back(random() % 4 == 0 ? 0 : random() % 5000);
    QTest::newRow("seventeen threads at random") << calculators;
}

// Each thread sees the time move by its own pauses only, never by the others'.
void TestPlatform::eventTimeIsEachThreadsOwn()
{
    QFETCH(PauseLists, pauses);
    useEventClock();
    const std::vector<std::vector<std::uint64_t>> seen = eventTimesSeen(pauses);
    std::uint64_t last = 0, count = 0;
    for (std::size_t t = 0; t < pauses.size(); ++t) {
        std::vector<std::uint64_t> own;
        for (std::uint32_t ms : pauses[t])
            own.push_back((own.empty() ? 0 : own.back()) + ms);
        QCOMPARE(seen[t], own);
        last = std::max(last, own.empty() ? 0 : own.back());
        count += own.size();
    }
    QCOMPARE(nowMs(), last);
    QCOMPARE(pauseStats().count, count);
}

void TestPlatform::aStartingThreadHoldsTheEventTimeUntilItPauses()
{
    useEventClock();
    ClockParticipant self;
    std::atomic<bool> paused{false};
    std::atomic<std::uint64_t> seen{1};
    std::thread worker([part = ClockParticipant::forNewThread(), &paused, &seen]() mutable {
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a slow start
        part.adopt();
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // real work, no pause
        seen = nowMs();
        paused = true;
        pauseMs(10);
    });
    pauseMs(0); // due at once, whoever runs
    pauseMs(1); // ends only once the worker pauses
    QVERIFY(paused);
    QCOMPARE(seen.load(), std::uint64_t(0));
    QCOMPARE(nowMs(), std::uint64_t(1));
    {
        ClockStandAside aside;
        worker.join();
    }
    QCOMPARE(nowMs(), std::uint64_t(10));
}

void TestPlatform::standingAsideLetsTheJoinedThreadMoveTheTime()
{
    useEventClock();
    ClockParticipant self;
    {
        ClockStandAside aside, nested;
        QCOMPARE(eventTimesSeen({{100, 100, 100}}), (std::vector<std::vector<std::uint64_t>>{{100, 200, 300}}));
        pauseMs(50); // a pause while standing aside holds nothing either
    }
    QCOMPARE(nowMs(), std::uint64_t(350));
    // Out of the scope this thread holds the time again.
    std::atomic<std::uint64_t> woke{0};
    std::thread other([part = ClockParticipant::forNewThread(), &woke]() mutable {
        part.adopt();
        pauseMs(50);
        woke = nowMs();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    QCOMPARE(nowMs(), std::uint64_t(350));
    pauseMs(100);
    QCOMPARE(nowMs(), std::uint64_t(450));
    ClockStandAside aside;
    other.join();
    QCOMPARE(woke.load(), std::uint64_t(400));
}

namespace {
std::atomic<std::uint64_t> gObservedMs{0};
}

void TestPlatform::eventClockSwitchesAndLimits()
{
    ClockParticipant stale; // of the real clock: void on the event clock
    useEventClock();
    QVERIFY(eventClockInUse() && !simulatedClockInUse());
    QCOMPARE(clockScale(), 0u);
    QCOMPARE(realDurationMs(4000), 0u);
    setPauseObserver([](std::uint32_t ms) { gObservedMs += ms; });
    pauseMs(500); // a thread that does not take part moves the time alone
    pauseMs(500);
    setPauseObserver(nullptr);
    QCOMPARE(nowMs(), std::uint64_t(1000));
    QCOMPARE(gObservedMs.load(), std::uint64_t(1000));
    QCOMPARE(pauseStats().totalMs, std::uint64_t(1000));

    {
        ClockParticipant self; // holds the time: only the advance ends the pause
        std::promise<std::uint64_t> woke;
        std::future<std::uint64_t> wake = woke.get_future();
        std::thread sleeper([part = ClockParticipant::forNewThread(), &woke]() mutable {
            part.adopt();
            pauseMs(1000);
            woke.set_value(nowMs());
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        advanceSimulatedClock(999);
        QCOMPARE(wake.wait_for(std::chrono::milliseconds(20)), std::future_status::timeout);
        advanceSimulatedClock(1);
        QCOMPARE(wake.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        QCOMPARE(wake.get(), std::uint64_t(2000));
        sleeper.join();
    }

    // The time stops at its end instead of wrapping.
    advanceSimulatedClock(std::numeric_limits<std::uint64_t>::max() - 2000 - 5);
    pauseMs(10);
    QCOMPARE(nowMs(), std::numeric_limits<std::uint64_t>::max());
    advanceSimulatedClock(1);
    pauseMs(1);
    QCOMPARE(nowMs(), std::numeric_limits<std::uint64_t>::max());

    useEventClock();
    QCOMPARE(nowMs(), std::uint64_t(0));
    QCOMPARE(pauseStats().count, std::uint64_t(0));
    useSimulatedClock(true);
    QVERIFY(!eventClockInUse());
    pauseMs(7);
    QCOMPARE(nowMs(), std::uint64_t(7));
}

void TestPlatform::errorTextNamesTheError()
{
    const std::u16string missing = errorText(ENOENT);
    const std::u16string denied = errorText(EACCES);
    QVERIFY(!missing.empty());
    QVERIFY(!denied.empty());
    QVERIFY(missing != denied);
    QVERIFY(errorText(0xFFFFFFFFu).empty());
}

namespace {
// A disk system that has nothing; only its identity matters here.
class EmptyDiskSystem : public DiskSystem {
public:
    void enumerateDiskInterfaces(const InterfaceVisitor &) override {}
    Handle openDisk(const char16_t *) override { return kInvalidHandle; }
    Handle openFile(const char16_t *) override { return kInvalidHandle; }
};
} // namespace

void TestPlatform::installedDiskSystemIsActive()
{
    QCOMPARE(&activeDiskSystem(), &osDiskSystem());
    EmptyDiskSystem empty;
    installDiskSystem(&empty);
    QCOMPARE(&activeDiskSystem(), static_cast<DiskSystem *>(&empty));
    installDiskSystem(nullptr);
    QCOMPARE(&activeDiskSystem(), &osDiskSystem());
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
