#include "ui/calc_fw_update_ms_dialog.h"

#include "platform/clock.h"
#include "resources/language.h"
#include "resources/localized_text.h"
#include "session/release_scan.h"
#include "session/update_worker.h"
#include "ui/suite_settings.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

CCalcFWUpdateMSDialog *gUpdateDialog = nullptr;

namespace {

constexpr std::int32_t kCountdownMs = 5250;      // the countdown once a calculator is found
constexpr std::int32_t kStartNowMs = 1000;       // what a click during the countdown leaves
constexpr std::int32_t kRetries = 5;             // of a failed file: six attempts in all
constexpr std::uint32_t kExitDelayMs = 3000;     // from "Done" to the end of the program
constexpr int kRestartPollMs = 20;               // while the ended session's loop winds down

const char kProgressStyle[] =
    "QProgressBar { border: 2px solid DarkGrey; border-radius: 4px; text-align: center; padding: 2px; } "
    "QProgressBar::chunk { background-color: #0096d6; width: 5px; }";

// A text of the current language, or the English one when none was found.
QString text(std::uint32_t identifier, const char *fallback)
{
    const QString found = localizedText(identifier, 0);
    return found.isEmpty() ? QString::fromUtf8(fallback) : found;
}

QString startText()
{
    return text(20, "Start");
}

} // namespace

CCalcFWUpdateMSDialog::CCalcFWUpdateMSDialog(QString folder, int number) : QDialog(nullptr)
{
    // First of all, before anything fetches a text or starts the worker: the
    // process-wide ways to reach this dialog.
    gUpdateDialog = this;
    bindCurrentLanguage(&languageIndex);
    gDialogState.store(this, std::memory_order_release);

    installSearchPaths();

    busy.store(false);
    useCurrentNames = false;
    countdownMs.store(0);
    appIcon.addFile(QStringLiteral(":/CalculatorIconX16.png"));
    appIcon.addFile(QStringLiteral(":/CalculatorIconX64.png"));
    // The Browse pictures live in the "icons" folder beside the program;
    // without them the button has no icon.
    for (const char *name : {"icons:varFolder_16x16.png", "icons:varFolder_32x32.png"}) {
        const QString path = QString::fromLatin1(name);
        if (QFileInfo::exists(path))
            folderIcon.addFile(path);
    }

    if (!folder.isEmpty()) {
        firmwareFolder = folder;
        checkLanguage(&languageIndex, number);
    } else {
        readSuiteSettings(this);
        firmwareFolder += QLatin1Char('/') + text(657, "Firmware");
    }

    // The worker's signals are connected before its thread starts, so its
    // first report can never be missed.
    workerThread = new QThread();
    worker = new CUpdateWorker();
    worker->moveToThread(workerThread);
    connect(workerThread, &QThread::started, worker, &CUpdateWorker::process);
    connect(worker, &CUpdateWorker::finished, workerThread, &QThread::quit);
    connect(worker, &CUpdateWorker::finished, worker, &QObject::deleteLater);
    connect(workerThread, &QThread::finished, workerThread, &QObject::deleteLater);

    buildWidgets();
    connectSignals();
    workerThread->start(QThread::InheritPriority);
}

CCalcFWUpdateMSDialog::~CCalcFWUpdateMSDialog()
{
    abortUpdate();
    stopWorker();
    delete worker;
    worker = nullptr;
    delete workerThread.data();
    if (gUpdateDialog == this) {
        gDialogState.store(nullptr, std::memory_order_release);
        bindCurrentLanguage(nullptr);
        gUpdateDialog = nullptr;
    }
}

void CCalcFWUpdateMSDialog::buildWidgets()
{
    statusLabel = new QLabel(this);
    infoLabel = new QLabel(this);
    fileLabel = new QLabel(this);
    noteLabel = new QLabel(this);
    auto *iconLabel = new QLabel(this);
    iconLabel->setPixmap(appIcon.pixmap(64, 64));
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    infoLabel->setObjectName(QStringLiteral("infoLabel"));
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

    cancelButton = new QPushButton(text(2, "Cancel"));
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    browseButton = new QPushButton(folderIcon, text(744, "Browse for update files"));
    browseButton->setObjectName(QStringLiteral("browseButton"));
    browseButton->hide();
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 100);
    // Empty until the first transfer reports.
    progressBar->reset();

    setWindowTitle(text(631, "Firmware update"));
    setWindowIcon(appIcon);

    textColumn->addWidget(statusLabel);
    textColumn->addWidget(infoLabel);
    textColumn->addWidget(fileLabel);
    textColumn->addWidget(noteLabel);
    topRow->addLayout(textColumn);
    topRow->addStretch(0);
    topRow->addWidget(iconLabel);
    mainLayout->addLayout(topRow);
    mainLayout->addStretch(0);
    mainLayout->addSpacing(10);
    mainLayout->addWidget(progressBar);
    mainLayout->addSpacing(10);
    mainLayout->addLayout(buttonRow);
    buttonRow->addStretch(0);
    buttonRow->addWidget(browseButton);
    buttonRow->addWidget(cancelButton);

    progressBar->show();
    progressBar->setStyleSheet(QString::fromLatin1(kProgressStyle));
    setLayout(mainLayout);
    setMinimumWidth(525);
}

void CCalcFWUpdateMSDialog::connectSignals()
{
    connect(cancelButton, &QPushButton::clicked, this, &CCalcFWUpdateMSDialog::onCancel);
    connect(this, &CCalcFWUpdateMSDialog::updateProgress, this, &CCalcFWUpdateMSDialog::onUpdateProgress);
    connect(this, &CCalcFWUpdateMSDialog::updateMessage, this, &CCalcFWUpdateMSDialog::onUpdateMessage);
    connect(worker, &CUpdateWorker::foundDevice, this, &CCalcFWUpdateMSDialog::onFoundDevice);
    connect(worker, &CUpdateWorker::waitingStart, this, &CCalcFWUpdateMSDialog::onWaitingStart);
    connect(worker, &CUpdateWorker::waitingTicks, this, &CCalcFWUpdateMSDialog::onWaitingTicks);
    connect(worker, &CUpdateWorker::downloadActive, this, &CCalcFWUpdateMSDialog::onDownloadActive);
    connect(worker, &CUpdateWorker::downloadInactive, this, &CCalcFWUpdateMSDialog::onDownloadInactive);
    connect(worker, &CUpdateWorker::updaterRan, this, &CCalcFWUpdateMSDialog::onUpdaterRan);
    connect(worker, &CUpdateWorker::loopFailed, this, &CCalcFWUpdateMSDialog::onLoopFailed);
    connect(worker, &CUpdateWorker::sessionClosed, this, &CCalcFWUpdateMSDialog::sessionEnded);
    connect(browseButton, &QPushButton::clicked, this, &CCalcFWUpdateMSDialog::onBrowseFolder);
}

// --- what the user sees -----------------------------------------------------

// Every status a slot puts is reported, also one equal to the last: the
// second "Update OK (0)" is news.
void CCalcFWUpdateMSDialog::setStatus(const QString &value)
{
    statusLabel->setText(value);
    emit displayChanged(QStringLiteral("status"), value);
}

void CCalcFWUpdateMSDialog::setFileText(const QString &value)
{
    if (fileLabel->text() == value)
        return;
    fileLabel->setText(value);
    emit displayChanged(QStringLiteral("file"), value);
}

void CCalcFWUpdateMSDialog::setButton(const QString &value, bool enabled)
{
    cancelButton->setText(value);
    cancelButton->setEnabled(enabled);
    echoButton();
}

void CCalcFWUpdateMSDialog::setButtonVisible(bool visible)
{
    cancelButton->setVisible(visible);
    echoButton();
}

void CCalcFWUpdateMSDialog::echoButton()
{
    QString value = QStringLiteral("hidden");
    if (!cancelButton->isHidden())
        value = cancelButton->isEnabled() ? cancelButton->text() : cancelButton->text() + QStringLiteral(" (disabled)");
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

void CCalcFWUpdateMSDialog::setProgressVisible(bool visible)
{
    if (progressBar->isHidden() == !visible)
        return;
    progressBar->setVisible(visible);
    emit displayChanged(QStringLiteral("progress"),
                        visible ? QString::number(std::max(progressBar->value(), 0)) : QStringLiteral("hidden"));
}

// --- the release scan ----------------------------------------------------------

void CCalcFWUpdateMSDialog::detectNameSet()
{
    useCurrentNames = releaseUsesCurrentNames(firmwareFolder);
}

void CCalcFWUpdateMSDialog::scanFirmwareFolder()
{
    setBrowseVisible(false);
    detectNameSet();
    updateFiles = listReleaseFiles(firmwareFolder, useCurrentNames);
    if (isCompleteRelease(updateFiles)) {
        currentFileIndex = 0;
        worker->beginRelease(int(updateFiles.size()));
        if (sessionOver)
            restartSession();
        selectCurrentFile();
        return;
    }
    finishUpdate(text(622, "No updates are available"));
    setBrowseVisible(true);
}

void CCalcFWUpdateMSDialog::selectCurrentFile()
{
    const CUpdateFile &file = updateFiles.at(currentFileIndex);
    setButtonVisible(true);
    setFileText(file.path);
    worker->selectSource(file.path, file.diskOffset, currentFileIndex);
}

// A complete release chosen after the session ended: the window goes back
// to its first phase and the worker's loop runs again once the ended one
// has wound down.
void CCalcFWUpdateMSDialog::restartSession()
{
    sessionOver = false;
    countdownShown = false;
    countdownMs.store(0);
    progressBar->reset();
    setProgressVisible(true);
    setStatus(QString());
    setButton(text(2, "Cancel"), true);
    startWorkerLoop();
}

void CCalcFWUpdateMSDialog::startWorkerLoop()
{
    if (sessionOver)
        return; // ended again before the loop could start
    if (worker->loopActive.load(std::memory_order_acquire)) {
        QTimer::singleShot(kRestartPollMs, this, &CCalcFWUpdateMSDialog::startWorkerLoop);
        return;
    }
    worker->prepareRestart();
    QMetaObject::invokeMethod(worker, &CUpdateWorker::process, Qt::QueuedConnection);
}

// --- the end of the session ------------------------------------------------------

void CCalcFWUpdateMSDialog::finishUpdate(QString message)
{
    setButtonVisible(false);
    setProgressVisible(false);
    setStatus(message);
    infoLabel->clear();
    setFileText(QString());

    // The worker owns the transport: it ends its loop and then sends the
    // end-of-session command, never during a presence check or a transfer.
    // The window does not wait for it (a presence check takes up to 3 s, a
    // hung device longer); sessionEnded follows once the command has gone.
    worker->requestEndOfSession();
    worker->releaseBusy();
    sessionOver = true;
}

void CCalcFWUpdateMSDialog::abortUpdate()
{
    finishUpdate(text(633, "Update aborted"));
}

void CCalcFWUpdateMSDialog::stopWorker()
{
    if (!workerThread)
        return;
    worker->stopRequested.store(true);
    // Queued behind whatever the worker still has to do (the loop's end, an
    // end of session asked for): the thread quits after those.
    QThread *thread = workerThread.data();
    QMetaObject::invokeMethod(worker, [thread] { thread->quit(); }, Qt::QueuedConnection);
    workerThread->wait();
}

void CCalcFWUpdateMSDialog::closeEvent(QCloseEvent *event)
{
    // Closing during a transfer would end the program with the calculator
    // partly written.
    if (busy.load())
        event->ignore();
    else
        event->accept();
}

void CCalcFWUpdateMSDialog::reject()
{
    if (busy.load())
        return;
    QDialog::reject();
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

// --- slots -----------------------------------------------------------------------

void CCalcFWUpdateMSDialog::onCancel()
{
    // A transfer starting or under way is never aborted.
    if (busy.load())
        return;
    if (!countdownShown) {
        // The button reads Cancel (also in the second between the calculator
        // being found and the first seconds shown): the click aborts.
        abortUpdate();
        close();
        return;
    }
    // The button shows the seconds: a click means start now. Stored only over
    // the value the worker left, so a countdown that ran out stays over (the
    // transfer then begins by itself within the second).
    std::int32_t left = countdownMs.load();
    while (left != 0 && !countdownMs.compare_exchange_weak(left, kStartNowMs)) {
    }
}

void CCalcFWUpdateMSDialog::onFoundDevice()
{
    if (sessionOver)
        return;
    countdownMs.store(kCountdownMs);
}

void CCalcFWUpdateMSDialog::onWaitingStart()
{
    if (sessionOver)
        return;
    const std::int32_t left = countdownMs.load();
    if (left == 0) {
        setStatus(QString());
        return;
    }
    setStatus(text(7774, "Waiting to start\u2026"));
    setButton(startText() + QStringLiteral(" - ") + QString::number(std::max(left / 1000, 0)), true);
    if (!sessionOver && !updateFiles.isEmpty()) {
        countdownShown = true;
        worker->countdownShown();
    }
}

void CCalcFWUpdateMSDialog::onWaitingTicks(int ticks)
{
    // The worker's reports arrive queued: one sent before the session ended
    // must not put the waiting text over the final one.
    if (sessionOver)
        return;
    QString waiting = text(521, "Waiting for connection...");
    waiting.chop(1);
    for (int i = 0; i < ticks; ++i)
        waiting += QLatin1Char('.');
    setStatus(waiting);
}

void CCalcFWUpdateMSDialog::onDownloadActive()
{
    if (!busy.load()) {
        busy.store(true);
        setStatus(QString());
    }
    setButton(startText(), false);
}

void CCalcFWUpdateMSDialog::onDownloadInactive()
{
    // Arrives queued, possibly once the next file is already on its way.
    worker->releaseBusy();
}

void CCalcFWUpdateMSDialog::onLoopFailed(int result)
{
    finishUpdate(QStringLiteral("Update failed (%1)").arg(result));
    showNotUpdated();
}

// After a failure: the info line names every calculator of the session that
// does not hold the whole release, and how many files it lacks.
void CCalcFWUpdateMSDialog::showNotUpdated()
{
    const CalculatorLedger ledger = worker->ledger();
    QStringList calculators;
    for (const CalculatorLedger::Missing &missing : ledger.notUpdated())
        calculators << text(746, "%1 (missing %2 of %3 files)")
                           .arg(QString::fromStdU16String(missing.identity))
                           .arg(missing.missing)
                           .arg(ledger.fileCount());
    if (calculators.isEmpty())
        return;
    const QString value = text(745, "Not updated: %1").arg(calculators.join(QStringLiteral(", ")));
    infoLabel->setText(value);
    emit displayChanged(QStringLiteral("info"), value);
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
    setFileText(message);
}

void CCalcFWUpdateMSDialog::onUpdaterRan(int result)
{
    if (result != 0) {
        const std::int32_t tried = worker->retryCount.fetch_add(1);
        if (tried < kRetries) {
            setStatus(QStringLiteral("Update failed (%1), Retry: %2").arg(result).arg(tried + 1));
            selectCurrentFile();
        } else {
            finishUpdate(QStringLiteral("Update failed (%1)").arg(result));
            showNotUpdated();
        }
        return;
    }
    setStatus(QStringLiteral("Update OK (%1)").arg(worker->lastResult.load()));
    // The next file is the first one, in the release's order, that some
    // calculator of the session lacks: the following one while every
    // calculator stays attached, an earlier one for a calculator that came
    // late or came back; none once every calculator holds every file.
    const int next = worker->ledger().firstMissing();
    if (next < 0 || next >= updateFiles.size()) {
        finishUpdate(text(627, "Done"));
        QTimer::singleShot(int(platform::realDurationMs(kExitDelayMs)), this,
                           &CCalcFWUpdateMSDialog::onExitUpdater);
        return;
    }
    worker->retryCount.store(0);
    currentFileIndex = next;
    selectCurrentFile();
    worker->state.store(CUpdateWorker::Transferring);
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
