#include "app/list_disks.h"

#include "common/calculator_model.h"
#include "platform/console.h"
#include "platform/error_kind.h"
#include "transport/transfer_engine.h"
#include "ui/failure_reason.h"

#include <algorithm>

namespace {

// A calculator's reason column: the volumes the system mounted on it.
std::string volumesText(const CalculatorProbe &probe)
{
    if (!probe.volumesListed)
        return "its volumes cannot be listed (" + platform::toUtf8(platform::errorText(probe.volumesError)) + ")";
    std::string text;
    for (const platform::MountedVolume &volume : probe.volumes) {
        text += text.empty() ? "mounted: " : ", ";
        text += platform::toUtf8(volume.name) + " (" + platform::toUtf8(volume.fileSystem) + ")";
    }
    return text;
}

// A calculator's access column, in the window's words for a refusal.
std::string accessText(const CalculatorProbe &probe)
{
    if (probe.opened)
        return "opens for reading and writing";
    return failureReasonInEnglish(kDiskUnopenable, probe.openError).toStdString();
}

// The characters of UTF-8 `text` (the bytes that start one), which is what
// its column takes on a terminal for the letters of European languages.
std::size_t characters(const std::string &text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

} // namespace

CalculatorProbe probeCalculator(const std::u16string &devicePath)
{
    CalculatorProbe probe;
    platform::DiskSystem &system = platform::activeDiskSystem();
    const platform::Handle disk = system.openDisk(devicePath.c_str());
    probe.opened = disk != platform::kInvalidHandle;
    probe.openError = probe.opened ? 0 : platform::lastError();
    platform::closeHandle(disk);
    probe.volumesListed = system.listVolumes(devicePath.c_str(), &probe.volumes);
    probe.volumesError = probe.volumesListed ? 0 : platform::lastError();
    return probe;
}

std::string listDisksText(const std::vector<SurveyedCalculatorDisk> &disks, const std::vector<CalculatorProbe> &probes)
{
    constexpr int kColumns = 5;
    struct Row {
        std::string cells[kColumns]; // name, verdict, reason, access, device path
    };
    std::vector<Row> rows{Row{{"DISK", "TAKEN", "REASON", "ACCESS", "DEVICE PATH"}}};
    int calculators = 0;
    std::string notes;
    for (std::size_t i = 0; i < disks.size(); ++i) {
        const SurveyedCalculatorDisk &disk = disks[i];
        const bool calculator = disk.verdict == DiskVerdict::Calculator;
        calculators += calculator ? 1 : 0;
        const platform::ErrorKind kind = platform::errorKind(disk.disk.accessError);
        if (calculator && disk.disk.access == platform::DiskAccess::Denied && kind == platform::ErrorKind::NoAccess)
            notes += disk.disk.name + ": a session would fail to open it (107); put the udev rule "
                                      "70-tavix-updater.rules into /lib/udev/rules.d (the package does) or "
                                      "/etc/udev/rules.d and replug the calculator, or run the updater as root\n";
        if (calculator && disk.disk.access == platform::DiskAccess::Denied && kind == platform::ErrorKind::AccessDenied)
            notes += disk.disk.name + ": a session would fail to open it (107); start the updater as administrator, "
                                      "or ask the IT administrator about the removable-storage policy\n";
        const CalculatorProbe *probe = calculator && i < probes.size() ? &probes[i] : nullptr;
        const std::string reason = probe != nullptr ? volumesText(*probe) : diskSurveyReason(disk);
        const std::string access = probe != nullptr ? accessText(*probe) : std::string();
        const std::string path = platform::toUtf8(disk.disk.devicePath);
        rows.push_back(Row{{disk.disk.name, calculator ? "calculator" : "not taken", reason.empty() ? "-" : reason,
                            access.empty() ? "-" : access, path.empty() ? "-" : path}});
    }
    // (The system's messages may be in any language.)
    std::size_t widths[kColumns - 1] = {};
    for (const Row &row : rows) {
        for (int i = 0; i < kColumns - 1; ++i)
            widths[i] = std::max(widths[i], characters(row.cells[i]));
    }
    std::string text;
    for (const Row &row : rows) {
        for (int i = 0; i < kColumns - 1; ++i)
            text += row.cells[i] + std::string(widths[i] - characters(row.cells[i]) + 2, ' ');
        text += row.cells[kColumns - 1] + "\n";
    }
    text += notes + "Calculators found: " + std::to_string(calculators) + "\n";
    return text;
}

std::string listDisksReport()
{
    const std::vector<SurveyedCalculatorDisk> disks =
        surveyCalculatorDisks(calculator_model::kVendor, calculator_model::kProduct);
    std::vector<CalculatorProbe> probes(disks.size());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        if (disks[i].verdict == DiskVerdict::Calculator)
            probes[i] = probeCalculator(disks[i].disk.devicePath);
    }
    return listDisksText(disks, probes);
}

int listDisks()
{
    return platform::writeOut(platform::fromUtf8(listDisksReport())) ? 0 : 1;
}
