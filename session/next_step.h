// The rule after each pass of a session: what it meant for the session and
// what comes next: a transfer at once (some calculator is due for a file),
// a pause until the next calculator's retry is due, "Done", or the final
// failure. The worker applies it; the window only shows it.
#pragma once

#include "session/calculator_ledger.h"

#include <QMetaType>

#include <cstdint>
#include <string>

struct NextStep {
    enum Kind : std::int32_t {
        SendFile = 0, // `file` goes out next, at once
        Retry = 1,    // nobody is due now: the next transfer after `waitMs`
        Done = 2,     // every calculator of the session holds every file
        GiveUp = 3,   // every calculator that lacks a file has been given up
    };
    Kind kind = Done;
    std::int32_t result = 0; // the pass's result for the session: 0 or a result code
    int file = -1;           // SendFile: the file that goes out next; otherwise -1
    std::u16string filePath; // SendFile: that file's path as the person chose it (the worker fills it in)
    int failures = 0;        // the highest failure count among the calculators that failed in the pass
    std::uint32_t waitMs = 0; // Retry: until the next calculator is due
    // Why `result`: the calculator it belongs to (its identity; empty when
    // the session has met none), whether that calculator was attached at the
    // last discovery, and the system's error behind it (0: none given).
    std::u16string calculator;
    bool calculatorPresent = false;
    std::uint32_t systemError = 0;
    // What `result` is about beyond its code, from that calculator's record:
    // kVolumeMounted: the drive Windows mounted on it (its letter, or its
    // volume path when it has none).
    std::u16string detail;
    // kReleaseChanged: the release file that changed, its name as listed.
    std::u16string changedFile;
};
Q_DECLARE_METATYPE(NextStep)

// Decides after `ledger` has recorded a pass (with `outcome`) at `nowMs`;
// `preferFile` is the file whose later groups go on (see nextRun).
NextStep decideNextStep(const CalculatorLedger &ledger, const CalculatorLedger::Outcome &outcome,
                        std::uint64_t nowMs, int preferFile = -1);
