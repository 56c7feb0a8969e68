// What a screen reader finds in the update window through Qt's accessibility
// interfaces, and the keys that reach and press its button.
#include "support/release_files.h"
#include "support/window_under_test.h"
#include "ui/accessible_texts.h"

#include <QAccessible>
#include <QtTest>
#include <QtWidgets>

class TestAccessibility : public testsupport::WindowUnderTest {
    Q_OBJECT

    QTemporaryDir temp;

    // The widget `name` as a reader finds it in the window's tree; null
    // unless it has that role.
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
    void initTestCase() { QVERIFY(testsupport::writeRelease(temp.filePath("release"))); }
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
        // At every change: the lines named by their caption and all they
        // show, the bar by its caption, each with what it is for, the bar's
        // value the percentage shown; the button named as it reads and
        // described by what a press does then. All in the window's language.
        QFETCH(int, language);
        QFETCH(bool, translated);
        attach();
        QStringList buttonPurposes;
        int values = 0;
        onShown = [&](const QString &line) {
            if (QTest::currentTestFailed())
                return; // said once
            const struct {
                QAccessibleInterface *node;
                UiText caption, purpose;
            } items[] = {{find(QAccessible::StaticText, "statusLabel"), kTextStatusCaption, kTextStatusPurpose},
                         {find(QAccessible::StaticText, "fileLabel"), kTextFileCaption, kTextFilePurpose},
                         {find(QAccessible::ProgressBar, "progressBar"), kTextProgressCaption, kTextProgressPurpose}};
            for (const auto &item : items) {
                QVERIFY(item.node != nullptr);
                const auto *label = qobject_cast<QLabel *>(item.node->object());
                const QString name = item.node->text(QAccessible::Name);
                QVERIFY2(name.startsWith(uiText(item.caption)) && name.contains(label ? label->text() : ""), qPrintable(name));
                QCOMPARE(item.node->text(QAccessible::Description), uiText(item.purpose));
            }
            if (line.startsWith("progress: ") && !line.endsWith("hidden")) {
                ++values;
                QCOMPARE(items[2].node->valueInterface()->currentValue().toString(), line.mid(10));
            }
            QAccessibleInterface *button = find(QAccessible::Button, "actionButton");
            QVERIFY(button != nullptr);
            QCOMPARE(button->text(QAccessible::Name), qobject_cast<QPushButton *>(button->object())->text());
            if (line.startsWith("button: ") && buttonPurposes.value(buttonPurposes.size() - 1) != button->text(QAccessible::Description))
                buttonPurposes << button->text(QAccessible::Description);
        };
        open(temp.filePath("release"), language);
        QTRY_COMPARE_WITH_TIMEOUT(sessionsEnded, 1, testsupport::kSessionTimeoutMs);
        onShown = nullptr;
        QVERIFY(values >= 3);
        // Cancel, the countdown's Start, then Start unavailable while the files go out.
        QCOMPARE(buttonPurposes,
                 (QStringList{uiText(kTextCancelPurpose), uiText(kTextStartPurpose), uiText(kTextBusyPurpose)}));
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
        // No calculator: the button reads Cancel. Tab brings the focus to it;
        // the key presses it, and the window aborts and closes as for a click,
        // never through the dialog's own accept.
        QFETCH(int, key);
        QFETCH(bool, toWindow);
        open(temp.filePath("release"));
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        auto *button = widget<QPushButton>("actionButton");
        button->clearFocus();
        QTest::keyClick(dialog.get(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), button);
        QSignalSpy clicked(button, &QPushButton::clicked);
        QSignalSpy accepted(dialog.get(), &QDialog::accepted);
        if (toWindow)
            button->clearFocus();
        QTest::keyClick(toWindow ? static_cast<QWidget *>(dialog.get()) : button, Qt::Key(key));
        QCOMPARE(clicked.count(), 1);
        QCOMPARE(accepted.count(), 0);
        QCOMPARE(lines("status").last(), QString("Update aborted"));
        QVERIFY(!dialog->isVisible());
    }
};

QTEST_MAIN(TestAccessibility)
#include "test_accessibility.moc"
