// The update worker driving whole sessions on simulated calculators, with a
// small stand-in for the window: it arms the countdown when a calculator is
// found and ends the loop once the worker says the session is over. The
// signals are recorded in order with the simulated time at which they were
// emitted, beside the trace each calculator saw.
//
// The stand-in runs its slots on the worker thread the moment a signal is
// emitted (direct connections), except where a test says otherwise.
#include "emulator/emulated_disk_system.h"
#include "support/calculator_fixtures.h"
#include "support/hooked_disk_system.h"
#include "platform/clock.h"
#include "platform/error_kind.h"
#include "session/session_log.h"
#include "session/update_worker.h"
#include "session/transfer_reports.h"

#include <QtTest>

#include "support/long_run.h"

#include <chrono>
#include <map>
#include <random>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// The window's side of the transfer reports: the two report signals.
class Reports : public QObject, public TransferReports {
    Q_OBJECT

public:
    void emitUpdateProgress(int percent) override { emit updateProgress(percent); }
    void emitUpdateMessage(const QString &message) override { emit updateMessage(message); }
    void emitCalculatorProgress(int, int) override {}

signals:
    void updateMessage(const QString &message);
    void updateProgress(int percent);
};

namespace {

CUpdateWorker *stopping = nullptr; // the worker a pause observer stops
CUpdateWorker *lateWindow = nullptr; // the worker a pause observer arms late

struct Release {
    QString path;
    qint64 offset;
    QByteArray bytes;
};

} // namespace

// What the window does for the worker: hand it the release, arm the
// countdown, and end the loop when the session's transfers are over.
class DialogStandIn : public QObject {
    Q_OBJECT

public:
    DialogStandIn(CUpdateWorker &worker, const QList<Release> &files) : worker_(worker)
    {
        QVector<CUpdateFile> release;
        for (const Release &file : files)
            release.append({file.path, QFileInfo(file.path).fileName(),
                            file.bytes.size(), file.offset, QString()});
        worker_.beginRelease(CFixedRelease::fix(release, nullptr));
    }

    bool armOnFound = true; // false: the window takes foundDevice too late to arm the countdown
    bool stopWhenOver = true; // false: the loop goes on after Done, until the test stops it
    QList<bool> busyAtResult; // the worker's busy flag as each transfer's result arrives
    QList<NextStep> steps;    // what the worker does after each transfer
    // Every set of rows the worker sent, with the time it was sent.
    QList<QPair<quint64, QVector<CalculatorView>>> rowsSeen;
    // Called on every waitingStart with the countdown left; tests press Start
    // or unplug a calculator from here.
    std::function<void(int)> onCountdown;
    std::function<void()> onActive;   // on each downloadActive
    std::function<void()> onResult;   // on each updaterRan, before the next pass

    QStringList events() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    void record(const QString &event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_ << QString("%1 @%2").arg(event).arg(platform::nowMs());
    }

    void connectTo(Qt::ConnectionType type)
    {
        connect(&worker_, &CUpdateWorker::foundDevice, this, &DialogStandIn::onFoundDevice, type);
        connect(&worker_, &CUpdateWorker::waitingStart, this, &DialogStandIn::onWaitingStart, type);
        connect(&worker_, &CUpdateWorker::downloadActive, this, &DialogStandIn::onDownloadActive, type);
        connect(&worker_, &CUpdateWorker::downloadInactive, this, &DialogStandIn::onDownloadInactive, type);
        connect(&worker_, &CUpdateWorker::waitingTicks, this, &DialogStandIn::onWaitingTicks, type);
        connect(&worker_, &CUpdateWorker::updaterRan, this, &DialogStandIn::onUpdaterRan, type);
        connect(&worker_, &CUpdateWorker::calculatorsChanged, this, [this](const QVector<CalculatorView> &rows) {
            std::lock_guard<std::mutex> lock(mutex_);
            rowsSeen.append({platform::nowMs(), rows});
        }, type);
    }

    void onFoundDevice()
    {
        record("foundDevice");
        if (armOnFound)
            worker_.armCountdown();
    }
    void onWaitingStart(int left)
    {
        record(QString("waitingStart %1").arg(left));
        if (onCountdown)
            onCountdown(left);
    }
    void onDownloadActive()
    {
        record("downloadActive");
        if (onActive)
            onActive();
    }
    void onDownloadInactive() { record("downloadInactive"); }
    void onWaitingTicks(int ticks) { record(QString("waitingTicks(%1)").arg(ticks)); }
    void onUpdaterRan(NextStep next)
    {
        const int result = next.result;
        record(QString("updaterRan(%1)").arg(result));
        if (onResult)
            onResult();
        busyAtResult << worker_.isBusy();
        steps << next;
        if (stopWhenOver && (next.kind == NextStep::Done || next.kind == NextStep::GiveUp))
            worker_.requestStop();
    }

private:
    CUpdateWorker &worker_;
    mutable std::mutex mutex_;
    QStringList events_;
};

class TestUpdateWorker : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    std::unique_ptr<Reports> reports;
    std::unique_ptr<emulator::EmulatedDiskSystem> disks;
    QList<Release> release;
    std::unique_ptr<CUpdateWorker> worker;
    std::unique_ptr<DialogStandIn> standIn;

    std::shared_ptr<emulator::Calculator> attach(const QString &faults = QString(), std::uint64_t attachAtMs = 0)
    {
        return testsupport::attachCalculator(*disks, faults, attachAtMs);
    }

    // Runs process() to its end on a thread of its own; the events recorded.
    QStringList runSession(int files = 1)
    {
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, files));
        standIn->connectTo(Qt::DirectConnection);
        return finishSession();
    }
    QStringList finishSession()
    {
        // A standard thread: its join is visible to ThreadSanitizer, Qt's
        // (uninstrumented) thread handling is not.
        std::atomic<bool> ended{false};
        std::thread thread([&] {
            worker->process();
            ended.store(true);
        });
        for (int waited = 0; !ended.load() && waited < 20000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!ended.load())
            qFatal("the session did not end");
        thread.join();
        return standIn->events();
    }
    static QStringList names(const QStringList &events)
    {
        QStringList out;
        for (const QString &event : events)
            out << event.section(" @", 0, 0);
        return out;
    }
    static quint64 at(const QString &event) { return event.section(" @", 1, 1).toULongLong(); }

    // What a generated cart session showed of each calculator, from the
    // rows the worker sent: when it was first written and when it held the
    // release (0: never), the files it was seen writing, in order, the most
    // calculators written at once, and the worker's steps.
    struct CartPlay {
        std::map<QString, quint64> firstWriting, updatedAt;
        std::map<QString, std::vector<int>> filesWritten;
        int mostWriting = 0;
        QList<NextStep> steps;
    };
    CartPlay playCart(const std::vector<QString> &faults, const std::vector<quint64> &attachAt)
    {
        standIn.reset();
        worker.reset();
        platform::installDiskSystem(nullptr);
        platform::useEventClock();
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        platform::installDiskSystem(disks.get());
        worker = std::make_unique<CUpdateWorker>(reports.get());
        for (std::size_t i = 0; i < faults.size(); ++i)
            attach(faults[i], attachAt[i]);
        runSession(3);
        CartPlay play;
        play.steps = standIn->steps;
        for (const auto &seen : standIn->rowsSeen) {
            int writing = 0;
            for (const CalculatorView &row : seen.second) {
                quint64 &updated = play.updatedAt[row.identity];
                if (row.state == CalculatorView::Updated && updated == 0)
                    updated = seen.first;
                if (row.state != CalculatorView::Writing)
                    continue;
                ++writing;
                play.firstWriting.emplace(row.identity, seen.first);
                std::vector<int> &files = play.filesWritten[row.identity];
                if (files.empty() || files.back() != row.file)
                    files.push_back(row.file);
            }
            play.mostWriting = std::max(play.mostWriting, writing);
        }
        return play;
    }

    // When the rows first showed `identity` in `state` (0: never), and the
    // longest "not answering" its row showed.
    quint64 firstSeen(const QString &identity, CalculatorView::State state) const
    {
        for (const auto &seen : standIn->rowsSeen)
            for (const CalculatorView &row : seen.second)
                if (row.identity == identity && row.state == state)
                    return seen.first;
        return 0;
    }
    int longestSilence(const QString &identity) const
    {
        int longest = 0;
        for (const auto &seen : standIn->rowsSeen)
            for (const CalculatorView &row : seen.second)
                if (row.identity == identity)
                    longest = std::max(longest, row.silentSeconds);
        return longest;
    }
    bool holdsRelease(emulator::Calculator &calculator) const
    {
        for (const Release &file : release) {
            const auto bytes = calculator.contents(std::uint64_t(file.offset), std::size_t(file.bytes.size()));
            if (QByteArray(reinterpret_cast<const char *>(bytes.data()), file.bytes.size()) != file.bytes)
                return false;
        }
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        reports = std::make_unique<Reports>();
        const qint64 offsets[] = {0x500000, 0x100000, 0};
        for (int i = 0; i < 3; ++i) {
            Release file{folder.filePath(QString("file%1.bin").arg(i)), offsets[i], QByteArray()};
            file.bytes = QByteArray(20000 + 7000 * i, char('a' + i));
            QFile out(file.path);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.bytes) == file.bytes.size());
            release << file;
        }
    }
    void init()
    {
        platform::useEventClock();
        disks = std::make_unique<emulator::EmulatedDiskSystem>();
        platform::installDiskSystem(disks.get());
        worker = std::make_unique<CUpdateWorker>(reports.get());
    }
    void cleanup()
    {
        standIn.reset();
        worker.reset();
        platform::installDiskSystem(nullptr);
        platform::useSimulatedClock(false);
        QCOMPARE(disks->openHandleCount(), 0);
    }

    void attachedBeforeStartThreeFiles()
    {
        auto calculator = attach();
        const QStringList events = runSession(3);
        QCOMPARE(names(events),
                 (QStringList{"foundDevice", "waitingTicks(1)", "waitingStart 4250", "waitingStart 3250",
                              "waitingStart 2250", "waitingStart 1250", "waitingStart 250", "waitingStart 0",
                              "downloadActive", "updaterRan(0)", "downloadInactive", "updaterRan(0)",
                              "downloadInactive", "updaterRan(0)", "downloadInactive"}));
        // 500 ms in, found; 500 ms to waitingTicks; 500 ms to the countdown,
        // which takes six seconds; downloadActive; 250 ms to the transfer.
        QCOMPARE(at(events[0]), 500u);
        QCOMPARE(at(events[1]), 1000u);
        QCOMPARE(at(events[2]), 1500u);
        QCOMPARE(at(events[8]), 7500u);
        for (const Release &file : release)
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(
                                    calculator->contents(std::uint64_t(file.offset), std::size_t(file.bytes.size())).data()),
                                file.bytes.size()),
                     file.bytes);
        const QStringList trace = [&] {
            QStringList lines;
            for (const std::string &line : calculator->trace())
                lines << QString::fromStdString(line);
            return lines;
        }();
        QCOMPARE(trace.count("opening-read"), 3);
        QCOMPARE(trace.count("closing-read"), 3);
        QVERIFY(worker->hasTransferStarted());
        QCOMPARE(worker->resultOfLastTransfer(), 0);
        QCOMPARE(worker->countdownLeftMs(), 0);
        // Busy from the first transfer on, files 2 and 3 (no downloadActive) included.
        QCOMPARE(standIn->busyAtResult, (QList<bool>{true, true, true}));
    }

    void startPressedDuringCountdown()
    {
        attach();
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 1));
        standIn->onCountdown = [this](int left) {
            if (left == 4250) // the user presses Start: the rest becomes one second
                worker->startNow();
        };
        standIn->connectTo(Qt::DirectConnection);
        const QStringList events = finishSession();
        QCOMPARE(names(events).mid(0, 6), (QStringList{"foundDevice", "waitingTicks(1)", "waitingStart 4250",
                                                       "waitingStart 0", "downloadActive", "updaterRan(0)"}));
    }

    void failedTransferIsRetriedWithoutCountdown()
    {
        attach("fail-writes=7"); // the first transfer fails, the next one goes through
        const QStringList events = runSession(1);
        QCOMPARE(names(events).mid(8), (QStringList{"downloadActive", "updaterRan(112)", "downloadInactive",
                                                    "downloadActive", "updaterRan(0)", "downloadInactive"}));
        // 100 ms after the transfer, 3000 ms in RetryPause, the presence check
        // finds the calculator, and downloadActive follows at once.
        QCOMPARE(at(events[11]) - at(events[10]), 3100u);
        QCOMPARE(standIn->steps.size(), 2); // the one failure retried, then the file is done
        QCOMPARE(standIn->steps[0].kind, NextStep::Retry);
        QCOMPARE(standIn->steps[0].failures, 1);
        QCOMPARE(standIn->steps[1].kind, NextStep::Done);
    }

    void aPassTakesTheCalculatorItFindsOnAFastClock()
    {
        // On a clock that moves while the worker works (the real one, or the
        // window suite's fast one), a calculator found by a pass is written
        // in that pass: its first result is its own failure, never a pass
        // that sent nothing and said "OK".
        platform::useScaledClock(20000);
        attach("fail-writes=7");
        runSession(1);
        QVERIFY(!standIn->steps.isEmpty());
        QCOMPARE(standIn->steps[0].result, kDiskWriteFailed);
        QCOMPARE(standIn->steps.last().kind, NextStep::Done);
    }

    void stopDuringRetryPause()
    {
        // The dialog gives up after the failure and stops the worker while it
        // sits in its 3000 ms pause: the loop ends when the pause is over,
        // without another signal.
        attach("fail-writes=all");
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 1));
        standIn->connectTo(Qt::DirectConnection);
        stopping = worker.get();
        platform::setPauseObserver([](std::uint32_t ms) {
            if (ms == 3000 && stopping->loopState() == CUpdateWorker::RetryPause)
                stopping->requestStop();
        });
        const QStringList events = finishSession();
        platform::setPauseObserver(nullptr);
        QCOMPARE(names(events).last(), QString("downloadInactive"));
        QCOMPARE(names(events).count("updaterRan(112)"), 1);
        QCOMPARE(platform::nowMs() - at(events.last()), 3100u);
        QCOMPARE(worker->resultOfLastTransfer(), 112);
        QCOMPARE(worker->loopState(), CUpdateWorker::WaitingForDevice);
    }

    void endOfSessionNeverOverlapsTheWorker_data()
    {
        QTest::addColumn<bool>("attached");
        QTest::newRow("looking for the calculator") << false;
        QTest::newRow("counting down and sending") << true;
    }
    void endOfSessionNeverOverlapsTheWorker()
    {
        // The window ends a session while the worker runs: the end of the
        // session follows the worker's transport calls, never during one
        // (an end-of-session command in the middle of a file would cut its
        // conversation; a second enumeration at the same moment shows here),
        // and no transfer follows it.
        QFETCH(bool, attached);
        testsupport::HookedDiskSystem hooked(*disks);
        platform::installDiskSystem(&hooked);
        std::shared_ptr<emulator::Calculator> calculator = attached ? attach() : nullptr;
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 3));
        // The loop must still run when the end comes, even when this thread
        // is late and the three files are through by then.
        standIn->stopWhenOver = false;
        standIn->connectTo(Qt::DirectConnection);
        // Seen on the worker's thread: a queued delivery would go through
        // Qt's own locks, which ThreadSanitizer cannot see in an
        // uninstrumented Qt.
        std::atomic<bool> closed{false};
        connect(worker.get(), &CUpdateWorker::sessionClosed, this, [&] { closed = true; }, Qt::DirectConnection);
        std::thread thread([&] { worker->process(); });
        const auto joined = qScopeGuard([&] {
            worker->requestStop();
            thread.join();
            platform::installDiskSystem(disks.get());
        });
        // Let it run a while: many presence checks, or into the transfers.
        while (platform::nowMs() < (attached ? 7600u : 20000u))
            std::this_thread::yield();
        worker->requestEndOfSession();
        QTRY_VERIFY_WITH_TIMEOUT(closed, 20000);
        // Ended, the session touches no calculator any more (on this clock a
        // loop that went on would have run many passes by now).
        const int enumerations = hooked.enumerations();
        QTest::qWait(50);
        QCOMPARE(hooked.enumerations(), enumerations);
        QCOMPARE(hooked.mostAtOnce(), 1);
        if (attached)
            QCOMPARE(calculator->trace().back(), std::string("end-session"));
    }

    void aHandOverTellsTheCalculatorsAndHolds()
    {
        // After a failed file the window hands the session over to a copy
        // started as administrator: the calculators are told the session
        // ends, then nothing touches them until the window says how it went;
        // declined, the session goes on (the window's suite has the rest).
        testsupport::HookedDiskSystem hooked(*disks);
        platform::installDiskSystem(&hooked);
        auto calculator = attach("fail-writes=7"); // the first file fails, its retry goes through
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 1));
        standIn->onResult = [this] {
            if (standIn->steps.isEmpty())
                worker->prepareHandOver();
        };
        standIn->connectTo(Qt::DirectConnection);
        std::atomic<int> told{-1};
        connect(worker.get(), &CUpdateWorker::handOverReady, this, [&](bool all) { told = all; }, Qt::DirectConnection);
        std::atomic<bool> ended{false};
        std::thread thread([&] {
            worker->process();
            ended = true;
        });
        const auto joined = qScopeGuard([&] {
            worker->requestStop();
            thread.join();
            platform::installDiskSystem(disks.get());
        });
        QTRY_COMPARE_WITH_TIMEOUT(told.load(), 1, 20000);
        QCOMPARE(testsupport::traceOf(*calculator).last(), QString("end-session"));
        const int enumerations = hooked.enumerations();
        QTest::qWait(50);
        QCOMPARE(hooked.enumerations(), enumerations); // held
        worker->resumeAfterHandOver();
        QTRY_VERIFY_WITH_TIMEOUT(ended.load(), 20000); // the retry went through: Done
        QCOMPARE(names(standIn->events()).count("updaterRan(0)"), 1);
    }

    void firstTransferWaitsForAShownCountdown()
    {
        // The window takes foundDevice four seconds late (its scan of a slow
        // release folder holds the GUI thread): the countdown is not armed
        // and was never shown, so the worker must not take its 0 for a
        // countdown that ran out. Once armed, it runs in full.
        attach();
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 1));
        standIn->armOnFound = false;
        standIn->connectTo(Qt::DirectConnection);
        lateWindow = worker.get();
        platform::setPauseObserver([](std::uint32_t) {
            if (lateWindow != nullptr && platform::nowMs() >= 4000) {
                lateWindow->armCountdown();
                lateWindow = nullptr;
            }
        });
        const QStringList events = finishSession();
        platform::setPauseObserver(nullptr);
        QCOMPARE(names(events), (QStringList{"foundDevice", "waitingTicks(1)", "waitingStart 4250",
                                             "waitingStart 3250", "waitingStart 2250", "waitingStart 1250",
                                             "waitingStart 250", "waitingStart 0", "downloadActive",
                                             "updaterRan(0)", "downloadInactive"}));
        QVERIFY(at(events[2]) >= 4000);
    }

    void calculatorAppearsAfterTwoSeconds()
    {
        attach(QString(), 2000);
        const QStringList events = runSession(1);
        QCOMPARE(names(events).mid(0, 6), (QStringList{"waitingTicks(1)", "waitingTicks(2)", "waitingTicks(3)",
                                                       "foundDevice", "waitingTicks(4)", "waitingStart 4250"}));
        QCOMPARE(at(events[3]), 2000u);
        QVERIFY(names(events).contains("updaterRan(0)"));
    }

    void unpluggedDuringCountdown()
    {
        // Gone at the third second of the countdown, back 15 s later: the
        // transfer fails with its own code (no calculator: 104) and the retry
        // path brings it home.
        auto calculator = attach();
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 1));
        standIn->onCountdown = [&](int left) {
            if (left == 3250) {
                emulator::Faults faults;
                faults.unplugAfterBytes = 0;
                faults.replugAfterMs = 15000;
                calculator->setFaults(faults);
            }
        };
        standIn->connectTo(Qt::DirectConnection);
        const QStringList events = finishSession();
        const QStringList seen = names(events);
        QCOMPARE(seen.count("foundDevice"), 1);
        QCOMPARE(seen.count("waitingStart 0"), 1); // the countdown ran on without noticing
        const int failed = seen.indexOf("updaterRan(104)");
        QVERIFY(failed > 0);
        QCOMPARE(seen.mid(failed, 2), (QStringList{"updaterRan(104)", "downloadInactive"}));
        QVERIFY(seen.indexOf(QRegularExpression("waitingTicks.*"), failed) > failed); // polls while it is gone
        QCOMPARE(seen.mid(seen.size() - 3), (QStringList{"downloadActive", "updaterRan(0)", "downloadInactive"}));
        QCOMPARE(seen.count("foundDevice"), 1);
    }

    // Generated carts of 1 to 40 calculators on the event clock, where a
    // calculator's time is its own: healthy ones, ones whose first attempts
    // fail (or all of them), ones that stall for 60 s in their first file,
    // ones unplugged for good in their second, and late ones. What each
    // calculator went through is read from the rows the worker sent.
    void generatedCartSessions()
    {
        enum Kind { Healthy, Failing, Stalled, Leaving, Late };
        std::mt19937 random(20261208);
        const int sessions = casesForRun(6, 30);
        for (int session = 0; session < sessions; ++session) {
            // The first two are fixed: one calculator, and seventeen healthy ones.
            const int count = session == 0 ? 1 : session == 1 ? 17 : 1 + int(random() % 40);
            std::vector<Kind> kinds;
            std::vector<QString> faults;
            std::vector<quint64> attachAt;
            for (int i = 0; i < count; ++i) {
                const int roll = int(random() % 100);
                const Kind kind = session == 1 ? Healthy
                                  : roll < 55  ? Healthy
                                  : roll < 70  ? Failing
                                  : roll < 80  ? Stalled
                                  : roll < 90 && count > 1 ? Leaving
                                  : count > 1  ? Late
                                               : Healthy;
                kinds.push_back(kind);
                faults.push_back(kind == Failing   ? QString("fail-writes=%1").arg(7 * (1 + int(random() % 6)))
                                 : kind == Stalled ? QString("stall-after=20000,stall-ms=60000")
                                 : kind == Leaving ? QString("unplug-after=30000")
                                                   : QString());
                attachAt.push_back(kind == Late ? 2000 + random() % 28000 : 0);
            }
            const CartPlay cart = playCart(faults, attachAt);
            const QString what = QString("session %1: %2 calculators, %3").arg(session).arg(count).arg(cart.steps.size());

            // Never "Done" while a calculator met lacks a file: each one the
            // rows name holds the whole release, byte for byte.
            QVERIFY2(!cart.steps.isEmpty(), qPrintable(what));
            if (cart.steps.last().kind == NextStep::Done)
                for (const auto &met : cart.updatedAt) {
                    QVERIFY2(met.second > 0, qPrintable(what + " " + met.first));
                    QVERIFY2(holdsRelease(*disks->disks().at(std::size_t(met.first.mid(5).toInt() - 1))),
                             qPrintable(what + " " + met.first));
                }
            // At most 16 written at once, and the cap is used.
            QVERIFY2(cart.mostWriting <= 16, qPrintable(what));
            if (count >= 17 && session == 1)
                QCOMPARE(cart.mostWriting, 16);
            // Files in order per calculator.
            for (const auto &written : cart.filesWritten)
                QVERIFY2(std::is_sorted(written.second.begin(), written.second.end()), qPrintable(what + " " + written.first));
            // The 17th starts as soon as a place is free, before any of the
            // first 16 holds the release (it waited longest for a place).
            if (session == 1) {
                quint64 firstUpdated = ~quint64(0);
                for (int i = 1; i <= 16; ++i)
                    firstUpdated = std::min(firstUpdated, cart.updatedAt.at(QString("TAVIX%1").arg(i)));
                QVERIFY(cart.firstWriting.at("TAVIX17") > cart.firstWriting.at("TAVIX1"));
                QVERIFY2(cart.firstWriting.at("TAVIX17") < firstUpdated, qPrintable(what));
            }
            // One calculator follows the old rule: each failed attempt of its
            // first file retried, five times at most, then its files in turn.
            if (count == 1) {
                const int failures = kinds[0] == Failing ? faults[0].mid(12).toInt() / 7 : 0;
                QList<NextStep::Kind> expected;
                for (int f = 1; f <= std::min(failures, 5); ++f)
                    expected << NextStep::Retry;
                expected << (failures > 5 ? NextStep::GiveUp : NextStep::SendFile);
                if (failures <= 5)
                    expected << NextStep::SendFile << NextStep::Done;
                QList<NextStep::Kind> seen;
                for (const NextStep &step : cart.steps)
                    seen << step.kind;
                QCOMPARE(seen, expected);
                for (int f = 0; f < std::min(failures, 5); ++f)
                    QCOMPARE(cart.steps[f].failures, f + 1);
            }
            // A healthy calculator's time to "updated" does not depend on the
            // others: the same cart with its healthy calculators alone.
            if (count <= 16 && std::count(kinds.begin(), kinds.end(), Healthy) < count) {
                std::vector<QString> alone;
                std::vector<quint64> aloneAt;
                for (int i = 0; i < count; ++i)
                    if (kinds[std::size_t(i)] == Healthy) {
                        alone.push_back(QString());
                        aloneAt.push_back(0);
                    } else {
                        // The others never come (they keep their numbers).
                        alone.push_back(QString());
                        aloneAt.push_back(999999999);
                    }
                const CartPlay healthyOnly = playCart(alone, aloneAt);
                for (int i = 0; i < count; ++i) {
                    if (kinds[std::size_t(i)] != Healthy)
                        continue;
                    const QString name = QString("TAVIX%1").arg(i + 1);
                    QVERIFY2(cart.updatedAt.at(name) > 0, qPrintable(what + " " + name));
                    QCOMPARE(cart.updatedAt.at(name), healthyOnly.updatedAt.at(name));
                }
            }
        }
    }

    // Two things the bench's session part measures on the real clock, pinned
    // here on the event clock: a calculator stalled 20 s is "not answering"
    // in its own row and in no other, and one attached while others are
    // written starts at the worker's next look (every 500 ms while runs go).
    void aStallIsNotAnsweringInItsOwnRowOnly()
    {
        attach("stall-after=10000,stall-ms=20000"); // in its first chunk of two
        for (int i = 2; i <= 16; ++i)
            attach();
        runSession(1);
        QVERIFY(longestSilence("TAVIX1") >= 10);
        for (int i = 2; i <= 16; ++i) {
            const QString name = QString("TAVIX%1").arg(i);
            QCOMPARE(longestSilence(name), 0);
            QVERIFY2(firstSeen(name, CalculatorView::Updated) + 19000 < firstSeen("TAVIX1", CalculatorView::Updated),
                     qPrintable(name));
        }
    }

    void aCalculatorFoundWhileOthersAreWrittenStartsAtOnce()
    {
        for (int i = 1; i <= 15; ++i)
            attach("stall-after=10000,stall-ms=10000"); // 10 s each
        const quint64 attachedAt = 9000;
        auto late = attach(QString(), attachedAt);
        runSession(1);
        // Attached while the 15 were in the middle of their file.
        const quint64 othersStarted = firstSeen("TAVIX1", CalculatorView::Writing);
        QVERIFY2(othersStarted > 0 && othersStarted < attachedAt, qPrintable(QString::number(othersStarted)));
        const quint64 started = firstSeen("TAVIX16", CalculatorView::Writing);
        QVERIFY2(started >= attachedAt && started <= attachedAt + 500,
                 qPrintable(QString("started %1 ms after its attach").arg(qint64(started) - qint64(attachedAt))));
        for (int i = 1; i <= 15; ++i)
            QVERIFY(firstSeen(QString("TAVIX%1").arg(i), CalculatorView::Updated) > started);
        QVERIFY(firstSeen("TAVIX16", CalculatorView::Updated) > started);
        QVERIFY(testsupport::traceOf(*late).contains("closing-read"));
    }

    void aReleaseChangedInItsFolderIsRefused_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("keepSizeAndTime");
        QTest::newRow("the last file shrinks after the first is sent") << 3 << false;
        QTest::newRow("the only file rewritten, size and time kept") << 1 << true;
    }
    void aReleaseChangedInItsFolderIsRefused()
    {
        // Someone copies another release into the folder during the session:
        // what went out was the checked copy, but the session is not "Done"
        // over a folder that holds other bytes. Every calculator is given up
        // with 120, and nothing more is written.
        QFETCH(int, files);
        QFETCH(bool, keepSizeAndTime);
        auto calculator = attach();
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, files));
        const Release &changed = release[files - 1];
        const QDateTime time = QFileInfo(changed.path).lastModified();
        const auto rewrite = [&](const QByteArray &bytes) {
            QFile file(changed.path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
            QVERIFY(file.setFileTime(time, QFileDevice::FileModificationTime));
        };
        const auto restore = qScopeGuard([&] { rewrite(changed.bytes); });
        bool done = false;
        const auto change = [&] {
            if (!done)
                rewrite(keepSizeAndTime ? QByteArray(changed.bytes.size(), 'z') : changed.bytes.left(1000));
            done = true;
        };
        (keepSizeAndTime ? standIn->onActive : standIn->onResult) = change;
        standIn->connectTo(Qt::DirectConnection);
        const QStringList events = finishSession();
        const QStringList ran = keepSizeAndTime ? QStringList{"updaterRan(120)"}
                                                : QStringList{"updaterRan(0)", "updaterRan(120)"};
        QCOMPARE(names(events).filter("updaterRan"), ran);
        QCOMPARE(standIn->steps.last().kind, NextStep::GiveUp);
        QCOMPARE(QString::fromStdU16String(standIn->steps.last().changedFile), QFileInfo(changed.path).fileName());
        const CalculatorLedger ledger = worker->ledger();
        QVERIFY(ledger.at(0).status == CalculatorLedger::Status::GivenUp && !ledger.holdsRelease(0));
        // Between files: the changed one was never written.
        if (!keepSizeAndTime)
            QVERIFY(calculator->contents(std::uint64_t(changed.offset), 1000) == std::vector<std::uint8_t>(1000, 0));
    }

    void aMountedVolumeIsHeldForTheSession_data()
    {
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("fileSystem");
        QTest::addColumn<bool>("lockRefused");
        QTest::addColumn<QString>("more"); // further faults
        QTest::addColumn<QStringList>("held"); // what the calculator saw of its volume
        const QStringList once{" locked", " dismounted", " released"};
        QTest::newRow("FAT, locked") << "E:" << "FAT" << false << "" << once;
        QTest::newRow("RAW: nothing to lock") << "E:" << "RAW" << false << "" << QStringList{};
        // Unplugged in its second file: back, its volume is mounted afresh and held anew.
        QTest::newRow("FAT, unplugged and back") << "E:" << "FAT" << false << "unplug-after=30000,replug-after=1000"
                                                 << QStringList{" locked", " dismounted", " locked", " dismounted",
                                                                " released"};
        QTest::newRow("FAT, the lock refused") << "E:" << "FAT" << true << "" << QStringList{};
        QTest::newRow("no letter, the lock refused") << "\\\\?\\Volume{5f1a}\\" << "FAT" << true << ""
                                                     << QStringList{};
    }
    void aMountedVolumeIsHeldForTheSession()
    {
        // Windows mounted a volume on the calculator's disk: one with a file
        // system is locked and dismounted before the first write, for the
        // whole release, and released only once the end of the session went
        // to it; a RAW one is left alone. A refused lock leaves the
        // calculator unwritten: its retries spent, it is given up with 122
        // and the drive named, in the record and in the log.
        QFETCH(QString, volume);
        QFETCH(QString, fileSystem);
        QFETCH(bool, lockRefused);
        QFETCH(QString, more);
        QFETCH(QStringList, held);
        auto calculator = attach(more);
        emulator::Faults faults = calculator->faults();
        faults.mountedVolume = volume.toStdString();
        faults.mountedFileSystem = fileSystem.toStdString();
        faults.lockError = lockRefused ? platform::namedSystemError("access-denied") : 0;
        calculator->setFaults(faults);
        auto log = std::make_shared<CSessionLog>();
        QString error;
        QVERIFY2(log->open(folder.filePath("volume.log"), &error), qPrintable(error));
        worker->setLog(log);
        standIn = std::make_unique<DialogStandIn>(*worker, release);
        standIn->stopWhenOver = false; // the window ends the session, then the loop
        standIn->connectTo(Qt::DirectConnection);
        connect(worker.get(), &CUpdateWorker::updaterRan, this, [this](NextStep next) {
            if (next.kind == NextStep::Done || next.kind == NextStep::GiveUp) {
                worker->requestEndOfSession();
                worker->requestStop();
            }
        }, Qt::DirectConnection);
        finishSession();
        const QStringList trace = testsupport::traceOf(*calculator);
        const auto firstWrite = std::find_if(trace.begin(), trace.end(), [](const QString &line) {
            return line.startsWith("write ");
        });
        const QString name = "volume " + volume;
        QStringList expected;
        for (const QString &event : held)
            expected << name + event;
        if (!lockRefused) {
            // Held before the first write, for the three files; released after the end of the session.
            QVERIFY2(holdsRelease(*calculator), qPrintable(trace.join('\n')));
            QCOMPARE(standIn->steps.last().kind, NextStep::Done);
            QCOMPARE(trace.filter(QRegularExpression("^volume ")), expected);
            if (expected.isEmpty())
                return;
            QVERIFY(trace.indexOf(name + " dismounted") < int(firstWrite - trace.begin()));
            QCOMPARE(trace.mid(trace.size() - 2), (QStringList{"end-session", name + " released"}));
            return;
        }
        QVERIFY2(firstWrite == trace.end(), qPrintable(trace.join('\n')));
        QCOMPARE(trace.filter(QRegularExpression("^volume ")), expected); // never held
        QCOMPARE(standIn->steps.size(), CalculatorLedger::kRetries + 1); // the normal retries, then given up
        const NextStep &last = standIn->steps.last();
        QCOMPARE(last.kind, NextStep::GiveUp);
        QCOMPARE(last.result, kVolumeMounted);
        QCOMPARE(last.systemError, faults.lockError);
        QCOMPARE(QString::fromStdU16String(last.detail), volume);
        QCOMPARE(worker->calculatorRows().last().detail, volume);
        QFile written(folder.filePath("volume.log"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString lines = QString::fromUtf8(written.readAll());
        QCOMPARE(lines.count("calculator TAVIX1 not written: " + volume + " (FAT) mounted on its disk could not be "
                             "locked and dismounted: 122"),
                 CalculatorLedger::kRetries + 1);
    }

    void queuedToTheGuiThreadOnTheRealClock()
    {
        // The real arrangement: the worker on its own QThread, started by the
        // thread's started() signal, its signals and the dialog's two signals
        // queued to receivers on this (GUI) thread. The real clock: ~10 s.
#if defined(__SANITIZE_THREAD__)
        QSKIP("Qt's own locks are invisible to ThreadSanitizer in an uninstrumented Qt");
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
        QSKIP("Qt's own locks are invisible to ThreadSanitizer in an uninstrumented Qt");
#endif
#endif
        platform::useSimulatedClock(false);
        auto calculator = attach();
        QThread thread;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker.get(), &CUpdateWorker::process);
        standIn = std::make_unique<DialogStandIn>(*worker, release.mid(0, 2));
        standIn->connectTo(Qt::AutoConnection);
        QStringList messages;
        QList<int> progress;
        bool onGuiThread = true;
        connect(reports.get(), &Reports::updateMessage, this, [&](const QString &message) {
            onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
            messages << message;
        });
        connect(reports.get(), &Reports::updateProgress, this, [&](int percent) {
            onGuiThread = onGuiThread && QThread::currentThread() == qApp->thread();
            progress << percent;
        });
        thread.start();
        QTRY_VERIFY_WITH_TIMEOUT(names(standIn->events()).count("downloadInactive") == 2, 30000);
        QTRY_COMPARE(progress.count(100), 2);
        thread.quit();
        QVERIFY(thread.wait(10000)); // the worker, its thread ended, is deleted in cleanup()

        const QStringList seen = names(standIn->events());
        QCOMPARE(seen, (QStringList{"foundDevice", "waitingTicks(1)", "waitingStart 4250", "waitingStart 3250",
                                    "waitingStart 2250", "waitingStart 1250", "waitingStart 250", "waitingStart 0",
                                    "downloadActive", "updaterRan(0)", "downloadInactive", "updaterRan(0)",
                                    "downloadInactive"}));
        QVERIFY(onGuiThread);
        // Copies: the transfer threads are long gone when the slots run.
        QCOMPARE(messages, (QStringList{release[0].path, release[1].path}));
        QVERIFY(calculator->contents(std::uint64_t(release[1].offset), std::size_t(release[1].bytes.size())) ==
                std::vector<std::uint8_t>(release[1].bytes.begin(), release[1].bytes.end()));
        QCOMPARE(progress.first(), 0);
        QCOMPARE(progress.last(), 100);
    }
};

QTEST_MAIN(TestUpdateWorker)
#include "test_update_worker.moc"
