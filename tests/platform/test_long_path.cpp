// The extended form of release paths, which Windows opens at any length: the
// forms "Naming Files, Paths, and Namespaces" gives, and the edges of what the
// function takes. Runs on every system (it is plain text work).
#include "platform/long_path.h"

#include <QtTest>

using platform::LongPathStatus;

Q_DECLARE_METATYPE(LongPathStatus)

namespace {

// `count` components of `width` units each below C:\ (with the separators,
// 3 + count * (width + 1) - 1 units).
QString deepPath(int count, int width)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QString(width, QChar(u'a' + i % 26));
    return QStringLiteral("C:\\") + parts.join(QLatin1Char('\\'));
}

} // namespace

class TestLongPath : public QObject {
    Q_OBJECT

private slots:
    void extendedForm_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<LongPathStatus>("status");
        QTest::addColumn<QString>("extended"); // for Extended only
        const auto ok = LongPathStatus::Extended;
        const auto invalid = LongPathStatus::Invalid;
        const auto relative = LongPathStatus::Relative;
        // Drive paths; '/' and '\' alike; "." and ".." resolved; runs of separators as one.
        QTest::newRow("drive") << "C:\\Rel\\MASTER.DAT" << ok << "\\\\?\\C:\\Rel\\MASTER.DAT";
        QTest::newRow("forward slashes") << "d:/Rel/x/MASTER.DAT" << ok << "\\\\?\\d:\\Rel\\x\\MASTER.DAT";
        QTest::newRow("dots") << "C:\\a\\.\\b\\..\\c\\\\/d" << ok << "\\\\?\\C:\\a\\c\\d";
        QTest::newRow("drive root") << "C:/" << ok << "\\\\?\\C:\\";
        QTest::newRow("back to the root") << "C:\\a\\.." << ok << "\\\\?\\C:\\";
        QTest::newRow("trailing separator") << "C:\\a\\b/" << ok << "\\\\?\\C:\\a\\b\\";
        QTest::newRow("names kept") << QString::fromUtf8("C:\\Mise \xC3\xA0 jour \xF0\x9F\x98\x80\\x. \\...")
                                    << ok << QString::fromUtf8("\\\\?\\C:\\Mise \xC3\xA0 jour \xF0\x9F\x98\x80\\x. \\...");
        QTest::newRow("above the root") << "C:\\a\\..\\.." << invalid << "";
        // Network shares: ".." stops at the share.
        QTest::newRow("share") << "\\\\server\\share\\Rel\\MASTER.DAT" << ok << "\\\\?\\UNC\\server\\share\\Rel\\MASTER.DAT";
        QTest::newRow("share, slashes") << "//server/share/a/../b" << ok << "\\\\?\\UNC\\server\\share\\b";
        QTest::newRow("share root") << "\\\\server\\share" << ok << "\\\\?\\UNC\\server\\share";
        QTest::newRow("above the share") << "\\\\server\\share\\a\\..\\.." << invalid << "";
        QTest::newRow("server alone") << "\\\\server" << invalid << "";
        QTest::newRow("no share") << "\\\\server\\\\share" << invalid << "";
        QTest::newRow("three separators") << "\\\\\\server\\share" << invalid << "";
        QTest::newRow("two separators") << "\\\\" << invalid << "";
        // Already extended or a device: as they are; spelt otherwise: refused.
        QTest::newRow("extended") << "\\\\?\\C:\\a\\..\\b" << ok << "\\\\?\\C:\\a\\..\\b";
        QTest::newRow("extended share") << "\\\\?\\UNC\\s\\x" << ok << "\\\\?\\UNC\\s\\x";
        QTest::newRow("device") << "\\\\.\\PhysicalDrive0" << ok << "\\\\.\\PhysicalDrive0";
        QTest::newRow("extended with slashes") << "//?/C:/a" << invalid << "";
        QTest::newRow("device with slashes") << "\\\\./PhysicalDrive0" << invalid << "";
        QTest::newRow("prefix cut short") << "\\\\?" << invalid << "";
        // Not absolute: the caller makes it so first.
        QTest::newRow("name") << "MASTER.DAT" << relative << "";
        QTest::newRow("dot") << ".\\a" << relative << "";
        QTest::newRow("current drive's root") << "\\a\\b" << relative << "";
        QTest::newRow("drive relative") << "C:a\\b" << relative << "";
        QTest::newRow("drive alone") << "C:" << relative << "";
        QTest::newRow("no drive letter") << "1:\\a" << relative << "";
        QTest::newRow("one unit") << "C" << relative << "";
        QTest::newRow("empty") << "" << invalid << "";
        QTest::newRow("NUL inside") << QStringLiteral("C:\\a") + QChar(0) + QStringLiteral("b") << invalid << "";
    }
    void extendedForm()
    {
        QFETCH(QString, path);
        QFETCH(LongPathStatus, status);
        QFETCH(QString, extended);
        std::u16string out = u"untouched";
        QCOMPARE(platform::extendedLengthPath(path.toStdU16String(), &out), status);
        QCOMPARE(QString::fromStdU16String(out), status == LongPathStatus::Extended ? extended : QStringLiteral("untouched"));
    }

    // Lengths: past 260 (where the plain form stops), and at the system's
    // limit of 32767 units with the terminator, from either kind of path.
    void lengths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("extendedLength"); // -1: too long
        const QString base300 = deepPath(6, 49); // 3 + 6 * 50 - 1 = 302 units
        QTest::newRow("300 units") << base300 << 4 + 302;
        QTest::newRow("300 units, slashes") << QString(base300).replace('\\', '/') << 4 + 302;
        // 4 + 3 + 327 * 100 - 1 + n: the limit lands in the last component.
        const QString near = deepPath(327, 99); // 32702 units, 32706 extended
        QTest::newRow("32766 extended") << near + QStringLiteral("\\") + QString(59, 'z') << 32766;
        QTest::newRow("32767 extended") << near + QStringLiteral("\\") + QString(60, 'z') << -1;
        QTest::newRow("far over") << deepPath(2000, 99) << -1;
        QTest::newRow("long, back under it") << deepPath(400, 99) + QString("\\..").repeated(390) << 4 + 3 + 10 * 100 - 1;
        // "\\?\UNC\s\h" (11) + 327 * 100 + 1 + n.
        const QString share = QStringLiteral("\\\\s\\h") + deepPath(327, 99).mid(2);
        QTest::newRow("share, 32766 extended") << share + QStringLiteral("\\") + QString(54, 'z') << 32766;
        QTest::newRow("share, 32767 extended") << share + QStringLiteral("\\") + QString(55, 'z') << -1;
        QTest::newRow("extended given, 32766") << QStringLiteral("\\\\?\\C:\\") + QString(32759, 'x') << 32766;
        QTest::newRow("extended given, 32767") << QStringLiteral("\\\\?\\C:\\") + QString(32760, 'x') << -1;
    }
    void lengths()
    {
        QFETCH(QString, path);
        QFETCH(int, extendedLength);
        std::u16string out;
        const LongPathStatus status = platform::extendedLengthPath(path.toStdU16String(), &out);
        if (extendedLength < 0) {
            QCOMPARE(status, LongPathStatus::TooLong);
            QVERIFY(out.empty());
            return;
        }
        QCOMPARE(status, LongPathStatus::Extended);
        QCOMPARE(int(out.size()), extendedLength);
        QVERIFY(out.find(u'/') == std::u16string::npos);
    }
};

QTEST_GUILESS_MAIN(TestLongPath)
#include "test_long_path.moc"
