// The session's ledger and the rule after each pass, on generated sessions of
// 1 to 40 calculators: calculators that come late, go away and come back
// (on Linux at another block device), leave for good, fail now and then or
// always, and batches whose calculators all carry one serial number. What
// each calculator really holds is kept here from the results the transfers
// report, apart from the ledger, and the session is played as the worker
// plays it: a discovery, the run the ledger chooses, the time the run takes,
// the rule, the pause it asks for.
#include "session/calculator_ledger.h"
#include "session/next_step.h"
#include "support/long_run.h"
#include "transport/transfer_engine.h"

#include <QtTest>

#include <random>

namespace {

constexpr int kFiles = 3;
constexpr int kRetries = 5;
constexpr std::uint64_t kRetryPause = 3000;

struct Unit {
    std::u16string serial;
    int port = 0;           // where it is attached; may change when it comes back
    int joinsAtPass = 0;
    double presence = 1.0;  // chance of being attached at a later pass
    int leavesAtPass = -1;  // gone for good from then on (-1: never)
    double failure = 0.0;   // chance that a transfer to it fails
    bool present = false;
    bool wasAbsent = false; // absent at some pass after it joined
    unsigned held = 0;      // files it really holds completely
    unsigned sentSinceMove = 0; // of those, the ones received since it last came back elsewhere
    int failedInARow = 0;      // failed attempts of its next file since its last success
    bool goneSinceSuccess = false; // absent at some pass since its last success
    bool twinAgain = false;    // one of a one-serial batch back elsewhere: it may be taken for a given-up twin
    std::uint64_t lastFailureMs = 0;
    bool met = false;

    std::u16string path() const
    {
        return u"\\\\?\\usbstor#disk&ven_xq&prod_tavix_update&rev_1.00#" + serial + u"&" +
               std::u16string(1, char16_t(u'a' + port % 26)) + std::u16string(1, char16_t(u'a' + port / 26)) +
               u"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    }
    bool healthy() const { return failure == 0.0 && presence == 1.0 && leavesAtPass < 0; }
};

// The old one-calculator rule, as the window's texts show it: a success moves
// to the next file, a failure is retried five times, then given up.
QString singleText(const NextStep &next)
{
    switch (next.kind) {
    case NextStep::SendFile:
        return QString("ok %1").arg(next.result);
    case NextStep::Retry:
        return QString("failed %1, retry %2, wait %3").arg(next.result).arg(next.failures).arg(next.waitMs);
    case NextStep::Done:
        return "done";
    case NextStep::GiveUp:
        return QString("failed %1").arg(next.result);
    }
    return {};
}

} // namespace

class TestCalculatorLedger : public QObject {
    Q_OBJECT

private slots:
    void generatedSessions()
    {
        const int sessions = casesForRun(1500, 30000);
        std::mt19937 rng(20261208);
        auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
        int done = 0, givenUp = 0, groups = 0, revived = 0, singles = 0;
        for (int s = 0; s < sessions; ++s) {
            const bool single = s % 4 == 0;
            const int count = single ? 1 : 1 + int(rng() % 40);
            // A batch whose units all report one serial, attached together
            // from the start (one that came alone later could not be told
            // from one of them that was plugged in again).
            const bool oneSerial = count > 1 && chance(0.3);
            const bool calm = chance(0.3);
            std::vector<Unit> units(static_cast<std::size_t>(count));
            for (int u = 0; u < count; ++u) {
                Unit &unit = units[std::size_t(u)];
                unit.serial = oneSerial ? u"XQ0001" : u"XQ" + QString::number(1000 + u).toStdU16String();
                unit.port = u;
                unit.joinsAtPass = single || calm || oneSerial || chance(0.8) ? 0 : int(rng() % 8);
                if (calm)
                    continue;
                unit.presence = chance(0.7) ? 1.0 : 0.85;
                unit.leavesAtPass = chance(0.05) ? int(rng() % 10) : -1;
                unit.failure = chance(0.6) ? 0.0 : chance(0.2) ? 1.0 : 0.25;
            }

            CalculatorLedger ledger;
            ledger.reset(kFiles);
            std::uint64_t now = 0;
            int prefer = -1;
            QStringList singleSteps, oldRule;
            int oldFile = 0, oldFailures = 0;
            bool ended = false;
            // Each calculator's status in the ledger against what it did:
            // updated when it holds every file it received since it last came
            // back elsewhere; gone when it is away and not given up; and,
            // with no absence since its last success, given up after its
            // sixth failed transfer in a row, in its retry pause after any.
            using Status = CalculatorLedger::Status;
            auto statusAgrees = [&](int pass, const char *when) {
                for (const Unit &unit : units) {
                    if (!unit.met)
                        continue;
                    int entry = 0;
                    while (entry < ledger.size() && ledger.at(entry).path != unit.path())
                        ++entry;
                    if (entry == ledger.size())
                        return QString("session %1 pass %2: a calculator met is not in the ledger").arg(s).arg(pass);
                    const Status status = ledger.at(entry).status;
                    const bool knownFailures = !unit.goneSinceSuccess && !unit.twinAgain; // (then attached)
                    bool agrees = false;
                    if (unit.sentSinceMove == 7u)
                        agrees = status == Status::Updated;
                    else if (status == Status::GivenUp)
                        agrees = !knownFailures || unit.failedInARow > kRetries;
                    else if (!unit.present)
                        agrees = status == Status::Gone;
                    else if (knownFailures)
                        agrees = unit.failedInARow <= kRetries &&
                                 status == (unit.failedInARow > 0 ? Status::RetryPause : Status::Waiting);
                    else
                        agrees = status == Status::Waiting || status == Status::RetryPause;
                    if (!agrees)
                        return QString("session %1 pass %2 %3: calculator %4 is %5 (holds %6, attached %7, %8 failed)")
                            .arg(s).arg(pass).arg(when).arg(entry).arg(int(status))
                            .arg(unit.sentSinceMove).arg(unit.present).arg(unit.failedInARow);
                }
                return QString();
            };
            for (int pass = 0; pass < 2000 && !ended; ++pass) {
                std::vector<std::u16string> paths;
                for (Unit &unit : units) {
                    const bool attached = pass >= unit.joinsAtPass &&
                                          (unit.leavesAtPass < 0 || pass < unit.leavesAtPass) &&
                                          (pass == unit.joinsAtPass || chance(unit.presence));
                    if (!attached && unit.met)
                        unit.wasAbsent = true;
                    if (!attached && unit.met)
                        unit.goneSinceSuccess = true;
                    // (One calculator alone keeps its place, as on Windows, so
                    // that its session can be compared with the old rule.)
                    if (attached && !unit.present && unit.met && !single && chance(0.5)) {
                        unit.port += count; // back at another block device
                        unit.sentSinceMove = 0; // it may be a twin: it gets the whole release again
                        if (oneSerial) { // a new calculator to the session, which cannot tell it from another
                            unit.failedInARow = 0;
                            unit.goneSinceSuccess = false;
                            unit.twinAgain = true;
                        }
                    }
                    unit.present = attached;
                    if (attached) {
                        unit.met = true;
                        paths.push_back(unit.path());
                    }
                }
                // Discovery lists the disks in any order.
                std::shuffle(paths.begin(), paths.end(), rng);
                ledger.attach(paths, now);
                QString disagreement = statusAgrees(pass, "found");
                QVERIFY2(disagreement.isEmpty(), qPrintable(disagreement));
                const CalculatorLedger::Run run = ledger.nextRun(now, prefer);
                QVERIFY(int(run.entries.size()) <= 16);
                QCOMPARE(run.paths.size(), run.entries.size());
                groups += run.waiting > 0;

                std::vector<std::int32_t> results;
                for (const std::u16string &path : run.paths) {
                    auto unit = std::find_if(units.begin(), units.end(),
                                             [&](const Unit &u) { return u.present && u.path() == path; });
                    QVERIFY2(unit != units.end(), "a run goes only to attached calculators");
                    // In the release's order, never a file it received since
                    // it came back elsewhere, never before its retry is due.
                    const unsigned before = (1u << run.file) - 1;
                    QVERIFY2((unit->sentSinceMove & before) == before && (unit->sentSinceMove & (1u << run.file)) == 0,
                             qPrintable(QString("session %1 pass %2: file %3 out of order").arg(s).arg(pass).arg(run.file)));
                    if (unit->failedInARow > 0)
                        QVERIFY(now >= unit->lastFailureMs + kRetryPause);
                    // Five retries; once more five for one that was given up
                    // and plugged in again.
                    revived += unit->failedInARow == kRetries + 1;
                    QVERIFY2(unit->failedInARow <= (unit->goneSinceSuccess ? 2 * kRetries + 1 : kRetries),
                             qPrintable(QString("session %1: a sixth retry").arg(s)));
                    const bool fails = chance(unit->failure);
                    results.push_back(fails ? 112 : 0);
                }
                now += 500 + rng() % 9500; // the run's length
                for (std::size_t k = 0; k < results.size(); ++k) {
                    Unit &unit = *std::find_if(units.begin(), units.end(),
                                               [&](const Unit &u) { return u.present && u.path() == run.paths[k]; });
                    if (results[k] == 0) {
                        unit.held |= 1u << run.file;
                        unit.sentSinceMove |= 1u << run.file;
                        unit.failedInARow = 0;
                        unit.goneSinceSuccess = false;
                        unit.twinAgain = false;
                    } else {
                        ++unit.failedInARow;
                        unit.lastFailureMs = now;
                    }
                }
                const CalculatorLedger::Outcome outcome = ledger.recordRun(run, results, now);
                disagreement = statusAgrees(pass, "run");
                QVERIFY2(disagreement.isEmpty(), qPrintable(disagreement));
                prefer = run.waiting > 0 ? run.file : -1;
                const NextStep next = decideNextStep(ledger, outcome, now, prefer);

                if (single) {
                    // The old rule, played on what the calculator did (absent: 104).
                    const std::int32_t result = results.empty() ? 104 : results[0];
                    NextStep old;
                    old.result = result;
                    if (result == 0) {
                        oldFailures = 0;
                        old.kind = ++oldFile == kFiles ? NextStep::Done : NextStep::SendFile;
                    } else {
                        old.failures = ++oldFailures;
                        old.kind = oldFailures <= kRetries ? NextStep::Retry : NextStep::GiveUp;
                        old.waitMs = 3000;
                    }
                    singleSteps << singleText(next);
                    oldRule << singleText(old);
                }

                switch (next.kind) {
                case NextStep::Done:
                    for (const Unit &unit : units)
                        QVERIFY2(!unit.met || unit.held == 7u,
                                 qPrintable(QString("session %1: Done while a calculator lacks a file").arg(s)));
                    ++done;
                    ended = true;
                    break;
                case NextStep::GiveUp:
                    QVERIFY(next.result != 0);
                    ++givenUp;
                    ended = true;
                    break;
                case NextStep::Retry:
                    QVERIFY(next.waitMs <= kRetryPause);
                    now += next.waitMs + 750; // the wait, the presence check and the countdown's last pass
                    break;
                case NextStep::SendFile:
                    now += 100;
                    break;
                }
            }
            QVERIFY2(ended, qPrintable(QString("session %1 never ended").arg(s)));
            for (const Unit &unit : units) {
                // A calculator that never failed and never left holds the release.
                if (unit.met && unit.healthy())
                    QVERIFY2(unit.held == 7u, qPrintable(QString("session %1: a healthy calculator lacks files").arg(s)));
            }
            if (single) {
                QCOMPARE(singleSteps, oldRule);
                ++singles;
            }
        }
        qInfo("%d sessions (%d of one calculator): %d done, %d ended in failure, %d with several groups, %d revived",
              sessions, singles, done, givenUp, groups, revived);
        QVERIFY(done > sessions / 5 && givenUp > sessions / 10 && groups > sessions / 50);
    }

    void generatedStations()
    {
        // The cart station, against a plain model of a cart: calculators
        // plugged in and pulled out at random, written one file a pass once
        // due, some failing. A calculator is taken only once it has been
        // attached for the whole settling time of its visit; one pulled out
        // before its first file is no failure; every time one is plugged in
        // after its outcome is a new visit that holds nothing; nobody
        // attached is never a failure; each calculator has one entry.
        std::mt19937 random(20261209);
        constexpr std::uint64_t kSettle = 2000;
        int visitsSeen = 0, givenUp = 0;
        for (int station = 0; station < casesForRun(300, 3000); ++station) {
            CalculatorLedger ledger;
            ledger.setStation(true);
            ledger.reset(kFiles);
            std::vector<Unit> units(1 + random() % 6);
            std::vector<std::uint64_t> since(units.size()); // attached without a break since
            std::vector<int> visits(units.size(), 0);       // the model's count of visits begun
            std::vector<bool> ended(units.size(), false);   // the visit had its outcome
            for (std::size_t u = 0; u < units.size(); ++u) {
                units[u].serial = u"STATION" + std::u16string(1, char16_t(u'A' + u));
                units[u].port = int(u);
                units[u].failure = random() % 3 == 0 ? 0.7 : 0.0;
            }
            const auto unitOf = [&](const CalculatorLedger::Calculator &calculator) {
                std::size_t u = 0;
                while (u + 1 < units.size() && units[u].path() != calculator.path)
                    ++u;
                return u;
            };
            std::uint64_t now = 0;
            for (int pass = 0; pass < 120; ++pass, now += 500) {
                std::vector<std::u16string> attached;
                for (std::size_t u = 0; u < units.size(); ++u) {
                    Unit &unit = units[u];
                    const bool was = unit.present;
                    unit.present = random() % 10 < (was ? 9u : 2u);
                    if (unit.present && !was) {
                        since[u] = now;
                        if (visits[u] == 0 || ended[u]) {
                            ++visits[u];
                            ended[u] = false;
                        }
                    }
                    if (unit.present)
                        attached.push_back(unit.path());
                }
                ledger.attach(attached, now, kSettle);
                QVERIFY(ledger.size() <= int(units.size()));
                CalculatorLedger::Run run;
                std::vector<std::int32_t> results;
                for (const int e : ledger.dueCalculators(now, ledger.size())) {
                    const std::size_t u = unitOf(ledger.at(e));
                    QVERIFY(units[u].present);
                    if (ledger.at(e).runs == 0)
                        QVERIFY2(now - since[u] >= kSettle, qPrintable(QString("station %1").arg(station)));
                    run.file = ledger.firstMissing(e);
                    run.entries = {e};
                    run.paths = {ledger.at(e).path};
                    const bool fails = std::uniform_real_distribution<double>(0, 1)(random) < units[u].failure;
                    ledger.recordRun(run, {fails ? kDiskWriteFailed : kTransferOk}, now);
                    QCOMPARE(ledger.at(e).lastCode, fails ? kDiskWriteFailed : 0);
                }
                // Nobody attached: a failure only for one pulled out in the middle of its visit.
                if (attached.empty()) {
                    bool cutShort = false;
                    for (int e = 0; e < ledger.size(); ++e)
                        cutShort = cutShort || ledger.visitUnderWay(e);
                    const std::int32_t result = ledger.recordRun(CalculatorLedger::Run(), {}, now).result;
                    QVERIFY(result == 0 || (cutShort && result == kNoCalculatorFound));
                }
                for (int e = 0; e < ledger.size(); ++e) {
                    const CalculatorLedger::Calculator &calculator = ledger.at(e);
                    const std::size_t u = unitOf(calculator);
                    const bool outcome = calculator.status == CalculatorLedger::Status::Updated ||
                                         calculator.status == CalculatorLedger::Status::GivenUp;
                    ended[u] = ended[u] || outcome;
                    QCOMPARE(calculator.visit, visits[u]);
                    // Failures only from its own writes: never taken, never failed.
                    QVERIFY(calculator.runs > 0 || calculator.failures == 0);
                    QCOMPARE(ledger.visitUnderWay(e), calculator.runs > 0 && !outcome);
                    givenUp += calculator.status == CalculatorLedger::Status::GivenUp;
                }
            }
            for (const int count : visits)
                visitsSeen += count;
        }
        qInfo("%d visits, given up seen %d times", visitsSeen, givenUp);
        QVERIFY(visitsSeen > 100 && givenUp > 0);
    }
};

QTEST_APPLESS_MAIN(TestCalculatorLedger)
#include "test_calculator_ledger.moc"
