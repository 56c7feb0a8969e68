// This user's one-copy lock on Linux: where it lives, that the kernel drops it
// with its process, and that another account can neither hold nor block it.
// Other processes are this program again in its holder mode (--hold NAME
// [UID]): it takes the lock (as UID, when given), says "taken", "held" or
// "unavailable", and keeps it until its standard input closes.
#include "platform/instance_lock.h"

#include <QtTest>

#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr uid_t kNobody = 65534;

int holderMode(int argc, char **argv)
{
    if (argc > 3) {
        const auto uid = static_cast<uid_t>(std::strtoul(argv[3], nullptr, 10));
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
            return 3;
    }
    platform::InstanceLock *lock = nullptr;
    std::string why;
    const auto status = platform::takeInstanceLock(argv[2], &lock, &why);
    std::printf("%s\n", status == platform::InstanceLockStatus::Taken ? "taken"
                        : status == platform::InstanceLockStatus::Held ? "held"
                                                                        : ("unavailable: " + why).c_str());
    std::fflush(stdout);
    char byte;
    while (::read(0, &byte, 1) > 0) {
    }
    platform::releaseInstanceLock(lock);
    return 0;
}

QString lockName()
{
    return QStringLiteral("test-lock-%1").arg(QCoreApplication::applicationPid());
}

// A folder of `uid` alone (mode 0700), made in /tmp so that the account can reach it.
QString privateFolder(uid_t uid)
{
    QByteArray path = "/tmp/test-instance-lock-XXXXXX";
    if (!::mkdtemp(path.data()) || ::chown(path.constData(), uid, uid) != 0)
        return QString();
    return QString::fromLocal8Bit(path);
}

} // namespace

class TestInstanceLock : public QObject {
    Q_OBJECT

    QStringList made; // folders to remove at the end

    // Another process holding (or trying) the lock, as this user or `uid`.
    std::unique_ptr<QProcess> holder(const QProcessEnvironment &env, int uid = -1)
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        QStringList arguments{"--hold", lockName()};
        if (uid >= 0)
            arguments << QString::number(uid);
        process->start(QCoreApplication::applicationFilePath(), arguments);
        process->waitForReadyRead(10000);
        return process;
    }
    static QString said(QProcess &process) { return QString::fromLocal8Bit(process.readLine()).trimmed(); }

    // The environment of a copy whose runtime folder is `runtime` (none when
    // empty) and whose home is `home`.
    static QProcessEnvironment environment(const QString &runtime, const QString &home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("XDG_RUNTIME_DIR");
        if (!runtime.isEmpty())
            env.insert("XDG_RUNTIME_DIR", runtime);
        env.insert("HOME", home);
        return env;
    }
    // The same for this process.
    static void useEnvironment(const QString &runtime, const QString &home)
    {
        if (runtime.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        qputenv("HOME", QFile::encodeName(home));
    }
    QString folder(uid_t uid)
    {
        const QString path = privateFolder(uid);
        made << path;
        return path;
    }

private slots:
    void cleanupTestCase()
    {
        for (const QString &path : made)
            QDir(path).removeRecursively();
        // The folders the nobody account's copies made for themselves in /tmp.
        for (const QString &name : QDir("/tmp").entryList({QString("tavix-updater-%1.*").arg(kNobody)}, QDir::Dirs))
            QDir("/tmp/" + name).removeRecursively();
    }

    void namesAgainstTheirDescription()
    {
        // Generated names, junk included, against the rule written plainly.
        const QRegularExpression rule(QRegularExpression::anchoredPattern("[A-Za-z0-9_-][A-Za-z0-9_.-]{0,63}"));
        const char alphabet[] = "aZ09-_. /\\:\xc3\xa9*\n";
        QRandomGenerator random(29);
        for (int i = 0; i < 20000; ++i) {
            std::string name(random.bounded(70), 'x');
            for (char &c : name)
                c = alphabet[random.bounded(int(sizeof alphabet))]; // the terminating NUL too
            const bool expected = name.find('\0') == std::string::npos &&
                                  rule.match(QString::fromLatin1(name.data(), int(name.size()))).hasMatch();
            QVERIFY2(platform::isInstanceName(name) == expected, name.c_str());
        }
        QVERIFY(platform::isInstanceName(std::string(64, 'a')));
        QVERIFY(!platform::isInstanceName(std::string(65, 'a')));
        QVERIFY(!platform::isInstanceName(""));
    }

    void theFolderIsThisUsersAlone_data()
    {
        QTest::addColumn<int>("runtimeMode"); // the runtime folder's rights; 0: none given
        QTest::addColumn<bool>("inRuntime");  // else in the home's .cache
        QTest::newRow("private runtime folder") << 0700 << true;
        QTest::newRow("runtime folder others may read") << 0750 << false;
        QTest::newRow("no runtime folder") << 0 << false;
    }
    void theFolderIsThisUsersAlone()
    {
        QFETCH(int, runtimeMode);
        QFETCH(bool, inRuntime);
        if (!inRuntime && QFileInfo::exists(QString("/run/user/%1").arg(::geteuid())))
            QSKIP("this user has a login runtime folder, which comes before the home");
        const QString runtime = runtimeMode ? folder(::geteuid()) : QString();
        if (runtimeMode)
            QCOMPARE(::chmod(QFile::encodeName(runtime).constData(), mode_t(runtimeMode)), 0);
        const QString home = folder(::geteuid());
        useEnvironment(runtime, home);
        platform::InstanceLock *lock = nullptr;
        QCOMPARE(platform::takeInstanceLock(lockName().toStdString(), &lock, nullptr), platform::InstanceLockStatus::Taken);
        const QString where = (inRuntime ? runtime : home + "/.cache") + "/tavix-updater";
        QFileInfo lockFile(where + "/" + lockName() + ".lock");
        QVERIFY2(lockFile.isFile(), qPrintable(lockFile.filePath()));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(where).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0700);
        QCOMPARE(st.st_uid, ::geteuid());
        platform::releaseInstanceLock(lock);
    }

    void aKilledHolderBlocksNothing()
    {
        const QString runtime = folder(::geteuid());
        useEnvironment(runtime, folder(::geteuid()));
        auto other = holder(environment(runtime, QDir::homePath()));
        QCOMPARE(said(*other), QString("taken"));
        platform::InstanceLock *lock = nullptr;
        QCOMPARE(platform::takeInstanceLock(lockName().toStdString(), &lock, nullptr), platform::InstanceLockStatus::Held);
        platform::InstanceState state = platform::InstanceState::Finishing;
        QVERIFY(platform::instanceHolderState(lockName().toStdString(), &state));
        QCOMPARE(state, platform::InstanceState::Running);
        QVERIFY(platform::askInstanceToFront(lockName().toStdString()));
        other->kill();
        QVERIFY(other->waitForFinished(10000));
        QVERIFY(!platform::instanceHolderState(lockName().toStdString(), &state));
        QVERIFY(!platform::askInstanceToFront(lockName().toStdString()));
        QCOMPARE(platform::takeInstanceLock(lockName().toStdString(), &lock, nullptr), platform::InstanceLockStatus::Taken);
        QVERIFY(!platform::takeFrontRequests(lock)); // the request was the killed copy's
        platform::releaseInstanceLock(lock);
    }

    void anotherAccountNeitherHoldsNorBlocks()
    {
        if (::geteuid() != 0)
            QSKIP("needs root, to run a copy as another account");
        // That account's copy holds the lock of the same name in its own folder.
        const QString theirs = folder(kNobody);
        auto other = holder(environment(theirs, "/nonexistent"), int(kNobody));
        QCOMPARE(said(*other), QString("taken"));
        const QString home = folder(::geteuid());
        for (const QString &runtime : {folder(::geteuid()), theirs}) {
            // Ours, and theirs named by a runtime variable kept from them (su).
            useEnvironment(runtime, home);
            platform::InstanceLock *lock = nullptr;
            QCOMPARE(platform::takeInstanceLock(lockName().toStdString(), &lock, nullptr),
                     platform::InstanceLockStatus::Taken);
            platform::releaseInstanceLock(lock);
        }

        // An account with neither a runtime folder nor a home (nobody, the
        // way su starts it), where this account left a folder and a held
        // lock under the name its copies look for first in /tmp.
        const QByteArray planted = QString("/tmp/tavix-updater-%1.000000").arg(kNobody).toLocal8Bit();
        QVERIFY(::mkdir(planted.constData(), 0700) == 0 || errno == EEXIST);
        made << QString::fromLocal8Bit(planted);
        QFile plantedLock(planted + "/" + lockName() + ".lock");
        QVERIFY(plantedLock.open(QIODevice::WriteOnly));
        QCOMPARE(::flock(plantedLock.handle(), LOCK_EX | LOCK_NB), 0);
        const QProcessEnvironment homeless = environment(QString(), "/nonexistent");
        auto first = holder(homeless, int(kNobody));
        QCOMPARE(said(*first), QString("taken"));
        // That account's own copies still exclude each other.
        auto second = holder(homeless, int(kNobody));
        QCOMPARE(said(*second), QString("held"));
        for (QProcess *copy : {other.get(), first.get(), second.get()}) {
            copy->closeWriteChannel();
            QVERIFY(copy->waitForFinished(10000));
        }
    }
};

int main(int argc, char **argv)
{
    if (argc > 2 && std::strcmp(argv[1], "--hold") == 0)
        return holderMode(argc, argv);
    QCoreApplication app(argc, argv);
    TestInstanceLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_instance_lock.moc"
