#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <thread>

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
} // namespace

void pauseMs(std::uint32_t ms)
{
    gPauseCount.fetch_add(1, std::memory_order_relaxed);
    gPauseTotalMs.fetch_add(ms, std::memory_order_relaxed);
    if (PauseObserver observer = gPauseObserver.load(std::memory_order_acquire))
        observer(ms);
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
    gSimulated.store(false, std::memory_order_release);
    resetPauseStats();
    gScaleStartUs.store(realUs(), std::memory_order_release);
    gScale.store(factor, std::memory_order_release);
}

std::uint32_t clockScale()
{
    return gSimulated.load(std::memory_order_acquire) ? 0 : gScale.load(std::memory_order_acquire);
}

std::uint32_t realDurationMs(std::uint32_t ms)
{
    const std::uint32_t scale = clockScale();
    return scale == 0 ? 0 : ms / scale;
}

void useSimulatedClock(bool simulated)
{
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
    gSimulatedMs.fetch_add(ms, std::memory_order_acq_rel);
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
