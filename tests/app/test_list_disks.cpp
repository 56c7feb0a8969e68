// --list-disks on simulated calculators: each calculator is opened as a
// session opens it and closed again at once, nothing written; a refusal is
// said in the window's words, and the volumes the system mounted on it are
// named. Runs under Wine too, where the codes are Windows' own.
#include "app/list_disks.h"

#include "emulator/emulated_disk_system.h"
#include "platform/error_kind.h"
#include "support/calculator_fixtures.h"
#include "transport/transfer_engine.h"
#include "ui/failure_reason.h"

#include <QtTest>

class TestListDisks : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { platform::installDiskSystem(nullptr); }

    // Calculator 1 with `faults`, calculator 2 without.
    void everyCalculatorIsTried_data()
    {
        QTest::addColumn<QString>("faults");
        QTest::addColumn<uint>("openError"); // 0: it opens
        QTest::addColumn<QString>("reason");
        QTest::newRow("both open") << "" << 0u << "-";
        QTest::newRow("access denied") << "open-error=access-denied" << uint(platform::namedSystemError("access-denied"))
                                       << "-";
        QTest::newRow("held by another program") << "open-error=sharing" << uint(platform::namedSystemError("sharing"))
                                                 << "-";
        QTest::newRow("a volume mounted") << "mounted=E:FAT" << 0u << "mounted: E: (FAT)";
    }
    void everyCalculatorIsTried()
    {
        QFETCH(QString, faults);
        QFETCH(uint, openError);
        QFETCH(QString, reason);
        emulator::EmulatedDiskSystem disks;
        const auto first = testsupport::attachCalculator(disks, faults);
        const auto second = testsupport::attachCalculator(disks);
        platform::installDiskSystem(&disks);

        const QStringList lines = QString::fromStdString(listDisksReport()).split('\n');
        QCOMPARE(lines.value(0).simplified(), QStringLiteral("DISK TAKEN REASON ACCESS DEVICE PATH"));
        QVERIFY(lines.contains(QStringLiteral("Calculators found: 2")));
        const QString opens = QStringLiteral("  opens for reading and writing  ");
        const QString access = openError != 0 ? failureReasonInEnglish(kDiskUnopenable, openError) : opens.trimmed();
        for (const auto &[calculator, words, why] :
             {std::make_tuple(first, access, reason), std::make_tuple(second, opens.trimmed(), QStringLiteral("-"))}) {
            const QString path = QString::fromStdU16String(calculator->devicePath());
            const QStringList row = lines.filter(path);
            QCOMPARE(row.size(), 1);
            QStringList cells{"calculator", why, words, path};
            for (QString &cell : cells)
                cell = QRegularExpression::escape(cell);
            const QRegularExpression columns(cells.join(QStringLiteral(" {2,}")) + '$');
            QVERIFY2(columns.match(row[0]).hasMatch(), qPrintable(row[0]));
            // Opened and closed: no byte written or read.
            for (const std::string &event : calculator->trace())
                QCOMPARE(QString::fromStdString(event), QStringLiteral("refused open"));
        }
    }
};

QTEST_GUILESS_MAIN(TestListDisks)
#include "test_list_disks.moc"
