// bench_transfer: how fast the transfer engine sends one firmware file.
//
//   (a) to one simulated calculator, throttled like a USB 2.0 device and unthrottled
//   (b) to 16 simulated calculators at once, the same two ways
//   (c) onto a loop device through the Linux backend, beside a plain loop of
//       aligned 16384-byte pwrite()s with O_DIRECT | O_SYNC on the same device
//   (d) the engine's peak memory for two file sizes, each run in a child process
//
// The fixed settle pauses run on the simulated clock, so the figures are the
// I/O alone; (c) also shows one run on the real clock, pauses included.
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "platform/posix/posix_disk_system.h"
#include "support/loop_calculator.h"
#include "transport/transfer_engine.h"

#include <QTemporaryDir>

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

// Sends `path` to `count` simulated calculators; seconds taken, or -1 on failure.
double simulated(const std::string &path, std::uint64_t bytes, int count, std::uint64_t bytesPerSecond)
{
    emulator::EmulatedDiskSystem disks;
    for (int i = 0; i < count; ++i) {
        emulator::Config config;
        config.identity.serial = "BENCH" + std::to_string(i + 1);
        config.diskBytes = bytes + (8u << 20);
        config.faults.bytesPerSecond = bytesPerSecond;
        disks.attach(config);
    }
    platform::installDiskSystem(&disks);
    const std::u16string source = platform::fromUtf8(path);
    const auto start = std::chrono::steady_clock::now();
    const std::int32_t result = runFirmwareTransfer(kVendor, kProduct, source.c_str(), 0, nullptr, nullptr);
    const double seconds = secondsSince(start);
    platform::installDiskSystem(nullptr);
    if (result != kTransferOk) {
        std::fprintf(stderr, "simulated transfer failed with %d\n", result);
        return -1;
    }
    return seconds;
}

// The dd-like baseline: aligned 16384-byte pwrite()s with O_DIRECT | O_SYNC.
double baseline(const std::string &device, const std::string &path, std::uint64_t bytes)
{
    const int out = ::open(device.c_str(), O_RDWR | O_DIRECT | O_SYNC | O_CLOEXEC);
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    void *buffer = platform::allocAligned(kChunkSize);
    double seconds = -1;
    if (out >= 0 && in >= 0 && buffer != nullptr) {
        const auto start = std::chrono::steady_clock::now();
        bool ok = true;
        for (std::uint64_t at = 0; ok && at < bytes; at += kChunkSize) {
            ok = ::read(in, buffer, kChunkSize) == ssize_t(kChunkSize) &&
                 ::pwrite(out, buffer, kChunkSize, off_t(0x100000 + at)) == ssize_t(kChunkSize);
        }
        ok = ok && ::fsync(out) == 0;
        seconds = ok ? secondsSince(start) : -1;
    }
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

} // namespace

int main(int argc, char **argv)
{
    std::uint64_t mib = 64;
    std::uint64_t rate = 20000000; // 20 MB/s: a USB 2.0 mass-storage device
    bool loopOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--mib") == 0 && i + 1 < argc)
            mib = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--loop-only") == 0)
            loopOnly = true;
        else if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = std::strtoull(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: bench_transfer [--mib N] [--rate BYTES_PER_SEC] [--loop-only]\n");
            return 2;
        }
    }
    if (mib == 0 || rate == 0) {
        std::fprintf(stderr, "bench_transfer: --mib and --rate must be positive\n");
        return 2;
    }
    QTemporaryDir folder;
    const std::uint64_t bytes = mib << 20;
    const std::string path = folder.filePath("firmware.bin").toStdString();
    if (!folder.isValid() || !makeFile(path, bytes)) {
        std::fprintf(stderr, "bench_transfer: cannot make the firmware file\n");
        return 1;
    }
    std::printf("firmware file: %llu MiB; throttled calculators take %.1f MB/s each\n",
                static_cast<unsigned long long>(mib), rate / 1e6);
    platform::useSimulatedClock(true);
    int failures = 0;

    tavixtest::LoopCalculator device(tavixtest::CalculatorIdentity(), qint64(bytes + (4u << 20)));
    if (!device.isReady()) {
        std::printf("(c) loop device: skipped (%s)\n", qPrintable(device.skipReason()));
    } else {
        platform::PosixDiskSystem system(device.sysfsRoot(), device.devRoot());
        platform::installDiskSystem(&system);
        const std::string node = device.loopDevice().toStdString();
        // Warm both paths once, then take the better of three runs each.
        baseline(node, path, bytes);
        engineOnDevice(path);
        double base = 1e9, engine = 1e9;
        for (int run = 0; run < 3; ++run) {
            const double b = baseline(node, path, bytes);
            const double e = engineOnDevice(path);
            base = b < 0 || base < 0 ? -1 : std::min(base, b);
            engine = e < 0 || engine < 0 ? -1 : std::min(engine, e);
        }
        line("(c) loop device, plain O_DIRECT|O_SYNC pwrite loop", bytes, 1, base);
        line("(c) loop device, transfer engine", bytes, 1, engine);
        if (base > 0 && engine > 0)
            std::printf("    engine / baseline throughput: %.3f (target >= 0.95)\n", base / engine);
        platform::useSimulatedClock(false);
        const double real = engineOnDevice(path);
        line("(c) loop device, engine, real clock (pauses included)", bytes, 1, real);
        platform::useSimulatedClock(true);
        failures += base < 0 || engine < 0 || real < 0;

        const std::string small = folder.filePath("small.bin").toStdString();
        const std::uint64_t smallBytes = std::max<std::uint64_t>(bytes / 8, 1u << 20);
        if (makeFile(small, smallBytes)) {
            const long smallPeak = childPeakKiB(small);
            const long largePeak = childPeakKiB(path);
            std::printf("(d) peak memory of a transfer: %ld KiB for %llu MiB, %ld KiB for %llu MiB\n", smallPeak,
                        static_cast<unsigned long long>(smallBytes >> 20), largePeak,
                        static_cast<unsigned long long>(mib));
            failures += smallPeak < 0 || largePeak < 0;
        }
        platform::installDiskSystem(nullptr);
    }
    if (loopOnly) {
        platform::useSimulatedClock(false);
        return failures == 0 ? 0 : 1;
    }
    const double one = simulated(path, bytes, 1, rate);
    const double sixteen = simulated(path, bytes, 16, rate);
    line("(a) 1 simulated calculator, throttled", bytes, 1, one);
    line("(b) 16 simulated calculators, throttled", bytes, 16, sixteen);
    if (one > 0 && sixteen > 0)
        std::printf("    16 throttled / 1 throttled: %.3f (target < 1.2)\n", sixteen / one);
    failures += one < 0 || sixteen < 0;
    const double oneFast = simulated(path, bytes, 1, 0);
    const double sixteenFast = simulated(path, bytes, 16, 0);
    line("(a) 1 simulated calculator, unthrottled", bytes, 1, oneFast);
    line("(b) 16 simulated calculators, unthrottled", bytes, 16, sixteenFast);
    failures += oneFast < 0 || sixteenFast < 0;

    platform::useSimulatedClock(false);
    return failures == 0 ? 0 : 1;
}
