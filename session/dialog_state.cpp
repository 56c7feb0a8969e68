#include "session/dialog_state.h"

#include "session/session_rules.h"

std::atomic<DialogSharedState *> gDialogState{nullptr};

void DialogSharedState::armCountdown()
{
    countdownMs.store(session_rules::kCountdownMs);
}

void DialogSharedState::startNow()
{
    std::int32_t left = countdownMs.load();
    while (left != 0 && !countdownMs.compare_exchange_weak(left, session_rules::kStartNowMs)) {
    }
}

std::int32_t DialogSharedState::countDownOneStep()
{
    std::int32_t left = countdownMs.load();
    std::int32_t next;
    do {
        if (left == 0)
            return 0;
        next = left > session_rules::kCountdownStepMs ? left - session_rules::kCountdownStepMs : 0;
    } while (!countdownMs.compare_exchange_weak(left, next));
    return left;
}

void DialogSharedState::disarmCountdown()
{
    countdownMs.store(0);
}

std::int32_t DialogSharedState::countdownLeftMs() const
{
    return countdownMs.load();
}

void DialogSharedState::markBusy()
{
    busy.store(true);
}

void DialogSharedState::clearBusy()
{
    busy.store(false);
}

bool DialogSharedState::isBusy() const
{
    return busy.load();
}
