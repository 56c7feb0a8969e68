// The rule after each transfer of a session: what the run means for the
// session (the ledger records it) and what comes next: the next file at once,
// the same file again after the retry pause, "Done", or the final failure.
// The worker applies it; the window only shows it.
#pragma once

#include "session/calculator_ledger.h"

#include <QMetaType>

#include <cstdint>

struct NextStep {
    enum Kind : std::int32_t {
        SendFile = 0, // `file` goes out next, at once
        Retry = 1,    // `file` goes out again after the retry pause
        Done = 2,     // every calculator of the session holds every file
        GiveUp = 3,   // `file` failed once more than the retries allow
    };
    Kind kind = Done;
    std::int32_t result = 0; // the transfer's result for the session: 0 or a result code
    int file = -1;           // SendFile, Retry: the file to send; otherwise -1
    int failures = 0;        // failed attempts of `file` so far, this one included (Retry: 1 to 5)
};
Q_DECLARE_METATYPE(NextStep)

// Records the run of `file` (its own result and the report of every
// calculator it found) in `ledger`, then decides. `failedBefore` counts the
// failed attempts of `file` before this run.
NextStep decideNextStep(CalculatorLedger &ledger, int file, std::int32_t runResult, const TransferReport &report,
                        int failedBefore);
