// The extended form of release paths, which Windows opens at any length: the
// forms "Naming Files, Paths, and Namespaces" gives, and the edges of what the
// function takes. Runs on every system (it is plain text work).
#include "platform/long_path.h"

#include <QtTest>

using platform::LongPathStatus;

namespace {

// "C:\" and `count` components of `width` units: 3 + count * (width + 1) - 1 units.
QString deepPath(int count, int width)
{
    QStringList parts;
    for (int i = 0; i < count; ++i)
        parts << QString(width, QChar(u'a' + i % 26));
    return QStringLiteral("C:\\") + parts.join(QLatin1Char('\\'));
}

// The function's answer as one text: the extended form, "invalid",
// "relative" or "too long".
QString answer(const QString &path)
{
    std::u16string out = u"untouched";
    switch (platform::extendedLengthPath(path.toStdU16String(), &out)) {
    case LongPathStatus::Extended:
        return QString::fromStdU16String(out);
    case LongPathStatus::Relative:
        return out == u"untouched" ? "relative" : "relative, and changed";
    case LongPathStatus::Invalid:
        return out == u"untouched" ? "invalid" : "invalid, and changed";
    case LongPathStatus::TooLong:
        return out == u"untouched" ? "too long" : "too long, and changed";
    }
    return QString();
}

} // namespace

class TestLongPath : public QObject {
    Q_OBJECT

private slots:
    void extendedForm()
    {
        // One case a line: the path, then the answer.
        const char *const cases[][2] = {
            // Drive paths: '/' and '\' alike, "." and ".." resolved, separators run together as one.
            {"C:\\Rel\\MASTER.DAT", "\\\\?\\C:\\Rel\\MASTER.DAT"},
            {"d:/Rel/./x/../y//MASTER.DAT", "\\\\?\\d:\\Rel\\y\\MASTER.DAT"},
            {"C:\\a\\..", "\\\\?\\C:\\"},
            {"C:\\a\\b/", "\\\\?\\C:\\a\\b\\"},
            {"C:\\Mise \xC3\xA0 jour \xF0\x9F\x98\x80\\x. \\...", "\\\\?\\C:\\Mise \xC3\xA0 jour \xF0\x9F\x98\x80\\x. \\..."},
            {"C:\\a\\..\\..", "invalid"},
            // Network shares: ".." stops at the share.
            {"\\\\server\\share\\Rel\\MASTER.DAT", "\\\\?\\UNC\\server\\share\\Rel\\MASTER.DAT"},
            {"//server/share/a/../b", "\\\\?\\UNC\\server\\share\\b"},
            {"\\\\server\\share", "\\\\?\\UNC\\server\\share"},
            {"\\\\server\\share\\a\\..\\..", "invalid"},
            {"\\\\server", "invalid"},
            {"\\\\server\\\\share", "invalid"},
            {"\\\\\\server\\share", "invalid"},
            // Already extended or a device: as they are; those prefixes spelt otherwise: refused.
            {"\\\\?\\C:\\a\\..\\b", "\\\\?\\C:\\a\\..\\b"},
            {"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0"},
            {"//?/C:/a", "invalid"},
            {"\\\\./PhysicalDrive0", "invalid"},
            {"\\\\?", "invalid"},
            // Not absolute: the caller makes it so first.
            {"MASTER.DAT", "relative"},
            {".\\a", "relative"},
            {"\\a\\b", "relative"},
            {"C:a\\b", "relative"},
            {"C:", "relative"},
            {"1:\\a", "relative"},
            {"", "invalid"},
        };
        for (const auto &[path, expected] : cases)
            QCOMPARE(answer(QString::fromUtf8(path)), QString::fromUtf8(expected));
        QCOMPARE(answer(QStringLiteral("C:\\a") + QChar(0) + QStringLiteral("b")), QStringLiteral("invalid"));
    }

    // Lengths past 260 units (where the plain form stops), and at the
    // system's limit of 32767 units with the terminator.
    void lengths()
    {
        const QString base300 = deepPath(6, 49); // 302 units
        QCOMPARE(answer(QString(base300).replace('\\', '/')), "\\\\?\\" + base300);
        const QString near = deepPath(327, 99); // 32702 units: 32706 extended
        QCOMPARE(answer(near + '\\' + QString(59, 'z')).size(), 32766);
        QCOMPARE(answer(near + '\\' + QString(60, 'z')), QStringLiteral("too long"));
        QCOMPARE(answer(deepPath(2000, 99)), QStringLiteral("too long"));
        QCOMPARE(answer(deepPath(400, 99) + QString("\\..").repeated(390)), "\\\\?\\" + deepPath(10, 99));
        // "\\?\UNC\s\h" (11) + 327 * 100 + 1 + n.
        const QString share = "\\\\s\\h" + near.mid(2);
        QCOMPARE(answer(share + '\\' + QString(54, 'z')).size(), 32766);
        QCOMPARE(answer(share + '\\' + QString(55, 'z')), QStringLiteral("too long"));
        QCOMPARE(answer("\\\\?\\C:\\" + QString(32759, 'x')).size(), 32766);
        QCOMPARE(answer("\\\\?\\C:\\" + QString(32760, 'x')), QStringLiteral("too long"));
    }
};

QTEST_GUILESS_MAIN(TestLongPath)
#include "test_long_path.moc"
