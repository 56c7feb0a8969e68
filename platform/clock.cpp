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
const auto gStart = std::chrono::steady_clock::now();
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
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint64_t nowMs()
{
    if (gSimulated.load(std::memory_order_acquire))
        return gSimulatedMs.load(std::memory_order_acquire);
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - gStart)
                                          .count());
}

void useSimulatedClock(bool simulated)
{
    gSimulatedMs.store(0, std::memory_order_release);
    resetPauseStats();
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
