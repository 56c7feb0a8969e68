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
//
// The fixed settle pauses run on the simulated clock, so the figures are the
// I/O alone; (c) and (e) also show one run on the real clock, pauses included.
// (c) and (e) take turns among their three sides --runs times after one
// warm-up each and give the median and the best; (a) and (b) take turns among
// 1, 16 and 32 calculators. A run fails (exit 1) when a goal is missed: 16
// throttled calculators take at most 1.05 times as long as one, 32 at most
// 2.1 times, and on (e) the engine reaches at least 0.97 of the loop with the
// exchanges (--no-goals: the figures alone).
#include "common/little_endian.h"
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "platform/posix/posix_disk_system.h"
#include "support/kernel_calculators.h"
#include "support/loop_calculator.h"
#include "support/recording_disk_system.h"
#include "transport/command_channel.h"
#include "transport/transfer_engine_internal.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";

// The goals a full run must meet (the exit code says whether it did); each is
// checked on the median of the rounds' ratios.
constexpr double kSixteenGoal = 1.05;   // time of 16 throttled calculators / time of one: at most
constexpr double kThirtyTwoGoal = 2.1;  // time of 32 (two runs of 16) / time of one: at most
constexpr double kExchangesGoal = 0.97; // engine / the loop with the exchanges, on a calculator
                                        // that answers: at least

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

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t mib = 64;
    std::uint64_t rate = 20000000; // 20 MB/s: a USB 2.0 mass-storage device
    int runs = 5;
    bool loopOnly = false, calcfsOnly = false, simulatedOnly = false;
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
        else if (std::strcmp(argv[i], "--no-goals") == 0)
            goals = false;
        else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: bench_transfer [--mib N] [--rate BYTES_PER_SEC] [--runs N] "
                                 "[--loop-only] [--calcfs-only] [--simulated-only] [--no-goals]\n");
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
    if (!calcfsOnly && !simulatedOnly)
        failures += loopSection(folder, path, bytes, runs);
    if (!loopOnly && !simulatedOnly)
        failures += calcfsSection(path, bytes, runs, goals);
    if (loopOnly || calcfsOnly) {
        platform::useSimulatedClock(false);
        return failures == 0 ? 0 : 1;
    }
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
        const auto ratioLine = [](const char *what, const std::vector<double> &ratios) {
            std::printf("    %s: median of the rounds %.3f; each round:", what, median(ratios));
            for (const double ratio : ratios)
                std::printf(" %.3f", ratio);
            std::printf("\n");
        };
        ratioLine("time of 16 / time of 1 (target <= 1.05)", sixteenRatios);
        ratioLine("time of 32 / time of 1 (target <= 2.1)", thirtyTwoRatios);
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

    platform::useSimulatedClock(false);
    return failures == 0 ? 0 : 1;
}
