// Small helpers the suites share for simulated calculators.
#pragma once

#include "emulator/emulated_disk_system.h"
#include "emulator/simulation_settings.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// What the calculator saw, one event a line.
inline QStringList traceOf(const emulator::Calculator &calculator)
{
    QStringList lines;
    for (const std::string &line : calculator.trace())
        lines << QString::fromStdString(line);
    return lines;
}

// Attaches an 8 MiB calculator, serial TAVIX<n>, with the faults of a fault
// list ("fail-writes=7", ...) and present from `attachAtMs` on. A bad list
// is the test's own mistake: it ends the run.
inline std::shared_ptr<emulator::Calculator> attachCalculator(emulator::EmulatedDiskSystem &disks,
                                                              const QString &faults = QString(),
                                                              std::uint64_t attachAtMs = 0)
{
    emulator::Config config;
    config.identity.serial = "TAVIX" + std::to_string(disks.disks().size() + 1);
    config.diskBytes = 8u << 20;
    std::vector<emulator::Faults> parsed(1);
    std::string error;
    if (!emulator::parseFaultList(faults.toStdString(), parsed, &error))
        qFatal("bad fault list: %s", error.c_str());
    config.faults = parsed[0];
    config.faults.attachAtMs = attachAtMs;
    return disks.attach(config);
}

} // namespace testsupport
