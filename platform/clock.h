// Time as the updater sees it: every fixed pause of the system goes through
// pauseMs(), and everything that waits for "T ms later" asks nowMs().
//
// Production runs on the real clock. Tests (and the simulator when asked) switch
// to the simulated clock: a pause then returns at once and moves the simulated
// time forward by its length, so a six-pass discovery with 500 ms pauses runs in
// microseconds while the simulated calculators still see three seconds pass.
// Pauses taken by several threads at once each move the simulated time forward.
// The event clock (below) is the simulated time for suites that run one thread
// per calculator at once, where one calculator's long wait must not age the
// others' time.
#pragma once

#include <cstdint>
#include <thread>

namespace platform {

// Pauses the calling thread for `ms` milliseconds (real or simulated).
void pauseMs(std::uint32_t ms);

// Milliseconds since an arbitrary start, on the clock in use.
std::uint64_t nowMs();

// Switches between the real clock (false, the default) and the simulated one;
// either way a scaled clock or the event clock is left. Switching resets the
// simulated time to 0 and the pause statistics.
void useSimulatedClock(bool simulated);
bool simulatedClockInUse();

// A fast real clock for whole programs on several threads (the window and its
// worker): every pause sleeps 1/factor of its length, and nowMs() runs factor
// times as fast as real time. Unlike the simulated clock it keeps the order in
// which the threads' pauses end, so the window sees what it would see on the
// real clock, sooner. A factor of 0 or 1 is the real clock. Leaves the
// simulated or the event clock; resets the pause statistics.
void useScaledClock(std::uint32_t factor);
std::uint32_t clockScale(); // 1 on the real clock, 0 on the simulated and the event clock

// The real time a wait of `ms` on the clock in use takes: for timers that the
// operating system runs (the window's exit timer). 0 on the simulated and the
// event clock, whose time owes nothing to the real one.
std::uint32_t realDurationMs(std::uint32_t ms);

// Moves the simulated time forward without a pause being taken; on the event
// clock it moves the event time, and the pauses it passes end.
void advanceSimulatedClock(std::uint64_t ms);

// The event clock: simulated time that moves only while every thread taking
// part waits in pauseMs() (or stands aside); it then jumps to the earliest end
// among the pauses under way, and every pause due then ends. A thread's work
// between pauses takes no simulated time however long it takes for real, so
// the order of events does not depend on the machine's speed, and a stalled
// calculator's 60 s wait moves no other thread's time. A pause by a thread
// that does not take part takes part for its length (a lone thread's pauses
// move the time as on the simulated clock). nowMs() is the event time.
// Switching to it (or away) resets the time to 0 and the pause statistics and
// voids every participation and stand-aside of before: switch while no thread
// takes part.
void useEventClock();
bool eventClockInUse();

// A thread's part in the event clock, from construction to destruction; nothing
// on the other clocks. While the thread holding it runs, the event time stands
// still. A thread that starts another hands it a participation taken before the
// start, so that no time passes before the new thread's first step:
//   ClockParticipant part = ClockParticipant::forNewThread();
//   std::thread thread([part = std::move(part)]() mutable { part.adopt(); ... });
// Until adopted it holds the time as a running thread does; a starter that does
// not take part takes every participation before it starts the first thread.
// Destroy it on the thread that holds it (the lambda's capture is).
class ClockParticipant {
public:
    ClockParticipant(); // the calling thread takes part
    static ClockParticipant forNewThread(); // held by no thread until adopt()
    ClockParticipant(ClockParticipant &&other) noexcept;
    ClockParticipant &operator=(ClockParticipant &&other) noexcept;
    ClockParticipant(const ClockParticipant &) = delete;
    ClockParticipant &operator=(const ClockParticipant &) = delete;
    ~ClockParticipant();

    // The calling thread holds this participation from here on.
    void adopt();

private:
    struct Unheld {};
    explicit ClockParticipant(Unheld);
    void adoptLocked();
    void releaseLocked();
    void end() noexcept;

    std::uint64_t epoch_ = 0; // the switch of clock it was taken after; 0: none
    std::thread::id holder_;  // the thread that holds it; none until adopted
};

// In its scope the calling participant waits on other threads (a join, a
// condition variable, a queue) and holds no time: the threads it waits for
// can pause and the time moves. Nothing on the other clocks or on a thread
// that does not take part. Scopes may nest.
class ClockStandAside {
public:
    ClockStandAside();
    ClockStandAside(const ClockStandAside &) = delete;
    ClockStandAside &operator=(const ClockStandAside &) = delete;
    ~ClockStandAside();

private:
    std::uint64_t epoch_ = 0; // the switch of clock it stood aside after; 0: it did not
};

// A pause that another thread may end early: the worker that watches transfer
// runs pauses until the next thing it must look at, and a run that ends wakes
// it at once. A wake while nobody pauses is kept: the next pause returns at
// once. On the event clock a woken pause ends at the event time of the wake;
// on the simulated clock a pause that was not woken before it began takes its
// whole length, as pauseMs does.
class PauseWaker {
public:
    PauseWaker();
    ~PauseWaker();
    PauseWaker(const PauseWaker &) = delete;
    PauseWaker &operator=(const PauseWaker &) = delete;
    void wake(); // from any thread

private:
    friend bool pauseMsUnless(std::uint32_t ms, PauseWaker &waker);
    struct State;
    State *state_;
};
// As pauseMs, ended early by waker.wake(); true when it was woken. One thread
// pauses on a waker at a time.
bool pauseMsUnless(std::uint32_t ms, PauseWaker &waker);

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
