// bench_transfer: how fast the transfer engine sends one firmware file.
//
//   (a) to one simulated calculator, throttled like a USB 2.0 device and unthrottled
//   (b) to 16 simulated calculators at once, the same two ways, and to 32 (two
//       runs of 16, as the session sends them)
//   (c) onto a loop device through the Linux backend, beside a plain loop of
//       aligned 16384-byte pwrite()s with O_DIRECT | O_SYNC on the same device,
//       and beside that loop making the transfer's own 101 exchanges with the
//       calculator (opening read, progress 0 to 100, closing read) at the same
//       points with plain pwrite()/pread(), which isolates the engine's cost;
//       a plain device cannot answer the command channel, so every progress
//       report there is refused and tried again
//   (d) the engine's peak memory for two file sizes, each run in a child process
//   (e) as (c), on a simulated calculator behind a loop device (tavix-calcfs),
//       which answers: with the CPU time the calculator's process spent on each
//       side, and the exchanges its trace shows
//   (f) the session's pipelines: whole sessions of the update worker, each
//       calculator a run of its own (16 at once, the next one as one ends), on
//       throttled calculators and the real clock: 1, 16 and 32 calculators; 16
//       with the first one stalled 20 s halfway through its file, its 15
//       others beside the same 15 without the stall; and a 16th attached while
//       15 are halfway, from its attach to its first data write
//   (g) the cart station: the worker in station mode serving a cart of 30
//       throttled calculators through a hub of 10 ports (each pulled out 2 s
//       after its end of session, the next one plugged into its port), from
//       the worker's start to the last one told its end of session, beside
//       its ideal: the first countdown as the worker runs it (its pauses
//       included), three waves of (the 2 s settle + one calculator's time for
//       the release, measured as in (f)), and the two swaps between waves;
//       on a file of at most 8 MiB, so that it stays near two minutes
//
// In (a) to (e) the fixed settle pauses run on the simulated clock, so the
// figures are the I/O alone; (c) and (e) also show one run on the real clock,
// pauses included. (c) and (e) take turns among their three sides --runs
// times after one warm-up each and give the median and the best; (a) and (b)
// take turns among 1, 16 and 32 calculators, (f) among its five sessions. A
// run fails (exit 1) when a goal is missed: 16 throttled calculators take at
// most 1.05 times as long as one, 32 at most 2.1 times (as two runs of 16,
// and through the session); on (e) the engine reaches at least 0.97 of the
// loop with the exchanges; in (f) the 15 beside the stall take at most 1.1
// times as long as without it, and the late calculator's first data write
// comes at most 1000 ms after its attach in every round; the station takes
// at most 1.1 times its ideal (--no-goals: the figures alone). --session-only
// runs (f) alone, --station-only (g) alone, --simulated-only (a), (b), (f)
// and (g); --clock-scale N runs the pauses of (f) and (g) (and the cart's
// swap) N times shorter, for the smoke run (no goal of theirs is checked then).
#include "common/little_endian.h"
#include "emulator/cart.h"
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "platform/posix/posix_disk_system.h"
#include "session/calculator_view.h"
#include "session/fixed_release.h"
#include "session/session_rules.h"
#include "session/update_worker.h"
#include "support/kernel_calculators.h"
#include "support/loop_calculator.h"
#include "support/recording_disk_system.h"
#include "transport/command_channel.h"
#include "transport/transfer_engine_internal.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";

// The goals a full run must meet (the exit code says whether it did); each
// ratio is checked on the median of the rounds' ratios, the late calculator's
// start on the worst round.
constexpr double kSixteenGoal = 1.05;   // time of 16 throttled calculators / time of one: at most
constexpr double kThirtyTwoGoal = 2.1;  // time of 32 (two runs of 16, or through the session) / time
                                        // of one: at most
constexpr double kExchangesGoal = 0.97; // engine / the loop with the exchanges, on a calculator
                                        // that answers: at least
constexpr double kStalledGoal = 1.1;    // (f) time of 15 calculators beside one stalled 20 s / the same
                                        // 15 without the stall: at most
constexpr double kLateStartGoalMs = 1000; // (f) a calculator attached while 15 are written, from its
                                          // attach to its first data write (real ms): at most

// (f): the stalled calculator's stall (on the program's clock), and where the
// session's file goes on the calculator's disk.
constexpr std::uint32_t kStallMs = 20000;
constexpr qint64 kPipelineDiskOffset = 0x100000;

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool makeFile(const std::string &path, std::uint64_t bytes)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    std::vector<unsigned char> piece(1 << 20);
    std::uint32_t x = 12345;
    for (auto &b : piece) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    bool ok = true;
    for (std::uint64_t done = 0; ok && done < bytes; done += piece.size()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), bytes - done));
        ok = std::fwrite(piece.data(), 1, n, file) == n;
    }
    return std::fclose(file) == 0 && ok;
}

// Sends `path` to every simulated calculator as the session does: all of
// them found, 16 to a run; the result of the first failed run, or 0.
std::int32_t sendToEveryCalculator(const std::u16string &source)
{
    const std::vector<std::u16string> found = findEveryCalculatorDisk(kVendor, kProduct);
    std::int32_t result = found.empty() ? kNoCalculatorFound : kTransferOk;
    for (std::size_t first = 0; result == kTransferOk && first < found.size(); first += kMaxDevices) {
        const auto end = found.begin() + std::ptrdiff_t(std::min(found.size(), first + kMaxDevices));
        const std::vector<std::u16string> group(found.begin() + std::ptrdiff_t(first), end);
        result = runFirmwareTransferTo(group, source.c_str(), 0, nullptr, nullptr, nullptr, nullptr);
    }
    return result;
}

// Sends `path` to `count` simulated calculators; seconds taken, or -1 on
// failure. An unthrottled run first gives every calculator's disk its pages,
// so that the timed run measures the transfers, not the simulation's memory.
double simulated(const std::string &path, std::uint64_t bytes, int count, std::uint64_t bytesPerSecond)
{
    emulator::EmulatedDiskSystem disks;
    for (int i = 0; i < count; ++i) {
        emulator::Config config;
        config.identity.serial = "BENCH" + std::to_string(i + 1);
        config.diskBytes = bytes + (8u << 20);
        disks.attach(config);
    }
    platform::installDiskSystem(&disks);
    const std::u16string source = platform::fromUtf8(path);
    std::int32_t result = sendToEveryCalculator(source);
    for (const auto &calculator : disks.disks()) {
        emulator::Faults throttled = calculator->faults();
        throttled.bytesPerSecond = bytesPerSecond;
        calculator->setFaults(throttled);
    }
    const auto start = std::chrono::steady_clock::now();
    if (result == kTransferOk)
        result = sendToEveryCalculator(source);
    const double seconds = secondsSince(start);
    platform::installDiskSystem(nullptr);
    if (result != kTransferOk) {
        std::fprintf(stderr, "simulated transfer failed with %d\n", result);
        return -1;
    }
    return seconds;
}

// The dd-like baseline: aligned 16384-byte pwrite()s with O_DIRECT | O_SYNC.
// With `exchanges`, the same loop makes the exchanges a transfer makes with
// the calculator, at the same points, with plain pwrite()/pread() at the
// command area: the opening read, a progress report (a 512-byte command
// block, its reply read back) at 0, after each chunk that raises the
// percentage (up to 99), and at 100 after the flush, then the closing read.
// 101 exchanges for any file of 100 chunks or more.
double baseline(const std::string &device, const std::string &path, std::uint64_t bytes, bool exchanges = false)
{
    const int out = ::open(device.c_str(), O_RDWR | O_DIRECT | O_SYNC | O_CLOEXEC);
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    auto *buffer = static_cast<std::uint8_t *>(platform::allocAligned(kChunkSize));
    auto *block = static_cast<std::uint8_t *>(platform::allocAligned(kChunkSize));
    double seconds = -1;
    if (out >= 0 && in >= 0 && buffer != nullptr && block != nullptr) {
        const auto exchange = [&](std::uint32_t percent) {
            if (!exchanges)
                return true;
            std::memset(block, 0, kCommandBlockSize);
            le::write32(block + kBlockMagicAt, kCommandMagic);
            std::memcpy(block + kBlockTagAt, kCommandTag, sizeof kCommandTag);
            le::write32(block + kBlockLengthAt, kCommandBlockSize);
            le::write32(block + kBlockCodeAt, kCmdProgress);
            le::write32(block + kBlockArgumentAt, percent);
            return ::pwrite(out, block, kCommandBlockSize, kCommandOffset) == ssize_t(kCommandBlockSize) &&
                   ::pread(out, block, kCommandBlockSize, kCommandOffset) == ssize_t(kCommandBlockSize);
        };
        const auto areaRead = [&](std::uint32_t length) {
            return !exchanges || ::pread(out, buffer, length, kCommandOffset) == ssize_t(length);
        };
        const auto start = std::chrono::steady_clock::now();
        bool ok = areaRead(kOpeningReadLength) && exchange(0);
        std::uint32_t lastPercent = 0;
        for (std::uint64_t at = 0; ok && at < bytes; at += kChunkSize) {
            ok = ::read(in, buffer, kChunkSize) == ssize_t(kChunkSize) &&
                 ::pwrite(out, buffer, kChunkSize, off_t(0x100000 + at)) == ssize_t(kChunkSize);
            const std::uint64_t done = at + kChunkSize;
            if (!ok || done >= bytes)
                continue;
            const auto percent = std::uint32_t(double(done) * 100.0 / double(bytes));
            if (percent > lastPercent) {
                lastPercent = percent >= 100 ? kHighestRunningPercent : percent;
                ok = exchange(lastPercent);
            }
        }
        ok = ok && ::fsync(out) == 0 && exchange(100) && areaRead(kClosingReadLength);
        seconds = ok ? secondsSince(start) : -1;
    }
    platform::freeAligned(block);
    platform::freeAligned(buffer);
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ::close(out);
    return seconds;
}

double engineOnDevice(const std::string &path)
{
    const std::u16string source = platform::fromUtf8(path);
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = runFirmwareTransfer(kVendor, kProduct, source.c_str(), 0x100000, nullptr, nullptr);
    const double seconds = secondsSince(start);
    if (result != kTransferOk) {
        std::fprintf(stderr, "transfer onto the loop device failed with %d\n", result);
        return -1;
    }
    return seconds;
}

// CPU seconds (user and system, every thread) the process `pid` has used so
// far, from /proc/<pid>/stat; -1 when that cannot be read.
double cpuSeconds(qint64 pid)
{
    QFile file(QString("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = file.readAll();
    const int nameEnd = text.lastIndexOf(')'); // the name may hold spaces and ')'
    const QList<QByteArray> fields = text.mid(nameEnd + 2).split(' ');
    // fields[0] is field 3 (the state); utime and stime are fields 14 and 15.
    if (nameEnd < 0 || fields.size() < 13)
        return -1;
    return double(fields[11].toULongLong() + fields[12].toULongLong()) / double(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The runs of one side of a comparison.
struct Series {
    std::vector<double> seconds; // one a run; -1 for a run that failed
    double daemonCpu = 0;        // CPU seconds of the device's process over all runs; -1: unknown

    bool failed() const
    {
        return seconds.empty() || *std::min_element(seconds.begin(), seconds.end()) < 0;
    }
    double best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double median() const { return ::median(seconds); }
};

// One run of `body` (seconds, or -1) into `series`, with the CPU time the
// process `daemon` (tavix-calcfs; 0: none) spent meanwhile.
template <typename Body>
void measure(Series &series, qint64 daemon, Body body)
{
    const double before = daemon != 0 ? cpuSeconds(daemon) : -1;
    series.seconds.push_back(body());
    const double after = daemon != 0 ? cpuSeconds(daemon) : -1;
    series.daemonCpu = before < 0 || after < 0 || series.daemonCpu < 0 ? -1 : series.daemonCpu + after - before;
}

struct Comparison {
    Series baseline, exchanges, engine; // the plain loop, the plain loop with the exchanges, the engine
};

// The baseline and the engine onto `node` (the device the installed disk
// system finds): one warm-up each, then `runs` rounds of one run of each, so
// that a change of the machine's load falls on both sides alike. The side
// that goes first alternates: whatever the first run of a round leaves behind
// (a device still busy, a calculator's grown trace) falls on both.
Comparison compare(const std::string &node, const std::string &path, std::uint64_t bytes, int runs,
                   qint64 daemon)
{
    Comparison c;
    baseline(node, path, bytes);
    baseline(node, path, bytes, true);
    engineOnDevice(path);
    for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 3; ++side) {
            switch ((side + run) % 3) {
            case 0:
                measure(c.baseline, daemon, [&] { return baseline(node, path, bytes); });
                break;
            case 1:
                measure(c.exchanges, daemon, [&] { return baseline(node, path, bytes, true); });
                break;
            default:
                measure(c.engine, daemon, [&] { return engineOnDevice(path); });
                break;
            }
        }
    }
    return c;
}

void seriesLine(const char *what, std::uint64_t bytes, const Series &series)
{
    if (series.failed()) {
        std::printf("%-56s failed\n", what);
        return;
    }
    std::printf("%-56s median %7.1f MB/s  best %7.1f MB/s", what, double(bytes) / series.median() / 1e6,
                double(bytes) / series.best() / 1e6);
    if (series.daemonCpu >= 0)
        std::printf("  tavix-calcfs CPU %.2f s a run", series.daemonCpu / double(series.seconds.size()));
    std::printf("\n");
}

// Whether `figure` meets its goal (`atMost`: from above); a miss is said.
bool meets(const char *what, double figure, double goal, bool atMost)
{
    if (atMost ? figure <= goal : figure >= goal)
        return true;
    std::printf("    goal missed: %s %.3f, goal %s %.3f\n", what, figure, atMost ? "at most" : "at least", goal);
    return false;
}

// The sides' lines and their ratios; false when a run failed, or when
// `exchangesGoal` (0: none) is missed by the engine beside the loop with the
// exchanges.
bool comparisonLines(const char *section, std::uint64_t bytes, const Comparison &c, double exchangesGoal)
{
    seriesLine((std::string(section) + ", plain O_DIRECT|O_SYNC pwrite loop").c_str(), bytes, c.baseline);
    seriesLine((std::string(section) + ", the same loop with the 101 exchanges").c_str(), bytes, c.exchanges);
    seriesLine((std::string(section) + ", transfer engine").c_str(), bytes, c.engine);
    if (c.baseline.failed() || c.exchanges.failed() || c.engine.failed())
        return false;
    // A round's runs met the same load: the median of the rounds' ratios is
    // the figure a busy machine disturbs least.
    const auto ratioLine = [&](const char *what, const Series &side) {
        std::vector<double> rounds;
        for (std::size_t run = 0; run < c.engine.seconds.size(); ++run)
            rounds.push_back(side.seconds[run] / c.engine.seconds[run]);
        std::printf("    engine / %s: of the medians %.3f, of the bests %.3f, median of the rounds %.3f; each round:",
                    what, side.median() / c.engine.median(), side.best() / c.engine.best(), median(rounds));
        for (const double ratio : rounds)
            std::printf(" %.3f", ratio);
        std::printf("\n");
        return median(rounds);
    };
    ratioLine("plain loop throughput", c.baseline);
    const double exchanges =
        ratioLine("loop with the exchanges (target >= 0.97 where the calculator answers)", c.exchanges);
    return exchangesGoal <= 0 || meets("engine / loop with the exchanges", exchanges, exchangesGoal, false);
}

// One transfer through `system` with every operation on the disk recorded:
// the command blocks the engine wrote at the command area, and how many of
// the replies it read back there carried the progress reply code. False when
// the transfer failed.
bool countExchanges(platform::DiskSystem &system, const std::string &path, int *blocks, int *answered)
{
    testsupport::RecordingDiskSystem recorder(system);
    platform::installDiskSystem(&recorder);
    const bool ok = engineOnDevice(path) >= 0;
    platform::installDiskSystem(&system);
    using testsupport::DiskOp;
    *blocks = int(recorder.transfers(DiskOp::Write, kCommandOffset, kCommandBlockSize).size());
    *answered = 0;
    for (const DiskOp &reply : recorder.transfers(DiskOp::Read, kCommandOffset, kCommandBlockSize))
        *answered += reply.bytes.size() == kCommandBlockSize &&
                     le::read32(reply.bytes.data() + kReplyCodeAt) == (kReplyFlag | kCmdProgress);
    return ok;
}

// Peak resident memory (KiB) of a child process that sends `path` onto the device.
long childPeakKiB(const std::string &path)
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(engineOnDevice(path) < 0 ? 1 : 0);
    int status = 0;
    struct rusage usage {};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

void line(const char *what, std::uint64_t bytes, int count, double seconds)
{
    if (seconds < 0) {
        std::printf("%-52s failed\n", what);
        return;
    }
    std::printf("%-52s %8.3f s  %8.1f MB/s per calculator  %8.1f MB/s in all\n", what, seconds,
                double(bytes) / seconds / 1e6, double(bytes) * count / seconds / 1e6);
}

// One transfer on the real clock, the settle pauses included.
double realClockRun(const std::string &path)
{
    platform::useSimulatedClock(false);
    const double seconds = engineOnDevice(path);
    platform::useSimulatedClock(true);
    return seconds;
}

// The comparison on the device `system` finds at `node`, the exchanges of one
// transfer and a run on the real clock; the number of failures (a missed
// `exchangesGoal` among them; 0: none).
int deviceSection(const char *section, platform::PosixDiskSystem &system, const std::string &node,
                  const std::string &path, std::uint64_t bytes, int runs, qint64 daemon, double exchangesGoal)
{
    platform::installDiskSystem(&system);
    int failures = !comparisonLines(section, bytes, compare(node, path, bytes, runs, daemon), exchangesGoal);
    int blocks = 0, answered = 0;
    if (countExchanges(system, path, &blocks, &answered))
        std::printf("    one transfer: %d exchanges at the command area, %d answered, %d refused\n", blocks, answered,
                    blocks - answered);
    else
        ++failures;
    const double real = realClockRun(path);
    line((std::string(section) + ", engine, real clock (pauses included)").c_str(), bytes, 1, real);
    failures += real < 0;
    return failures;
}

// (c) and (d): a plain loop device; the number of failures.
int loopSection(const QTemporaryDir &folder, const std::string &path, std::uint64_t bytes, int runs)
{
    testsupport::LoopCalculator device(testsupport::CalculatorIdentity(), qint64(bytes + (4u << 20)));
    if (!device.isReady()) {
        std::printf("(c) loop device: skipped (%s)\n", qPrintable(device.skipReason()));
        return 0;
    }
    platform::PosixDiskSystem system(device.sysfsRoot(), device.devRoot());
    platform::installDiskSystem(&system);
    // The peaks first: a child starts with what this process holds, and the
    // recorded transfer of (c) leaves this process larger.
    const std::string small = folder.filePath("small.bin").toStdString();
    const std::uint64_t smallBytes = std::max<std::uint64_t>(bytes / 8, 1u << 20);
    const bool smallMade = makeFile(small, smallBytes);
    const long smallPeak = smallMade ? childPeakKiB(small) : -1;
    const long largePeak = smallMade ? childPeakKiB(path) : -1;

    int failures =
        deviceSection("(c) loop device", system, device.loopDevice().toStdString(), path, bytes, runs, 0, 0);
    if (smallMade) {
        std::printf("(d) peak memory of a transfer: %ld KiB for %llu MiB, %ld KiB for %llu MiB\n", smallPeak,
                    static_cast<unsigned long long>(smallBytes >> 20), largePeak,
                    static_cast<unsigned long long>(bytes >> 20));
        failures += smallPeak < 0 || largePeak < 0;
    }
    platform::installDiskSystem(nullptr);
    return failures;
}

// What a calculator's trace shows of the transfers (each begins with its
// opening read): how many progress reports each one had accepted, and how
// many were refused in all. False when the trace cannot be read or shows none.
bool traceLine(const QString &tracePath)
{
    QFile trace(tracePath);
    if (!trace.open(QIODevice::ReadOnly))
        return false;
    std::vector<int> accepted;
    int refused = 0;
    for (const QByteArray &event : trace.readAll().split('\n')) {
        if (event == "opening-read")
            accepted.push_back(0);
        else if (event.startsWith("progress ") && !accepted.empty())
            ++accepted.back();
        else if (event.startsWith("refused progress "))
            ++refused;
    }
    if (accepted.empty())
        return false;
    const auto range = std::minmax_element(accepted.begin(), accepted.end());
    std::printf("    the calculator's trace: %zu transfers, %d to %d progress reports accepted in each, "
                "%d refused in all\n",
                accepted.size(), *range.first, *range.second, refused);
    return true;
}

// (e): a simulated calculator behind a loop device; the number of failures
// (a missed goal among them when `goals`).
int calcfsSection(const std::string &path, std::uint64_t bytes, int runs, bool goals)
{
    const QString missing = testsupport::KernelCalculators::missingPrerequisite();
    if (!missing.isEmpty()) {
        std::printf("(e) calcfs calculator: skipped (%s)\n", qPrintable(missing));
        return 0;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : environment.keys())
        if (name.startsWith("TAVIX_SIM_"))
            environment.remove(name); // no faults or speed limit of the caller's
    environment.insert("TAVIX_SIM_CALCULATORS", "1");
    // The file goes 1 MiB into the disk.
    environment.insert("TAVIX_SIM_DISK_MIB", QString::number((bytes >> 20) + 4));
    testsupport::KernelCalculators box;
    if (!box.start(environment) || box.disks().isEmpty()) {
        std::printf("(e) calcfs calculator: %s (%s)\n", box.machineRefused() ? "skipped" : "failed",
                    qPrintable(box.error()));
        return box.machineRefused() ? 0 : 1;
    }
    int failures = 0;
    {
        platform::PosixDiskSystem system(box.sysfsRoot().toStdString(), "/dev");
        failures += deviceSection("(e) calcfs calculator", system, box.disks()[0].device.toStdString(), path,
                                  bytes, runs, box.pid(), goals ? kExchangesGoal : 0);
        platform::installDiskSystem(nullptr);
    }
    if (!box.stop()) {
        std::printf("(e) calcfs calculator: tavix-calcfs did not stop cleanly\n");
        ++failures;
    }
    if (!traceLine(box.output() + "/calculator-1.trace")) {
        std::printf("(e) calcfs calculator: no transfer in the calculator's trace\n");
        ++failures;
    }
    const QString left = box.leftovers();
    if (!left.isEmpty()) {
        std::printf("(e) calcfs calculator: left behind: %s\n", qPrintable(left));
        ++failures;
    }
    return failures;
}

// --- (f) the session's pipelines ----------------------------------------------
//
// Whole sessions of the update worker on throttled simulated calculators, each
// calculator its own pipeline. They run on the real clock: the throttle and the
// stall are real time, and the worker's own pauses (its 500 ms watch while runs
// go, the engine's 100 ms settles) are part of what a person waits for. The
// simulated clock would make the worker's pauses free and its watch spin, and
// the event clock does not count the time real I/O takes. The countdown is cut
// to its last second with Start, as a person may, and every time is taken from
// the session's first transfer (the first row that says Writing), so the
// countdown is in none of the figures.
// --clock-scale runs the worker's pauses faster (the scaled clock) for the
// smoke run; its figures say nothing and no goal is checked on them.

using SteadyTime = std::chrono::steady_clock::time_point;

double secondsBetween(SteadyTime from, SteadyTime to)
{
    return std::chrono::duration<double>(to - from).count();
}

// A disk system over the simulated calculators that notes, for each one, when
// its first data write (at or past the file's disk offset) was issued, where
// its transfer really begins after the engine's opening exchanges and settles,
// and when the engine let go of its disk after data was written: the end of
// its run, its file through. (The worker shows the last calculator updated
// only after it has read the release again, which a session where others are
// still written does not wait for: the end of the run is the fair moment.)
class DataWriteTimes : public platform::DiskSystem {
public:
    DataWriteTimes(platform::DiskSystem &inner, std::int64_t dataOffset) : inner_(inner), dataOffset_(dataOffset) {}

    void enumerateDiskInterfaces(const platform::InterfaceVisitor &visit) override
    {
        inner_.enumerateDiskInterfaces(visit);
    }
    platform::Handle openDisk(const char16_t *path) override
    {
        const platform::Handle disk = inner_.openDisk(path);
        return disk == platform::kInvalidHandle ? disk : new Disk(*this, disk, path);
    }
    platform::Handle openFile(const char16_t *path) override { return inner_.openFile(path); }

    // When the calculator at `path` was first sent data, and when the last
    // run that sent it data ended; the epoch where none did.
    SteadyTime firstWrite(const std::u16string &path) const { return timeOf(first_, path); }
    SteadyTime runEnd(const std::u16string &path) const { return timeOf(end_, path); }

private:
    class Disk : public platform::File {
    public:
        Disk(DataWriteTimes &owner, platform::Handle inner, std::u16string path)
            : owner_(owner), inner_(inner), path_(std::move(path))
        {
        }
        ~Disk() override
        {
            platform::closeHandle(inner_);
            if (wrote_)
                owner_.noteEnd(path_);
        }
        bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override
        {
            const bool ok = inner_->read(buffer, length, moved);
            position_ += *moved;
            return ok;
        }
        bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
        {
            if (position_ >= owner_.dataOffset_ && !wrote_) {
                wrote_ = true;
                owner_.noteFirst(path_);
            }
            const bool ok = inner_->write(buffer, length, moved);
            position_ += *moved;
            return ok;
        }
        std::int64_t seek(std::int64_t offset, platform::SeekOrigin origin) override
        {
            const std::int64_t result = inner_->seek(offset, origin);
            if (result >= 0)
                position_ = result;
            return result;
        }
        bool flush() override { return inner_->flush(); }
        std::int64_t size() override { return inner_->size(); }
        std::uint32_t sectorSize() override { return inner_->sectorSize(); }

    private:
        DataWriteTimes &owner_;
        platform::Handle inner_;
        std::u16string path_;
        std::int64_t position_ = 0; // a disk opens at 0
        bool wrote_ = false;        // data went through this handle
    };

    void noteFirst(const std::u16string &path)
    {
        const SteadyTime now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        first_.emplace(path, now); // an earlier one stays
    }
    void noteEnd(const std::u16string &path)
    {
        const SteadyTime now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        end_[path] = now;
    }
    SteadyTime timeOf(const std::map<std::u16string, SteadyTime> &times, const std::u16string &path) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = times.find(path);
        return found == times.end() ? SteadyTime() : found->second;
    }

    platform::DiskSystem &inner_;
    const std::int64_t dataOffset_;
    mutable std::mutex mutex_;
    std::map<std::u16string, SteadyTime> first_; // under mutex_
    std::map<std::u16string, SteadyTime> end_;   // under mutex_
};

// What the worker's rows said of one calculator, and when.
struct RowTimes {
    SteadyTime writing{}; // its row first said Writing (the epoch: never)
    SteadyTime updated{}; // its row first said Updated (the epoch: never)
    int silentS = 0;      // the longest "not answering" its row showed, in seconds
};

// What runs on the bench's thread while a session's worker runs: `started`
// is when its loop was started; `ended`, set once process() has returned.
using Meanwhile = std::function<void(CUpdateWorker &worker, SteadyTime started, const std::atomic<bool> &ended)>;

// Runs one session of the worker on the calculators the installed disk
// system holds, as the window would: the countdown armed when a calculator
// is found, and Start pressed at once unless `station`. Without `station` the
// session runs to "Done"; the station never ends by itself, `meanwhile`
// (which runs on this thread while the worker's runs) stops it. False when
// the session gave up instead (without `station`).
bool runPipelineSession(const std::shared_ptr<const CFixedRelease> &release, std::map<QString, RowTimes> &rows,
                        const Meanwhile &meanwhile, bool station = false)
{
    CUpdateWorker worker;
    bool done = false;
    QObject::connect(&worker, &CUpdateWorker::foundDevice, [&worker, station] {
        worker.armCountdown();
        if (!station)
            worker.startNow(); // the teacher at the cart lets the countdown run
    });
    QObject::connect(&worker, &CUpdateWorker::updaterRan, [&](NextStep next) {
        if (next.kind != NextStep::Done && next.kind != NextStep::GiveUp)
            return;
        done = next.kind == NextStep::Done;
        worker.requestStop();
    });
    // The worker's thread: read here once it has been joined.
    QObject::connect(&worker, &CUpdateWorker::calculatorsChanged, [&rows](const QVector<CalculatorView> &now) {
        const SteadyTime at = std::chrono::steady_clock::now();
        for (const CalculatorView &row : now) {
            RowTimes &times = rows[row.identity];
            if (row.state == CalculatorView::Writing && times.writing == SteadyTime())
                times.writing = at;
            if (row.state == CalculatorView::Updated && times.updated == SteadyTime())
                times.updated = at;
            times.silentS = std::max(times.silentS, row.silentSeconds);
        }
    });
    worker.setStation(station);
    worker.beginRelease(release);
    std::atomic<bool> ended{false};
    const SteadyTime started = std::chrono::steady_clock::now();
    std::thread thread([&] {
        worker.process();
        ended.store(true);
    });
    if (meanwhile)
        meanwhile(worker, started, ended);
    thread.join();
    return done;
}

// The sessions of (f).
enum class Pipelines {
    One,       // one calculator
    Sixteen,   // 16 at once
    Stalled,   // 16, the first one stalled for kStallMs halfway through its file
    ThirtyTwo, // 32: 16 at once, each of the others as soon as one ends
    Late,      // 15, and a 16th attached while they are halfway through their file
};
constexpr int kPipelineKinds = 5;

// What one session of (f) showed.
struct PipelineSession {
    bool ok = false;              // "Done", each calculator's row said Updated (the late one was written)
    std::vector<double> endS;     // by calculator in attach order: from the first transfer to the end of its run
    std::vector<int> silentS;     // by calculator: the longest "not answering" its row showed
    double lateStartMs = -1;      // Late: from its attach to its first data write
    double lateFoundMs = -1;      // Late: from its attach to its row saying Writing (found and started)
    int othersWriting = 0;        // Late: the other calculators not yet updated at its first data write

    // The end of the last run among the calculators [from, to).
    double lastEnd(std::size_t from, std::size_t to) const
    {
        return *std::max_element(endS.begin() + std::ptrdiff_t(from), endS.begin() + std::ptrdiff_t(to));
    }
};

// The serial of the (i+1)-th calculator of a session, as its row names it.
QString serialOf(int i)
{
    return QStringLiteral("PIPE%1").arg(i + 1);
}

// One session of `kind` with the release's file (`bytes`), each calculator
// throttled to `rate`.
PipelineSession pipelineSession(Pipelines kind, const std::shared_ptr<const CFixedRelease> &release,
                                std::uint64_t bytes, std::uint64_t rate)
{
    const int count = kind == Pipelines::One ? 1 : kind == Pipelines::ThirtyTwo ? 32 : 16;
    emulator::EmulatedDiskSystem disks;
    std::vector<std::shared_ptr<emulator::Calculator>> calculators;
    std::vector<std::u16string> paths;
    for (int i = 0; i < count; ++i) {
        emulator::Config config;
        config.identity.serial = serialOf(i).toStdString();
        config.diskBytes = bytes + (8u << 20);
        calculators.push_back(disks.attach(config));
        paths.push_back(calculators.back()->devicePath());
    }
    // An unthrottled run first gives every calculator's disk its pages, as in
    // (a) and (b); then the throttle, the stall and the late attach.
    platform::installDiskSystem(&disks);
    const std::u16string source = release->files()[0].path.toStdU16String();
    bool ready = true;
    for (std::size_t first = 0; ready && first < paths.size(); first += kMaxDevices) {
        const auto end = paths.begin() + std::ptrdiff_t(std::min(paths.size(), first + kMaxDevices));
        const std::vector<std::u16string> group(paths.begin() + std::ptrdiff_t(first), end);
        ready = runFirmwareTransferTo(group, source.c_str(), kPipelineDiskOffset, nullptr, nullptr, nullptr,
                                      nullptr) == kTransferOk;
    }
    platform::installDiskSystem(nullptr);
    if (!ready)
        return PipelineSession();
    std::vector<std::uint64_t> halfway; // each calculator's data bytes once halfway through its file
    for (int i = 0; i < count; ++i) {
        emulator::Calculator &calculator = *calculators[std::size_t(i)];
        halfway.push_back(calculator.dataBytesWritten() + bytes / 2);
        emulator::Faults faults = calculator.faults();
        faults.bytesPerSecond = rate;
        if (kind == Pipelines::Stalled && i == 0) {
            faults.stallAfterBytes = std::int64_t(halfway.back());
            faults.stallMs = kStallMs;
        }
        if (kind == Pipelines::Late && i == count - 1)
            faults.attachAtMs = UINT64_MAX; // until the others are halfway
        calculator.setFaults(faults);
    }
    DataWriteTimes watched(disks, kPipelineDiskOffset);
    platform::installDiskSystem(&watched);

    // Late: attached when every other one has written half its file. The
    // calculator is present from the moment its attach time is set; the
    // worker finds it at its next look, every 500 ms while runs go.
    SteadyTime attached{};
    const auto attachLate = [&](CUpdateWorker &, SteadyTime, const std::atomic<bool> &ended) {
        const auto othersHalfway = [&] {
            for (int i = 0; i + 1 < count; ++i)
                if (calculators[std::size_t(i)]->dataBytesWritten() < halfway[std::size_t(i)])
                    return false;
            return true;
        };
        while (!ended.load() && !othersHalfway())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        emulator::Faults faults = calculators.back()->faults();
        faults.attachAtMs = platform::nowMs();
        attached = std::chrono::steady_clock::now();
        calculators.back()->setFaults(faults);
    };
    std::map<QString, RowTimes> rows;
    PipelineSession session;
    session.ok = runPipelineSession(release, rows, kind == Pipelines::Late ? Meanwhile(attachLate) : nullptr);
    platform::installDiskSystem(nullptr);

    SteadyTime first = SteadyTime::max();
    for (const auto &row : rows)
        if (row.second.writing != SteadyTime())
            first = std::min(first, row.second.writing);
    for (int i = 0; i < count; ++i) {
        const SteadyTime end = watched.runEnd(paths[std::size_t(i)]);
        session.ok = session.ok && rows[serialOf(i)].updated != SteadyTime() && end != SteadyTime();
        session.endS.push_back(secondsBetween(first, end));
        session.silentS.push_back(rows[serialOf(i)].silentS);
    }
    const SteadyTime wrote = watched.firstWrite(paths.back());
    if (kind == Pipelines::Late && session.ok && wrote != SteadyTime()) {
        session.lateStartMs = secondsBetween(attached, wrote) * 1000;
        session.lateFoundMs = secondsBetween(attached, rows[serialOf(count - 1)].writing) * 1000;
        for (int i = 0; i + 1 < count; ++i)
            session.othersWriting += watched.runEnd(paths[std::size_t(i)]) > wrote;
    } else if (kind == Pipelines::Late) {
        session.ok = false;
    }
    return session;
}

const char *const kPipelineNames[kPipelineKinds] = {
    "1 calculator", "16 calculators", "16 calculators, the first one stalled",
    "32 calculators", "15 calculators and a 16th attached halfway"};

// The rounds' ratios: their median, and each round's.
void ratiosLine(const char *what, const std::vector<double> &ratios)
{
    std::printf("    %s: median of the rounds %.3f; each round:", what, median(ratios));
    for (const double ratio : ratios)
        std::printf(" %.3f", ratio);
    std::printf("\n");
}

// The release as the window hands it over: the one file at `path`, fixed
// (copied and hashed); null, with the reason in *failure, when it could not be.
std::shared_ptr<const CFixedRelease> fixRelease(const std::string &path, std::uint64_t bytes,
                                                CFixedRelease::Failure *failure)
{
    const QString source = QString::fromStdString(path).replace('/', '\\');
    return CFixedRelease::fix({{source, QStringLiteral("firmware.bin"), qint64(bytes), kPipelineDiskOffset, QString()}},
                              failure);
}

// (f): `runs` rounds of the five sessions, the kind that goes first turning
// from round to round, so that a round's sessions meet the same load; the
// worker's pauses `scale` times shorter (1: the real clock). The number of
// failures (a missed goal among them when `goals` and on the real clock).
int pipelinesSection(const std::string &path, std::uint64_t bytes, std::uint64_t rate, int runs, bool goals,
                     std::uint32_t scale)
{
    CFixedRelease::Failure failure;
    const std::shared_ptr<const CFixedRelease> release = fixRelease(path, bytes, &failure);
    if (!release) {
        std::printf("(f) the session's pipelines: the release could not be fixed (%s)\n",
                    qPrintable(failure.name));
        return 1;
    }
    platform::useScaledClock(scale);
    std::vector<PipelineSession> sessions[kPipelineKinds];
    int failed = -1; // the kind of the session that failed
    for (int run = 0; failed < 0 && run < runs; ++run) {
        for (int k = 0; failed < 0 && k < kPipelineKinds; ++k) {
            const int which = (k + run) % kPipelineKinds;
            sessions[which].push_back(pipelineSession(Pipelines(which), release, bytes, rate));
            if (!sessions[which].back().ok)
                failed = which;
        }
    }
    platform::useSimulatedClock(true);
    if (failed >= 0) {
        std::printf("(f) the session's pipelines: a session of %s failed (not \"Done\", or a calculator "
                    "never shown updated or never written)\n",
                    kPipelineNames[failed]);
        return 1;
    }

    const auto figures = [&](Pipelines kind, const std::function<double(const PipelineSession &)> &figure) {
        std::vector<double> values;
        for (const PipelineSession &session : sessions[int(kind)])
            values.push_back(figure(session));
        return values;
    };
    const auto perRound = [](const std::vector<double> &top, const std::vector<double> &bottom) {
        std::vector<double> ratios;
        for (std::size_t r = 0; r < top.size(); ++r)
            ratios.push_back(top[r] / bottom[r]);
        return ratios;
    };
    const auto worst = [](const std::vector<double> &values) { return *std::max_element(values.begin(), values.end()); };
    const std::vector<double> one = figures(Pipelines::One, [](const PipelineSession &s) { return s.endS[0]; });
    const std::vector<double> sixteen =
        figures(Pipelines::Sixteen, [](const PipelineSession &s) { return s.lastEnd(0, 16); });
    const std::vector<double> sameFifteen =
        figures(Pipelines::Sixteen, [](const PipelineSession &s) { return s.lastEnd(1, 16); });
    const std::vector<double> besideStall =
        figures(Pipelines::Stalled, [](const PipelineSession &s) { return s.lastEnd(1, 16); });
    const std::vector<double> stalled =
        figures(Pipelines::Stalled, [](const PipelineSession &s) { return s.endS[0]; });
    const std::vector<double> stalledSilent =
        figures(Pipelines::Stalled, [](const PipelineSession &s) { return double(s.silentS[0]); });
    const std::vector<double> othersSilent = figures(Pipelines::Stalled, [](const PipelineSession &s) {
        return double(*std::max_element(s.silentS.begin() + 1, s.silentS.end()));
    });
    const std::vector<double> thirtyTwo =
        figures(Pipelines::ThirtyTwo, [](const PipelineSession &s) { return s.lastEnd(0, 32); });
    const std::vector<double> lateStart =
        figures(Pipelines::Late, [](const PipelineSession &s) { return s.lateStartMs; });
    const std::vector<double> lateFound =
        figures(Pipelines::Late, [](const PipelineSession &s) { return s.lateFoundMs; });
    const std::vector<double> othersWriting =
        figures(Pipelines::Late, [](const PipelineSession &s) { return double(s.othersWriting); });

    std::printf("(f) the session's pipelines: from the first transfer to the end of the calculators' runs%s\n",
                scale == 1 ? "" : qPrintable(QString(", the worker's pauses %1 times shorter").arg(scale)));
    line("(f) 1 calculator through the session (median)", bytes, 1, median(one));
    line("(f) 16 calculators through the session (median)", bytes, 16, median(sixteen));
    line("(f) 32 through the session, 16 at once (median)", bytes, 32, median(thirtyTwo));
    std::printf("(f) 16, the first stalled %u s halfway: the other 15 %.3f s (the same 15 without the stall "
                "%.3f s), the stalled one %.3f s (medians); its row \"not answering\" up to %.0f s, the "
                "others' up to %.0f s\n",
                kStallMs / 1000, median(besideStall), median(sameFifteen), median(stalled), worst(stalledSilent),
                worst(othersSilent));
    const std::vector<double> stallRatios = perRound(besideStall, sameFifteen);
    const std::vector<double> thirtyTwoRatios = perRound(thirtyTwo, one);
    ratiosLine("the 15 beside the stall / the same 15 without it (target <= 1.1)", stallRatios);
    ratiosLine("time of 16 / time of 1 through the session", perRound(sixteen, one));
    ratiosLine("time of 32 / time of 1 through the session (target <= 2.1)", thirtyTwoRatios);
    // "Found" is the worker's discovery, which looks every 500 ms while runs
    // go: attach to the first write holds up to 500 ms of it, then the run's
    // start (its opening exchanges and two 100 ms settles).
    std::printf("(f) a 16th attached while 15 write: to its first data write median %.0f ms, worst %.0f ms "
                "(target <= %.0f ms); to its row saying Writing median %.0f ms, worst %.0f ms; the others "
                "still being written then: at least %.0f of 15; each round (ms):",
                median(lateStart), worst(lateStart), kLateStartGoalMs, median(lateFound), worst(lateFound),
                *std::min_element(othersWriting.begin(), othersWriting.end()));
    for (const double ms : lateStart)
        std::printf(" %.0f", ms);
    std::printf("\n");
    if (!goals)
        return 0;
    if (scale != 1) {
        std::printf("    (f) on a clock %u times faster: no goal checked\n", scale);
        return 0;
    }
    int failures = 0;
    failures += !meets("the 15 beside the stall / the same 15", median(stallRatios), kStalledGoal, true);
    failures += !meets("time of 32 / time of 1 through the session", median(thirtyTwoRatios), kThirtyTwoGoal, true);
    failures += !meets("attach to first data write (ms, worst)", worst(lateStart), kLateStartGoalMs, true);
    failures += !meets("others still being written at the 16th's first write",
                       *std::min_element(othersWriting.begin(), othersWriting.end()), 15, false);
    return failures;
}

// (g): the cart station. 30 calculators through a hub of 10 ports, each
// pulled out kCartSwapMs after its end of session and the next one plugged
// into its port; the file at most kStationMaxBytes, so that the section's
// rounds stay near two minutes (its time is mostly the fixed pauses).
constexpr std::size_t kCartCalculators = 30;
constexpr std::uint32_t kCartPorts = 10;
constexpr std::uint64_t kCartSwapMs = 2000;
constexpr std::uint64_t kStationMaxBytes = 8u << 20;
constexpr double kStationGoal = 1.10; // (g) the station's time / its ideal: at most

// What the worker costs from its start to its first transfer when the
// countdown runs out by itself: the pause before its first pass, the pass
// that finds a calculator (two poll pauses), the countdown's passes of one
// step each, and the pause before the transfer.
constexpr std::uint64_t kFirstCountdownCostMs =
    session_rules::kStartPauseMs + 2 * session_rules::kPollPauseMs +
    std::uint64_t((session_rules::kCountdownMs + session_rules::kCountdownStepMs - 1) /
                  session_rules::kCountdownStepMs) * session_rules::kCountdownPauseMs +
    session_rules::kBeforeTransferPauseMs;

// What one station session showed; the times in seconds from the worker's
// start, by calculator in plugging order.
struct StationSession {
    bool ok = false;          // each calculator told its end of session, every one served
    double totalS = -1;       // the last one told its end of session
    std::vector<double> pluggedS, firstWriteS, runEndS, toldS;
};

// One station session: the cart's first calculators plugged in before the
// worker starts; the cart polled every 20 ms on this thread, which also notes
// when each calculator's trace first shows its end of session (so a time is
// up to one poll late).
StationSession stationSession(const std::shared_ptr<const CFixedRelease> &release, std::uint64_t bytes,
                              std::uint64_t rate)
{
    emulator::EmulatedDiskSystem disks;
    std::vector<emulator::Config> configs;
    for (std::size_t i = 0; i < kCartCalculators; ++i) {
        emulator::Config config;
        config.identity.serial = "CART" + std::to_string(i + 1);
        config.diskBytes = bytes + (8u << 20);
        config.faults.bytesPerSecond = rate;
        configs.push_back(config);
    }
    emulator::Cart cart(disks, configs, kCartPorts, kCartSwapMs, std::string());
    DataWriteTimes watched(disks, kPipelineDiskOffset);
    platform::installDiskSystem(&watched);
    cart.start();
    // Far beyond any sane run: a worker that stops taking calculators ends
    // the session as failed instead of hanging the bench.
    const double limitS = 600.0;
    StationSession session;
    std::vector<SteadyTime> plugged, told;
    SteadyTime start{};
    bool served = true;
    const auto drive = [&](CUpdateWorker &worker, SteadyTime started, const std::atomic<bool> &ended) {
        start = started;
        std::size_t toldCount = 0;
        while (!ended.load() && toldCount < kCartCalculators && secondsSince(started) < limitS) {
            std::string error;
            if (!cart.poll(&error)) {
                std::printf("(g) the cart: %s\n", error.c_str());
                served = false;
            }
            const SteadyTime now = std::chrono::steady_clock::now();
            const auto &all = cart.plugged();
            while (plugged.size() < all.size()) {
                plugged.push_back(plugged.size() < kCartPorts ? started : now);
                told.push_back(SteadyTime());
            }
            for (std::size_t i = 0; i < all.size(); ++i) {
                if (told[i] != SteadyTime())
                    continue;
                const std::vector<std::string> trace = all[i]->trace();
                if (std::find(trace.begin(), trace.end(), "end-session") != trace.end()) {
                    told[i] = now;
                    ++toldCount;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        worker.requestStop();
    };
    std::map<QString, RowTimes> rows;
    runPipelineSession(release, rows, drive, true);
    platform::installDiskSystem(nullptr);

    session.ok = served && told.size() == kCartCalculators;
    for (std::size_t i = 0; session.ok && i < kCartCalculators; ++i) {
        const std::u16string path = cart.plugged()[i]->devicePath();
        const SteadyTime wrote = watched.firstWrite(path), end = watched.runEnd(path);
        session.ok = told[i] != SteadyTime() && wrote != SteadyTime() && end != SteadyTime();
        session.pluggedS.push_back(secondsBetween(start, plugged[i]));
        session.firstWriteS.push_back(secondsBetween(start, wrote));
        session.runEndS.push_back(secondsBetween(start, end));
        session.toldS.push_back(secondsBetween(start, told[i]));
    }
    if (session.ok)
        session.totalS = *std::max_element(session.toldS.begin(), session.toldS.end());
    return session;
}

// (g): `runs` rounds, each of one calculator through a session (the ideal's
// time for the release, as (f) measures it) and of the station; the worker's
// pauses and the cart's swap `scale` times shorter. The number of failures (a
// missed goal among them when `goals` and on the real clock).
int stationSection(const QTemporaryDir &folder, const std::string &path, std::uint64_t bytes, std::uint64_t rate,
                   int runs, bool goals, std::uint32_t scale)
{
    // A smaller file of its own when the bench's is larger than the station's cap.
    const std::uint64_t stationBytes = std::min(bytes, kStationMaxBytes);
    std::string stationPath = path;
    if (stationBytes != bytes) {
        stationPath = folder.filePath("station.bin").toStdString();
        if (!makeFile(stationPath, stationBytes)) {
            std::printf("(g) the cart station: cannot make its firmware file\n");
            return 1;
        }
    }
    CFixedRelease::Failure failure;
    const std::shared_ptr<const CFixedRelease> release = fixRelease(stationPath, stationBytes, &failure);
    if (!release) {
        std::printf("(g) the cart station: the release could not be fixed (%s)\n", qPrintable(failure.name));
        return 1;
    }
    const std::size_t waves = (kCartCalculators + kCartPorts - 1) / kCartPorts;
    platform::useScaledClock(scale);
    std::vector<double> totals, ones, ideals, ratios;
    std::vector<StationSession> sessions;
    bool ok = true;
    for (int run = 0; ok && run < runs; ++run) {
        const PipelineSession one = pipelineSession(Pipelines::One, release, stationBytes, rate);
        sessions.push_back(stationSession(release, stationBytes, rate));
        ok = one.ok && sessions.back().ok;
        if (!ok)
            break;
        // The first countdown, three waves of (the settle + one calculator's
        // time for the release), the two swaps between waves.
        const double fixedMs = double(kFirstCountdownCostMs) + double(waves) * session_rules::kStationSettleMs +
                               double(waves - 1) * kCartSwapMs;
        ones.push_back(one.endS[0]);
        ideals.push_back(fixedMs / scale / 1000.0 + double(waves) * one.endS[0]);
        totals.push_back(sessions.back().totalS);
        ratios.push_back(totals.back() / ideals.back());
    }
    platform::useSimulatedClock(true);
    if (!ok) {
        std::printf("(g) the cart station: a session failed (a calculator never told its end of session, "
                    "never written, or not served)\n");
        return 1;
    }
    std::printf("(g) the cart station: %zu calculators, %u ports, a %llu MiB file, a %.1f s swap%s; from the "
                "worker's start to the last calculator's end of session\n",
                kCartCalculators, kCartPorts, static_cast<unsigned long long>(stationBytes >> 20),
                kCartSwapMs / 1000.0 / scale,
                scale == 1 ? "" : qPrintable(QString(", the worker's pauses %1 times shorter").arg(scale)));
    line("(g) 30 calculators through the station (median)", stationBytes, int(kCartCalculators), median(totals));
    std::printf("(g) ideal %.3f s (median) = the first countdown %.3f s + %zu x (the settle %.3f s + one "
                "calculator %.3f s) + %zu x the swap %.3f s\n",
                median(ideals), kFirstCountdownCostMs / 1000.0 / scale, waves,
                session_rules::kStationSettleMs / 1000.0 / scale, median(ones), waves - 1,
                kCartSwapMs / 1000.0 / scale);
    ratiosLine("the station's time / its ideal (target <= 1.10)", ratios);
    // The first wave has no settle of its own (the countdown is its settle):
    // the ideal without it, for comparison; the goal keeps the formula above.
    std::vector<double> twoSettleRatios;
    for (std::size_t r = 0; r < totals.size(); ++r)
        twoSettleRatios.push_back(totals[r] / (ideals[r] - session_rules::kStationSettleMs / 1000.0 / scale));
    ratiosLine("the same, the first wave's settle left out of the ideal (no goal)", twoSettleRatios);
    // Where the time went, wave by wave, in the round nearest the median.
    std::size_t middle = 0;
    for (std::size_t r = 1; r < totals.size(); ++r)
        if (std::abs(totals[r] - median(totals)) < std::abs(totals[middle] - median(totals)))
            middle = r;
    const StationSession &shown = sessions[middle];
    for (std::size_t w = 0; w < waves; ++w) {
        const std::size_t from = w * kCartPorts, to = std::min(kCartCalculators, from + kCartPorts);
        const auto range = [&](const std::vector<double> &v) {
            return std::make_pair(*std::min_element(v.begin() + std::ptrdiff_t(from), v.begin() + std::ptrdiff_t(to)),
                                  *std::max_element(v.begin() + std::ptrdiff_t(from), v.begin() + std::ptrdiff_t(to)));
        };
        const auto plugged = range(shown.pluggedS), wrote = range(shown.firstWriteS), ended = range(shown.runEndS),
                   told = range(shown.toldS);
        std::printf("    round %zu, wave %zu (s from the worker's start): plugged %.2f-%.2f, first data write %.2f-%.2f, "
                    "runs ended %.2f-%.2f, told %.2f-%.2f\n",
                    middle + 1, w + 1, plugged.first, plugged.second, wrote.first, wrote.second, ended.first, ended.second,
                    told.first, told.second);
    }
    if (!goals)
        return 0;
    if (scale != 1) {
        std::printf("    (g) on a clock %u times faster: no goal checked\n", scale);
        return 0;
    }
    return !meets("the station's time / its ideal", median(ratios), kStationGoal, true);
}

// (a) and (b): simulated calculators, throttled to `rate` and unthrottled;
// the number of failures (a missed goal among them when `goals`).
int simulatedSection(const std::string &path, std::uint64_t bytes, std::uint64_t rate, int runs, bool goals)
{
    int failures = 0;
    // Rounds of 1, 16 and 32, the count that goes first turning from round to
    // round: a round's three runs meet the same load, and the median of the
    // rounds' ratios is the figure a busy machine disturbs least.
    const int counts[3] = {1, 16, 32};
    std::vector<double> seconds[3];
    std::vector<double> sixteenRatios, thirtyTwoRatios;
    bool throttledOk = true;
    for (int run = 0; throttledOk && run < runs; ++run) {
        double round[3] = {};
        for (int k = 0; k < 3; ++k) {
            const int which = (k + run) % 3;
            round[which] = simulated(path, bytes, counts[which], rate);
            seconds[which].push_back(round[which]);
            throttledOk = throttledOk && round[which] > 0;
        }
        sixteenRatios.push_back(round[1] / round[0]);
        thirtyTwoRatios.push_back(round[2] / round[0]);
    }
    const char *const throttledLines[3] = {"(a) 1 simulated calculator, throttled (median)",
                                           "(b) 16 simulated calculators, throttled (median)",
                                           "(b) 32 simulated calculators (two runs of 16), throttled (median)"};
    for (int which = 0; which < 3; ++which)
        line(throttledLines[which], bytes, counts[which], throttledOk ? median(seconds[which]) : -1);
    if (throttledOk) {
        ratiosLine("time of 16 / time of 1 (target <= 1.05)", sixteenRatios);
        ratiosLine("time of 32 / time of 1 (target <= 2.1)", thirtyTwoRatios);
        if (goals) {
            failures += !meets("time of 16 / time of 1", median(sixteenRatios), kSixteenGoal, true);
            failures += !meets("time of 32 / time of 1", median(thirtyTwoRatios), kThirtyTwoGoal, true);
        }
    }
    failures += !throttledOk;
    const double oneFast = simulated(path, bytes, 1, 0);
    const double sixteenFast = simulated(path, bytes, 16, 0);
    line("(a) 1 simulated calculator, unthrottled", bytes, 1, oneFast);
    line("(b) 16 simulated calculators, unthrottled", bytes, 16, sixteenFast);
    failures += oneFast < 0 || sixteenFast < 0;
    return failures;
}

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t mib = 64;
    std::uint64_t rate = 20000000; // 20 MB/s: a USB 2.0 mass-storage device
    int runs = 5;
    bool loopOnly = false, calcfsOnly = false, simulatedOnly = false, sessionOnly = false, stationOnly = false;
    std::uint32_t clockScale = 1; // (f): the worker's pauses this many times shorter; 1: the real clock
    bool goals = true; // --no-goals: the figures alone (the CTest smoke run, too small to say anything)
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mib") == 0 && i + 1 < argc)
            mib = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--loop-only") == 0)
            loopOnly = true;
        else if (std::strcmp(argv[i], "--calcfs-only") == 0)
            calcfsOnly = true;
        else if (std::strcmp(argv[i], "--simulated-only") == 0)
            simulatedOnly = true;
        else if (std::strcmp(argv[i], "--session-only") == 0)
            sessionOnly = true;
        else if (std::strcmp(argv[i], "--station-only") == 0)
            stationOnly = true;
        else if (std::strcmp(argv[i], "--clock-scale") == 0 && i + 1 < argc) {
            // 1 to 1000, as the simulator takes it: nothing else, no sign, no trailing text.
            const char *text = argv[++i];
            char *end = nullptr;
            errno = 0;
            const unsigned long scale = std::strtoul(text, &end, 10);
            if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || scale < 1 || scale > 1000) {
                std::fprintf(stderr, "bench_transfer: --clock-scale must be 1 to 1000, not '%s'\n", text);
                return 2;
            }
            clockScale = std::uint32_t(scale);
        } else if (std::strcmp(argv[i], "--no-goals") == 0)
            goals = false;
        else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_transfer [--mib N] [--rate BYTES_PER_SEC] [--runs N] "
                                 "[--loop-only] [--calcfs-only] [--simulated-only] [--session-only] "
                                 "[--station-only] [--clock-scale N] [--no-goals]\n");
            return 2;
        }
    }
    if (mib == 0 || rate == 0 || runs <= 0) {
        std::fprintf(stderr, "bench_transfer: --mib, --rate and --runs must be positive\n");
        return 2;
    }
    QTemporaryDir folder;
    const std::uint64_t bytes = mib << 20;
    const std::string path = folder.filePath("firmware.bin").toStdString();
    if (!folder.isValid() || !makeFile(path, bytes)) {
        std::fprintf(stderr, "bench_transfer: cannot make the firmware file\n");
        return 1;
    }
    std::printf("firmware file: %llu MiB; throttled calculators take %.1f MB/s each; %d runs\n",
                static_cast<unsigned long long>(mib), rate / 1e6, runs);
    platform::useSimulatedClock(true);
    int failures = 0;
    // Each --X-only names the sections it runs; none: all of them.
    const bool only = loopOnly || calcfsOnly || simulatedOnly || sessionOnly || stationOnly;
    if (!only || loopOnly)
        failures += loopSection(folder, path, bytes, runs);
    if (!only || calcfsOnly)
        failures += calcfsSection(path, bytes, runs, goals);
    if (!only || simulatedOnly)
        failures += simulatedSection(path, bytes, rate, runs, goals);
    if (!only || simulatedOnly || sessionOnly)
        failures += pipelinesSection(path, bytes, rate, runs, goals, clockScale);
    if (!only || simulatedOnly || stationOnly)
        failures += stationSection(folder, path, bytes, rate, runs, goals, clockScale);
    platform::useSimulatedClock(false);
    return failures == 0 ? 0 : 1;
}
