// tavix-updater --list-disks: every disk the system lists, and whether the
// updater takes it for a calculator and, if not, why. For a user whose
// calculator is not found; needs no display.
#pragma once

#include "transport/device_discovery.h"

#include <string>
#include <vector>

// The table for `disks` (as surveyCalculatorDisks gives them), UTF-8: a
// header line, a row per disk (name, "calculator" or "not taken", the reason
// or remark, the device path), a line of advice for each calculator this user
// may not open, then a line counting the calculators.
std::string listDisksText(const std::vector<SurveyedCalculatorDisk> &disks);

// Surveys the active disk system for the calculator's vendor and product and
// writes the table on standard output. 0, or 1 when the output failed.
int listDisks();
