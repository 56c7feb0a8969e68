// The session's ledger and the rule after each transfer, on generated
// sessions: calculators that come late, go away and come back, and fail now
// and then, sent files as the rule decides. What each calculator really holds
// is tracked here, apart from the ledger, from the results the transfers
// report; the session may only say "Done" when every calculator it met holds
// every file, and each calculator receives the files in order. The rule itself
// is compared with a plain model of it on generated ledgers and reports.
#include "session/calculator_ledger.h"
#include "session/next_step.h"
#include "support/long_run.h"

#include <QtTest>

#include <map>
#include <random>

namespace {

constexpr int kFiles = 3;
constexpr int kRetries = 5;
constexpr int kMaxCalculators = 5;

struct Calculator {
    std::u16string identity;
    int joinsAtRun;       // first run in which it is attached
    double presence;      // chance of being attached in a later run
    double failure;       // chance that a transfer to it fails
    bool seen = false;    // found by some run
    int seenAs = 0;       // the how-manieth calculator the session met
    unsigned held = 0;    // files it really holds completely
};

} // namespace

class TestCalculatorLedger : public QObject {
    Q_OBJECT

private slots:
    void generatedSessions()
    {
        const int sessions = casesForRun(5000, 200000);
        std::mt19937 rng(20261207);
        auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
        int done = 0, failed = 0, lateJoiners = 0;
        for (int s = 0; s < sessions; ++s) {
            std::vector<Calculator> calculators(1 + rng() % kMaxCalculators);
            for (std::size_t c = 0; c < calculators.size(); ++c) {
                Calculator &calc = calculators[c];
                calc.identity = u"TX000" + std::u16string(1, char16_t(u'1' + c));
                calc.joinsAtRun = chance(0.7) ? 0 : int(rng() % 6);
                calc.presence = chance(0.5) ? 1.0 : 0.6;
                calc.failure = chance(0.6) ? 0.0 : 0.2;
            }
            const bool calm = std::all_of(calculators.begin(), calculators.end(), [](const Calculator &c) {
                return c.joinsAtRun == 0 && c.presence == 1.0 && c.failure == 0.0;
            });

            CalculatorLedger ledger;
            ledger.reset(kFiles);
            int file = 0, failures = 0, runs = 0, met = 0;
            bool ended = false, succeeded = false;
            std::vector<int> sent; // the file of every run
            while (!ended && runs < 200) {
                TransferReport report{};
                std::int32_t runResult = 0;
                for (Calculator &calc : calculators) {
                    if (runs < calc.joinsAtRun || (runs > calc.joinsAtRun && !chance(calc.presence)))
                        continue;
                    CalculatorResult &found = report.calculators[report.count++];
                    std::copy(calc.identity.begin(), calc.identity.end(), found.identity);
                    found.identity[calc.identity.size()] = 0;
                    lateJoiners += !calc.seen && runs > 0;
                    if (!calc.seen)
                        calc.seenAs = met++;
                    calc.seen = true;
                    if (!ledger.wants(calc.identity, file)) {
                        found.result = kCalculatorLeftOut;
                        continue;
                    }
                    // Sent only in the release's order.
                    QVERIFY2((calc.held & ((1u << file) - 1)) == (1u << file) - 1, "a file sent out of order");
                    found.result = chance(calc.failure) ? (chance(0.5) ? 112 : 107) : 0;
                    calc.held = found.result == 0 ? calc.held | (1u << file) : calc.held & ~(1u << file);
                    if (runResult == 0)
                        runResult = found.result;
                }
                if (report.count == 0)
                    runResult = kNoCalculatorFound;
                sent.push_back(file);
                ++runs;
                const NextStep next = decideNextStep(ledger, file, runResult, report, failures);
                if (runResult != 0)
                    QCOMPARE(next.result, runResult); // a failure of the run is never a success of the session
                failures = next.failures;
                file = next.file;
                ended = next.kind == NextStep::Done || next.kind == NextStep::GiveUp;
                succeeded = next.kind == NextStep::Done;
            }
            QVERIFY(ended);

            std::sort(calculators.begin(), calculators.end(),
                      [](const Calculator &a, const Calculator &b) { return a.seenAs < b.seenAs; });
            std::vector<CalculatorLedger::Missing> expected;
            for (const Calculator &calc : calculators)
                if (calc.seen && calc.held != (1u << kFiles) - 1)
                    expected.push_back({calc.identity, kFiles - int(qPopulationCount(calc.held))});
            const std::vector<CalculatorLedger::Missing> reported = ledger.notUpdated();
            QCOMPARE(reported.size(), expected.size());
            for (std::size_t i = 0; i < expected.size(); ++i) {
                QVERIFY(reported[i].identity == expected[i].identity);
                QCOMPARE(reported[i].missing, expected[i].missing);
            }
            // "Done" only when every calculator met holds every file.
            if (succeeded)
                QVERIFY2(expected.empty(), qPrintable(QString("session %1").arg(s)));
            // Every calculator attached throughout, nothing failing: the files
            // go out once each, in order, as they always have.
            if (calm)
                QCOMPARE(sent, (std::vector<int>{0, 1, 2}));
            done += succeeded;
            failed += !succeeded;
        }
        qInfo("%d sessions: %d done, %d ended in failure; %d calculators came late", sessions, done, failed,
              lateJoiners);
        QVERIFY(done > sessions / 2 && failed > sessions / 50 && lateJoiners > sessions / 10);
    }

    void nextStepAgainstAPlainModel()
    {
        // Up to four calculators (two may share a serial) holding any files;
        // a run that finds any of them, each with its own result; any number
        // of earlier failures. The model: a calculator's success gives it the
        // file, a failure takes it away (a failure wins for a shared serial),
        // one left out keeps what it had; the file is done when every
        // calculator holding all earlier files holds it; otherwise the run's
        // failure (104 when it had none) is retried five times, then given up;
        // a done file is followed by the first file some calculator lacks.
        const int cases = casesForRun(20000, 1000000);
        std::mt19937 rng(20261208);
        int kinds[4] = {0, 0, 0, 0};
        for (int c = 0; c < cases; ++c) {
            const int known = int(rng() % 4);       // calculators already in the ledger
            const int file = int(rng() % kFiles);
            const int failedBefore = int(rng() % (kRetries + 2));
            CalculatorLedger ledger;
            ledger.reset(kFiles);
            std::map<std::u16string, unsigned> held;
            auto report1 = [](const std::u16string &id, std::int32_t result) {
                TransferReport r{};
                r.count = 1;
                std::copy(id.begin(), id.end(), r.calculators[0].identity);
                r.calculators[0].result = result;
                return r;
            };
            for (int k = 0; k < known; ++k) {
                const std::u16string id = u"TX" + std::u16string(1, char16_t(u'A' + k));
                held[id] = rng() % 2 ? 7u : rng() % 8; // often complete, so that "Done" comes up
                for (int f = 0; f < kFiles; ++f) // as earlier runs left it
                    ledger.record(f, 0, report1(id, (held[id] >> f) & 1 ? 0 : 112));
            }
            TransferReport report{};
            report.count = int(rng() % 4);
            std::map<std::u16string, int> outcome; // 1 success, -1 failure, 0 left out
            std::int32_t runResult = report.count == 0 ? kNoCalculatorFound : 0;
            for (int i = 0; i < report.count; ++i) {
                const std::u16string id = u"TX" + std::u16string(1, char16_t(u'A' + rng() % 5));
                const std::int32_t codes[] = {0, 0, 112, 107, kCalculatorLeftOut};
                const std::int32_t result = codes[rng() % 5];
                std::copy(id.begin(), id.end(), report.calculators[i].identity);
                report.calculators[i].result = result;
                held.emplace(id, 0u);
                const int was = outcome.count(id) ? outcome[id] : 0;
                outcome[id] = result == kCalculatorLeftOut ? was : result == 0 ? (was < 0 ? -1 : 1) : -1;
                if (result != 0 && result != kCalculatorLeftOut && runResult == 0)
                    runResult = result;
            }
            const unsigned bit = 1u << file, before = bit - 1;
            for (const auto &o : outcome)
                held[o.first] = o.second > 0 ? held[o.first] | bit : o.second < 0 ? held[o.first] & ~bit : held[o.first];
            bool fileDone = !held.empty();
            for (const auto &h : held)
                fileDone = fileDone && ((h.second & before) != before || (h.second & bit) != 0);
            NextStep expected;
            expected.result = fileDone ? 0 : runResult != 0 ? runResult : kNoCalculatorFound;
            if (!fileDone) {
                expected.failures = failedBefore + 1;
                expected.kind = failedBefore < kRetries ? NextStep::Retry : NextStep::GiveUp;
                expected.file = expected.kind == NextStep::Retry ? file : -1;
            } else {
                for (int f = kFiles - 1; f >= 0; --f)
                    for (const auto &h : held)
                        if ((h.second & (1u << f)) == 0)
                            expected.file = f;
                expected.kind = expected.file < 0 ? NextStep::Done : NextStep::SendFile;
            }
            const NextStep next = decideNextStep(ledger, file, runResult, report, failedBefore);
            const QString where = QString("case %1").arg(c);
            QVERIFY2(next.kind == expected.kind && next.result == expected.result && next.file == expected.file &&
                         next.failures == expected.failures,
                     qPrintable(where));
            ++kinds[next.kind];
        }
        qInfo("%d cases: %d next file, %d retry, %d done, %d given up", cases, kinds[0], kinds[1], kinds[2], kinds[3]);
        // Every decision was reached, each often.
        for (int kind : kinds)
            QVERIFY(kind > cases / 50);
    }

    void beforeAnyReleaseEveryCalculatorGetsEverything()
    {
        CalculatorLedger ledger;
        QVERIFY(ledger.wants(u"TX0001", 2));
        TransferReport report{};
        report.count = 1;
        report.calculators[0].result = 112;
        QCOMPARE(ledger.record(0, 112, report), 112);
        QCOMPARE(ledger.firstMissing(), -1);
    }
};

QTEST_APPLESS_MAIN(TestCalculatorLedger)
#include "test_calculator_ledger.moc"
