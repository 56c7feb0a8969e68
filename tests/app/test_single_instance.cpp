// The single-instance guard between copies of the updater, here two guards of
// one process on a key of this suite's own (the user's real copy is left alone).
#include "app/single_instance.h"

#include <QtTest>

namespace {

QString testKey()
{
    return QStringLiteral("tavix-test-guard-%1").arg(QCoreApplication::applicationPid());
}

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void laterCopyAsksForTheFront();
    void nobodyToAsk();
    void releasedGuardIsTakenAgain();
};

void TestSingleInstance::laterCopyAsksForTheFront()
{
    CSingleInstance first(testKey());
    QVERIFY(first.acquire());
    QSignalSpy front(&first, &CSingleInstance::frontRequested);

    CSingleInstance second(testKey());
    QVERIFY(!second.acquire());
    QTest::qWait(600); // unasked, the first hears nothing
    QCOMPARE(front.count(), 0);
    QVERIFY(second.askRunningCopyToFront());
    QTRY_COMPARE(front.count(), 1);
    QTest::qWait(600); // one request, one raise: never again on later polls
    QCOMPARE(front.count(), 1);
    // Each later start is heard again.
    QVERIFY(second.askRunningCopyToFront());
    QTRY_COMPARE(front.count(), 2);
    // Still the first's: asking neither took nor removed the guard.
    QVERIFY(!CSingleInstance(testKey()).acquire());
}

void TestSingleInstance::nobodyToAsk()
{
    CSingleInstance alone(testKey());
    QVERIFY(!alone.askRunningCopyToFront());
    QVERIFY(alone.acquire());
}

void TestSingleInstance::releasedGuardIsTakenAgain()
{
    auto first = std::make_unique<CSingleInstance>(testKey());
    QVERIFY(first->acquire());
    CSingleInstance second(testKey());
    QVERIFY(!second.acquire());
    QVERIFY(second.askRunningCopyToFront());
    first.reset();
    QVERIFY(second.acquire());
    // The new holder is not raised by a request that was meant for the old one.
    QSignalSpy front(&second, &CSingleInstance::frontRequested);
    QTest::qWait(600);
    QCOMPARE(front.count(), 0);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "test_single_instance.moc"
