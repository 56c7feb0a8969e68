#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace {
std::atomic<bool> gSimulated{false};
std::atomic<std::uint64_t> gSimulatedMs{0};
std::atomic<std::uint64_t> gPauseCount{0};
std::atomic<std::uint64_t> gPauseTotalMs{0};
std::atomic<PauseObserver> gPauseObserver{nullptr};
std::atomic<std::uint32_t> gScale{1}; // real clock: 1; scaled: the factor
std::atomic<std::int64_t> gScaleStartUs{0}; // the real time of the switch: scaled time 0
const auto gStart = std::chrono::steady_clock::now();

std::int64_t realUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - gStart)
        .count();
}

// The event clock's state, under gEventMutex. gEvent and gEventMs are written
// under it too, and read without it by nowMs() and the other clocks' checks.
struct EventPause {
    std::uint64_t endMs;   // the event time at which it ends
    std::uint32_t resumes; // participations that run again when it ends
    bool ended;            // set by whoever ends it; the pausing thread waits for it
    bool woken = false;    // ended early by a PauseWaker
};
struct TakingPart {
    std::thread::id thread; // the thread taking part
    std::uint32_t held;     // participations it holds
    std::uint32_t aside;    // depth of its nested ClockStandAside scopes
};
std::atomic<bool> gEvent{false};
std::atomic<std::uint64_t> gEventMs{0};
std::mutex gEventMutex;
std::condition_variable gEventPauseEnded;
std::uint64_t gEpoch = 1;               // bumped by every switch of clock: older participations are void
std::uint32_t gRunning = 0;             // participations neither pausing nor standing aside
std::vector<TakingPart> gTakingPart;    // the threads holding a participation or standing aside
std::vector<EventPause *> gEventPauses; // the pauses under way, on their threads' stacks

std::uint64_t addCapped(std::uint64_t a, std::uint64_t b)
{
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

TakingPart *takingPartLocked(std::thread::id thread)
{
    for (TakingPart &part : gTakingPart)
        if (part.thread == thread)
            return &part;
    return nullptr;
}

// The participations of a thread that count as running: all it holds unless it stands aside.
std::uint32_t runningOf(const TakingPart &part)
{
    return part.aside == 0 ? part.held : 0;
}

void forgetIfIdleLocked(const TakingPart *part)
{
    if (part->held == 0 && part->aside == 0)
        gTakingPart.erase(gTakingPart.begin() + (part - gTakingPart.data()));
}

// Every pause due at the event time ends; its participations run again at once,
// so that the time cannot move on before their threads wake.
void endDuePausesLocked()
{
    const std::uint64_t now = gEventMs.load(std::memory_order_relaxed);
    bool ended = false;
    for (std::size_t i = 0; i < gEventPauses.size();) {
        EventPause *pause = gEventPauses[i];
        if (pause->endMs > now) {
            ++i;
            continue;
        }
        pause->ended = true;
        gRunning += pause->resumes;
        ended = true;
        gEventPauses[i] = gEventPauses.back();
        gEventPauses.pop_back();
    }
    if (ended)
        gEventPauseEnded.notify_all();
}

// With nothing running, the time jumps to the earliest end among the pauses under way.
void moveOnLocked()
{
    if (gRunning != 0 || gEventPauses.empty())
        return;
    std::uint64_t earliest = std::numeric_limits<std::uint64_t>::max();
    for (const EventPause *pause : gEventPauses)
        earliest = std::min(earliest, pause->endMs);
    gEventMs.store(std::max(earliest, gEventMs.load(std::memory_order_relaxed)), std::memory_order_release);
    endDuePausesLocked();
}

// A switch of clock: every pause under way ends where it is, every participation is void.
void resetEventClock(bool inUse)
{
    std::lock_guard<std::mutex> lock(gEventMutex);
    ++gEpoch;
    gRunning = 0;
    gTakingPart.clear();
    for (EventPause *pause : gEventPauses)
        pause->ended = true;
    gEventPauses.clear();
    gEventPauseEnded.notify_all();
    gEventMs.store(0, std::memory_order_release);
    gEvent.store(inUse, std::memory_order_release);
}

// A pause on the event clock; false when the clock was left meanwhile.
// `wakeable` (may be null) is where a waker finds the pause to end it early,
// and `pendingWake` a wake that came before the pause (then it returns at
// once); `woken` says whether a wake ended it.
bool eventPause(std::uint32_t ms, EventPause **wakeable = nullptr, bool *pendingWake = nullptr, bool *woken = nullptr)
{
    std::unique_lock<std::mutex> lock(gEventMutex);
    if (!gEvent.load(std::memory_order_relaxed))
        return false;
    if (pendingWake != nullptr && *pendingWake) {
        *pendingWake = false;
        *woken = true;
        return true;
    }
    const std::uint64_t epoch = gEpoch;
    const std::uint64_t now = gEventMs.load(std::memory_order_relaxed);
    const TakingPart *part = takingPartLocked(std::this_thread::get_id());
    // A thread that does not take part takes part for this pause: it runs
    // again when the pause ends, until it leaves pauseMs.
    const bool forThisPause = part == nullptr;
    EventPause pause{addCapped(now, ms), forThisPause ? 1u : runningOf(*part), false};
    if (pause.endMs <= now)
        return true;
    if (!forThisPause)
        gRunning -= pause.resumes;
    gEventPauses.push_back(&pause);
    if (wakeable != nullptr)
        *wakeable = &pause;
    moveOnLocked();
    gEventPauseEnded.wait(lock, [&pause] { return pause.ended; });
    if (wakeable != nullptr) {
        *wakeable = nullptr;
        *woken = pause.woken;
    }
    if (forThisPause && gEpoch == epoch) {
        --gRunning;
        moveOnLocked();
    }
    return true;
}
} // namespace

void pauseMs(std::uint32_t ms)
{
    gPauseCount.fetch_add(1, std::memory_order_relaxed);
    gPauseTotalMs.fetch_add(ms, std::memory_order_relaxed);
    if (PauseObserver observer = gPauseObserver.load(std::memory_order_acquire))
        observer(ms);
    if (gEvent.load(std::memory_order_acquire) && eventPause(ms))
        return;
    if (gSimulated.load(std::memory_order_acquire)) {
        gSimulatedMs.fetch_add(ms, std::memory_order_acq_rel);
        std::this_thread::yield();
        return;
    }
    const std::uint32_t scale = gScale.load(std::memory_order_acquire);
    std::this_thread::sleep_for(std::chrono::microseconds(std::int64_t(ms) * 1000 / (scale ? scale : 1)));
}

std::uint64_t nowMs()
{
    if (gEvent.load(std::memory_order_acquire))
        return gEventMs.load(std::memory_order_acquire);
    if (gSimulated.load(std::memory_order_acquire))
        return gSimulatedMs.load(std::memory_order_acquire);
    const std::uint32_t scale = gScale.load(std::memory_order_acquire);
    if (scale > 1) {
        const std::int64_t elapsedUs = realUs() - gScaleStartUs.load(std::memory_order_acquire);
        return static_cast<std::uint64_t>(elapsedUs * scale / 1000);
    }
    return static_cast<std::uint64_t>(realUs() / 1000);
}

void useScaledClock(std::uint32_t factor)
{
    if (factor == 0)
        factor = 1;
    resetEventClock(false);
    gSimulated.store(false, std::memory_order_release);
    resetPauseStats();
    gScaleStartUs.store(realUs(), std::memory_order_release);
    gScale.store(factor, std::memory_order_release);
}

std::uint32_t clockScale()
{
    if (gSimulated.load(std::memory_order_acquire) || gEvent.load(std::memory_order_acquire))
        return 0;
    return gScale.load(std::memory_order_acquire);
}

std::uint32_t realDurationMs(std::uint32_t ms)
{
    const std::uint32_t scale = clockScale();
    return scale == 0 ? 0 : ms / scale;
}

void useSimulatedClock(bool simulated)
{
    resetEventClock(false);
    gSimulatedMs.store(0, std::memory_order_release);
    resetPauseStats();
    gScale.store(1, std::memory_order_release);
    gSimulated.store(simulated, std::memory_order_release);
}

bool simulatedClockInUse()
{
    return gSimulated.load(std::memory_order_acquire);
}

void advanceSimulatedClock(std::uint64_t ms)
{
    if (gEvent.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(gEventMutex);
        if (gEvent.load(std::memory_order_relaxed)) {
            gEventMs.store(addCapped(gEventMs.load(std::memory_order_relaxed), ms), std::memory_order_release);
            endDuePausesLocked();
            return;
        }
    }
    gSimulatedMs.fetch_add(ms, std::memory_order_acq_rel);
}

void useEventClock()
{
    gSimulated.store(false, std::memory_order_release);
    gScale.store(1, std::memory_order_release);
    resetPauseStats();
    resetEventClock(true);
}

bool eventClockInUse()
{
    return gEvent.load(std::memory_order_acquire);
}

ClockParticipant::ClockParticipant()
    : ClockParticipant(Unheld{})
{
    std::lock_guard<std::mutex> lock(gEventMutex);
    if (!gEvent.load(std::memory_order_relaxed))
        return;
    epoch_ = gEpoch;
    ++gRunning;
    adoptLocked();
}

ClockParticipant::ClockParticipant(Unheld) {}

ClockParticipant ClockParticipant::forNewThread()
{
    ClockParticipant part{Unheld{}};
    std::lock_guard<std::mutex> lock(gEventMutex);
    if (gEvent.load(std::memory_order_relaxed)) {
        part.epoch_ = gEpoch;
        ++gRunning; // a thread about to start runs
    }
    return part;
}

ClockParticipant::ClockParticipant(ClockParticipant &&other) noexcept
    : epoch_(other.epoch_), holder_(other.holder_)
{
    other.epoch_ = 0;
    other.holder_ = std::thread::id();
}

ClockParticipant &ClockParticipant::operator=(ClockParticipant &&other) noexcept
{
    if (this != &other) {
        end();
        epoch_ = other.epoch_;
        holder_ = other.holder_;
        other.epoch_ = 0;
        other.holder_ = std::thread::id();
    }
    return *this;
}

ClockParticipant::~ClockParticipant()
{
    end();
}

void ClockParticipant::adopt()
{
    std::lock_guard<std::mutex> lock(gEventMutex);
    if (epoch_ == 0 || epoch_ != gEpoch || holder_ == std::this_thread::get_id())
        return;
    releaseLocked();
    ++gRunning;
    adoptLocked();
    moveOnLocked(); // the new holder may stand aside
}

// The calling thread holds it; the caller counted it in gRunning, where it
// stays unless the thread stands aside.
void ClockParticipant::adoptLocked()
{
    holder_ = std::this_thread::get_id();
    TakingPart *part = takingPartLocked(holder_);
    if (part == nullptr) {
        gTakingPart.push_back(TakingPart{holder_, 0, 0});
        part = &gTakingPart.back();
    }
    ++part->held;
    if (part->aside != 0)
        --gRunning;
}

// Takes it off its holder (if any) and out of gRunning.
void ClockParticipant::releaseLocked()
{
    TakingPart *part = holder_ == std::thread::id() ? nullptr : takingPartLocked(holder_);
    if (part == nullptr) {
        --gRunning; // not adopted yet
    } else {
        if (part->aside == 0)
            --gRunning;
        --part->held;
        forgetIfIdleLocked(part);
    }
    holder_ = std::thread::id();
}

void ClockParticipant::end() noexcept
{
    if (epoch_ == 0)
        return;
    std::lock_guard<std::mutex> lock(gEventMutex);
    if (epoch_ == gEpoch) {
        releaseLocked();
        moveOnLocked(); // it may have been the last one running
    }
    epoch_ = 0;
}

ClockStandAside::ClockStandAside()
{
    std::lock_guard<std::mutex> lock(gEventMutex);
    if (!gEvent.load(std::memory_order_relaxed))
        return;
    TakingPart *part = takingPartLocked(std::this_thread::get_id());
    if (part == nullptr)
        return;
    gRunning -= runningOf(*part);
    ++part->aside;
    epoch_ = gEpoch;
    moveOnLocked();
}

ClockStandAside::~ClockStandAside()
{
    if (epoch_ == 0)
        return;
    std::lock_guard<std::mutex> lock(gEventMutex);
    TakingPart *part = epoch_ == gEpoch ? takingPartLocked(std::this_thread::get_id()) : nullptr;
    if (part == nullptr)
        return;
    --part->aside;
    gRunning += runningOf(*part);
    forgetIfIdleLocked(part);
}

struct PauseWaker::State {
    std::mutex mutex;               // the other clocks
    std::condition_variable woken;  // the other clocks
    bool pending = false;           // under mutex: woken, not yet taken by a pause
    bool pendingEvent = false;      // under gEventMutex: the same on the event clock
    EventPause *eventPause = nullptr; // under gEventMutex: the pause under way on the event clock
};

PauseWaker::PauseWaker() : state_(new State) {}

PauseWaker::~PauseWaker()
{
    delete state_;
}

void PauseWaker::wake()
{
    State &state = *state_;
    if (gEvent.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(gEventMutex);
        if (gEvent.load(std::memory_order_relaxed)) {
            EventPause *pause = state.eventPause;
            if (pause == nullptr || pause->ended) {
                state.pendingEvent = true;
                return;
            }
            // It ends now, as a pause due now would.
            gEventPauses.erase(std::remove(gEventPauses.begin(), gEventPauses.end(), pause), gEventPauses.end());
            pause->ended = true;
            pause->woken = true;
            gRunning += pause->resumes;
            gEventPauseEnded.notify_all();
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.pending = true;
    }
    state.woken.notify_all();
}

bool pauseMsUnless(std::uint32_t ms, PauseWaker &waker)
{
    PauseWaker::State &state = *waker.state_;
    gPauseCount.fetch_add(1, std::memory_order_relaxed);
    gPauseTotalMs.fetch_add(ms, std::memory_order_relaxed);
    if (PauseObserver observer = gPauseObserver.load(std::memory_order_acquire))
        observer(ms);
    bool woken = false;
    if (gEvent.load(std::memory_order_acquire) && eventPause(ms, &state.eventPause, &state.pendingEvent, &woken))
        return woken;
    std::unique_lock<std::mutex> lock(state.mutex);
    if (gSimulated.load(std::memory_order_acquire)) {
        woken = state.pending;
        state.pending = false;
        if (!woken)
            gSimulatedMs.fetch_add(ms, std::memory_order_acq_rel);
        return woken;
    }
    const std::uint32_t scale = gScale.load(std::memory_order_acquire);
    woken = state.woken.wait_for(lock, std::chrono::microseconds(std::int64_t(ms) * 1000 / (scale ? scale : 1)),
                                            [&state] { return state.pending; });
    state.pending = false;
    return woken;
}

void setPauseObserver(PauseObserver observer)
{
    gPauseObserver.store(observer, std::memory_order_release);
}

PauseStats pauseStats()
{
    return {gPauseCount.load(std::memory_order_acquire), gPauseTotalMs.load(std::memory_order_acquire)};
}

void resetPauseStats()
{
    gPauseCount.store(0, std::memory_order_release);
    gPauseTotalMs.store(0, std::memory_order_release);
}

} // namespace platform
