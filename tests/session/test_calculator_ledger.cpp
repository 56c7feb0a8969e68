// The session's ledger on generated sessions: calculators that come late, go
// away and come back, and fail now and then, sent files by the window's rules
// (the ledger's next file, five retries of a failure). What each calculator
// really holds is tracked here, apart from the ledger, from the results the
// transfers report; the session may only say "Done" when every calculator it
// met holds every file, and each calculator receives the files in order.
#include "session/calculator_ledger.h"
#include "support/long_run.h"

#include <QtTest>

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
            int file = 0, retries = 0, runs = 0, met = 0;
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
                const std::int32_t result = ledger.record(file, runResult, report);
                if (runResult != 0)
                    QCOMPARE(result, runResult); // a failure of the run is never a success of the session
                if (result == 0) {
                    retries = 0;
                    file = ledger.firstMissing();
                    ended = succeeded = file < 0;
                } else if (retries++ == kRetries) {
                    ended = true;
                }
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
