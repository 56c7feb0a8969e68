#include "app/list_disks.h"

#include "common/calculator_model.h"
#include "platform/disk_system.h"
#include "platform/error_kind.h"

#include <algorithm>
#include <cstdio>

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
        const platform::ErrorKind kind = platform::errorKind(disk.disk.accessError);
        if (calculator && disk.disk.access == platform::DiskAccess::Denied && kind == platform::ErrorKind::NoAccess)
            notes += disk.disk.name + ": a session would fail to open it (107); put the udev rule "
                                      "70-tavix-updater.rules into /lib/udev/rules.d (the package does) or "
                                      "/etc/udev/rules.d and replug the calculator, or run the updater as root\n";
        if (calculator && disk.disk.access == platform::DiskAccess::Denied && kind == platform::ErrorKind::AccessDenied)
            notes += disk.disk.name + ": a session would fail to open it (107); start the updater as administrator, "
                                      "or ask the IT administrator about the removable-storage policy\n";
        const std::string reason = diskSurveyReason(disk);
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
