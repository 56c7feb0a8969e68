// The updater's exit codes, the one table of them (README, the manual page
// and the Windows README list the same): a script that runs the updater tells
// success from failure by these alone.
#pragma once

namespace exit_code {

constexpr int kDone = 0;         // "Done": every calculator met holds the release (also: a second
                                 // copy that handed over to the running one; --help, --version)
constexpr int kFailed = 1;       // the final failure: some calculator was given up
constexpr int kUsage = 2;        // an unusable command line or outputs (--report, --log)
constexpr int kNoRelease = 3;    // no release in the folder, or a release refused
constexpr int kStopped = 4;      // stopped by the person before the end (Cancel, the window closed)
constexpr int kRecordLost = 5;   // the report or the log could not be written
constexpr int kImagesLost = 6;   // tavix-updater-sim only: the calculators' disk images could not be saved

} // namespace exit_code
