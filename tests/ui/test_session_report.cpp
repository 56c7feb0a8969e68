// The session's CSV report, appended to a file through the real locked path
// and read back with a reader written from the format's rules
// (support/csv_records.h), on generated calculators whose identities and
// reasons hold commas, quotes, line breaks and text from outside ASCII.
#include "platform/disk_system.h"
#include "support/csv_records.h"
#include "support/long_run.h"
#include "ui/session_report.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using testsupport::readCsv;

namespace {

const QStringList kHeader{"calculator", "outcome", "files held", "last code", "seconds",
                          "time",       "computer", "release",   "release sha256", "reason"};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

class TestSessionReport : public QObject {
    Q_OBJECT

private slots:
    void generatedLinesReadBack()
    {
        // Batches of lines appended to one new file read back field by field
        // under a single header; times keep their instant and their offset,
        // the offsets at the ends of the world's range and a half hour
        // either side of UTC among them.
        const QStringList pieces{"TAVIX", "0042", ",", "\"", "\n", "\r\n", " ", "\xC3\xA9", "\xE6\xBC\xA2",
                                 "\xF0\x9F\x98\x80", "&", "#"};
        const char *const outcomes[] = {"not updated", "not updated", "updated", "not updated", "given up",
                                        "not updated"};
        const int offsets[] = {0, -1800, 1800, -12 * 3600, 14 * 3600, 5 * 3600 + 45 * 60, -3 * 3600 - 30 * 60};
        const QRegularExpression isoShape("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$");
        std::mt19937 rng(21);
        const auto text = [&](int most) {
            QString words;
            for (int k = int(rng() % (most + 1)); k > 0; --k)
                words += QString::fromUtf8(pieces[int(rng() % pieces.size())].toUtf8());
            return words;
        };
        for (int c = casesForRun(40, 1000); c > 0; --c) {
            QTemporaryDir temp;
            const QString path = temp.filePath("cart.csv");
            QList<QStringList> expected;
            QList<QDateTime> times;
            for (int batch = int(rng() % 4) + 1; batch > 0; --batch) {
                QByteArray lines;
                for (int n = int(rng() % 4) + 1; n > 0; --n) {
                    CalculatorView row;
                    row.identity = text(5);
                    row.state = CalculatorView::State(rng() % 6);
                    row.held = int(rng() % 4);
                    row.code = std::int32_t(rng() % 240) - 120;
                    row.seconds = double(rng() % 100000) / 100.0;
                    ReportSource source{text(3), text(3), rng() % 3 ? QString::number(rng(), 16).right(12) : QString()};
                    const QString reason = text(4);
                    const int offset = offsets[rng() % std::size(offsets)];
                    const QDateTime time(QDate(2000 + int(rng() % 100), 1 + int(rng() % 12), 1 + int(rng() % 28)),
                                         QTime(int(rng() % 24), int(rng() % 60), int(rng() % 60)), Qt::OffsetFromUTC,
                                         offset);
                    lines += sessionReportLine(row, time, source, reason);
                    times << time;
                    expected << QStringList{row.identity,      outcomes[row.state],     QString::number(row.held),
                                            QString::number(row.code), QString::number(row.seconds, 'f', 1),
                                            QString(),         source.computer,          source.release,
                                            source.releaseDigest, reason};
                }
                // A regular file is read back: the header goes by its size,
                // whatever is said for streams.
                QVERIFY(appendSessionReport(path, lines, true, nullptr));
            }
            const QList<QStringList> records = readCsv(readAll(path));
            QCOMPARE(records.size(), expected.size() + 1);
            QCOMPARE(records[0], kHeader);
            for (int r = 0; r < expected.size(); ++r) {
                QStringList fields = records[r + 1];
                QCOMPARE(fields.size(), kHeader.size());
                const QString written = fields[5];
                QVERIFY2(isoShape.match(written).hasMatch(), qPrintable(written));
                const QDateTime read = QDateTime::fromString(written, Qt::ISODate);
                QCOMPARE(read, times[r]);
                QCOMPARE(read.offsetFromUtc(), times[r].offsetFromUtc());
                fields[5].clear();
                QCOMPARE(fields, expected[r]);
            }
        }
    }

    void onlyOurReportIsAppendedTo()
    {
        // A file that begins with anything but the header, down to one byte
        // short of it or a line end of another kind, is refused as it is, by
        // the check at the start and by every append; a file that holds the
        // header alone, or is empty, takes lines (an empty one after the
        // header). The check itself writes nothing.
        QTemporaryDir temp;
        const QString path = temp.filePath("record.csv");
        const QByteArray header = sessionReportHeader();
        QCOMPARE(header, kHeader.join(',').toUtf8() + "\r\n");
        const QByteArray line = "XQ1,updated,3,0,1.0,2026-12-08T19:30:05+01:00,vm,release,,\r\n";
        const QList<QByteArray> foreign{
            "calculator,outcome,files held,last code,seconds\r\nXQ1,updated,3,0,2.5\r\n",
            header.left(header.size() - 1),
            header.left(header.size() - 2) + "\n" + line,
            header.left(header.size() - 2) + ",note\r\n",
            "\xEF\xBB\xBF" + header,
            "Calculator" + header.mid(10),
            "x",
        };
        for (const QByteArray &before : foreign) {
            QVERIFY(writeFile(path, before));
            QString error;
            QVERIFY(!canAppendReport(path, &error));
            QCOMPARE(error, path + ": its first line is not this updater's report header");
            QVERIFY(!appendSessionReport(path, line, false, &error));
            QVERIFY2(error.endsWith(": its first line is not this updater's report header"), qPrintable(error));
            QCOMPARE(readAll(path), before);
        }
        for (const QByteArray &before : {QByteArray(), header, header + line}) {
            QVERIFY(writeFile(path, before));
            QVERIFY(canAppendReport(path, nullptr));
            QCOMPARE(readAll(path), before);
            QVERIFY(appendSessionReport(path, line, false, nullptr));
            QCOMPARE(readAll(path), (before.isEmpty() ? header : before) + line);
        }
        const QString missing = temp.filePath("new.csv");
        QVERIFY(canAppendReport(missing, nullptr));
        QCOMPARE(readAll(missing), QByteArray());
    }

    void firstWritersAtOnceWriteOneHeader()
    {
        // Copies that all find the report new at the same moment: the lock
        // lets the first write the header, and the others find it there.
        QTemporaryDir temp;
        constexpr int kWriters = 4;
        for (int round = 0; round < 100; ++round) {
            const QString path = temp.filePath(QString("r%1.csv").arg(round));
            std::atomic<int> ready{0};
            bool appended[kWriters] = {};
            std::vector<std::thread> writers;
            for (int w = 0; w < kWriters; ++w) {
                writers.emplace_back([&, w] {
                    for (++ready; ready.load() < kWriters;) {
                    }
                    appended[w] = appendSessionReport(path, QByteArray::number(w) + "\r\n", false, nullptr);
                });
            }
            for (std::thread &writer : writers)
                writer.join();
            QVERIFY(std::all_of(std::begin(appended), std::end(appended), [](bool ok) { return ok; }));
            QList<QStringList> records = readCsv(readAll(path));
            QCOMPARE(records.size(), kWriters + 1);
            QCOMPARE(records.takeFirst(), kHeader);
            std::sort(records.begin(), records.end());
            QCOMPARE(records, (QList<QStringList>{{"0"}, {"1"}, {"2"}, {"3"}}));
        }
    }

    void unwritableFileSaysWhy()
    {
        // The system's own words for a missing folder (Linux's here; Windows
        // says it in its own).
#ifdef Q_OS_WIN
        const QString missing = QString::fromStdU16String(platform::errorText(ERROR_PATH_NOT_FOUND)).trimmed();
#else
        const QString missing = "No such file or directory";
#endif
        QString error;
        QVERIFY(!canAppendReport("/nonexistent-folder/report.csv", &error));
        QCOMPARE(error, "/nonexistent-folder/report.csv: " + missing);
        QVERIFY(!appendSessionReport("/nonexistent-folder/report.csv", "x\r\n", true, &error));
        QCOMPARE(error, "cannot write the report /nonexistent-folder/report.csv: " + missing);
        // A device is not read (a full disk reads as zeros): the check lets
        // it be; a line finds no room, and the device stays a device.
        if (QFileInfo::exists("/dev/full")) {
            QVERIFY(canAppendReport("/dev/full", nullptr));
            QVERIFY(!appendSessionReport("/dev/full", "x\r\n", true, &error));
            QCOMPARE(error, QString("cannot write the report /dev/full: No space left on device"));
            QVERIFY(!QFileInfo("/dev/full").isFile());
        }
    }
};

QTEST_APPLESS_MAIN(TestSessionReport)
#include "test_session_report.moc"
