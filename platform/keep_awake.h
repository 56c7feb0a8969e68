// Keeps the machine from sleeping while calculators are being written: a
// laptop that sleeps in the middle of a raw disk write leaves them half-written.
#pragma once

namespace platform {

// While it lives, the machine does not go to sleep on its own (idle sleep).
// Where the system offers no way, or refuses, it does nothing. Never throws,
// never blocks for long (about a second at most on Linux, where it asks
// logind over the system bus). Made and destroyed on the same thread, which
// lives at least as long (on Windows the request belongs to the calling thread).
class AwakeHold {
public:
    // why: shown to the user by the system (logind lists it), UTF-8.
    explicit AwakeHold(const char *why) noexcept;
    ~AwakeHold();
    AwakeHold(const AwakeHold &) = delete;
    AwakeHold &operator=(const AwakeHold &) = delete;

    // True when the system took the request.
    bool held() const noexcept { return held_; }

private:
    bool held_ = false; // the system took the request
    int inhibitor_ = -1; // Linux: logind's inhibitor descriptor, -1 when none
};

} // namespace platform
