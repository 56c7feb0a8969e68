// Fixing a release: each file read once into a private copy, the copy and
// the hash compared with what the test itself wrote and hashed, and every
// way an original can change afterwards.
#include "session/fixed_release.h"

#include "support/hooked_disk_system.h"

#include <QtTest>

#include <cerrno>
#include <random>

class TestFixedRelease : public QObject {
    Q_OBJECT

    QTemporaryDir temp;
    std::mt19937 random{20261208};

    QByteArray randomBytes(qint64 size)
    {
        QByteArray bytes(int(size), Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random());
        return bytes;
    }
    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    }
    static QByteArray readFile(const QString &path)
    {
        QFile file(QString(path).replace('\\', '/'));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }
    // Three files of the given sizes in a folder of their own, listed as the
    // scan lists them.
    QVector<CUpdateFile> makeRelease(const QString &name, const QList<qint64> &sizes, QList<QByteArray> *contents)
    {
        const QString folder = temp.filePath(name);
        QDir().mkpath(folder);
        QVector<CUpdateFile> files;
        for (int i = 0; i < sizes.size(); ++i) {
            const QString path = folder + QString("/FILE%1.DAT").arg(i);
            contents->append(randomBytes(sizes[i]));
            if (!writeFile(path, contents->last()))
                return {};
            files.append({QString(path).replace('/', '\\'), QFileInfo(path).fileName(), sizes[i], 0x100000 * i, QString()});
        }
        return files;
    }

private slots:
    void theCopiesHoldWhatWasReadAndTheHashCoversIt()
    {
        // Sizes around the 1 MiB read chunk and a few at random.
        const QList<qint64> edges{1, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 * (1 << 20) + 17};
        for (int round = 0; round < 4; ++round) {
            QList<qint64> sizes;
            for (int i = 0; i < 3; ++i)
                sizes << (round < 2 ? edges[(round * 3 + i) % edges.size()] : qint64(random() % 300000 + 1));
            QList<QByteArray> contents;
            const QVector<CUpdateFile> listed = makeRelease(QString("round%1").arg(round), sizes, &contents);
            QCOMPARE(listed.size(), 3);
            CFixedRelease::Failure failure;
            std::shared_ptr<const CFixedRelease> release = CFixedRelease::fix(listed, &failure);
            QVERIFY(release);
            QCOMPARE(release->files().size(), 3);
            QCryptographicHash whole(QCryptographicHash::Sha256);
            for (int i = 0; i < 3; ++i) {
                const CUpdateFile &sent = release->files()[i];
                QCOMPARE(sent.sourcePath, listed[i].path);
                QVERIFY(sent.path != listed[i].path);
                QCOMPARE(sent.name, listed[i].name);
                QCOMPARE(sent.diskOffset, listed[i].diskOffset);
                QCOMPARE(sent.size, sizes[i]);
                QVERIFY(readFile(sent.path) == contents[i]);
                whole.addData(contents[i]);
            }
            QCOMPARE(release->sha256().toHex(), whole.result().toHex());
            QCOMPARE(release->changedFile(true), QString());
            // The copies go with the release.
            const QString copy = QString(release->files()[0].path).replace('\\', '/');
            release.reset();
            QVERIFY(!QFileInfo::exists(copy));
        }
    }

    void everyChangeOfAnOriginalIsSeen_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("quickSees"); // size or time tells; the bytes read again always do
        QTest::newRow("shrunk") << "shrink" << true;
        QTest::newRow("grown") << "grow" << true;
        QTest::newRow("deleted") << "delete" << true;
        QTest::newRow("same size, new time") << "rewrite" << true;
        QTest::newRow("same size, time put back") << "rewrite-keep-time" << false;
        QTest::newRow("touched, same bytes") << "touch" << false;
    }
    void everyChangeOfAnOriginalIsSeen()
    {
        QFETCH(QString, change);
        QFETCH(bool, quickSees);
        QList<QByteArray> contents;
        const QVector<CUpdateFile> listed = makeRelease("change-" + change, {5000, 6000, 7000}, &contents);
        std::shared_ptr<const CFixedRelease> release = CFixedRelease::fix(listed, nullptr);
        QVERIFY(release);
        const QString path = QString(listed[1].path).replace('\\', '/');
        const QDateTime before = QFileInfo(path).lastModified();
        QByteArray now = contents[1];
        if (change == "shrink")
            now.chop(1);
        else if (change == "grow")
            now.append('x');
        else if (change != "touch")
            now[4321] = char(now[4321] ^ 0x40);
        if (change == "delete") {
            QVERIFY(QFile::remove(path));
        } else {
            QVERIFY(writeFile(path, now));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(change == "rewrite-keep-time" ? before : before.addSecs(2),
                                     QFileDevice::FileModificationTime));
        }
        QCOMPARE(release->changedFile(false), quickSees ? listed[1].name : QString());
        // The bytes read again: a touched file with the same bytes is the same release.
        QCOMPARE(release->changedFile(true), change == "touch" ? QString() : listed[1].name);
        // What is sent stays what was read.
        QVERIFY(readFile(release->files()[1].path) == contents[1]);
    }

    void aFileThatCannotBeReadOrIsNotAsListedIsNoRelease()
    {
        QList<QByteArray> contents;
        QVector<CUpdateFile> listed = makeRelease("refused", {100, 200, 300}, &contents);
        testsupport::HookedDiskSystem hooked(platform::osDiskSystem());
        hooked.failReadsOf = u"FILE2.DAT";
        hooked.readError = EIO;
        platform::installDiskSystem(&hooked);
        CFixedRelease::Failure failure;
        QVERIFY(!CFixedRelease::fix(listed, &failure));
        platform::installDiskSystem(nullptr);
        QCOMPARE(failure.kind, CFixedRelease::Failure::Unreadable);
        QCOMPARE(failure.name, QString("FILE2.DAT"));
        QCOMPARE(failure.systemError, std::uint32_t(EIO));

        // Listed at one size, another when read: the listing is stale.
        for (const qint64 listedSize : {299, 301}) {
            QVector<CUpdateFile> stale = listed;
            stale[2].size = listedSize;
            QVERIFY(!CFixedRelease::fix(stale, &failure));
            QCOMPARE(failure.kind, CFixedRelease::Failure::Changed);
            QCOMPARE(failure.name, QString("FILE2.DAT"));
        }
        QVERIFY(QFile::remove(QString(listed[0].path).replace('\\', '/')));
        QVERIFY(!CFixedRelease::fix(listed, &failure));
        QCOMPARE(failure.kind, CFixedRelease::Failure::Unreadable);
        QCOMPARE(failure.systemError, std::uint32_t(ENOENT));
    }
};

QTEST_GUILESS_MAIN(TestFixedRelease)
#include "test_fixed_release.moc"
