#include "session/next_step.h"

#include <algorithm>

NextStep decideNextStep(const CalculatorLedger &ledger, const CalculatorLedger::Outcome &outcome,
                        std::uint64_t nowMs, int preferFile)
{
    NextStep next;
    next.result = outcome.result;
    next.failures = outcome.failures;
    if (ledger.allUpdated()) {
        next.kind = NextStep::Done;
        return next;
    }
    if (ledger.allLackingGivenUp()) {
        next.kind = NextStep::GiveUp;
        next.result = ledger.lastGivenUpCode();
        return next;
    }
    const CalculatorLedger::Run run = ledger.nextRun(nowMs, preferFile);
    if (run.file >= 0) {
        next.kind = NextStep::SendFile;
        next.file = run.file;
        return next;
    }
    next.kind = NextStep::Retry;
    // Nobody met yet: the pause after a failure; otherwise until the next
    // calculator is due.
    const std::uint64_t due = ledger.size() == 0 ? nowMs + CalculatorLedger::kRetryPauseMs : ledger.nextDueMs();
    next.waitMs = std::uint32_t(std::min<std::uint64_t>(due > nowMs ? due - nowMs : 0, CalculatorLedger::kRetryPauseMs));
    return next;
}
