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
constexpr UiText kTextChangedAfterCheck{782, "%1 changed after it was checked"};
// What Windows says when it refuses a removable disk.
constexpr UiText kTextNeedsAdministrator{787, "The calculator could not be opened: Windows refused this user access "
                                              "to the calculator's disk. Start the updater as administrator, or ask "
                                              "the IT administrator about the removable-storage policy."};
constexpr UiText kTextWritingBlocked{788, "Writing to removable disks is blocked on this computer (write protection "
                                          "or a policy). Ask the IT administrator to allow it."};
constexpr UiText kTextGoneAtOpen{789, "The calculator could not be opened: it went away. Plug it in again, or "
                                      "check the cable."};
constexpr UiText kTextGoneWhileWritten{790, "The calculator went away while it was being written. Plug it in "
                                            "again, or check the cable."};
constexpr UiText kTextSectorSize{793, "This calculator's disk does not have sectors of 512 bytes: "
                                      "the updater cannot write to it."};
constexpr UiText kTextVolumeMounted{796, "Windows has mounted drive %1 on the calculator and would not let it go. "
                                         "Close any window or program using %1, or start the updater as "
                                         "administrator. Never accept Windows' offer to format the drive."};
constexpr UiText kTextVolumeMountedUnnamed{797, "Windows has mounted a drive on the calculator and would not let it "
                                                "go. Close any window or program using it, or start the updater as "
                                                "administrator. Never accept Windows' offer to format the drive."};

// A text's words: uiText (the window's language) or english.
using Say = QString (*)(const UiText &);

QString english(const UiText &text)
{
    return QString::fromUtf8(text.english);
}

QString sentenceFor(const NextStep &next, Say say)
{
    switch (next.result) {
    case kDiskUnopenable:
        switch (platform::errorKind(next.systemError)) {
        case platform::ErrorKind::NoAccess:
            return say(kTextNoAccess);
        case platform::ErrorKind::AccessDenied:
            return say(kTextNeedsAdministrator);
        case platform::ErrorKind::WriteBlocked:
            return say(kTextWritingBlocked);
        case platform::ErrorKind::Gone:
            return say(kTextGoneAtOpen);
        case platform::ErrorKind::InUse:
            return say(kTextInUse);
        case platform::ErrorKind::Unsupported:
        case platform::ErrorKind::Other:
            break;
        }
        return say(kTextUnopenable);
    case kNoCalculatorFound:
        // A calculator the session met and that is not attached now is the
        // one missing; with nobody met, nothing was found at all.
        if (!next.calculator.empty() && !next.calculatorPresent)
            return say(kTextMissing).arg(QString::fromStdU16String(next.calculator));
        return say(kTextNoneFound);
    case kDiskWriteFailed:
        switch (platform::errorKind(next.systemError)) {
        // Access denied at a write after a good open: a volume the system
        // mounted is locked before the first write (kVolumeMounted when it
        // cannot be), so what is left is a policy.
        case platform::ErrorKind::AccessDenied:
        case platform::ErrorKind::WriteBlocked:
            return say(kTextWritingBlocked);
        case platform::ErrorKind::Gone:
            return say(kTextGoneWhileWritten);
        default: // POSIX's kinds say nothing more at a write
            break;
        }
        return say(kTextStopped);
    case kDiskTooSmall:
        return say(kTextTooSmall);
    case kSectorSizeRefused:
        return say(kTextSectorSize);
    case kReleaseChanged:
        return say(kTextChangedAfterCheck).arg(QString::fromStdU16String(next.changedFile));
    case kVolumeMounted:
        // The drive as the person sees it in Explorer: its letter, or its
        // volume path when it has none.
        if (next.detail.empty())
            return say(kTextVolumeMountedUnnamed);
        return say(kTextVolumeMounted).arg(QString::fromStdU16String(next.detail));
    default:
        return QString();
    }
}


} // namespace

QString failureReason(const NextStep &next, bool severalCalculators)
{
    QString sentence = sentenceFor(next, uiText);
    if (sentence.isEmpty())
        return sentence;
    sentence = withSystemMessage(sentence, next.systemError);
    // The missing calculator's sentence names it already.
    if (severalCalculators && !next.calculator.empty() && next.calculatorPresent)
        sentence = QString::fromStdU16String(next.calculator) + QStringLiteral(": ") + sentence;
    return sentence;
}

QString withSystemMessage(const QString &sentence, std::uint32_t systemError)
{
    const QString system =
        systemError != 0 ? QString::fromStdU16String(platform::errorText(systemError)).trimmed() : QString();
    return system.isEmpty() ? sentence : sentence + QStringLiteral(" (") + system + QLatin1Char(')');
}

QString changedAfterCheck(const QString &name)
{
    return uiText(kTextChangedAfterCheck).arg(name);
}

QString failureReasonInEnglish(std::int32_t code, std::uint32_t systemError, const QString &calculator,
                               const QString &changedFile, const QString &detail)
{
    NextStep next;
    next.result = code;
    next.changedFile = changedFile.toStdU16String();
    next.detail = detail.toStdU16String();
    next.systemError = systemError;
    next.calculator = calculator.toStdU16String();
    next.calculatorPresent = false;
    const QString sentence = sentenceFor(next, english);
    return withSystemMessage(sentence.isEmpty() ? QStringLiteral("result code %1").arg(code) : sentence, systemError);
}
