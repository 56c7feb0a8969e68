// The update session's numbers, in one place: the countdown the window shows
// once a calculator is found, how often a failed file is tried again, every
// fixed pause of the worker's loop, and the delay from "Done" to the end of
// the program. The worker, the ledger and the rule after each pass apply
// them, the window only the last one. The suites spell some of them again on
// purpose, so that a changed number shows in a failing check.
#pragma once

#include <cstdint>

namespace session_rules {

// The countdown: armed when a calculator is found, lowered by one step per
// countdown pass, and cut to one second when the user presses Start.
constexpr std::int32_t kCountdownMs = 5250;
constexpr std::int32_t kCountdownStepMs = 1000;
constexpr std::int32_t kStartNowMs = 1000;

// A failed file is tried again this many times: six attempts in all.
constexpr std::int32_t kRetries = 5;

// From "Done" to the end of the program.
constexpr std::uint32_t kExitDelayMs = 3000;

// The worker's pauses.
constexpr std::uint32_t kStartPauseMs = 500;          // before the first pass
constexpr std::uint32_t kPollPauseMs = 500;           // after each presence check
constexpr std::uint32_t kCountdownPauseMs = 1000;     // one countdown pass
constexpr std::uint32_t kBeforeTransferPauseMs = 250; // between downloadActive and the transfer
constexpr std::uint32_t kAfterTransferPauseMs = 100;  // after each transfer
constexpr std::uint32_t kIdlePauseMs = 250;           // waiting for the next file
constexpr std::uint32_t kRetryPauseMs = 3000;         // after a failed transfer

// The cart station (--station): a calculator plugged in after the first
// countdown is taken once it has been attached this long, so that a wobbling
// cable settles first.
constexpr std::uint32_t kStationSettleMs = 2000;

} // namespace session_rules
