// The session's CSV report, read back with a reader written here from the
// format's rules (RFC 4180: records end with CRLF, fields are separated by
// commas, a field may be enclosed in double quotes, inside which a comma, a
// line break or a doubled quote stands for itself), on generated calculators
// whose identities hold commas, quotes, line breaks and text from outside
// ASCII.
#include "ui/session_report.h"

#include <QtTest>

#include <random>

namespace {

// Returns the records, or an empty list when the text breaks the rules.
QList<QStringList> readCsv(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    QList<QStringList> records;
    QStringList record;
    QString field;
    int i = 0;
    bool fieldStarted = false;
    while (i < text.size()) {
        const QChar c = text[i];
        if (!fieldStarted && c == '"') {
            // A quoted field: up to the lone closing quote.
            ++i;
            for (;;) {
                if (i >= text.size())
                    return {};
                if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    i += 2;
                } else if (text[i] == '"') {
                    ++i;
                    break;
                } else {
                    field += text[i++];
                }
            }
            fieldStarted = true;
            if (i < text.size() && text[i] != ',' && text[i] != '\r')
                return {};
            continue;
        }
        if (c == ',') {
            record << field;
            field.clear();
            fieldStarted = false;
            ++i;
        } else if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n')
                return {};
            record << field;
            records << record;
            record.clear();
            field.clear();
            fieldStarted = false;
            i += 2;
        } else if (c == '"' || c == '\n') {
            return {}; // a quote or a bare line break inside an unquoted field
        } else {
            field += c;
            fieldStarted = true;
            ++i;
        }
    }
    return fieldStarted || !record.isEmpty() ? QList<QStringList>{} : records;
}

} // namespace

class TestSessionReport : public QObject {
    Q_OBJECT

private slots:
    void generatedReportsReadBack()
    {
        const QStringList pieces{"TAVIX", "0042", ",", "\"", "\n", "\r\n", " ", "\xC3\xA9", "\xE6\xBC\xA2",
                                 "\xF0\x9F\x98\x80", "&", "#"};
        const char *const outcomes[] = {"not updated", "not updated", "updated", "not updated", "given up",
                                        "not updated"};
        std::mt19937 rng(21);
        for (int c = 0; c < 2000; ++c) {
            QVector<CalculatorView> rows(int(rng() % 6));
            for (CalculatorView &row : rows) {
                for (int k = int(rng() % 6); k > 0; --k)
                    row.identity += QString::fromUtf8(pieces[int(rng() % pieces.size())].toUtf8());
                row.state = CalculatorView::State(rng() % 6);
                row.held = int(rng() % 4);
                row.code = std::int32_t(rng() % 120);
                row.seconds = double(rng() % 100000) / 100.0;
            }
            const QList<QStringList> records = readCsv(sessionReportCsv(rows));
            QCOMPARE(records.size(), rows.size() + 1);
            QCOMPARE(records[0], (QStringList{"calculator", "outcome", "files held", "last code", "seconds"}));
            for (int r = 0; r < rows.size(); ++r) {
                const CalculatorView &row = rows[r];
                const QStringList expected{row.identity, outcomes[row.state], QString::number(row.held),
                                           QString::number(row.code), QString::number(row.seconds, 'f', 1)};
                QCOMPARE(records[r + 1], expected);
            }
        }
    }

    void unwritableFileSaysWhy()
    {
        QString error;
        QVERIFY(!writeSessionReport("/nonexistent-folder/report.csv", {}, &error));
        QVERIFY(error.contains("/nonexistent-folder/report.csv"));
        // A full disk takes nothing, and the device stays a device.
        if (QFileInfo::exists("/dev/full")) {
            QVERIFY(!writeSessionReport("/dev/full", {}, &error));
            QVERIFY(!QFileInfo("/dev/full").isFile());
        }
    }

    void batchesAccumulate()
    {
        // Two sessions into one file: one header, both batches' lines, in order.
        QTemporaryDir temp;
        const QString path = temp.filePath("cart.csv");
        CalculatorView row;
        row.identity = "XQ1";
        QVERIFY(writeSessionReport(path, {row}, nullptr));
        row.identity = "XQ2";
        QVERIFY(writeSessionReport(path, {row}, nullptr));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 4);
        QVERIFY(lines[0].startsWith("calculator,") && lines[1].startsWith("XQ1,") && lines[2].startsWith("XQ2,"));
    }
};

QTEST_APPLESS_MAIN(TestSessionReport)
#include "test_session_report.moc"
