#include "session/next_step.h"

#include <algorithm>

namespace {

// Names the calculator behind the step's code.
void explain(NextStep &next, const CalculatorLedger &ledger, int entry)
{
    if (entry < 0 || entry >= ledger.size())
        return;
    const CalculatorLedger::Calculator &calculator = ledger.at(entry);
    next.calculator = ledger.identity(entry);
    next.calculatorPresent = calculator.present;
    next.systemError = calculator.lastSystemError;
    next.detail = calculator.lastDetail;
}

} // namespace

NextStep decideNextStep(const CalculatorLedger &ledger, const CalculatorLedger::Outcome &outcome,
                        std::uint64_t nowMs, int preferFile)
{
    NextStep next;
    next.result = outcome.result;
    next.failures = outcome.failures;
    explain(next, ledger, outcome.entry);
    if (ledger.allUpdated()) {
        next.kind = NextStep::Done;
        return next;
    }
    if (ledger.allLackingGivenUp()) {
        next.kind = NextStep::GiveUp;
        next.result = ledger.lastGivenUpCode();
        next.calculator.clear();
        next.systemError = 0;
        next.detail.clear();
        explain(next, ledger, ledger.lastGivenUpEntry());
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
