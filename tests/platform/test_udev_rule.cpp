// The udev rule that hands a calculator's disk to the person at the machine
// (packaging/70-tavix-updater.rules) against the Linux backend: on fake sysfs
// trees with many disks (USB disks of this and other vendors and models,
// behind mass-storage and other interfaces, SATA, NVMe, virtio, loop), the
// rule must match exactly the disks the backend names as a calculator
// (ven_xq&prod_tavix_update). The rule is read from its file and evaluated
// here the way udev evaluates its keys (written from udev's rules manual, not
// from the backend): the device's own keys on the block device, the parent
// keys (SUBSYSTEMS, ATTRS) all on one device of its parent chain, attribute
// values without their trailing white space, shell-style patterns with '|'
// alternatives. The two properties the rule reads from udev's own rules
// (ID_BUS and ID_USB_INTERFACES, set by its usb_id builtin for USB disks)
// are made from the tree as usb_id makes them.
#include "platform/posix/posix_disk_system.h"
#include "support/fake_sysfs.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <fnmatch.h>

using testsupport::FakeSysfs;

namespace {

struct Key {
    QString name; // e.g. "ATTRS{vendor}"
    QString op;   // ==, !=, +=, =
    QString value;
};

// The rule's one rule line, as keys; empty when the file holds none.
QList<Key> readRule(QString *error)
{
    QFile file(QStringLiteral(TAVIX_UDEV_RULE));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read " + file.fileName();
        return {};
    }
    QList<Key> keys;
    int rules = 0;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        ++rules;
        // NAME or NAME{ARG}, an operator, a quoted value, then a comma or the end.
        static const QRegularExpression key(
            "\\s*([A-Z_]+(?:\\{[^}]*\\})?)\\s*(==|!=|\\+=|-=|:=|=)\\s*\"([^\"]*)\"\\s*(,|$)");
        int at = 0;
        while (at < line.size()) {
            const QRegularExpressionMatch m = key.match(line, at, QRegularExpression::NormalMatch,
                                                        QRegularExpression::AnchoredMatchOption);
            if (!m.hasMatch()) {
                *error = "cannot read the rule at: " + line.mid(at);
                return {};
            }
            keys << Key{m.captured(1), m.captured(2), m.captured(3)};
            at = m.capturedEnd(0);
        }
    }
    if (rules != 1)
        *error = QString("the file holds %1 rules, expected one").arg(rules);
    return keys;
}

// udev's pattern match: shell globbing, '|' separating alternatives.
bool globMatch(const QString &pattern, const QString &value)
{
    for (const QString &alternative : pattern.split('|'))
        if (fnmatch(alternative.toUtf8().constData(), value.toUtf8().constData(), 0) == 0)
            return true;
    return false;
}

QString attribute(const QString &dir, const QString &name)
{
    QFile file(dir + '/' + name);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QString value = QString::fromUtf8(file.readAll());
    while (!value.isEmpty() && value.back().isSpace()) // udev drops trailing white space
        value.chop(1);
    return value;
}

bool hasAttribute(const QString &dir, const QString &name)
{
    return QFileInfo(dir + '/' + name).isFile();
}

// What a device directory of the tree is, as sysfs' "subsystem" link would
// say: SCSI devices are named H:C:T:L, USB devices carry idVendor, USB
// interfaces bInterfaceClass.
QString subsystemOf(const QString &dir)
{
    static const QRegularExpression scsi("^\\d+:\\d+:\\d+:\\d+$");
    if (scsi.match(QFileInfo(dir).fileName()).hasMatch())
        return "scsi";
    if (hasAttribute(dir, "idVendor") || hasAttribute(dir, "bInterfaceClass"))
        return "usb";
    return QString();
}

// The udev view of one block device of the tree, and the rule applied to it.
bool ruleMatches(const QList<Key> &rule, const FakeSysfs &sysfs, const QString &blockName, QString *error)
{
    const QString devices = QFileInfo(sysfs.root() + "/devices").canonicalFilePath();
    const QString device = QFileInfo(sysfs.root() + "/block/" + blockName).canonicalFilePath();
    QStringList chain; // the device itself, then its parents up to devices/
    for (QString dir = device; dir.startsWith(devices + '/'); dir = QFileInfo(dir).path())
        chain << dir;

    // What usb_id sets for a disk with a USB device among its parents.
    QString idBus, usbInterfaces;
    for (const QString &dir : chain) {
        if (!hasAttribute(dir, "idVendor"))
            continue;
        idBus = "usb";
        usbInterfaces = ":";
        for (const QString &child : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QString interface = dir + '/' + child;
            if (!hasAttribute(interface, "bInterfaceClass"))
                continue;
            const auto field = [&](const char *name) {
                const QString v = attribute(interface, name);
                return v.isEmpty() ? QStringLiteral("00") : v;
            };
            usbInterfaces += field("bInterfaceClass") + field("bInterfaceSubClass") + field("bInterfaceProtocol") + ':';
        }
        break;
    }
    const QHash<QString, QString> env{{"DEVTYPE", "disk"}, {"ID_BUS", idBus}, {"ID_USB_INTERFACES", usbInterfaces}};

    const auto compare = [](const Key &key, const QString &value) {
        return key.op == "==" ? globMatch(key.value, value) : !globMatch(key.value, value);
    };
    QList<Key> parentKeys;
    bool tagged = false;
    for (const Key &key : rule) {
        if (key.op == "+=" || key.op == "=" || key.op == ":=") {
            if (key.name == "TAG" && key.value == "uaccess")
                tagged = true;
            continue;
        }
        if (key.name == "ACTION") {
            if (!compare(key, "add"))
                return false;
        } else if (key.name == "SUBSYSTEM") {
            if (!compare(key, "block"))
                return false;
        } else if (key.name.startsWith("ENV{")) {
            if (!compare(key, env.value(key.name.mid(4).chopped(1))))
                return false;
        } else if (key.name == "SUBSYSTEMS" || key.name.startsWith("ATTRS{")) {
            parentKeys << key;
        } else {
            *error = "the rule uses a key this check does not know: " + key.name;
            return false;
        }
    }
    if (!tagged) {
        *error = "the rule does not add the uaccess tag";
        return false;
    }
    // Every parent key on one and the same device of the chain.
    for (const QString &dir : chain) {
        bool all = true;
        for (const Key &key : parentKeys) {
            const bool ok = key.name == "SUBSYSTEMS"
                                ? compare(key, subsystemOf(dir))
                                : hasAttribute(dir, key.name.mid(6).chopped(1)) &&
                                      compare(key, attribute(dir, key.name.mid(6).chopped(1)));
            if (!ok) {
                all = false;
                break;
            }
        }
        if (all)
            return true;
    }
    return parentKeys.isEmpty();
}

// Texts near the calculator's names: letter case, a space or an underscore,
// one character more or less, other names.
QByteArray nearName(QRandomGenerator &random, const QByteArray &name, const QList<QByteArray> &others)
{
    QByteArray out = random.bounded(6) == 0 ? others[random.bounded(others.size())] : name;
    for (char &c : out) {
        if (random.bounded(4) == 0)
            c = QChar::isUpper(uchar(c)) ? char(QChar::toLower(uchar(c))) : char(QChar::toUpper(uchar(c)));
        if (c == ' ' && random.bounded(3) == 0)
            c = '_';
    }
    switch (random.bounded(8)) {
    case 0: out += char('a' + random.bounded(26)); break;
    case 1: out.chop(1); break;
    case 2: out.prepend(' '); break;
    default: break;
    }
    return out;
}

} // namespace

class TestUdevRule : public QObject {
    Q_OBJECT

private slots:
    void matchesWhatTheBackendNamesACalculator()
    {
        QString error;
        const QList<Key> rule = readRule(&error);
        QVERIFY2(error.isEmpty(), qPrintable(error));

        QRandomGenerator random(2026);
        int checked = 0, calculators = 0;
        for (int tree = 0; tree < 20; ++tree) {
            FakeSysfs sysfs;
            QVERIFY(sysfs.isValid());
            QStringList blocks;
            // The calculator itself, and the SATA, NVMe, virtio and loop disks
            // a machine has beside it.
            QVERIFY(!sysfs.addUsbDisk("sdb", "XQ", "Tavix update", "1.00", "TX1").isEmpty());
            QVERIFY(!sysfs.addSataDisk("sda", "XQ", "Tavix update").isEmpty());
            QVERIFY(!sysfs.addNvmeDisk("nvme0n1", "Tavix update").isEmpty());
            QVERIFY(!sysfs.addVirtioDisk("vda").isEmpty());
            QVERIFY(!sysfs.addLoopDevice("loop0").isEmpty());
            blocks << "sdb" << "sda" << "nvme0n1" << "vda" << "loop0";
            for (int n = 0; n < 40; ++n) {
                const QString block = QString("sd%1%2").arg(QChar('c' + n / 26)).arg(QChar('a' + n % 26));
                const QByteArray vendor = nearName(random, "XQ", {"Kingston", "SanDisk", "XQI", "Generic"});
                const QByteArray model = nearName(random, "Tavix update", {"DataTraveler 3.0", "Tavix", "Cruzer"});
                const QByteArray interfaceClass = random.bounded(5) == 0 ? "ff" : "08";
                if (random.bounded(6) == 0)
                    QVERIFY(!sysfs.addSataDisk(block, vendor, model).isEmpty());
                else
                    QVERIFY(!sysfs.addUsbDisk(block, vendor, model, "1.00", "S" + QByteArray::number(n),
                                              interfaceClass).isEmpty());
                blocks << block;
            }

            // What the backend names a calculator, by block name.
            QSet<QString> named;
            platform::PosixDiskSystem disks(sysfs.rootPath(), sysfs.devRootPath());
            disks.enumerateDiskInterfaces([&](const char16_t *path) {
                const QString p = QString::fromStdU16String(path);
                if (p.startsWith("\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_"))
                    named << p.section('#', 2, 2).section('&', -1);
                return true;
            });
            for (const QString &block : blocks) {
                const bool matched = ruleMatches(rule, sysfs, block, &error);
                QVERIFY2(error.isEmpty(), qPrintable(error));
                const QString dir = sysfs.absolutePath(sysfs.deviceDir(block));
                // One difference is allowed, on the safe side: the backend
                // also drops leading blanks (no calculator sends any), which a
                // udev pattern cannot; the rule then leaves the disk alone.
                const bool leadingBlank =
                    attribute(dir, "vendor").startsWith(' ') || attribute(dir, "model").startsWith(' ');
                QVERIFY2(matched == named.contains(block) || (!matched && leadingBlank),
                         qPrintable(QString("%1 (vendor '%2', model '%3'): the rule %4 it, the updater %5 it")
                                        .arg(block, attribute(dir, "vendor"), attribute(dir, "model"),
                                             matched ? "matches" : "does not match",
                                             named.contains(block) ? "names it a calculator" : "does not")));
                ++checked;
                calculators += matched;
            }
        }
        // Both answers were met often enough for the comparison to mean something.
        QVERIFY2(calculators >= 40 && checked - calculators >= 400,
                 qPrintable(QString("%1 of %2 disks were calculators").arg(calculators).arg(checked)));
    }
};

QTEST_GUILESS_MAIN(TestUdevRule)
#include "test_udev_rule.moc"
