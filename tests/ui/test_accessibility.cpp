// What a screen reader finds in the update window, through Qt's accessibility
// interfaces (what the Windows and Linux readers are given): the status line,
// the file line, the progress bar and the button, each named and described in
// the window's language and following the session; and the keys that reach
// and press the button.
#include "support/release_files.h"
#include "support/window_under_test.h"
#include "ui/accessible_texts.h"

#include <QAccessible>
#include <QtTest>
#include <QtWidgets>

class TestAccessibility : public testsupport::WindowUnderTest {
    Q_OBJECT

    QTemporaryDir temp;
    QString releaseFolder;

    // What a reader finds for the widget `name`, walking the window's tree;
    // null unless it has that role.
    QAccessibleInterface *find(QAccessible::Role role, const char *name) const
    {
        QList<QAccessibleInterface *> left{QAccessible::queryAccessibleInterface(dialog.get())};
        while (!left.isEmpty()) {
            QAccessibleInterface *node = left.takeFirst();
            if (node->role() == role && node->object() && node->object()->objectName() == QLatin1String(name))
                return node;
            for (int i = 0; i < node->childCount(); ++i)
                left << node->child(i);
        }
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, temp.filePath("settings"));
        releaseFolder = temp.filePath("release");
        QVERIFY(testsupport::writeRelease(releaseFolder));
    }
    void init() { startCase(); }
    void cleanup() { endCase(); }

    void aReaderFollowsASession_data()
    {
        QTest::addColumn<int>("language");
        QTest::addColumn<bool>("translated"); // the descriptions differ from the English
        QTest::newRow("en") << 1 << false;
        QTest::newRow("de") << 4 << true;
    }
    void aReaderFollowsASession()
    {
        // At every change of the window: each line named by its caption and
        // the whole of what it shows, the bar's value the percentage shown,
        // the button named as it reads and described by what a press does
        // then; the words those of the compiled texts of the window's language.
        QFETCH(int, language);
        QFETCH(bool, translated);
        attach();
        QStringList statusNames, buttonPurposes, values;
        onShown = [&](const QString &line) {
            if (QTest::currentTestFailed())
                return; // said once
            QAccessibleInterface *status = find(QAccessible::StaticText, "statusLabel");
            QAccessibleInterface *file = find(QAccessible::StaticText, "fileLabel");
            QAccessibleInterface *bar = find(QAccessible::ProgressBar, "progressBar");
            QAccessibleInterface *button = find(QAccessible::Button, "cancelButton");
            QVERIFY(status && file && bar && button);
            struct Line {
                QAccessibleInterface *node;
                UiText caption, purpose;
            };
            for (const Line &each : {Line{status, kTextStatusCaption, kTextStatusPurpose},
                                     Line{file, kTextFileCaption, kTextFilePurpose}}) {
                const QString name = each.node->text(QAccessible::Name);
                const QString shown = qobject_cast<QLabel *>(each.node->object())->text();
                QVERIFY2(name.startsWith(uiText(each.caption)) && name.contains(shown), qPrintable(name));
                QCOMPARE(each.node->text(QAccessible::Description), uiText(each.purpose));
            }
            if (statusNames.value(statusNames.size() - 1) != status->text(QAccessible::Name))
                statusNames << status->text(QAccessible::Name);
            QCOMPARE(bar->text(QAccessible::Name), uiText(kTextProgressCaption));
            QCOMPARE(bar->text(QAccessible::Description), uiText(kTextProgressPurpose));
            if (line.startsWith("progress: ") && !line.endsWith("hidden"))
                values << bar->valueInterface()->currentValue().toString() + " " + line.mid(10);
            auto *pushButton = qobject_cast<QPushButton *>(button->object());
            QCOMPARE(button->text(QAccessible::Name), pushButton->text());
            if (line.startsWith("button: ") && buttonPurposes.value(buttonPurposes.size() - 1) != button->text(QAccessible::Description))
                buttonPurposes << button->text(QAccessible::Description);
        };
        open(releaseFolder, language);
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, testsupport::kSessionTimeoutMs);
        onShown = nullptr;
        // Cancel, the countdown's Start, then Start unavailable while the files go out.
        QCOMPARE(buttonPurposes,
                 (QStringList{uiText(kTextCancelPurpose), uiText(kTextStartPurpose), uiText(kTextBusyPurpose)}));
        QVERIFY2(statusNames.size() >= 5, qPrintable(statusNames.join(" | "))); // waiting, countdown, results, the end
        QVERIFY(values.size() >= 3);
        for (const QString &value : values)
            QCOMPARE(value.section(' ', 0, 0), value.section(' ', 1, 1));
        for (const UiText &text : {kTextStatusPurpose, kTextFilePurpose, kTextProgressPurpose, kTextCancelPurpose,
                                   kTextStartPurpose, kTextBusyPurpose})
            QCOMPARE(uiText(text) != QString::fromUtf8(text.english), translated);
    }

    void keysPressTheButton_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("toWindow"); // the key goes to the window, the focus on no control
        QTest::newRow("Return") << int(Qt::Key_Return) << false;
        QTest::newRow("Enter") << int(Qt::Key_Enter) << false;
        QTest::newRow("Space") << int(Qt::Key_Space) << false;
        QTest::newRow("Return to the window") << int(Qt::Key_Return) << true;
    }
    void keysPressTheButton()
    {
        // No calculator: the button reads Cancel. Tab brings the focus to it,
        // the key presses it, and the window aborts and closes as for a click
        // (never through the dialog's own accept).
        QFETCH(int, key);
        QFETCH(bool, toWindow);
        open(releaseFolder);
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        auto *button = widget<QPushButton>("cancelButton");
        button->clearFocus();
        QTest::keyClick(dialog.get(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
        QSignalSpy clicked(button, &QPushButton::clicked);
        QSignalSpy accepted(dialog.get(), &QDialog::accepted);
        if (toWindow)
            button->clearFocus();
        QTest::keyClick(toWindow ? static_cast<QWidget *>(dialog.get()) : QApplication::focusWidget(), Qt::Key(key));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(accepted.count(), 0);
        QCOMPARE(lines("status").last(), QString("Update aborted"));
        QVERIFY(!dialog->isVisible());
    }
};

QTEST_MAIN(TestAccessibility)
#include "test_accessibility.moc"
