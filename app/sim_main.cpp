// tavix-updater-sim: the firmware updater on simulated calculators, with the
// same command line as the product. The calculators come from TAVIX_SIM_*;
// TAVIX_SIM_CLOCK_SCALE=N runs every pause of the program N times faster.
// What the window shows is echoed on standard output, a "field: value" line
// per change, and the calculators are saved into TAVIX_SIM_OUTPUT when the
// session ends and again when the program ends.
#include "app/updater_main.h"

#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "platform/disk_system.h"
#include "ui/calc_fw_update_ms_dialog.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned long kMaxClockScale = 1000;

// TAVIX_SIM_CLOCK_SCALE: digits only, 1 to kMaxClockScale; unset or empty is 1.
bool clockScaleFromEnvironment(std::uint32_t *scale, std::string *error)
{
    const char *text = std::getenv("TAVIX_SIM_CLOCK_SCALE");
    if (!text || !*text) {
        *scale = 1;
        return true;
    }
    unsigned long value = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9' || value > kMaxClockScale) {
            value = 0;
            break;
        }
        value = value * 10 + static_cast<unsigned long>(*c - '0');
    }
    if (value < 1 || value > kMaxClockScale) {
        *error = "TAVIX_SIM_CLOCK_SCALE: '" + std::string(text) + "' is not a whole number from 1 to " +
                 std::to_string(kMaxClockScale);
        return false;
    }
    *scale = static_cast<std::uint32_t>(value);
    return true;
}

// One line per change, flushed at once so that a script follows it live.
void echo(const QString &field, const QString &value)
{
    QString line = field + QStringLiteral(": ") + value;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray utf8 = line.toUtf8() + '\n';
    std::fwrite(utf8.constData(), 1, static_cast<std::size_t>(utf8.size()), stdout);
    std::fflush(stdout);
}

bool save(const emulator::EmulatedDiskSystem &disks, const std::string &folder)
{
    if (folder.empty())
        return true;
    std::string error;
    if (emulator::saveCalculators(disks.disks(), folder, &error))
        return true;
    std::fprintf(stderr, "tavix-updater-sim: %s\n", error.c_str());
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    std::string error;
    std::uint32_t scale = 1;
    emulator::SimulationSettings settings;
    if (!clockScaleFromEnvironment(&scale, &error) ||
        !emulator::simulationSettingsFromEnvironment(&settings, &error)) {
        std::fprintf(stderr, "tavix-updater-sim: %s\n", error.c_str());
        return 2;
    }

    emulator::EmulatedDiskSystem disks;
    bool saved = true;
    UpdaterHooks hooks;
    hooks.prepare = [&] {
        // Only the copy that holds the guard attaches calculators.
        if (scale > 1)
            platform::useScaledClock(scale);
        for (const emulator::Config &config : settings.calculators)
            disks.attach(config);
        platform::installDiskSystem(&disks);
        return 0;
    };
    hooks.dialogCreated = [&](CCalcFWUpdateMSDialog *dialog) {
        QObject::connect(dialog, &CCalcFWUpdateMSDialog::displayChanged, dialog, echo);
        QObject::connect(dialog, &CCalcFWUpdateMSDialog::sessionEnded, dialog,
                         [&] { save(disks, settings.outputFolder); });
    };
    hooks.finished = [&] { saved = save(disks, settings.outputFolder); };

    const int result = runUpdater(argc, argv, hooks);
    platform::installDiskSystem(nullptr);
    return result == 0 && !saved ? 1 : result;
}
