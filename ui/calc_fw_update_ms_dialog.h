// CCalcFWUpdateMSDialog: the updater's one window.
//
// It settles the release folder and the language, runs the worker on a thread
// of its own, scans the release folder and turns the worker's signals into what
// the user sees: the status line, the file line, the progress bar and the one
// button that reads Cancel or Start. The session's decisions that live on the
// GUI thread are made here: the countdown, the retry rule, the next file, the
// end of the session; the worker hears of them through its named operations
// (session/update_worker.h) and the numbers are session/session_rules.h's.
//
// The worker and the transfer callbacks reach it through gDialogState (its
// DialogSharedState side: the countdown, busy and the two report signals);
// the language lookups read languageIndex through the pointer the
// constructor binds (bindCurrentLanguage); the suite's settings reader is
// handed the dialog. gUpdateDialog names the one dialog for everyone else.
#pragma once

#include "session/dialog_state.h"
#include "session/update_file.h"

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QThread>
#include <QVector>

#include <cstdint>

class CUpdateWorker;
class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;

class CCalcFWUpdateMSDialog : public QDialog, public DialogSharedState {
    Q_OBJECT

public:
    // folder and language come from the command line: with a folder, that
    // folder and the language index `language` (through checkLanguage);
    // without one (empty), the suite's stored settings give both. A top-level
    // window; the worker starts here.
    CCalcFWUpdateMSDialog(QString folder, int language);
    // Ends the session with the calculators, then stops and releases the
    // worker and its thread. The program never destroys its dialog; tests do.
    ~CCalcFWUpdateMSDialog() override;

    // The countdown and busy come from DialogSharedState.
    std::uint32_t languageIndex = 0; // the language of every text of this run (GUI thread)
    QString firmwareFolder;          // the release folder the scan lists (GUI thread)
    bool useCurrentNames = false;    // the release uses the current file names (set by each scan)
    QVector<CUpdateFile> updateFiles; // the accepted files of the last scan, in listing order
    std::int32_t currentFileIndex = 0; // the file being sent, into updateFiles
    CUpdateWorker *worker = nullptr;  // lives on workerThread

    // The release scan: lists firmwareFolder, builds updateFiles and selects
    // the first file, or ends the session with "No updates are available"
    // and offers Browse. A complete release found after the session ended
    // starts a new session.
    void scanFirmwareFolder();
    // Sets useCurrentNames from the file names in firmwareFolder.
    void detectNameSet();
    // Shows the file at currentFileIndex and hands it to the worker.
    void selectCurrentFile();
    // Ends the session: `message` stays as the status, the worker's loop is
    // ended, and then each calculator gets the end-of-session command from
    // the worker's thread (the window does not wait for it).
    void finishUpdate(QString message);
    // finishUpdate with "Update aborted".
    void abortUpdate();
    // Ends the worker's loop (a pass under way runs to its end) and its
    // thread. The program's last step, so that nothing outlives what the
    // worker uses.
    void stopWorker();

    // DialogSharedState: the transfer callbacks' reports, emitted as signals.
    void emitUpdateProgress(int percent) override;
    void emitUpdateMessage(const QString &message) override;

signals:
    // The message is the firmware file's path, copied on the transfer thread
    // while the engine's text was valid; it travels by value with the call.
    void updateMessage(const QString &message);
    void updateProgress(int percent);
    // What the user sees has changed (GUI thread): `field` is "status",
    // "info", "file", "progress", "button" or "browse"; `value` is the new text, the
    // progress value, or for the buttons "hidden", "TEXT" or "TEXT
    // (disabled)". The simulator echoes these; tests follow them.
    void displayChanged(const QString &field, const QString &value);
    // The session has ended: finishUpdate has run and the worker has sent
    // the end-of-session command to the calculators.
    void sessionEnded();

public slots:
    // Escape: refused while a transfer runs, like a close.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onCancel();
    void onUpdaterRan(int result);
    void onUpdateMessage(const QString &message);
    void onUpdateProgress(int percent);
    void onFoundDevice();
    void onWaitingStart();
    void onDownloadActive();
    void onDownloadInactive();
    void onWaitingTicks(int ticks);
    void onExitUpdater();
    void onBrowseFolder();
    void onLoopFailed(int result);

private:
    void buildWidgets();
    void connectSignals();
    void setStatus(const QString &text);
    void setFileText(const QString &text);
    void setButton(const QString &text, bool enabled);
    void setButtonVisible(bool visible);
    void setBrowseVisible(bool visible);
    void setProgressVisible(bool visible);
    void echoButton();
    void restartSession();
    void showNotUpdated();
    void startWorkerLoop();

    QIcon appIcon;    // the window icon: the calculator, 16 and 64 pixels
    QIcon folderIcon; // the Browse button's icon, from the "icons" folder
    QProgressBar *progressBar = nullptr;
    QPushButton *cancelButton = nullptr;
    QPushButton *browseButton = nullptr;
    QLabel *statusLabel = nullptr;
    QLabel *infoLabel = nullptr; // the calculators left without the whole release after a failure
    QLabel *fileLabel = nullptr;
    // The window's fourth line is part of its layout, but nothing in this
    // updater has a note to put there: it is created empty and stays so.
    QLabel *noteLabel = nullptr;
    QPointer<QThread> workerThread; // its finished() deletes it once it has been stopped
    bool countdownShown = false; // the button has read Start: a click no longer aborts
    bool sessionOver = false;    // finishUpdate has run; a complete rescan starts anew
    QString echoedButton;        // the button as last reported by displayChanged
};

// The one dialog of the process; null until its constructor runs.
extern CCalcFWUpdateMSDialog *gUpdateDialog;
