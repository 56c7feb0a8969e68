// tavix-transfer: drives simulated calculators through the transport from a
// terminal.
//   tavix-transfer                       one conversation over the command channel
//                                        with each calculator
//   tavix-transfer FILE [DISK_OFFSET]    sends FILE to every calculator at once and
//                                        prints the result code, the time and MB/s
// Either way it prints what every calculator saw.
//
// The calculators are configured from the environment like the simulator
// (TAVIX_SIM_CALCULATORS, TAVIX_SIM_FAULTS, ...).
#include "common/calculator_model.h"
#include "emulator/emulated_disk_system.h"
#include "emulator/simulation_settings.h"
#include "platform/disk_system.h"
#include "transport/command_channel.h"
#include "transport/device_discovery.h"
#include "transport/transfer_engine_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <cstring>
#include <string>
#include <vector>

namespace {

using calculator_model::kProduct;
using calculator_model::kVendor;

void printUsage()
{
    std::fprintf(stderr,
                 "usage: tavix-transfer [FILE [DISK_OFFSET]]\n"
                 "  Without FILE: finds the simulated calculators and talks to each over the\n"
                 "  command channel. With FILE: sends it to every calculator at DISK_OFFSET\n"
                 "  (default 0; decimal or 0x hex) and prints the result code, time and MB/s.\n"
                 "  Environment: TAVIX_SIM_CALCULATORS, TAVIX_SIM_ATTACH_MS, TAVIX_SIM_DISK_MIB,\n"
                 "  TAVIX_SIM_BYTES_PER_SEC, TAVIX_SIM_FAULTS, TAVIX_SIM_OUTPUT.\n");
}

const char *yesNo(bool ok)
{
    return ok ? "accepted" : "refused";
}

// One conversation that uses each command of the channel: the opening read,
// progress reports of 0, 50 and 100, a 300-byte greeting as data packets and
// its transfer check, the closing read, then another opening read and the end
// of the session. (The updater's own runs send raw: data packets and the
// transfer check are packet mode's, see transport/protocol_extras.h.)
void converse(platform::Handle disk)
{
    openingRead(disk);
    std::printf("  opening read\n");
    for (std::uint32_t percent : {0u, 50u, 100u})
        std::printf("  progress %u: %s\n", percent, yesNo(sendProgress(disk, percent)));
    static const char kGreeting[] = "Hello from the updater: a 300-byte greeting travels as two "
                                    "data packets of the command channel, 256 bytes and the rest. "
                                    "The calculator confirms the byte count it received when the "
                                    "transfer check asks for it, and the trace shows every step "
                                    "of the conversation.";
    std::vector<std::uint8_t> data(300, '.');
    std::memcpy(data.data(), kGreeting, std::min(sizeof kGreeting - 1, data.size()));
    std::printf("  data packets (%zu bytes): %s\n", data.size(),
                yesNo(sendDataPackets(disk, data.data(), static_cast<std::uint32_t>(data.size()), 0)));
    std::printf("  transfer check (%zu bytes): %s\n", data.size(),
                yesNo(checkTransfer(disk, static_cast<std::int64_t>(data.size()))));
    closingRead(disk);
    std::printf("  closing read\n");
    openingRead(disk);
    std::printf("  opening read, end of session: %s\n", sendEndSession(disk) ? "sent" : "failed");
}

std::atomic<int> gLastPercent{-1};

void onProgress(std::int32_t percent)
{
    // The engine calls this on its threads one call at a time, with the
    // slowest calculator's percentage, which never goes down: print the
    // first, the first of every new ten, and 100.
    const int seen = gLastPercent.exchange(percent);
    if (percent > seen && (percent / 10 > seen / 10 || percent == 100 || seen < 0))
        std::printf("progress: %d\n", percent);
}

void onMessage(const char16_t *text)
{
    std::printf("file: %s\n", platform::toUtf8(text).c_str());
}

// Whether the calculator's disk holds the file at `offset`, compared piecewise.
bool holdsFile(const emulator::Calculator &calculator, const std::string &path, std::uint64_t offset)
{
    std::ifstream file(path, std::ios::binary);
    std::vector<char> piece(1 << 20);
    while (file) {
        file.read(piece.data(), static_cast<std::streamsize>(piece.size()));
        const auto got = static_cast<std::size_t>(file.gcount());
        if (got == 0)
            break;
        const std::vector<std::uint8_t> stored = calculator.contents(offset, got);
        if (stored.size() != got || std::memcmp(stored.data(), piece.data(), got) != 0)
            return false;
        offset += got;
    }
    return !file.bad();
}

// The trace, with the middle of a long data stream told in one line.
void printTrace(const std::vector<std::string> &trace)
{
    auto isStream = [](const std::string &line) {
        return line.rfind("write ", 0) == 0 || line.rfind("progress ", 0) == 0 ||
               line.rfind("packet ", 0) == 0;
    };
    std::size_t i = 0;
    while (i < trace.size()) {
        std::size_t j = i;
        while (j < trace.size() && isStream(trace[j]))
            ++j;
        if (j - i > 8) {
            std::size_t writes = 0, reports = 0;
            for (std::size_t k = i + 3; k < j - 3; ++k)
                (trace[k].rfind("progress ", 0) == 0 ? reports : writes) += 1;
            for (std::size_t k = i; k < i + 3; ++k)
                std::printf("  %s\n", trace[k].c_str());
            std::printf("  ... %zu data writes or packets and %zu progress reports ...\n", writes, reports);
            for (std::size_t k = j - 3; k < j; ++k)
                std::printf("  %s\n", trace[k].c_str());
            i = j;
            continue;
        }
        std::printf("  %s\n", trace[i].c_str());
        ++i;
    }
}

int sendFile(const std::string &path, std::int64_t offset, emulator::EmulatedDiskSystem &disks)
{
    const std::u16string source = platform::fromUtf8(path);
    const auto start = std::chrono::steady_clock::now();
    TransferReport report;
    const std::int32_t result = runFirmwareTransfer(kVendor, kProduct, source.c_str(), offset, onProgress, onMessage,
                                                    nullptr, nullptr, &report);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::int64_t size = sourceFileSize(source.c_str());
    const auto served = int(std::count_if(report.calculators.begin(), report.calculators.end(), [](const auto &one) {
        return one.result != kCalculatorLeftOut;
    }));
    std::printf("result: %d\n", result);
    std::printf("time: %.3f s for %lld bytes to %d calculator%s: %.1f MB/s per calculator, %.1f MB/s in all\n",
                seconds, static_cast<long long>(size), served, served == 1 ? "" : "s",
                size / seconds / 1e6, size * double(served) / seconds / 1e6);
    const auto calculators = disks.disks();
    for (std::size_t i = 0; i < calculators.size(); ++i)
        std::printf("calculator %zu %s the whole file\n", i + 1,
                    holdsFile(*calculators[i], path, static_cast<std::uint64_t>(offset)) ? "holds" : "does not hold");
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 3 || (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))) {
        printUsage();
        return argc > 3 ? 2 : 0;
    }
    std::int64_t offset = 0;
    if (argc == 3) {
        char *end = nullptr;
        offset = std::strtoll(argv[2], &end, 0);
        if (end == argv[2] || *end != '\0' || offset < 0 || offset % 512 != 0) {
            std::fprintf(stderr, "tavix-transfer: DISK_OFFSET must be a whole number of 512-byte sectors\n");
            return 2;
        }
    }
    emulator::SimulationSettings settings;
    std::string error;
    if (!emulator::simulationSettingsFromEnvironment(&settings, &error)) {
        std::fprintf(stderr, "tavix-transfer: %s\n", error.c_str());
        return 2;
    }
    if (settings.cart.total != 0) { // one transfer has no calculators coming and going
        std::fprintf(stderr, "tavix-transfer: TAVIX_SIM_CART is for tavix-updater-sim only\n");
        return 2;
    }
    emulator::EmulatedDiskSystem disks;
    for (const emulator::Config &config : settings.calculators)
        disks.attach(config);
    platform::installDiskSystem(&disks);

    int status = 0;
    if (argc >= 2) {
        status = sendFile(argv[1], offset, disks) == kTransferOk ? 0 : 1;
    } else {
        char16_t paths[kMaxDevices][kDevicePathLength];
        const int found = findCalculatorDisksWithRetry(paths, kVendor, kProduct, kMaxDevices);
        std::printf("found %d calculator%s\n", found, found == 1 ? "" : "s");
        for (int slot = 0; slot < found; ++slot) {
            std::printf("calculator %d: %s\n", slot + 1, platform::toUtf8(paths[slot]).c_str());
            platform::Handle disk = platform::activeDiskSystem().openDisk(paths[slot]);
            if (disk == platform::kInvalidHandle) {
                std::printf("  could not be opened: %s\n",
                            platform::toUtf8(platform::errorText(platform::lastError())).c_str());
                continue;
            }
            converse(disk);
            platform::closeHandle(disk);
        }
        status = found > 0 ? 0 : 1;
    }

    const auto calculators = disks.disks();
    for (std::size_t i = 0; i < calculators.size(); ++i) {
        std::printf("what calculator %zu saw:\n", i + 1);
        printTrace(calculators[i]->trace());
    }
    if (!settings.outputFolder.empty() &&
        !emulator::saveCalculators(calculators, settings.outputFolder, &error)) {
        std::fprintf(stderr, "tavix-transfer: %s\n", error.c_str());
        status = 1;
    }
    platform::installDiskSystem(nullptr);
    return status;
}
