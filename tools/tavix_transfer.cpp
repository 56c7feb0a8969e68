// tavix-transfer: drives simulated calculators through the transport from a
// terminal. Without arguments it finds the calculators, runs one conversation
// over the command channel with each and prints what every calculator saw.
//
// The calculators are configured from the environment like the simulator
// (TAVIX_SIM_CALCULATORS, TAVIX_SIM_FAULTS, ...).
#include "emulator/emulated_disk_system.h"
#include "platform/disk_system.h"
#include "transport/command_channel.h"
#include "transport/device_discovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char16_t kVendor[] = u"XQ";
const char16_t kProduct[] = u"Tavix update";

void printUsage()
{
    std::fprintf(stderr,
                 "usage: tavix-transfer\n"
                 "  Finds the simulated calculators and talks to each over the command channel.\n"
                 "  Environment: TAVIX_SIM_CALCULATORS, TAVIX_SIM_ATTACH_MS, TAVIX_SIM_DISK_MIB,\n"
                 "  TAVIX_SIM_BYTES_PER_SEC, TAVIX_SIM_FAULTS, TAVIX_SIM_OUTPUT.\n");
}

const char *yesNo(bool ok)
{
    return ok ? "accepted" : "refused";
}

// One conversation: what a transfer and the end of a session say to a calculator.
void converse(DiskHandle disk)
{
    readCommandArea(disk, false);
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
    readCommandArea(disk, true);
    std::printf("  closing read\n");
    readCommandArea(disk, false);
    std::printf("  opening read, end of session: %s\n", sendEndSession(disk) ? "sent" : "failed");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        printUsage();
        return (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) ? 0 : 2;
    }
    emulator::SimulationSettings settings;
    std::string error;
    if (!emulator::simulationSettingsFromEnvironment(&settings, &error)) {
        std::fprintf(stderr, "tavix-transfer: %s\n", error.c_str());
        return 2;
    }
    emulator::EmulatedDiskSystem disks;
    for (const emulator::Config &config : settings.calculators)
        disks.attach(config);
    platform::installDiskSystem(&disks);

    const int found = findCalculatorDisksWithRetry(devicePaths, kVendor, kProduct, kMaxDevices);
    std::printf("found %d calculator%s\n", found, found == 1 ? "" : "s");
    for (int slot = 0; slot < found; ++slot) {
        std::printf("calculator %d: %s\n", slot + 1, platform::toUtf8(devicePaths[slot]).c_str());
        DiskHandle disk = platform::activeDiskSystem().openDisk(devicePaths[slot]);
        if (disk == platform::kInvalidHandle) {
            std::printf("  could not be opened: %s\n",
                        platform::toUtf8(platform::errorText(platform::lastError())).c_str());
            continue;
        }
        converse(disk);
        platform::closeHandle(disk);
    }

    const auto calculators = disks.disks();
    for (std::size_t i = 0; i < calculators.size(); ++i) {
        std::printf("what calculator %zu saw:\n", i + 1);
        for (const std::string &line : calculators[i]->trace())
            std::printf("  %s\n", line.c_str());
    }
    if (!settings.outputFolder.empty() &&
        !emulator::saveCalculators(calculators, settings.outputFolder, &error)) {
        std::fprintf(stderr, "tavix-transfer: %s\n", error.c_str());
        platform::installDiskSystem(nullptr);
        return 1;
    }
    platform::installDiskSystem(nullptr);
    return found > 0 ? 0 : 1;
}
