#include "ui/failure_reason.h"

#include "platform/disk_system.h"
#include "platform/error_kind.h"
#include "transport/transfer_engine.h"
#include "ui/ui_text.h"

namespace {

constexpr UiText kTextNoAccess{754, "The calculator could not be opened: this user may not write to it. "
                                    "Install the updater's udev rule, or run the updater as root."};
constexpr UiText kTextInUse{755, "The calculator could not be opened: another program holds it "
                                 "(an Explorer window, security software). Close that program."};
constexpr UiText kTextUnopenable{756, "The calculator could not be opened."};
constexpr UiText kTextNoneFound{757, "No calculator was found. Check the cable, and that the calculator "
                                     "shows its update screen."};
constexpr UiText kTextMissing{758, "Calculator %1 is missing: plug it in again."};
constexpr UiText kTextStopped{759, "The calculator stopped accepting data."};
constexpr UiText kTextTooSmall{780, "The release does not fit this calculator's disk."};

QString sentenceFor(const NextStep &next)
{
    switch (next.result) {
    case kDiskUnopenable:
        switch (platform::errorKind(next.systemError)) {
        case platform::ErrorKind::NoAccess:
            return uiText(kTextNoAccess);
        case platform::ErrorKind::InUse:
            return uiText(kTextInUse);
        case platform::ErrorKind::Other:
            break;
        }
        return uiText(kTextUnopenable);
    case kNoCalculatorFound:
        // A calculator the session met and that is not attached now is the
        // one missing; with nobody met, nothing was found at all.
        if (!next.calculator.empty() && !next.calculatorPresent)
            return uiText(kTextMissing).arg(QString::fromStdU16String(next.calculator));
        return uiText(kTextNoneFound);
    case kDiskWriteFailed:
        return uiText(kTextStopped);
    case kDiskTooSmall:
        return uiText(kTextTooSmall);
    default:
        return QString();
    }
}

} // namespace

QString failureReason(const NextStep &next, bool severalCalculators)
{
    QString sentence = sentenceFor(next);
    if (sentence.isEmpty())
        return sentence;
    if (next.systemError != 0) {
        const QString system = QString::fromStdU16String(platform::errorText(next.systemError)).trimmed();
        if (!system.isEmpty())
            sentence += QStringLiteral(" (") + system + QLatin1Char(')');
    }
    // The missing calculator's sentence names it already.
    if (severalCalculators && !next.calculator.empty() && next.calculatorPresent)
        sentence = QString::fromStdU16String(next.calculator) + QStringLiteral(": ") + sentence;
    return sentence;
}
