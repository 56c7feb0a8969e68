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

// Switches between the real clock (false, the default) and the simulated one;
// either way a scaled clock is left. Switching resets the simulated time to 0
// and the pause statistics.
void useSimulatedClock(bool simulated);
bool simulatedClockInUse();

// A fast real clock for whole programs on several threads (the window and its
// worker): every pause sleeps 1/factor of its length, and nowMs() runs factor
// times as fast as real time. Unlike the simulated clock it keeps the order in
// which the threads' pauses end, so the window sees what it would see on the
// real clock, sooner. A factor of 0 or 1 is the real clock. Resets the pause
// statistics.
void useScaledClock(std::uint32_t factor);
std::uint32_t clockScale(); // 1 on the real clock, 0 on the simulated one

// The real time a wait of `ms` on the clock in use takes: for timers that the
// operating system runs (the window's exit timer). 0 on the simulated clock.
std::uint32_t realDurationMs(std::uint32_t ms);

// Moves the simulated time forward without a pause being taken.
void advanceSimulatedClock(std::uint64_t ms);

// A test may watch the pauses: the observer is called on the pausing thread
// at the start of every pause, with its length. nullptr removes it.
using PauseObserver = void (*)(std::uint32_t ms);
void setPauseObserver(PauseObserver observer);

// What the pauses since the last switch of clock (or resetPauseStats) added up
// to, on whichever clock they were taken.
struct PauseStats {
    std::uint64_t count;   // number of pauseMs calls
    std::uint64_t totalMs; // sum of their lengths
};
PauseStats pauseStats();
void resetPauseStats();

} // namespace platform
