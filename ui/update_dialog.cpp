#include "ui/update_dialog.h"

#include "platform/clock.h"
#include "platform/disk_system.h"
#include "platform/elevation.h"
#include "platform/error_kind.h"
#include "resources/language.h"
#include "resources/localized_text.h"
#include "session/exit_codes.h"
#include "session/release_scan.h"
#include "session/session_log.h"
#include "session/session_rules.h"
#include "session/update_worker.h"
#include "transport/transfer_engine.h"
#include "ui/accessible_texts.h"
#include "ui/calculator_list.h"
#include "ui/failure_reason.h"
#include "ui/session_report.h"
#include "ui/suite_settings.h"
#include "ui/ui_text.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QEvent>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

CCalcFWUpdateMSDialog *gUpdateDialog = nullptr;

namespace {

constexpr UiText kTextCancel{2, "Cancel"};
constexpr UiText kTextStart{20, "Start"};
constexpr UiText kTextWaitingForConnection{521, "Waiting for connection..."};
constexpr UiText kTextNoUpdates{622, "No updates are available"};
constexpr UiText kTextDone{627, "Done"};
constexpr UiText kTextWindowTitle{631, "Firmware update"};
constexpr UiText kTextAborted{633, "Update aborted"};
constexpr UiText kTextFirmwareFolder{657, "Firmware"};
constexpr UiText kTextBrowse{744, "Browse for update files"};
constexpr UiText kTextNotUpdated{745, "Not updated: %1"};
constexpr UiText kTextMissingFiles{746, "%1 (missing %2 of %3 files)"};
constexpr UiText kTextUpdatedOf{747, "Updated %1 of %2 calculators"};
constexpr UiText kTextUpdating{784, "Updating %1 calculators"};
constexpr UiText kTextUpdatingOne{786, "Updating %1 calculator"};
constexpr UiText kTextWaitingToStart{7774, "Waiting to start\u2026"};
constexpr UiText kTextRestartElevated{791, "Restart as administrator"};
constexpr UiText kTextNotElevated{792, "The updater could not be started as administrator."};
constexpr UiText kTextTally{800, "Updated %1 \u00b7 given up %2 \u00b7 being written %3"};
constexpr UiText kTextStop{801, "Stop"};
constexpr UiText kTextStopPurpose{802, "Takes no new calculator and finishes those being written"};
constexpr UiText kTextCloseRefused{803, "A calculator is being written: the window can be closed once it is done. "
                                        "Press Stop to take no new calculator."};
constexpr UiText kTextStopping{804, "Stopping: finishing the calculators being written"};
constexpr UiText kTextPlugInNext{805, "Plug in the next calculators"};
constexpr UiText kTextStationStopped{806, "Stopped"};

constexpr UiText kTextNoRelease{760, "No release in %1: %2"};
constexpr UiText kTextMissingName{761, "missing %1"};
constexpr UiText kTextTwoSpellings{762, "two spellings of %1"};
constexpr UiText kTextNoFolder{763, "the folder does not exist"};
constexpr UiText kTextUnreadableFolder{764, "the folder cannot be read"};
constexpr UiText kTextEmptyFile{775, "%1 is empty"};
constexpr UiText kTextTooLarge{776, "%1 is %2 bytes, its place holds %3"};
constexpr UiText kTextNotAFolder{777, "it is a file, not a folder"};
constexpr UiText kTextHoldsRecord{778, "it holds the report or the log (%1)"};
constexpr UiText kTextRecordNotWritten{779, "The record cannot be written: %1"};
constexpr UiText kTextUnreadable{781, "%1 could not be read"};
constexpr UiText kTextNoCopy{783, "no copy of it could be kept for sending: %1"};

// The info line's texts, one after the other.
QString joinSentences(const QString &first, const QString &second)
{
    return first.isEmpty() ? second : first + QLatin1Char(' ') + second;
}

// The three results that carry a number are not localized.
const char kUpdateOk[] = "Update OK (%1)";
const char kUpdateFailed[] = "Update failed (%1)";
const char kUpdateFailedRetry[] = "Update failed (%1), Retry: %2";

const char kProgressStyle[] =
    "QProgressBar { border: 2px solid DarkGrey; border-radius: 4px; text-align: center; padding: 2px; } "
    "QProgressBar::chunk { background-color: #0096d6; width: 5px; }";

QString text(const UiText &wanted)
{
    return uiText(wanted);
}

// A firmware file's path as the system writes paths: the transfer's form
// (backslashes, which no offered file holds otherwise) on the file line.
QString shownPath(QString path)
{
    return QDir::toNativeSeparators(path.replace(QLatin1Char('\\'), QLatin1Char('/')));
}

// A picture and its drawing at twice the size ("NAME@2x.png"), when there is
// one. QIcon::addFile takes the "@2x" file by itself only when a screen is
// scaled as it is called; the window may be moved to one later.
void addPicture(QIcon *icon, const QString &name)
{
    const int sizes = icon->availableSizes().size();
    icon->addFile(name);
    QString twice = name;
    twice.insert(twice.lastIndexOf(QLatin1Char('.')), QLatin1String("@2x"));
    if (icon->availableSizes().size() == sizes + 1 && QFileInfo::exists(twice))
        icon->addFile(twice);
}

// A line's accessible name: its caption and what it shows, so that a screen
// reader hears both, and every change of the line (NameChanged).
void nameLine(QLabel *label, const UiText &caption)
{
    const QString shown = label->text();
    label->setAccessibleName(shown.isEmpty() ? uiText(caption)
                                             : uiText(kTextCaptionAndValue).arg(uiText(caption), shown));
}

// A count of bytes as the window's language writes numbers (1,056,768).
QString byteCount(qint64 bytes, std::uint32_t language)
{
    static const QLocale::Language kLocales[] = {
        QLocale::English, QLocale::English, QLocale::Chinese, QLocale::French,     QLocale::German,
        QLocale::Spanish, QLocale::Dutch,   QLocale::Portuguese, QLocale::Japanese, QLocale::Russian,
    };
    const QLocale locale(language < std::size(kLocales) ? kLocales[language] : QLocale::English);
    return locale.toString(bytes);
}

// What a folder lacks for a release, in the window's language; empty when nothing.
QString shortfallText(const ReleaseShortfall &shortfall, std::uint32_t language)
{
    QStringList lacks;
    if (shortfall.noFolder)
        lacks << uiText(kTextNoFolder);
    if (shortfall.notAFolder)
        lacks << uiText(kTextNotAFolder);
    if (shortfall.unreadable)
        lacks << uiText(kTextUnreadableFolder);
    for (const QString &name : shortfall.missing)
        lacks << uiText(kTextMissingName).arg(name);
    for (const QString &name : shortfall.twoSpellings)
        lacks << uiText(kTextTwoSpellings).arg(name);
    for (const QString &name : shortfall.empty)
        lacks << uiText(kTextEmptyFile).arg(name);
    for (const ReleaseShortfall::Oversized &file : shortfall.tooLarge)
        lacks << uiText(kTextTooLarge).arg(file.name, byteCount(file.size, language), byteCount(file.room, language));
    return lacks.join(QStringLiteral(", "));
}

} // namespace

CCalcFWUpdateMSDialog::CCalcFWUpdateMSDialog(QString folder, int language, bool languageFromSettings)
    : QDialog(nullptr)
{
    // First of all, before anything fetches a text or starts the worker: the
    // process-wide ways to reach this dialog.
    gUpdateDialog = this;
    bindCurrentLanguage(&languageIndex);

    installSearchPaths();

    useCurrentNames = false;
    appIcon.addFile(QStringLiteral(":/CalculatorIconX16.png"));
    addPicture(&appIcon, QStringLiteral(":/CalculatorIconX64.png"));
    // The Browse pictures live in the "icons" folder beside the program;
    // without them the button has no icon.
    for (const char *name : {"icons:varFolder_16x16.png", "icons:varFolder_32x32.png"}) {
        const QString path = QString::fromLatin1(name);
        if (QFileInfo::exists(path))
            addPicture(&folderIcon, path);
    }

    if (!folder.isEmpty() && languageFromSettings) {
        readSuiteSettings(this); // the language; the folder is the one given
        firmwareFolder = folder;
    } else if (!folder.isEmpty()) {
        firmwareFolder = folder;
        checkLanguage(&languageIndex, language);
    } else {
        readSuiteSettings(this);
        firmwareFolder += QLatin1Char('/') + text(kTextFirmwareFolder);
    }

    // The worker's signals are connected before its thread starts, so its
    // first report can never be missed. The dialog owns both: its
    // destructor stops the loop, waits for the thread and deletes them.
    workerThread = std::make_unique<QThread>();
    worker = std::make_unique<CUpdateWorker>(this);
    worker->moveToThread(workerThread.get());
    connect(workerThread.get(), &QThread::started, worker.get(), &CUpdateWorker::process);

    buildWidgets();
    connectSignals();
    workerThread->start(QThread::InheritPriority);
}

CCalcFWUpdateMSDialog::~CCalcFWUpdateMSDialog()
{
    abortUpdate();
    stopWorker();
    worker.reset();
    workerThread.reset();
    if (gUpdateDialog == this) {
        bindCurrentLanguage(nullptr);
        gUpdateDialog = nullptr;
    }
}

void CCalcFWUpdateMSDialog::buildWidgets()
{
    statusLabel = new QLabel(this);
    infoLabel = new QLabel(this);
    summaryLabel = new QLabel(this);
    fileLabel = new QLabel(this);
    noteLabel = new QLabel(this);
    iconLabel = new QLabel(this);
    showCalculatorPicture();
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    infoLabel->setObjectName(QStringLiteral("infoLabel"));
    summaryLabel->setObjectName(QStringLiteral("summaryLabel"));
    // A reason sentence is never cut: it wraps at the picture's edge, and
    // the window grows to hold its lines.
    infoLabel->setWordWrap(true);
    infoLabel->setMinimumWidth(1);
    infoLabel->installEventFilter(this);
    summaryLabel->hide();
    tallyLabel = new QLabel(this);
    tallyLabel->setObjectName(QStringLiteral("tallyLabel"));
    tallyLabel->setWordWrap(true);
    tallyLabel->hide();
    fileLabel->setObjectName(QStringLiteral("fileLabel"));
    noteLabel->setObjectName(QStringLiteral("noteLabel"));
    iconLabel->setObjectName(QStringLiteral("iconLabel"));
    // A long path is cut at the label's edge instead of running under the
    // calculator picture: the window keeps its size.
    fileLabel->setMinimumWidth(1);

    auto *textColumn = new QVBoxLayout();
    auto *mainLayout = new QVBoxLayout();
    auto *buttonRow = new QHBoxLayout();
    auto *topRow = new QHBoxLayout();

    actionButton = new QPushButton(text(kTextCancel));
    actionButton->setObjectName(QStringLiteral("actionButton"));
    // The dialog's default button: Enter presses it also when no control has
    // the focus, and never closes the window by itself. Space presses the
    // focused button.
    actionButton->setDefault(true);
    browseButton = new QPushButton(folderIcon, text(kTextBrowse));
    browseButton->setObjectName(QStringLiteral("browseButton"));
    browseButton->hide();
    restartButton = new QPushButton(text(kTextRestartElevated));
    restartButton->setObjectName(QStringLiteral("restartButton"));
    restartButton->hide();
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 100);
    // Empty until the first transfer reports.
    progressBar->reset();

    nameLine(statusLabel, kTextStatusCaption);
    statusLabel->setAccessibleDescription(text(kTextStatusPurpose));
    nameLine(fileLabel, kTextFileCaption);
    fileLabel->setAccessibleDescription(text(kTextFilePurpose));
    // The bar's value reaches a screen reader as its percentage.
    progressBar->setAccessibleName(text(kTextProgressCaption));
    progressBar->setAccessibleDescription(text(kTextProgressPurpose));
    actionButton->setAccessibleName(actionButton->text());
    actionButton->setAccessibleDescription(text(kTextCancelPurpose));

    setWindowTitle(text(kTextWindowTitle));
    setWindowIcon(appIcon);

    textColumn->addWidget(statusLabel);
    textColumn->addWidget(infoLabel);
    textColumn->addWidget(fileLabel);
    textColumn->addWidget(noteLabel);
    // The lines take the width the picture leaves, so that a reason wraps
    // at the picture's edge.
    topRow->addLayout(textColumn, 1);
    topRow->addStretch(0);
    topRow->addWidget(iconLabel);
    mainLayout->addLayout(topRow);
    mainLayout->addStretch(0);
    mainLayout->addSpacing(10);
    mainLayout->addWidget(progressBar);
    mainLayout->addWidget(summaryLabel);
    mainLayout->addWidget(tallyLabel);
    calculatorList = new CCalculatorList(this);
    calculatorList->hide();
    // Shown, the list takes all the height the lines above leave: the
    // stretch above it then gets none, and no blank band opens where the
    // hidden bar and button were.
    mainLayout->addWidget(calculatorList, 1);
    mainLayout->addSpacing(10);
    mainLayout->addLayout(buttonRow);
    buttonRow->addStretch(0);
    buttonRow->addWidget(browseButton);
    buttonRow->addWidget(restartButton);
    buttonRow->addWidget(actionButton);

    progressBar->show();
    progressBar->setStyleSheet(QString::fromLatin1(kProgressStyle));
    setLayout(mainLayout);
    // At least 525 wide, and wider where a language's buttons need it side
    // by side: the minimum is the layout's (a minimum width set on the
    // window would stand instead of it, and squeeze the buttons).
    const QMargins margins = mainLayout->contentsMargins();
    mainLayout->addStrut(525 - margins.left() - margins.right());
    mainLayout->activate();
}

void CCalcFWUpdateMSDialog::connectSignals()
{
    connect(actionButton, &QPushButton::clicked, this, &CCalcFWUpdateMSDialog::onActionButton);
    connect(this, &CCalcFWUpdateMSDialog::updateProgress, this, &CCalcFWUpdateMSDialog::onUpdateProgress);
    connect(this, &CCalcFWUpdateMSDialog::updateMessage, this, &CCalcFWUpdateMSDialog::onUpdateMessage);
    connect(worker.get(), &CUpdateWorker::foundDevice, this, &CCalcFWUpdateMSDialog::onFoundDevice);
    connect(worker.get(), &CUpdateWorker::waitingStart, this, &CCalcFWUpdateMSDialog::onWaitingStart);
    connect(worker.get(), &CUpdateWorker::waitingTicks, this, &CCalcFWUpdateMSDialog::onWaitingTicks);
    connect(worker.get(), &CUpdateWorker::downloadActive, this, &CCalcFWUpdateMSDialog::onDownloadActive);
    connect(worker.get(), &CUpdateWorker::updaterRan, this, &CCalcFWUpdateMSDialog::onUpdaterRan);
    connect(worker.get(), &CUpdateWorker::loopFailed, this, &CCalcFWUpdateMSDialog::onLoopFailed);
    connect(worker.get(), &CUpdateWorker::sessionClosed, this, &CCalcFWUpdateMSDialog::onSessionClosed);
    connect(worker.get(), &CUpdateWorker::calculatorsChanged, this, &CCalcFWUpdateMSDialog::onCalculatorsChanged);
    connect(this, &CCalcFWUpdateMSDialog::calculatorProgress, this, &CCalcFWUpdateMSDialog::onCalculatorProgress);
    connect(browseButton, &QPushButton::clicked, this, &CCalcFWUpdateMSDialog::onBrowseFolder);
    connect(restartButton, &QPushButton::clicked, this, &CCalcFWUpdateMSDialog::onRestartButton);
    connect(worker.get(), &CUpdateWorker::handOverReady, this, &CCalcFWUpdateMSDialog::onHandOverReady);
    connect(worker.get(), &CUpdateWorker::stopped, this, &CCalcFWUpdateMSDialog::onStationStopped);
    connect(worker.get(), &CUpdateWorker::sessionResumed, this, &CCalcFWUpdateMSDialog::onSessionResumed);
}

// --- what the user sees -----------------------------------------------------

// Every status a slot puts is reported, also one equal to the last: the
// second "Update OK (0)" is news.
void CCalcFWUpdateMSDialog::setStatus(const QString &value)
{
    statusLabel->setText(value);
    nameLine(statusLabel, kTextStatusCaption);
    emit displayChanged(QStringLiteral("status"), value);
}

void CCalcFWUpdateMSDialog::setFileText(const QString &value)
{
    if (fileLabel->text() == value)
        return;
    fileLabel->setText(value);
    // The line is cut at its edge rather than widen the window: the whole
    // path shows when the pointer rests on it.
    fileLabel->setToolTip(value);
    nameLine(fileLabel, kTextFileCaption);
    emit displayChanged(QStringLiteral("file"), value);
}

void CCalcFWUpdateMSDialog::setInfo(const QString &value)
{
    if (infoLabel->text() == value)
        return;
    infoLabel->setText(value);
    fitInfoLine();
    emit displayChanged(QStringLiteral("info"), value);
}

void CCalcFWUpdateMSDialog::setButton(const QString &value, bool enabled)
{
    actionButton->setText(value);
    actionButton->setEnabled(enabled);
    // The name is the text as shown (the countdown too); the description
    // says what a press does now.
    actionButton->setAccessibleName(value);
    actionButton->setAccessibleDescription(text(!enabled          ? kTextBusyPurpose
                                                : stationServing ? kTextStopPurpose
                                                : buttonStarts   ? kTextStartPurpose
                                                                 : kTextCancelPurpose));
    echoButton();
}

void CCalcFWUpdateMSDialog::setButtonVisible(bool visible)
{
    actionButton->setVisible(visible);
    echoButton();
}

void CCalcFWUpdateMSDialog::echoButton()
{
    QString value = QStringLiteral("hidden");
    if (!actionButton->isHidden())
        value = actionButton->isEnabled() ? actionButton->text() : actionButton->text() + QStringLiteral(" (disabled)");
    if (value == echoedButton)
        return;
    echoedButton = value;
    emit displayChanged(QStringLiteral("button"), value);
}

void CCalcFWUpdateMSDialog::setBrowseVisible(bool visible)
{
    if (browseButton->isHidden() == !visible)
        return;
    browseButton->setVisible(visible);
    emit displayChanged(QStringLiteral("browse"), visible ? browseButton->text() : QStringLiteral("hidden"));
}

void CCalcFWUpdateMSDialog::showRestart()
{
    // A calculator that is written, or waits for its next file (between
    // two, or for its turn), keeps the offer back: the session goes on with
    // it first. A refused calculator's own retry is no write: its open fails.
    bool refused = false;
    bool writing = false;
    for (const CalculatorView &row : shownRows) {
        const bool deniedAtOpen = row.code == kDiskUnopenable &&
                                  platform::errorKind(row.systemError) == platform::ErrorKind::AccessDenied;
        refused = refused || deniedAtOpen;
        writing = writing ||
                  (!deniedAtOpen && (row.state == CalculatorView::Writing || row.state == CalculatorView::Waiting));
    }
    restartButton->setVisible(refused && !writing);
    restartButton->setEnabled(!handOverPending);
    QString value = QStringLiteral("hidden");
    if (!restartButton->isHidden())
        value = restartButton->isEnabled() ? restartButton->text() : restartButton->text() + QStringLiteral(" (disabled)");
    if (value == echoedRestart)
        return;
    echoedRestart = value;
    emit displayChanged(QStringLiteral("restart"), value);
}

void CCalcFWUpdateMSDialog::setProgressVisible(bool visible)
{
    if (progressBar->isHidden() == !visible)
        return;
    progressBar->setVisible(visible);
    emit displayChanged(QStringLiteral("progress"),
                        visible ? QString::number(std::max(progressBar->value(), 0)) : QStringLiteral("hidden"));
}

void CCalcFWUpdateMSDialog::showCalculatorPicture()
{
    // Before the window exists, at the application's scale; then at the
    // window's: the 128-pixel drawing at 200%, scaled down from it at 150%.
    iconLabel->setPixmap(appIcon.pixmap(windowHandle(), QSize(64, 64)));
}

void CCalcFWUpdateMSDialog::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    QWindow *window = windowHandle();
    if (screenFollowed || window == nullptr)
        return;
    screenFollowed = true;
    connect(window, &QWindow::screenChanged, this, &CCalcFWUpdateMSDialog::onScreenChanged);
    onScreenChanged(window->screen());
}

bool CCalcFWUpdateMSDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == infoLabel && event->type() == QEvent::Resize)
        fitInfoLine();
    return QDialog::eventFilter(watched, event);
}

void CCalcFWUpdateMSDialog::fitInfoLine()
{
    if (infoLabel->text().isEmpty()) {
        infoLabel->setMinimumHeight(0);
        return;
    }
    const int needed = infoLabel->heightForWidth(infoLabel->width());
    if (needed > 0 && needed != infoLabel->minimumHeight())
        infoLabel->setMinimumHeight(needed);
}

// Moved to another screen, or the screen's scale changed in the system's
// settings: the picture is taken again for the new scale.
void CCalcFWUpdateMSDialog::onScreenChanged(QScreen *screen)
{
    disconnect(screenScale);
    if (screen != nullptr)
        screenScale = connect(screen, &QScreen::logicalDotsPerInchChanged, this,
                              &CCalcFWUpdateMSDialog::showCalculatorPicture);
    showCalculatorPicture();
}

void CCalcFWUpdateMSDialog::bringToFront()
{
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
    emit displayChanged(QStringLiteral("window"), QStringLiteral("raised"));
}

// --- the release scan ----------------------------------------------------------

void CCalcFWUpdateMSDialog::detectNameSet()
{
    useCurrentNames = releaseUsesCurrentNames(firmwareFolder);
}

void CCalcFWUpdateMSDialog::scanFirmwareFolder()
{
    setBrowseVisible(false);
    // The session's report or log inside the release would be sent as
    // firmware, or overwrite it: such a folder is no release.
    for (const QString &record : {report.path(), logPath}) {
        if (folderHolds(firmwareFolder, record))
            return refuseRelease(uiText(kTextHoldsRecord).arg(QDir::toNativeSeparators(record)));
    }
    detectNameSet();
    const QVector<CUpdateFile> updateFiles = listReleaseFiles(firmwareFolder, useCurrentNames);
    releaseDigest.clear();
    if (!isCompleteRelease(updateFiles))
        return refuseRelease(shortfallText(releaseShortfall(firmwareFolder, useCurrentNames), languageIndex));
    // Each file is read once, here, before anything is sent: one that cannot
    // be read is found now, and what goes out is what was read.
    CFixedRelease::Failure failure;
    std::shared_ptr<const CFixedRelease> release = CFixedRelease::fix(updateFiles, &failure);
    if (!release)
        return refuseRelease(fixFailureText(failure));
    releaseDigest = QString::fromLatin1(release->sha256().toHex().left(12));
    if (endShown)
        restartSession();
    worker->beginRelease(release);
    showFile(updateFiles.first().path);
}

QString CCalcFWUpdateMSDialog::fixFailureText(const CFixedRelease::Failure &failure)
{
    switch (failure.kind) {
    case CFixedRelease::Failure::Changed:
        return changedAfterCheck(failure.name);
    case CFixedRelease::Failure::NoCopy:
        return uiText(kTextNoCopy).arg(failure.detail);
    case CFixedRelease::Failure::Unreadable:
        break;
    }
    return withSystemMessage(uiText(kTextUnreadable).arg(failure.name), failure.systemError);
}

void CCalcFWUpdateMSDialog::refuseRelease(const QString &why)
{
    finishUpdate(exit_code::kNoRelease, text(kTextNoUpdates),
                 why.isEmpty() ? why : uiText(kTextNoRelease).arg(QDir::toNativeSeparators(firmwareFolder), why));
    setBrowseVisible(true);
}

void CCalcFWUpdateMSDialog::showFile(const QString &path)
{
    setButtonVisible(true);
    setFileText(shownPath(path));
}

// A complete release chosen after the session ended: the window goes back
// to its first phase (the worker starts its new session with the release).
void CCalcFWUpdateMSDialog::restartSession()
{
    endShown = false;
    stationServing = stationStopping = false;
    sessionExit = exit_code::kStopped;
    buttonStarts = false;
    report.newSession(); // the new session's lines follow the last one's
    shownRows.clear();
    calculatorList->setRows(shownRows);
    calculatorList->hide();
    summaryLabel->clear();
    summaryLabel->hide();
    showRestart();
    progressBar->reset();
    setProgressVisible(true);
    setStatus(QString());
    setButton(text(kTextCancel), true);
}

// --- the end of the session ------------------------------------------------------

void CCalcFWUpdateMSDialog::finishUpdate(int exit, QString message, QString info)
{
    sessionExit = exit;
    setButtonVisible(false);
    setProgressVisible(false);
    setStatus(message);
    setInfo(info);
    setFileText(QString());
    showSummary();

    // The worker owns the transport: it sends the end-of-session command
    // after the pass under way, never during a presence check or a transfer.
    // The window does not wait for it (the end of session searches for the
    // calculators, a hung device takes longer); sessionEnded follows once the
    // command has gone.
    worker->requestEndOfSession();
    endShown = true;
}

void CCalcFWUpdateMSDialog::abortUpdate()
{
    finishUpdate(exit_code::kStopped, text(kTextAborted));
}

int CCalcFWUpdateMSDialog::abandonedWrites() const
{
    return worker->abandonedWrites();
}

void CCalcFWUpdateMSDialog::stopWorker()
{
    if (workerThread->isRunning()) {
        worker->requestStop();
        // Delivered once process() has returned (the calls already made, an
        // end of session among them, go first): then the thread's event loop
        // quits.
        QThread *thread = workerThread.get();
        QMetaObject::invokeMethod(worker.get(), [thread] { thread->quit(); }, Qt::QueuedConnection);
        workerThread->wait();
    }
    // The release's private copies do not outlive the program.
    worker->dropRelease();
    // The worker's sessionClosed may still be queued for an event loop that
    // has already ended (Cancel closes the window at once): the report is
    // not lost with it.
    writeReport();
}

bool CCalcFWUpdateMSDialog::mayClose() const
{
    // The station: never while a calculator is in the middle of its visit.
    if (stationServing)
        return endShown || !stationWriting();
    // Closing during the update would end the program with calculators
    // partly written. Once the window has shown the session's end, it may go
    // at once: the end of session it asked for still reaches the calculators
    // (the program stops the worker, which sends it first).
    return endShown || !worker->isBusy();
}

void CCalcFWUpdateMSDialog::closeEvent(QCloseEvent *event)
{
    if (letClose())
        event->accept();
    else
        event->ignore();
}

void CCalcFWUpdateMSDialog::reject()
{
    if (letClose())
        QDialog::reject();
}

bool CCalcFWUpdateMSDialog::letClose()
{
    if (!mayClose()) {
        // The station says why; the session's own busy window speaks for itself.
        if (stationServing)
            setInfo(text(kTextCloseRefused));
        return false;
    }
    endOnClose();
    return true;
}

void CCalcFWUpdateMSDialog::endOnClose()
{
    if (stationServing && !endShown)
        finishUpdate(stationExit(), text(kTextStationStopped));
    // After the final failure the worker watches for a given-up calculator
    // plugged in again: no more.
    else if (endShown)
        worker->requestEndOfSession();
}

// --- the station -------------------------------------------------------------------

void CCalcFWUpdateMSDialog::setStationMode(bool on)
{
    stationMode = on;
    calculatorList->setStation(on);
    report.setStation(on);
    worker->setStation(on);
    if (on)
        showTally();
}

bool CCalcFWUpdateMSDialog::stationWriting() const
{
    return std::any_of(shownRows.begin(), shownRows.end(),
                       [](const CalculatorView &row) { return row.attached && row.underWay; });
}

int CCalcFWUpdateMSDialog::stationExit() const
{
    // A visit cut short (its calculator unplugged in the middle) ended
    // without the release, as one given up did.
    bool served = false, failed = false;
    for (const CalculatorView &row : shownRows) {
        const bool outcome = row.state == CalculatorView::Updated || row.state == CalculatorView::GivenUp;
        served = served || outcome || row.underWay;
        failed = failed || row.state == CalculatorView::GivenUp || (!outcome && row.underWay);
    }
    return failed ? exit_code::kFailed : served ? exit_code::kDone : exit_code::kStopped;
}

void CCalcFWUpdateMSDialog::showTally()
{
    int updated = 0, givenUp = 0, writing = 0;
    for (const CalculatorView &row : shownRows) {
        if (row.state == CalculatorView::Updated)
            ++updated;
        else if (row.state == CalculatorView::GivenUp)
            ++givenUp;
        else if (row.underWay || (row.attached && !stationStopping))
            ++writing; // stopped: those not taken are not counted
    }
    const QString value = text(kTextTally).arg(updated).arg(givenUp).arg(writing);
    tallyLabel->show();
    if (tallyLabel->text() == value)
        return;
    tallyLabel->setText(value);
    emit displayChanged(QStringLiteral("tally"), value);
}

void CCalcFWUpdateMSDialog::onStationStopped()
{
    if (!stationServing || endShown)
        return;
    finishUpdate(stationExit(), text(kTextStationStopped));
}

void CCalcFWUpdateMSDialog::onSessionResumed()
{
    if (!endShown || stationMode)
        return;
    endShown = false;
    sessionExit = exit_code::kStopped;
    report.resume();
    summaryLabel->clear();
    summaryLabel->hide();
    setInfo(QString());
    setProgressVisible(true);
    setButton(text(kTextStart), false);
    setButtonVisible(true);
}

// --- reports from the transfer threads ----------------------------------------

void CCalcFWUpdateMSDialog::emitUpdateProgress(int percent)
{
    emit updateProgress(percent);
}

void CCalcFWUpdateMSDialog::emitUpdateMessage(const QString &message)
{
    emit updateMessage(message);
}

void CCalcFWUpdateMSDialog::emitCalculatorProgress(int row, int percent)
{
    emit calculatorProgress(row, percent);
}

// --- slots -----------------------------------------------------------------------

void CCalcFWUpdateMSDialog::onActionButton()
{
    // The station's Stop: nobody new is taken, those under way are
    // finished, then the station ends (onStationStopped).
    if (stationServing) {
        if (stationStopping || endShown)
            return;
        stationStopping = true;
        worker->stopTaking();
        setButton(text(kTextStop), false);
        showCartStatus();
        return;
    }
    // An update under way is never aborted.
    if (worker->isBusy())
        return;
    if (!buttonStarts) {
        // The button reads Cancel (also in the second between the calculator
        // being found and the first seconds shown): the click aborts.
        abortUpdate();
        close();
        return;
    }
    // The button shows the seconds: a click means start now. A countdown
    // that ran out stays over (the transfer then begins by itself within the
    // second).
    worker->startNow();
}

void CCalcFWUpdateMSDialog::onFoundDevice()
{
    // The countdown runs once the window can show it, with a release.
    if (endShown || releaseDigest.isEmpty())
        return;
    worker->armCountdown();
}

void CCalcFWUpdateMSDialog::onWaitingStart(int left)
{
    if (endShown)
        return;
    if (left == 0) {
        setStatus(QString());
        return;
    }
    setStatus(text(kTextWaitingToStart));
    buttonStarts = true;
    setButton(text(kTextStart) + QStringLiteral(" - ") + QString::number(std::max(left / 1000, 0)), true);
}

void CCalcFWUpdateMSDialog::onWaitingTicks(int ticks)
{
    // The worker's reports arrive queued: one sent before the session ended
    // must not put the waiting text over the final one.
    if (endShown)
        return;
    // The station waits for the next calculators, and says so.
    if (stationServing) {
        showCartStatus();
        return;
    }
    QString waiting = text(kTextWaitingForConnection);
    waiting.chop(1);
    for (int i = 0; i < ticks; ++i)
        waiting += QLatin1Char('.');
    setStatus(waiting);
}

void CCalcFWUpdateMSDialog::onDownloadActive()
{
    if (endShown)
        return;
    setStatus(QString());
    if (stationMode) {
        // The station's only countdown is over: from now on the button stops it.
        stationServing = true;
        buttonStarts = false;
        // No bar: a station has no end to measure against; the tally and
        // the rows say how far it is.
        setProgressVisible(false);
        if (!stationStopping)
            setButton(text(kTextStop), true);
        showCartStatus();
        return;
    }
    setButton(text(kTextStart), false);
}

void CCalcFWUpdateMSDialog::onLoopFailed(int result)
{
    if (endShown)
        return;
    finishUpdate(exit_code::kFailed, QString::fromLatin1(kUpdateFailed).arg(result));
    showNotUpdated();
}

// After a failure: the info line names every calculator of the session that
// does not hold the whole release, and how many files it lacks.
void CCalcFWUpdateMSDialog::showNotUpdated()
{
    // With more than one calculator the list says it, and the summary.
    if (shownRows.size() > 1)
        return;
    QStringList calculators;
    for (const CalculatorView &row : shownRows)
        if (row.state != CalculatorView::Updated)
            calculators << text(kTextMissingFiles).arg(row.identity).arg(row.files - row.held).arg(row.files);
    if (calculators.isEmpty())
        return;
    setInfo(joinSentences(infoLabel->text(), text(kTextNotUpdated).arg(calculators.join(QStringLiteral(", ")))));
}

// At the end of a session with more than one calculator: how many of them
// hold the whole release.
void CCalcFWUpdateMSDialog::showSummary()
{
    const QVector<CalculatorView> &rows = shownRows;
    if (rows.size() <= 1 || stationMode)
        return; // the station's tally says it
    const auto updated = std::count_if(rows.begin(), rows.end(),
                                       [](const CalculatorView &row) { return row.state == CalculatorView::Updated; });
    // On a line of its own, above the list: the info line keeps the reason
    // of a failure, and neither cuts the other.
    const QString value = text(kTextUpdatedOf).arg(updated).arg(rows.size());
    summaryLabel->setText(value);
    summaryLabel->show();
    emit displayChanged(QStringLiteral("summary"), value);
}

void CCalcFWUpdateMSDialog::onCalculatorsChanged(const QVector<CalculatorView> &rows)
{
    // The report first: once the window says a calculator is done, its line
    // is on disk.
    report.outcomes(rows, worker->refusingFile(), reportSource(), firmwareFolder);
    // Each calculator's state in words is echoed when it changes (never
    // its percentage); a single calculator has no list and no echo. The
    // echo follows the window's own change, so that whoever reads it finds
    // the window as it says.
    QStringList echoes;
    if (rows.size() > 1 || stationMode) {
        // The words without the percentage: a file being written is echoed
        // once, whatever the rows say of its progress.
        const auto words = [this](CalculatorView row) {
            row.percent = 0;
            return CCalculatorList::stateText(row, stationMode);
        };
        for (int row = 0; row < rows.size(); ++row)
            if (row >= shownRows.size() || words(shownRows[row]) != words(rows[row]))
                echoes << rows[row].identity + QStringLiteral(": ") + CCalculatorList::stateText(rows[row], stationMode);
        calculatorList->show();
    }
    logReasons(rows);
    shownRows = rows;
    calculatorList->setRows(rows);
    for (const QString &echo : echoes)
        emit displayChanged(QStringLiteral("calculator"), echo);
    emit calculatorsShown(rows);
    showRestart();
    if (stationMode) {
        showTally();
        if (stationServing && !endShown) {
            showCartStatus();
            // A close refused earlier: its reason goes once nobody is written.
            if (!stationWriting() && infoLabel->text() == text(kTextCloseRefused))
                setInfo(QString());
        }
        return;
    }
    if (rows.size() > 1 && !endShown &&
        std::any_of(rows.begin(), rows.end(), [](const CalculatorView &row) { return row.state == CalculatorView::Writing; }))
        showCartStatus();
}

// Why a calculator failed, in English whatever the window's language, once
// for each failure: when it starts retrying, and when it is given up.
void CCalcFWUpdateMSDialog::logReasons(const QVector<CalculatorView> &rows) const
{
    if (!sessionLog)
        return;
    for (int row = 0; row < rows.size(); ++row) {
        const CalculatorView &view = rows[row];
        if (view.state != CalculatorView::Retrying && view.state != CalculatorView::GivenUp)
            continue;
        if (row < shownRows.size() && shownRows[row].identity == view.identity &&
            shownRows[row].state == view.state && shownRows[row].code == view.code &&
            shownRows[row].systemError == view.systemError)
            continue;
        sessionLog->write(QStringLiteral("calculator %1 %2: %3")
                              .arg(view.identity,
                                   view.state == CalculatorView::GivenUp ? QStringLiteral("given up")
                                                                         : QStringLiteral("retrying"),
                                   failureReasonInEnglish(view.code, view.systemError, view.identity,
                                                          worker->refusingFile(), view.detail)));
    }
}

// "Updating N calculators": those met that are neither updated nor given up.
void CCalcFWUpdateMSDialog::showCartStatus()
{
    if (stationServing) {
        const auto writing = std::count_if(shownRows.begin(), shownRows.end(), [](const CalculatorView &row) {
            return row.state != CalculatorView::Updated && row.state != CalculatorView::GivenUp && row.attached;
        });
        setStatus(stationStopping ? text(kTextStopping)
                  : writing > 0   ? text(writing == 1 ? kTextUpdatingOne : kTextUpdating).arg(writing)
                                  : text(kTextPlugInNext));
        if (writing == 0)
            setFileText(QString()); // no file goes out
        return;
    }
    const auto unsettled = std::count_if(shownRows.begin(), shownRows.end(), [](const CalculatorView &row) {
        return row.state != CalculatorView::Updated && row.state != CalculatorView::GivenUp;
    });
    if (unsettled > 0)
        setStatus(text(unsettled == 1 ? kTextUpdatingOne : kTextUpdating).arg(unsettled));
}

void CCalcFWUpdateMSDialog::onCalculatorProgress(int row, int percent)
{
    if (row >= 0 && row < shownRows.size())
        shownRows[row].percent = percent;
    calculatorList->setProgress(row, percent);
}

void CCalcFWUpdateMSDialog::onSessionClosed()
{
    writeReport();
    emit sessionEnded();
}

bool CCalcFWUpdateMSDialog::setLogPath(const QString &path, QString *error)
{
    auto log = std::make_shared<CSessionLog>();
    if (!log->open(path, error))
        return false;
    logPath = path;
    sessionLog = log;
    log->write(QStringLiteral("%1 %2: release folder %3, language %4")
                   .arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
                        QCoreApplication::applicationVersion(),
                        QDir::toNativeSeparators(QFileInfo(firmwareFolder).absoluteFilePath()))
                   .arg(languageIndex));
    // What the window shows, but not every step of the bar. This connection
    // and the worker keep the log for as long as the window lives.
    connect(this, &CCalcFWUpdateMSDialog::displayChanged, this, [log](const QString &field, const QString &value) {
        if (field != QLatin1String("progress") || value == QLatin1String("hidden"))
            log->write(QStringLiteral("window: ") + field + QStringLiteral(": ") + value);
    });
    worker->setLog(log);
    return true;
}

ReportSource CCalcFWUpdateMSDialog::reportSource() const
{
    ReportSource source;
    source.computer = QSysInfo::machineHostName();
    source.release = QFileInfo(QDir::cleanPath(firmwareFolder)).fileName();
    source.releaseDigest = releaseDigest;
    return source;
}

// --report, once a session, from the worker's last rows: they may be ahead
// of the window's when the session's end comes after the event loop.
void CCalcFWUpdateMSDialog::writeReport()
{
    report.finish(worker->calculatorRows(), worker->refusingFile(), sessionExit == exit_code::kStopped, reportSource(),
                  firmwareFolder);
}

int CCalcFWUpdateMSDialog::exitCode() const
{
    return report.lost() || (sessionLog && sessionLog->failed()) ? exit_code::kRecordLost : sessionExit;
}

void CCalcFWUpdateMSDialog::refuseRecords(const QString &reason)
{
    finishUpdate(exit_code::kRecordLost, QString(), uiText(kTextRecordNotWritten).arg(reason));
}

void CCalcFWUpdateMSDialog::onUpdateProgress(int percent)
{
    if (progressBar->value() == percent)
        return;
    progressBar->setValue(percent);
    emit displayChanged(QStringLiteral("progress"), QString::number(percent));
}

void CCalcFWUpdateMSDialog::onUpdateMessage(const QString &message)
{
    setFileText(shownPath(message));
}

void CCalcFWUpdateMSDialog::onUpdaterRan(NextStep next)
{
    const std::int32_t result = next.result;
    // A transfer that was starting as the user aborted reports after the end.
    if (endShown)
        return;
    // The info line says why a pass failed, and is cleared by one that did not.
    const QString reason = failureReason(next, shownRows.size() > 1);
    switch (next.kind) {
    case NextStep::SendFile:
    case NextStep::Retry:
        // With more than one calculator (and at the station) the status
        // speaks of the cart; each calculator's retries and reasons are in
        // its row.
        if (shownRows.size() > 1 || stationMode) {
            setInfo(QString());
            showCartStatus();
            break;
        }
        setInfo(result == 0 ? QString() : reason);
        // With several calculators a pass may fail for one of them while the
        // others go on: the status says what the pass did; a calculator that
        // has spent its retries shows the failure without a retry count.
        setStatus(result == 0 ? QString::fromLatin1(kUpdateOk).arg(result)
                  : next.failures <= session_rules::kRetries
                      ? QString::fromLatin1(kUpdateFailedRetry).arg(result).arg(next.failures)
                      : QString::fromLatin1(kUpdateFailed).arg(result));
        if (!next.filePath.empty())
            showFile(QString::fromStdU16String(next.filePath));
        break;
    case NextStep::Done:
        if (shownRows.size() <= 1)
            setStatus(QString::fromLatin1(kUpdateOk).arg(result));
        finishUpdate(exit_code::kDone, text(kTextDone));
        QTimer::singleShot(int(platform::realDurationMs(session_rules::kExitDelayMs)), this,
                           &CCalcFWUpdateMSDialog::onExitUpdater);
        break;
    case NextStep::GiveUp:
        // A calculator given up may still be plugged in again: the worker
        // then opens the session again (onSessionResumed).
        finishUpdate(exit_code::kFailed, QString::fromLatin1(kUpdateFailed).arg(result), reason);
        showNotUpdated();
        break;
    }
}

void CCalcFWUpdateMSDialog::onExitUpdater()
{
    QCoreApplication::exit(0);
}

void CCalcFWUpdateMSDialog::onBrowseFolder()
{
    QFileDialog chooser(this, QString(), QString(), QString());
    chooser.setFileMode(QFileDialog::Directory);
    chooser.setOption(QFileDialog::ShowDirsOnly, true);
    chooser.setDirectory(firmwareFolder);
    if (chooser.exec() != QDialog::Accepted)
        return;
    // The folder the user picked: a folder selected in the list is the
    // choice, not the folder the list shows.
    const QStringList chosen = chooser.selectedFiles();
    firmwareFolder = chosen.isEmpty() ? chooser.directory().path() : QDir(chosen.first()).path();
    scanFirmwareFolder();
}

// --- the restart as administrator ---------------------------------------------------

QStringList CCalcFWUpdateMSDialog::sessionArguments() const
{
    QStringList arguments{QDir::toNativeSeparators(QFileInfo(firmwareFolder).absoluteFilePath()),
                          QString::number(languageIndex)};
    for (const auto &[option, path] : {std::make_pair("--report", report.path()), std::make_pair("--log", logPath)})
        if (!path.isEmpty())
            arguments << QLatin1String(option) << QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    if (stationMode)
        arguments << QStringLiteral("--station");
    return arguments;
}

std::unique_ptr<platform::ElevatedProcess> CCalcFWUpdateMSDialog::takeSuccessor()
{
    return std::move(successor);
}

void CCalcFWUpdateMSDialog::onRestartButton()
{
    if (handOverPending || restartButton->isHidden())
        return;
    // The calculators are told first, so that the new copy meets none that
    // this one could still write, whatever account it runs under.
    handOverPending = true;
    showRestart();
    worker->prepareHandOver();
}

void CCalcFWUpdateMSDialog::onHandOverReady(bool told)
{
    if (!handOverPending)
        return;
    // A write under way (a refused calculator's retry ends at once; another
    // calculator's file takes the offer back): asked again while it stands.
    if (!told && isVisible() && !restartButton->isHidden()) {
        worker->prepareHandOver();
        return;
    }
    handOverPending = false;
    // Or the window closed meanwhile: nothing is started.
    if (!told || !isVisible()) {
        if (told)
            worker->resumeAfterHandOver();
        showRestart();
        return;
    }
    std::vector<std::u16string> arguments;
    for (const QString &argument : sessionArguments())
        arguments.push_back(argument.toStdU16String());
    const std::u16string program =
        QDir::toNativeSeparators(QCoreApplication::applicationFilePath()).toStdU16String();
    emit handingOver(true);
    std::unique_ptr<platform::ElevatedProcess> started = platform::activeElevation().start(
        program, arguments, QDir::toNativeSeparators(QDir::currentPath()).toStdU16String(), std::uintptr_t(winId()));
    if (!started) {
        const std::uint32_t error = platform::lastError();
        emit handingOver(false);
        // The person said no: the session goes on as it was, the window
        // unchanged. Any other failure is said.
        worker->resumeAfterHandOver();
        if (error != platform::kElevationDeclined)
            setInfo(joinSentences(infoLabel->text(), withSystemMessage(text(kTextNotElevated), error)));
        showRestart();
        return;
    }
    successor = std::move(started);
    if (sessionLog)
        sessionLog->write(QStringLiteral("handed over to a copy started as administrator: %1")
                              .arg(QString::fromStdU16String(program + u' ' + platform::windowsCommandLine(arguments))));
    if (!endShown)
        abortUpdate();
    close();
}
