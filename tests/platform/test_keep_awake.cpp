// The hold that keeps the machine awake during a session, on a system bus
// address where nothing, a silent socket, or a stand-in for logind answers.
#include "platform/keep_awake.h"

#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class TestKeepAwake : public QObject {
    Q_OBJECT
private slots:
    void heldOnlyWhileLogindGrantsIt_data();
    void heldOnlyWhileLogindGrantsIt();

private:
    QTemporaryDir dir_;
};

static int openDescriptors()
{
    return QDir("/proc/self/fd").count();
}

void TestKeepAwake::heldOnlyWhileLogindGrantsIt_data()
{
    QTest::addColumn<QString>("bus");
    QTest::addColumn<bool>("held");
    QTest::newRow("no socket") << "none" << false;
    QTest::newRow("a socket that never answers") << "silent" << false;
    QTest::newRow("logind refuses") << "refuse" << false;
    QTest::newRow("logind grants") << "grant" << true;
}

void TestKeepAwake::heldOnlyWhileLogindGrantsIt()
{
    QFETCH(QString, bus);
    QFETCH(bool, held);
    const QString path = dir_.filePath(bus);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + path.toUtf8());
    const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    qstrncpy(address.sun_path, path.toUtf8().constData(), sizeof address.sun_path);
    if (bus == "silent") // takes connections and never says a word
        QVERIFY(::bind(silent, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 && ::listen(silent, 8) == 0);
    QProcess daemon, logind;
    if (bus == "refuse" || bus == "grant") {
        if (!TAVIX_HAVE_SYSTEMD)
            QSKIP("built without libsystemd: the hold does nothing");
        daemon.start("dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + path});
        QTRY_VERIFY(QFile::exists(path) || daemon.state() == QProcess::NotRunning);
        logind.start("/usr/bin/python3", {TAVIX_FAKE_LOGIND, "unix:path=" + path, bus});
        QTRY_VERIFY(logind.canReadLine() || logind.state() == QProcess::NotRunning);
        if (daemon.state() == QProcess::NotRunning || logind.exitCode() == 77)
            QSKIP("no dbus-daemon or no python3-dbus");
        QCOMPARE(logind.readLine(), QByteArray("ready\n"));
    }
    const int before = openDescriptors();
    for (int i = 0; i < (bus == "none" ? 100 : 2); ++i) {
        {
            platform::AwakeHold hold("Writing firmware to calculators");
            QCOMPARE(hold.held(), held);
            QCOMPARE(openDescriptors(), before + int(held)); // logind's descriptor and nothing else
        }
        QCOMPARE(openDescriptors(), before);
        if (logind.state() == QProcess::Running) {
            QTRY_VERIFY(logind.canReadLine());
            QCOMPARE(logind.readLine(), QByteArray("inhibit|sleep:idle|Tavix updater|Writing firmware to calculators|block\n"));
        }
        if (held) { // the inhibitor ends with the hold
            QTRY_VERIFY(logind.canReadLine());
            QCOMPARE(logind.readLine(), QByteArray("released\n"));
        }
    }
    ::close(silent);
    logind.kill();
    daemon.kill();
    logind.waitForFinished();
    daemon.waitForFinished();
}

QTEST_GUILESS_MAIN(TestKeepAwake)
#include "test_keep_awake.moc"
