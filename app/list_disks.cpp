#include "app/list_disks.h"

#include "common/calculator_model.h"
#include "platform/disk_system.h"

#include <algorithm>
#include <cstdio>

namespace {

// Why the platform named no path for a disk.
std::string refusalText(const platform::SurveyedDisk &disk)
{
    using platform::DiskRefusal;
    switch (disk.refusal) {
    case DiskRefusal::None:
        break;
    case DiskRefusal::NoDevice:
        return "no device behind it (a loop or RAM disk)";
    case DiskRefusal::NotScsi:
        return "not a SCSI disk (NVMe, virtio, MMC)";
    case DiskRefusal::NotUsb:
        return "not on USB (SATA, SAS)";
    case DiskRefusal::NotMassStorage:
        return "on USB, but not mass storage";
    case DiskRefusal::Partition:
        return "a partition of " + disk.parent;
    case DiskRefusal::NoDevNumbers:
        return "no device numbers";
    case DiskRefusal::NotNameable:
        return "its name cannot be put in a device path";
    case DiskRefusal::Unreadable:
        return "its entry cannot be read";
    }
    return std::string();
}

// What a user needs to know of a calculator: whether a session can open it
// (the fix, when it cannot, goes below the table).
std::string calculatorRemark(const platform::SurveyedDisk &disk)
{
    switch (disk.access) {
    case platform::DiskAccess::Unknown:
        break;
    case platform::DiskAccess::ReadWrite:
        return "this user may read and write it";
    case platform::DiskAccess::Denied:
        return "this user may not read and write it (" + platform::toUtf8(platform::errorText(disk.accessError)) +
               ")";
    }
    return std::string();
}

std::string reasonText(const SurveyedCalculatorDisk &row)
{
    switch (row.verdict) {
    case DiskVerdict::Calculator:
        return calculatorRemark(row.disk);
    case DiskVerdict::RefusedByPlatform:
        return refusalText(row.disk);
    case DiskVerdict::NotUsbMassStorage:
        return "not USB mass storage";
    case DiskVerdict::OtherModel:
        return "other vendor or model (" + platform::toUtf8(row.vendor) + " " + platform::toUtf8(row.product) + ")";
    case DiskVerdict::PathTooLong:
        return "device path too long";
    }
    return std::string();
}

} // namespace

std::string listDisksText(const std::vector<SurveyedCalculatorDisk> &disks)
{
    struct Row {
        std::string cells[4]; // name, verdict, reason, device path
    };
    std::vector<Row> rows{Row{{"DISK", "TAKEN", "REASON", "DEVICE PATH"}}};
    int calculators = 0;
    std::string notes;
    for (const SurveyedCalculatorDisk &disk : disks) {
        const bool calculator = disk.verdict == DiskVerdict::Calculator;
        calculators += calculator ? 1 : 0;
        if (calculator && disk.disk.access == platform::DiskAccess::Denied)
            notes += disk.disk.name + ": a session would fail to open it (107); put the udev rule "
                                      "70-tavix-updater.rules into /lib/udev/rules.d (the package does) or "
                                      "/etc/udev/rules.d and replug the calculator, or run the updater as root\n";
        std::string reason = reasonText(disk);
        const std::string path = platform::toUtf8(disk.disk.devicePath);
        rows.push_back(Row{{disk.disk.name, calculator ? "calculator" : "not taken",
                            reason.empty() ? "-" : reason, path.empty() ? "-" : path}});
    }
    std::size_t widths[3] = {};
    for (const Row &row : rows) {
        for (int i = 0; i < 3; ++i)
            widths[i] = std::max(widths[i], row.cells[i].size());
    }
    std::string text;
    for (const Row &row : rows) {
        for (int i = 0; i < 3; ++i)
            text += row.cells[i] + std::string(widths[i] - row.cells[i].size() + 2, ' ');
        text += row.cells[3] + "\n";
    }
    text += notes + "Calculators found: " + std::to_string(calculators) + "\n";
    return text;
}

int listDisks()
{
    const std::string text =
        listDisksText(surveyCalculatorDisks(calculator_model::kVendor, calculator_model::kProduct));
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
