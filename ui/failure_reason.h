// The info line's sentence for a failed pass: what the result code means for
// the person at the machine, in the current language, with the system's own
// message behind it when there is one.
#pragma once

#include "session/next_step.h"

#include <QString>

// The sentence for `next.result` (107, 104, 112), with the system's message
// in brackets after it when next.systemError names one; empty for a code
// without a sentence (the status's number says all there is). With more than
// one calculator in the session (`severalCalculators`) the calculator's name
// goes first.
QString failureReason(const NextStep &next, bool severalCalculators);
