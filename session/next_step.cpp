#include "session/next_step.h"

#include "session/session_rules.h"

NextStep decideNextStep(CalculatorLedger &ledger, int file, std::int32_t runResult, const TransferReport &report,
                        int failedBefore)
{
    NextStep next;
    next.result = ledger.record(file, runResult, report);
    if (next.result != kTransferOk) {
        next.failures = failedBefore + 1;
        next.kind = failedBefore < session_rules::kRetries ? NextStep::Retry : NextStep::GiveUp;
        next.file = next.kind == NextStep::Retry ? file : -1;
        return next;
    }
    // The first file, in the release's order, that some calculator of the
    // session lacks: the following one while every calculator stays
    // attached, an earlier one for a calculator that came late or came back.
    next.file = ledger.firstMissing();
    next.kind = next.file < 0 ? NextStep::Done : NextStep::SendFile;
    return next;
}
