// The dialog's shared state, the choice of the interface language and the
// words for the system's refusals.
#include "emulator/emulated_disk_system.h"
#include "platform/clock.h"
#include "platform/error_kind.h"
#include "resources/language.h"
#include "session/transfer_reports.h"
#include "session/update_worker.h"
#include "ui/failure_reason.h"
#include "ui/update_dialog.h"
#include "ui/suite_settings.h"

#include <QtTest>

#include <cerrno>
#include <climits>

namespace {

// A dialog that looks at the shared state from inside its own construction,
// where the real dialog chooses its language and fetches its first texts.
class ProbingDialog : public CCalcFWUpdateMSDialog {
public:
    ProbingDialog() : CCalcFWUpdateMSDialog(QStringLiteral("/no/release/here"), 3)
    {
        sawItself = gUpdateDialog == this;
        languageSeen = currentLanguage();
    }
    bool sawItself = false;
    std::uint32_t languageSeen = 0;
};

} // namespace

class TestDialogState : public QObject {
    Q_OBJECT

private slots:
    void reachableFromItsConstructionOn()
    {
        QVERIFY(gUpdateDialog == nullptr);
        QCOMPARE(currentLanguage(), 0u);
        // No calculators, a fast clock: the window's worker finds nothing.
        emulator::EmulatedDiskSystem disks;
        platform::installDiskSystem(&disks);
        platform::useScaledClock(20);
        {
            ProbingDialog dialog;
            QVERIFY(dialog.sawItself);
            QCOMPARE(dialog.languageSeen, 3u);
            QCOMPARE(dialog.worker->countdownLeftMs(), 0);
            QVERIFY(!dialog.worker->isBusy());
        }
        QVERIFY(gUpdateDialog == nullptr);
        platform::installDiskSystem(nullptr);
        platform::useSimulatedClock(false);
    }

    void localeTable_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<uint>("language");
        const char *const rows[][2] = {{"en_US", "1"}, {"zh_CN", "2"}, {"fr_CA", "3"}, {"de_AT", "4"},
                                       {"es_MX", "5"}, {"nl_BE", "6"}, {"pt_BR", "7"}, {"ja_JP", "8"},
                                       {"ru_RU", "9"}, {"C", "1"},     {"de", "1"},    {"de_de", "4"},
                                       {"", "1"},      {"zh_Hant_TW", "1"}};
        for (const auto &row : rows)
            QTest::newRow(*row[0] ? row[0] : "empty") << QString(row[0]) << QString(row[1]).toUInt();
    }
    void localeTable()
    {
        QFETCH(QString, locale);
        QFETCH(uint, language);
        QCOMPARE(languageFromLocale(locale.toStdString()), language);
    }

    void rangeCheck_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<uint>("stored");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0 stays 0") << 0 << 0u << true;
        QTest::newRow("5") << 5 << 5u << true;
        QTest::newRow("9, the highest") << 9 << 9u << true;
        QTest::newRow("10") << 10 << 1u << false;
        QTest::newRow("12") << 12 << 1u << false;
        QTest::newRow("-1") << -1 << 1u << false;
        QTest::newRow("most negative") << INT_MIN << 1u << false;
    }
    void rangeCheck()
    {
        QFETCH(int, value);
        QFETCH(uint, stored);
        QFETCH(bool, accepted);
        std::uint32_t target = 77;
        QCOMPARE(checkLanguage(&target, value), accepted);
        QCOMPARE(target, stored);
    }

    void fromStoredSetting_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("systemLocale");
        QTest::addColumn<uint>("language");
        QTest::newRow("absent: the system's German") << QVariant() << "de_DE" << 4u;
        QTest::newRow("absent: the system's Russian") << QVariant() << "ru_RU" << 9u;
        QTest::newRow("absent: an unknown locale") << QVariant() << "pl_PL" << 1u;
        QTest::newRow("5") << QVariant("5") << "de_DE" << 5u;
        QTest::newRow("9") << QVariant("9") << "de_DE" << 9u;
        QTest::newRow("10") << QVariant("10") << "de_DE" << 1u;
        QTest::newRow("-1") << QVariant("-1") << "de_DE" << 1u;
        QTest::newRow("0") << QVariant("0") << "de_DE" << 0u;
        QTest::newRow("not a number") << QVariant("German") << "de_DE" << 0u;
        QTest::newRow("an integer") << QVariant(7) << "de_DE" << 7u;
    }
    void fromStoredSetting()
    {
        QFETCH(QVariant, stored);
        QFETCH(QString, systemLocale);
        QFETCH(uint, language);
        QCOMPARE(languageFromSetting(stored, systemLocale), language);
    }

    void everySystemCodeItsKindAndWords()
    {
        // Each code this system documents, its kind and the sentence a failed
        // open (107) and a failed write (112) begin with.
        using K = platform::ErrorKind;
        const char *const stopped = "The calculator stopped accepting data.";
        const struct {
            std::uint32_t code;
            K kind;
            const char *atOpen, *atWrite;
        } rows[] = {
#ifdef _WIN32 // GetLastError values
            {5, K::AccessDenied, "The calculator could not be opened: Windows refused", "Writing to removable disks is blocked"},
            {19, K::WriteBlocked, "Writing to removable disks is blocked", "Writing to removable disks is blocked"},
            {21, K::Gone, "The calculator could not be opened: it went away", "The calculator went away"},
            {55, K::Gone, "The calculator could not be opened: it went away", "The calculator went away"},
            {1167, K::Gone, "The calculator could not be opened: it went away", "The calculator went away"},
            {433, K::Gone, "The calculator could not be opened: it went away", "The calculator went away"},
            {32, K::InUse, "The calculator could not be opened: another program", stopped},
            {33, K::InUse, "The calculator could not be opened: another program", stopped},
            {170, K::InUse, "The calculator could not be opened: another program", stopped},
            {1, K::Unsupported, "The calculator could not be opened.", stopped},
            {50, K::Unsupported, "The calculator could not be opened.", stopped},
#else // errno values: nothing a Linux user reads changes with Windows' kinds
            {EACCES, K::NoAccess, "The calculator could not be opened: this user may not", stopped},
            {EPERM, K::NoAccess, "The calculator could not be opened: this user may not", stopped},
            {EROFS, K::NoAccess, "The calculator could not be opened: this user may not", stopped},
            {EBUSY, K::InUse, "The calculator could not be opened: another program", stopped},
            {EINVAL, K::Unsupported, "The calculator could not be opened.", stopped},
            {EOPNOTSUPP, K::Unsupported, "The calculator could not be opened.", stopped},
#endif
            {0, K::Other, "The calculator could not be opened.", stopped}, // and every code not named
            {2, K::Other, "The calculator could not be opened.", stopped},
            {0xFFFFFFFFu, K::Other, "The calculator could not be opened.", stopped},
        };
        for (const auto &row : rows) {
            QVERIFY2(platform::errorKind(row.code) == row.kind, QByteArray::number(row.code).constData());
            QVERIFY2(failureReasonInEnglish(107, row.code).startsWith(row.atOpen), QByteArray::number(row.code).constData());
            QVERIFY2(failureReasonInEnglish(112, row.code).startsWith(row.atWrite), QByteArray::number(row.code).constData());
        }
    }
};

QTEST_MAIN(TestDialogState)
#include "test_dialog_state.moc"
