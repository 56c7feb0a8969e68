// The info line's sentence for a failed pass: what the result code means for
// the person at the machine, in the current language, with the system's own
// message behind it when there is one.
#pragma once

#include "session/next_step.h"

#include <QString>

#include <cstdint>

// The sentence for `next.result` (107, 104, 112, 122, ...), with the system's message
// in brackets after it when next.systemError names one; empty for a code
// without a sentence (the status's number says all there is). With more than
// one calculator in the session (`severalCalculators`) the calculator's name
// goes first.
QString failureReason(const NextStep &next, bool severalCalculators);

// `sentence`, with the system's own message for `systemError` in brackets
// after it when the system has one.
QString withSystemMessage(const QString &sentence, std::uint32_t systemError);

// "NAME changed after it was checked": a release file that is no longer what
// the scan read.
QString changedAfterCheck(const QString &name);

// The sentence for `code` in English whatever the window's language, for
// records read on any machine: with the system's message in brackets after it
// when `systemError` names one, and "result code N" for a code without a
// sentence. `calculator`: the calculator the code is about, when the session
// met it (a 104 then says that it went missing); `changedFile`: for 120, the
// release file that changed; `detail`: the calculator's own detail
// (CalculatorView::detail: for 122 the drive the system mounted on it).
QString failureReasonInEnglish(std::int32_t code, std::uint32_t systemError, const QString &calculator = QString(),
                               const QString &changedFile = QString(), const QString &detail = QString());
