// Time as the updater sees it: every fixed pause of the system goes through
// pauseMs(), and everything that waits for "T ms later" asks nowMs().
//
// Production runs on the real clock. Tests (and the simulator when asked) switch
// to the simulated clock: a pause then returns at once and moves the simulated
// time forward by its length, so a six-pass discovery with 500 ms pauses runs in
// microseconds while the simulated calculators still see three seconds pass.
// Pauses taken by several threads at once each move the simulated time forward.
#pragma once

#include <cstdint>

namespace platform {

// Pauses the calling thread for `ms` milliseconds (real or simulated).
void pauseMs(std::uint32_t ms);

// Milliseconds since an arbitrary start, on the clock in use.
std::uint64_t nowMs();

// Switches between the real clock (false, the default) and the simulated one.
// Switching resets the simulated time to 0 and the pause statistics.
void useSimulatedClock(bool simulated);
bool simulatedClockInUse();

// Moves the simulated time forward without a pause being taken.
void advanceSimulatedClock(std::uint64_t ms);

// A test may watch the pauses: the observer is called on the pausing thread
// at the start of every pause, with its length. nullptr removes it.
using PauseObserver = void (*)(std::uint32_t ms);
void setPauseObserver(PauseObserver observer);

// What the pauses since the last switch added up to (both clocks count).
struct PauseStats {
    std::uint64_t count;   // number of pauseMs calls
    std::uint64_t totalMs; // sum of their lengths
};
PauseStats pauseStats();
void resetPauseStats();

} // namespace platform
