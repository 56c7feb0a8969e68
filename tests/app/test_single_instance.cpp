// The single-instance guard between copies of the updater, here guards of one
// process on a name of this suite's own (the user's real copy is left alone),
// and a holder on another thread standing for a copy that ends its session.
#include "app/single_instance.h"
#include "platform/instance_lock.h"

#include <QtTest>

#include <chrono>
#include <memory>
#include <thread>

namespace {

QString testName()
{
    return QStringLiteral("tavix-test-guard-%1").arg(QCoreApplication::applicationPid());
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

    QTemporaryDir runtime; // POSIX: the locks go into this user's runtime folder

private slots:
    void initTestCase();
    void laterCopyAsksForTheFront();
    void nobodyToAsk();
    void releasedGuardIsTakenAgain();
    void aStartWaitsOnlyForAFinishingCopy_data();
    void aStartWaitsOnlyForAFinishingCopy();
};

void TestSingleInstance::initTestCase()
{
    QVERIFY(runtime.isValid());
    QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
}

void TestSingleInstance::laterCopyAsksForTheFront()
{
    CSingleInstance first(testName());
    QCOMPARE(first.acquire(), CSingleInstance::Taken);
    QSignalSpy front(&first, &CSingleInstance::frontRequested);

    CSingleInstance second(testName());
    QCOMPARE(second.acquire(), CSingleInstance::AnotherCopy);
    QTest::qWait(600); // unasked, the first hears nothing
    QCOMPARE(front.count(), 0);
    QVERIFY(second.askRunningCopyToFront());
    QTRY_COMPARE(front.count(), 1);
    QTest::qWait(600); // one request, one raise: never again on later polls
    QCOMPARE(front.count(), 1);
    // Each later start is heard again; two at once raise the window once.
    QVERIFY(second.askRunningCopyToFront());
    QVERIFY(second.askRunningCopyToFront());
    QTRY_COMPARE(front.count(), 2);
    QTest::qWait(600);
    QCOMPARE(front.count(), 2);
    // Still the first's: asking neither took nor removed the guard.
    QCOMPARE(CSingleInstance(testName()).acquire(), CSingleInstance::AnotherCopy);
}

void TestSingleInstance::nobodyToAsk()
{
    CSingleInstance alone(testName());
    QVERIFY(!alone.askRunningCopyToFront());
    QCOMPARE(alone.acquire(), CSingleInstance::Taken);
    QVERIFY(!alone.askRunningCopyToFront()); // the holder never asks itself
    // A name that is no lock's has no place: the copy runs and says why.
    CSingleInstance misnamed(QStringLiteral("../x"));
    QCOMPARE(misnamed.acquire(), CSingleInstance::Unguarded);
    QVERIFY(misnamed.unguardedReason().contains("../x"));
}

void TestSingleInstance::releasedGuardIsTakenAgain()
{
    auto first = std::make_unique<CSingleInstance>(testName());
    QCOMPARE(first->acquire(), CSingleInstance::Taken);
    CSingleInstance second(testName());
    QCOMPARE(second.acquire(), CSingleInstance::AnotherCopy);
    QVERIFY(second.askRunningCopyToFront());
    first.reset();
    QCOMPARE(second.acquire(), CSingleInstance::Taken);
    // The new holder is not raised by a request that was meant for the old one.
    QSignalSpy front(&second, &CSingleInstance::frontRequested);
    QTest::qWait(600);
    QCOMPARE(front.count(), 0);
}

void TestSingleInstance::aStartWaitsOnlyForAFinishingCopy_data()
{
    QTest::addColumn<bool>("finishing");  // what the holder says
    QTest::addColumn<int>("holdMs");      // when it ends; -1: after the start has given up
    QTest::addColumn<int>("waitMs");      // how long the start may wait
    QTest::addColumn<int>("outcome");
    QTest::newRow("running: no wait") << false << -1 << 5000 << int(CSingleInstance::AnotherCopy);
    QTest::newRow("finishing, ends in time") << true << 400 << 5000 << int(CSingleInstance::Taken);
    QTest::newRow("finishing beyond the wait") << true << -1 << 400 << int(CSingleInstance::AnotherCopy);
}

void TestSingleInstance::aStartWaitsOnlyForAFinishingCopy()
{
    QFETCH(bool, finishing);
    QFETCH(int, holdMs);
    QFETCH(int, waitMs);
    QFETCH(int, outcome);
    platform::InstanceLock *held = nullptr;
    QCOMPARE(platform::takeInstanceLock(testName().toStdString(), &held, nullptr), platform::InstanceLockStatus::Taken);
    if (finishing)
        platform::setInstanceState(held, platform::InstanceState::Finishing);
    std::thread holder;
    if (holdMs >= 0)
        holder = std::thread([&held, holdMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
            platform::releaseInstanceLock(held);
            held = nullptr;
        });

    CSingleInstance start(testName());
    QElapsedTimer timer;
    timer.start();
    const int got = start.acquire(waitMs);
    const qint64 waited = timer.elapsed();
    if (holder.joinable())
        holder.join();
    platform::releaseInstanceLock(held);
    QCOMPARE(got, outcome);
    // The wait lasts as long as the holder finishes, up to the limit; a
    // running holder is not waited for at all.
    const int expected = !finishing ? 0 : holdMs >= 0 ? holdMs : waitMs;
    QVERIFY2(waited >= expected && waited < expected + 2000, qPrintable(QString::number(waited)));
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
