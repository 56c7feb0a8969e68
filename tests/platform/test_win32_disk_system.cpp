// The Windows disk system on the machine's own calls: a regular file opened
// with a disk's flags stands in for a calculator disk (there is none to open),
// firmware files are read by UTF-16 paths, and discovery on a machine without
// a calculator finds none.
#include "platform/disk_system.h"
#include "platform/win32/win32_disk_system.h"
#include "platform/win32/win32_volumes.h"
#include "transport/device_discovery.h"

#include <QtTest>

#include <cstring>
#include <string>

using namespace platform;

namespace {

std::u16string u16(const QString &text)
{
    return QDir::toNativeSeparators(text).toStdU16String();
}

// A folder name outside ASCII, as a user's release folder may carry.
const char kFolder[] = "Mise \xC3\xA0 jour \xE8\xB5\x84\xE6\x96\x99 \xF0\x9F\x98\x80";

struct AlignedBuffer {
    explicit AlignedBuffer(std::size_t size) : data(static_cast<char *>(allocAligned(size))), size(size) {}
    ~AlignedBuffer() { freeAligned(data); }
    char *data;
    std::size_t size;
};

} // namespace

class TestWin32DiskSystem : public QObject {
    Q_OBJECT

    QTemporaryDir temp;
    QString folder;

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        folder = temp.filePath(QString::fromUtf8(kFolder));
        QVERIFY(QDir().mkpath(folder));
    }

    void fileWithDiskFlagsBeyondFourGiB()
    {
        // Sparse where the file system allows: 4 GiB and 1 MiB.
        const qint64 size = (qint64(4) << 30) + (1 << 20);
        const QString path = folder + "/disk.img";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        Handle disk = openFileWithDiskFlags(u16(path).c_str());
        QVERIFY(disk != kInvalidHandle);
        QCOMPARE(disk->size(), size);

        // Past 4 GiB the high half travels through SetFilePointer's pointer
        // argument: a sector there, written, flushed and read back.
        const std::int64_t far = (std::int64_t(4) << 30) + 3 * 512;
        AlignedBuffer out(512), in(512);
        for (int i = 0; i < 512; ++i)
            out.data[i] = char(i * 13 + 1);
        QCOMPARE(disk->seek(far, SeekOrigin::Begin), far);
        std::uint32_t moved = 0;
        QVERIFY(disk->write(out.data, 512, &moved));
        QCOMPARE(moved, 512u);
        QVERIFY(disk->flush());
        QCOMPARE(disk->seek(-512, SeekOrigin::Current), far);
        std::memset(in.data, 0, 512);
        QVERIFY(disk->read(in.data, 512, &moved));
        QCOMPARE(moved, 512u);
        QVERIFY(std::memcmp(in.data, out.data, 512) == 0);

        // A low half of all ones is a position, not an error.
        const std::int64_t allOnes = (std::int64_t(1) << 32) + 0xFFFFFE00;
        QCOMPARE(disk->seek(allOnes, SeekOrigin::Begin), allOnes);
        QCOMPARE(disk->seek(0, SeekOrigin::End), size);
        // Before the start: an error, and the position stays.
        setLastError(0);
        QCOMPARE(disk->seek(-1, SeekOrigin::Begin), std::int64_t(-1));
        QVERIFY(lastError() != 0);
        QVERIFY(!errorText(lastError()).empty());
        QCOMPARE(disk->seek(0, SeekOrigin::Current), size);
        QVERIFY(closeHandle(disk));

        // The bytes are in the file, where the host sees them.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.seek(far));
        QCOMPARE(file.read(512), QByteArray(out.data, 512));
    }

    void firmwareFileByUtf16Path()
    {
        const QString path = folder + "/GIRVAARM.ROM";
        QByteArray content(3000, '\0');
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), qint64(content.size()));
        }
        Handle file = osDiskSystem().openFile(u16(path).c_str());
        QVERIFY(file != kInvalidHandle);
        QCOMPARE(file->size(), std::int64_t(3000));
        char buffer[4000];
        std::uint32_t moved = 0;
        QVERIFY(file->read(buffer, sizeof buffer, &moved));
        QCOMPARE(moved, 3000u);
        QCOMPARE(QByteArray(buffer, 3000), content);
        std::uint32_t written = 0;
        QVERIFY(!file->write(buffer, 1, &written)); // read-only
        QVERIFY(closeHandle(file));

        setLastError(0);
        QCOMPARE(osDiskSystem().openFile(u16(folder + "/missing.rom").c_str()), kInvalidHandle);
        QCOMPARE(lastError(), std::uint32_t(2)); // ERROR_FILE_NOT_FOUND
    }

    // Paths as the release scan and a command line give them, beyond 260
    // units too. (Wine opens long paths in the plain form as well: here the
    // extended form is proven to reach the same file, not to be needed.)
    void firmwareFileByAnyPath_data()
    {
        QTest::addColumn<QString>("path");    // from the temporary folder, which is the current one
        QTest::addColumn<uint>("systemError"); // 0: it opens
        const QString deep = QString("d").repeated(120) + "/" + QString("e").repeated(120) + "/" +
                             QString("f").repeated(120);
        QVERIFY(QDir(temp.path()).mkpath(deep));
        for (const QString &name : {deep + "/MASTER.DAT", QString("MASTER.DAT")}) {
            QFile file(temp.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("tavix", 5) == 5);
        }
        const QString absolute = QDir::toNativeSeparators(temp.filePath(deep + "/MASTER.DAT"));
        QVERIFY(absolute.size() > 370);
        QTest::newRow("absolute") << absolute << 0u;
        QTest::newRow("slashes and dots") << temp.filePath(deep + "/./../" + deep.section('/', -1) + "/MASTER.DAT") << 0u;
        // (The system makes only short relative paths absolute.)
        QTest::newRow("relative") << ".\\" + deep.left(120) + "\\..\\MASTER.DAT" << 0u;
        QTest::newRow("above the root") << temp.path().left(3) + "..\\x" << 123u; // ERROR_INVALID_NAME
    }
    void firmwareFileByAnyPath()
    {
        QFETCH(QString, path);
        QFETCH(uint, systemError);
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(temp.path()));
        setLastError(0);
        Handle file = osDiskSystem().openFile(path.toStdU16String().c_str());
        QDir::setCurrent(before);
        QCOMPARE(lastError(), systemError);
        QCOMPARE(file != kInvalidHandle, systemError == 0);
        if (file != kInvalidHandle)
            QCOMPARE(file->size(), std::int64_t(5));
        closeHandle(file);
    }

    void devicesAreNeverOpenedAsFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("physical drive") << "\\\\.\\PhysicalDrive0";
        QTest::newRow("volume") << "\\\\?\\C:\\";
        QTest::newRow("forward slashes") << "//./PhysicalDrive0";
        QTest::newRow("share") << "\\\\server\\share\\disk.img";
    }
    void devicesAreNeverOpenedAsFiles()
    {
        QFETCH(QString, path);
        QCOMPARE(openFileWithDiskFlags(path.toStdU16String().c_str()), kInvalidHandle);
    }

    void aFileNamedAsADeviceIsRefused()
    {
        // The same regular file: by its plain path it opens, by the "\\?\"
        // form of the same path (which the system would open too) it is refused.
        const QString path = QDir::toNativeSeparators(folder + "/stand-in.img");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(4096));
        }
        Handle plain = openFileWithDiskFlags(path.toStdU16String().c_str());
        QVERIFY(plain != kInvalidHandle);
        QVERIFY(closeHandle(plain));
        Handle longForm = osDiskSystem().openFile(("\\\\?\\" + path).toStdU16String().c_str());
        QVERIFY(longForm != kInvalidHandle); // the system itself takes this form
        QVERIFY(closeHandle(longForm));
        setLastError(0);
        QCOMPARE(openFileWithDiskFlags(("\\\\?\\" + path).toStdU16String().c_str()), kInvalidHandle);
        QCOMPARE(lastError(), std::uint32_t(5)); // ERROR_ACCESS_DENIED
    }

    void noCalculatorHere()
    {
        // Whatever disks this machine has, none is a calculator in update
        // mode; a path no discovery delivered is not opened.
        int interfaces = 0;
        osDiskSystem().enumerateDiskInterfaces([&](const char16_t *) {
            ++interfaces;
            return true;
        });
        qInfo("%d disk interfaces present", interfaces);
        char16_t table[16][260] = {};
        QCOMPARE(findCalculatorDisks(table, u"XQ", u"Tavix update", 16), 0);
        QVERIFY(!isCalculatorConnected(u"XQ", u"Tavix update"));
        const char16_t *undelivered = u"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#1&0#"
                                      u"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        QCOMPARE(osDiskSystem().openDisk(undelivered), kInvalidHandle);
        // Nor are its volumes asked for: none listed, an empty hold.
        std::vector<MountedVolume> volumes{{u"E:", u"FAT"}};
        QVERIFY(!osDiskSystem().listVolumes(undelivered, &volumes));
        QCOMPARE(lastError(), std::uint32_t(2)); // ERROR_FILE_NOT_FOUND
        QVERIFY(volumes.empty());
        QVERIFY(osDiskSystem().holdVolumes(undelivered, nullptr) != nullptr);
    }

    void aDiskThatDoesNotOpenHasNoVolumesToHold()
    {
        // A disk that cannot even be opened to be asked its number: its
        // volumes cannot be listed (the system's reason kept), and the hold
        // holds nothing, so that the disk's own open says what is wrong.
        const std::u16string gone = u16(folder + "/no-such-disk");
        std::vector<MountedVolume> volumes{{u"E:", u"FAT"}};
        QVERIFY(!listWindowsVolumes(gone.c_str(), &volumes));
        QCOMPARE(lastError(), std::uint32_t(2)); // ERROR_FILE_NOT_FOUND
        QVERIFY(volumes.empty());
        MountedVolume refused{u"untouched", u""};
        QVERIFY(holdWindowsVolumes(gone.c_str(), &refused) != nullptr);
        QVERIFY(refused.name == u"untouched"); // named only when a volume refuses
    }
};

QTEST_GUILESS_MAIN(TestWin32DiskSystem)
#include "test_win32_disk_system.moc"
