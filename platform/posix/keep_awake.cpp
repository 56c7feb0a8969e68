#include "platform/keep_awake.h"

#include <unistd.h>

#if TAVIX_HAVE_SYSTEMD
#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <time.h>

#include <cstdint>
#endif

namespace platform {

#if TAVIX_HAVE_SYSTEMD
namespace {

// The longest a hold may take to be refused: a session never waits for a bus
// that does not answer.
constexpr std::uint64_t kBusBudgetUsec = 1000000;

std::uint64_t monotonicUsec()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u
        + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// Microseconds left before the deadline; 0 when it has passed (sd_bus_wait and
// sd_bus_call would take 0 as "no limit" or "the default").
std::uint64_t usecLeft(std::uint64_t deadline)
{
    const std::uint64_t now = monotonicUsec();
    return now < deadline ? deadline - now : 0;
}

// Waits, within the budget, until the connection has authenticated and said
// hello: sd_bus_call's own timeout does not cover that part.
bool busReadyBy(sd_bus *bus, std::uint64_t deadline)
{
    for (;;) {
        if (sd_bus_is_ready(bus) > 0)
            return true;
        const int processed = sd_bus_process(bus, nullptr);
        if (processed < 0)
            return false;
        if (processed > 0)
            continue;
        const std::uint64_t left = usecLeft(deadline);
        if (left == 0 || sd_bus_wait(bus, left) < 0)
            return false;
    }
}

// Asks logind for an inhibitor of idle sleep over a connection of our own.
// Returns its descriptor (our own copy) or -1 when there is no bus, no logind,
// a refusal or no answer in time.
int takeIdleSleepInhibitor(sd_bus *bus, const char *why, std::uint64_t deadline)
{
    if (!busReadyBy(bus, deadline))
        return -1;
    sd_bus_message *call = nullptr;
    sd_bus_message *reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int inhibitor = -1;
    int received = -1; // owned by the reply
    std::uint64_t left = 0;
    if (sd_bus_message_new_method_call(bus, &call, "org.freedesktop.login1", "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "Inhibit") >= 0
        && sd_bus_message_append(call, "ssss", "sleep:idle", "Tavix updater", why ? why : "", "block") >= 0
        && (left = usecLeft(deadline)) > 0
        && sd_bus_call(bus, call, left, &error, &reply) >= 0
        && sd_bus_message_read(reply, "h", &received) >= 0)
        inhibitor = ::fcntl(received, F_DUPFD_CLOEXEC, 3);
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return inhibitor;
}

int takeIdleSleepInhibitor(const char *why)
{
    const std::uint64_t deadline = monotonicUsec() + kBusBudgetUsec;
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return -1;
    const int inhibitor = takeIdleSleepInhibitor(bus, why, deadline);
    // Not sd_bus_flush_close_unref: a flush waits, without a limit, for a bus
    // that never finished its handshake; nothing of ours is left to send.
    sd_bus_close_unref(bus);
    return inhibitor;
}

} // namespace
#endif

AwakeHold::AwakeHold(const char *why) noexcept
{
#if TAVIX_HAVE_SYSTEMD
    inhibitor_ = takeIdleSleepInhibitor(why);
    held_ = inhibitor_ >= 0;
#else
    (void)why;
#endif
}

AwakeHold::~AwakeHold()
{
    // Closing the descriptor ends logind's inhibitor.
    if (inhibitor_ >= 0)
        ::close(inhibitor_);
}

} // namespace platform
