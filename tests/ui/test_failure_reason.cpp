// What a system error code means, on the system this suite runs on: its kind
// (platform/error_kind.h) and the sentence a failed open (107) and a failed
// write (112) say with it, the system's own message in brackets after it.
// The rows are written from what each system documents its codes to mean.
#include "platform/disk_system.h"
#include "platform/error_kind.h"
#include "ui/failure_reason.h"

#include <QtTest>

#include <cerrno>

using platform::ErrorKind;

namespace {

#ifdef _WIN32
const char kNeedsAdministrator[] = "The calculator could not be opened: Windows refused this user access to the "
                                   "calculator's disk. Start the updater as administrator, or ask the IT "
                                   "administrator about the removable-storage policy.";
const char kBlocked[] = "Writing to removable disks is blocked on this computer (write protection or a policy). "
                        "Ask the IT administrator to allow it.";
const char kGoneAtOpen[] = "The calculator could not be opened: it went away. Plug it in again, or check the cable.";
const char kGoneWriting[] = "The calculator went away while it was being written. Plug it in again, or check the "
                            "cable.";
#else
const char kNoAccess[] = "The calculator could not be opened: this user may not write to it. Install the "
                         "updater's udev rule, or run the updater as root.";
#endif
const char kInUse[] = "The calculator could not be opened: another program holds it (an Explorer window, security "
                      "software). Close that program.";
const char kUnopenable[] = "The calculator could not be opened.";
const char kStopped[] = "The calculator stopped accepting data.";

struct Row {
    std::uint32_t code;
    ErrorKind kind;
    const char *atOpen;  // 107
    const char *atWrite; // 112
};

} // namespace

class TestFailureReason : public QObject {
    Q_OBJECT

private slots:
    void everyCodeItsKindAndWords()
    {
#ifdef _WIN32
        // GetLastError values.
        const Row rows[] = {
            {5, ErrorKind::AccessDenied, kNeedsAdministrator, kBlocked},   // ERROR_ACCESS_DENIED
            {19, ErrorKind::WriteBlocked, kBlocked, kBlocked},              // ERROR_WRITE_PROTECT
            {21, ErrorKind::Gone, kGoneAtOpen, kGoneWriting},               // ERROR_NOT_READY
            {55, ErrorKind::Gone, kGoneAtOpen, kGoneWriting},               // ERROR_DEV_NOT_EXIST
            {1167, ErrorKind::Gone, kGoneAtOpen, kGoneWriting},             // ERROR_DEVICE_NOT_CONNECTED
            {433, ErrorKind::Gone, kGoneAtOpen, kGoneWriting},              // ERROR_NO_SUCH_DEVICE
            {32, ErrorKind::InUse, kInUse, kStopped},                       // ERROR_SHARING_VIOLATION
            {33, ErrorKind::InUse, kInUse, kStopped},                       // ERROR_LOCK_VIOLATION
            {170, ErrorKind::InUse, kInUse, kStopped},                      // ERROR_BUSY
            {1, ErrorKind::Unsupported, kUnopenable, kStopped},             // ERROR_INVALID_FUNCTION
            {50, ErrorKind::Unsupported, kUnopenable, kStopped},            // ERROR_NOT_SUPPORTED
            {0, ErrorKind::Other, kUnopenable, kStopped},
            {2, ErrorKind::Other, kUnopenable, kStopped},                   // ERROR_FILE_NOT_FOUND
            {23, ErrorKind::Other, kUnopenable, kStopped},                  // ERROR_CRC
            {31, ErrorKind::Other, kUnopenable, kStopped},                  // ERROR_GEN_FAILURE
            {87, ErrorKind::Other, kUnopenable, kStopped},                  // ERROR_INVALID_PARAMETER
            {434, ErrorKind::Other, kUnopenable, kStopped},
            {0xFFFFFFFFu, ErrorKind::Other, kUnopenable, kStopped},
        };
#else
        // errno values: nothing a Linux user reads changes with the kinds
        // Windows gives.
        const Row rows[] = {
            {EACCES, ErrorKind::NoAccess, kNoAccess, kStopped},
            {EPERM, ErrorKind::NoAccess, kNoAccess, kStopped},
            {EROFS, ErrorKind::NoAccess, kNoAccess, kStopped},
            {EBUSY, ErrorKind::InUse, kInUse, kStopped},
            {ETXTBSY, ErrorKind::InUse, kInUse, kStopped},
            {EINVAL, ErrorKind::Unsupported, kUnopenable, kStopped},
            {EOPNOTSUPP, ErrorKind::Unsupported, kUnopenable, kStopped},
            {0, ErrorKind::Other, kUnopenable, kStopped},
            {EIO, ErrorKind::Other, kUnopenable, kStopped},
            {ENODEV, ErrorKind::Other, kUnopenable, kStopped},
            {ENXIO, ErrorKind::Other, kUnopenable, kStopped},
            {ENOENT, ErrorKind::Other, kUnopenable, kStopped},
            {0xFFFFFFFFu, ErrorKind::Other, kUnopenable, kStopped},
        };
#endif
        for (const Row &row : rows) {
            const QByteArray code = QByteArray::number(row.code);
            QVERIFY2(platform::errorKind(row.code) == row.kind, code.constData());
            const QString system = QString::fromStdU16String(platform::errorText(row.code)).trimmed();
            const QString brackets = row.code == 0 || system.isEmpty() ? QString() : " (" + system + ")";
            QCOMPARE(failureReasonInEnglish(107, row.code), QString::fromUtf8(row.atOpen) + brackets);
            QCOMPARE(failureReasonInEnglish(112, row.code), QString::fromUtf8(row.atWrite) + brackets);
        }
    }
};

QTEST_GUILESS_MAIN(TestFailureReason)
#include "test_failure_reason.moc"
