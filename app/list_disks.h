// tavix-updater --list-disks: every disk the system lists, and whether the
// updater takes it for a calculator and, if not, why; for each calculator,
// whether it opens for writing and which volumes the system mounted on it.
// For a user whose calculator is not found or not written; needs no display.
#pragma once

#include "platform/disk_system.h"
#include "transport/device_discovery.h"

#include <cstdint>
#include <string>
#include <vector>

// What trying a calculator's disk showed: the open a session makes (read and
// write), closed again at once with nothing written, and the volumes the
// system mounted on it.
struct CalculatorProbe {
    bool opened = false;                           // it opened (and was closed again)
    std::uint32_t openError = 0;                   // !opened: the system's code, as lastError()
    bool volumesListed = false;                    // the system said which volumes it mounted
    std::uint32_t volumesError = 0;                // !volumesListed: why not, as lastError()
    std::vector<platform::MountedVolume> volumes;  // volumesListed: those volumes
};

// Tries the disk at `devicePath` (a path a survey named) on the active disk
// system.
CalculatorProbe probeCalculator(const std::u16string &devicePath);

// The table for `disks` (as surveyCalculatorDisks gives them), UTF-8: a
// header line, a row per disk (name, "calculator" or "not taken", the reason
// or, for a calculator, the volumes mounted on it, its access, the device
// path), a line of advice for each calculator this user may not open, then a
// line counting the calculators. `probes[i]` is what trying disks[i] showed;
// a calculator without one (past the end of `probes`) has the survey's remark
// as its reason and no access.
std::string listDisksText(const std::vector<SurveyedCalculatorDisk> &disks,
                          const std::vector<CalculatorProbe> &probes = {});

// Surveys the active disk system for the calculator's vendor and product,
// tries every calculator found, and gives the table.
std::string listDisksReport();

// listDisksReport() on standard output. 0, or 1 when the output failed.
int listDisks();
