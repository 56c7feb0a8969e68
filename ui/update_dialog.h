// CCalcFWUpdateMSDialog: the updater's one window.
//
// It settles the release folder and the language, runs the worker on a thread
// of its own, scans the release folder and turns the worker's signals into what
// the user sees: the status line, the file line, the progress bar and the one
// button that reads Cancel or Start, each with an accessible name and
// description in the window's language, the button the one Enter presses.
// When Windows refuses this user a calculator's disk (access denied at the
// open), a second button offers to start the updater again as administrator
// (platform/elevation.h), which then takes the session over.
// The calculator picture is drawn for the scale of the screen the window is
// on. The session's rules and state are the
// worker's (session/update_worker.h); the window passes on what the user
// decides (start now, abort, a new release after Browse) and refuses to
// close while the worker says the update is busy.
//
// The transfer callbacks reach it through the worker it makes; the language
// lookups read languageIndex through the pointer the constructor binds
// (bindCurrentLanguage); the suite's settings reader is handed the dialog.
// gUpdateDialog names the one dialog for everyone else.
#pragma once

#include "session/exit_codes.h"
#include "session/fixed_release.h"
#include "session/calculator_view.h"
#include "session/next_step.h"
#include "session/transfer_reports.h"
#include "session/update_file.h"
#include "ui/session_report.h"

#include <QByteArray>
#include <QDialog>
#include <QHash>
#include <QIcon>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QVector>

#include <cstdint>
#include <memory>

namespace platform {
class ElevatedProcess;
}

class CCalculatorList;
class CSessionLog;
class CUpdateWorker;
class QCloseEvent;
class QEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QScreen;
class QShowEvent;

class CCalcFWUpdateMSDialog : public QDialog, public TransferReports {
    Q_OBJECT

public:
    // folder and language come from the command line: with a folder, that
    // folder and the language index `language` (through checkLanguage), or
    // the settings' language when `languageFromSettings`; without one
    // (empty), the suite's stored settings give both. A top-level window; the
    // worker starts here.
    CCalcFWUpdateMSDialog(QString folder, int language, bool languageFromSettings = false);
    // Ends the session with the calculators, then stops the worker, waits for
    // its thread and deletes both: the dialog is their one owner. The program
    // never destroys its dialog; tests do.
    ~CCalcFWUpdateMSDialog() override;

    std::uint32_t languageIndex = 0; // the language of every text of this run (GUI thread)
    QString firmwareFolder;          // the release folder the scan lists (GUI thread)
    bool useCurrentNames = false;    // the release uses the current file names (set by each scan)
    QString releaseDigest; // the first 12 hex digits of the fixed release's SHA-256; empty: none fixed
    std::unique_ptr<CUpdateWorker> worker; // lives on workerThread

    // The release scan: lists firmwareFolder, fixes the release it finds,
    // hands it to the worker and shows its first file, or ends the session with "No updates are available"
    // and offers Browse. A complete release found after the session ended
    // starts a new session.
    void scanFirmwareFolder();
    // Sets useCurrentNames from the file names in firmwareFolder.
    void detectNameSet();
    // The file line names `path` (the worker has the release).
    void showFile(const QString &path);
    // Ends the session with `exit` (session/exit_codes.h, the program's code
    // for this end): `message` stays as the status, `info` on the info line
    // (the reason for a failure, or nothing), and the worker ends the session
    // with the calculators on its own thread once the pass under way is over
    // (the window does not wait for it; sessionEnded follows).
    void finishUpdate(int exit, QString message, QString info = QString());
    // Ends the session with "No updates are available", "No release in
    // FOLDER: `why`" on the info line (nothing when `why` is empty), and
    // offers Browse.
    void refuseRelease(const QString &why);
    // Why a complete release could not be fixed, for the info line.
    static QString fixFailureText(const CFixedRelease::Failure &failure);
    // finishUpdate with "Update aborted".
    void abortUpdate();
    // Ends the worker's loop (a pass under way, and an end of session asked
    // for, run to their end) and waits for its thread. The program's last
    // step, so that nothing outlives what the worker uses. A report still due
    // is written then.
    void stopWorker();
    // Where the session's report goes (--report); empty: none. A line goes
    // out as soon as a calculator is updated or given up (again, should it be
    // taken up again and end anew); the calculators without a line for how
    // they stand get theirs once the end-of-session command has gone out, or
    // when the program ends first (the window closed during a retry pause, or
    // as soon as it showed the end).
    void setReportPath(const QString &path) { report.setPath(path); }
    // --station, before the folder is scanned: one start serves a whole
    // cart. After the first countdown the button reads Stop; a tally of the
    // calculators served stands above the list (each counted once, by its
    // last visit); a calculator to unplug says so; the session never ends by
    // itself, and the window closes only while no calculator is being
    // written (Stop, or a close, ends the station; the exit code says how
    // the calculators' last visits ended).
    void setStationMode(bool on);
    // The button starts the transfer now (the countdown shows on it).
    bool actionStarts() const { return buttonStarts && !stationServing; }
    // --log: from now on the session's events are appended to `path` (what
    // the window shows, the calculators found and lost, each run's results,
    // the disks not taken). False, with *error, when it cannot be opened.
    bool setLogPath(const QString &path, QString *error);
    // The program's exit code for how the session ended (session/exit_codes.h):
    // 0 only after "Done"; a record (--report, --log) that could not be
    // written makes it kRecordLost whatever the session did.
    int exitCode() const;
    // Once the worker is stopped: writes whose calculator was unplugged while
    // the system still held them (the program ends without their threads).
    int abandonedWrites() const;
    // The record the person asked for (--report, --log) cannot be written:
    // the session does not start, the info line says why, and the program's
    // exit code will say so.
    void refuseRecords(const QString &reason);
    // Another copy of the updater was started: the window comes to the
    // front where the window system lets it (un-minimized, raised, active),
    // echoed as "window: raised".
    void bringToFront();

    // The copy started as administrator that took the session over (the
    // restart button), once this window has closed for it; null when none.
    // The program releases its single-instance guard, waits for it and ends
    // with its exit code.
    std::unique_ptr<platform::ElevatedProcess> takeSuccessor();
    // The arguments that give another copy this session (the program not
    // among them): the release folder shown now, the language and --report
    // and --log, every path absolute. A copy started elevated inherits
    // neither the environment nor, started by another account, the settings.
    QStringList sessionArguments() const;

    // TransferReports: the transfer callbacks' reports, emitted as signals.
    void emitUpdateProgress(int percent) override;
    void emitUpdateMessage(const QString &message) override;
    void emitCalculatorProgress(int row, int percent) override;

signals:
    // The message is the firmware file's path, copied on the transfer thread
    // while the engine's text was valid; it travels by value with the call.
    void updateMessage(const QString &message);
    void updateProgress(int percent);
    void calculatorProgress(int row, int percent);
    // What the user sees has changed (GUI thread): `field` is "status",
    // "info", "file", "progress", "button", "browse", "restart", "summary" or
    // "calculator"; `value` is the new text, the progress value, for the
    // buttons "hidden", "TEXT" or "TEXT (disabled)", and for a calculator
    // "IDENTITY: STATE" (only with more than one calculator, when its state
    // in words changes). The simulator echoes these; tests follow them.
    void displayChanged(const QString &field, const QString &value);
    // The calculators' rows, as the list has just taken them (for whoever
    // follows a cart without reading the window's words).
    void calculatorsShown(const QVector<CalculatorView> &rows);
    // The session has ended: finishUpdate has run and the worker has sent
    // the end-of-session command to the calculators.
    void sessionEnded();
    // A copy of the updater is about to be started as administrator (true),
    // or was not started after all (false): a copy started now is to wait for
    // this one, which is finishing, instead of leaving at once.
    void handingOver(bool underway);

public slots:
    // Escape: refused while a transfer runs, like a close.
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    // The window has its screen now: the calculator picture follows its scale.
    void showEvent(QShowEvent *event) override;
    // The info line keeps the height its wrapped lines need at each new width.
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void onActionButton();
    void onUpdaterRan(NextStep next);
    void onUpdateMessage(const QString &message);
    void onUpdateProgress(int percent);
    void onFoundDevice();
    void onWaitingStart(int left);
    void onDownloadActive();
    void onWaitingTicks(int ticks);
    void onExitUpdater();
    void onBrowseFolder();
    void onLoopFailed(int result);
    void onCalculatorsChanged(const QVector<CalculatorView> &rows);
    void onCalculatorProgress(int row, int percent);
    void onSessionClosed();
    void onScreenChanged(QScreen *screen);
    void onRestartButton();
    void onHandOverReady(bool told);
    void onStationStopped();
    // After the final failure a given-up calculator was plugged in again:
    // the window shows the session going on.
    void onSessionResumed();

private:
    bool mayClose() const; // the close and Escape guard
    // A close or Escape: refused (the station saying why), or the session's
    // end on closing done (endOnClose) and true.
    bool letClose();
    void buildWidgets();
    void connectSignals();
    void setStatus(const QString &text);
    void setFileText(const QString &text);
    // The info line; echoed ("info") when it changes.
    void setInfo(const QString &text);
    void setButton(const QString &text, bool enabled);
    void setButtonVisible(bool visible);
    void setBrowseVisible(bool visible);
    // The restart as administrator: shown while a calculator's disk was
    // refused with Windows' access denied at its open and no calculator is
    // being written; echoed ("restart") when it changes.
    void showRestart();
    void setProgressVisible(bool visible);
    // The calculator at 64 by 64 on the screen, from the picture drawn for
    // the window's scale.
    void showCalculatorPicture();
    void echoButton();
    void restartSession();
    void showNotUpdated();
    void showSummary();
    // --log: each calculator's failure in words, as the rows report it.
    void logReasons(const QVector<CalculatorView> &rows) const;
    // The info line at least as tall as its text wrapped to its width: the
    // window's layout would otherwise squeeze it (a window's layout does not
    // follow a label's height for its width by itself).
    void fitInfoLine();
    void showCartStatus();
    // The station: "Updated N · given up N · being written N", echoed
    // ("tally") when it changes.
    void showTally();
    // A calculator attached is in the middle of its visit: the station's
    // window does not close.
    bool stationWriting() const;
    // How the station's calculators' last visits ended (session/exit_codes.h).
    int stationExit() const;
    // The window goes: the station ends (the calculators are told), and
    // after the final failure nobody is waited for any more.
    void endOnClose();
    // --report, at the end of the session: a line for each calculator that
    // has none for how it stands.
    void writeReport();
    // What every report line says besides its calculator.
    ReportSource reportSource() const;

    QIcon appIcon;    // the window icon: the calculator, 16, 64 and 128 pixels
    QIcon folderIcon; // the Browse button's icon, 16 and 32 pixels and their "@2x", from the "icons" folder
    QProgressBar *progressBar = nullptr;
    QPushButton *actionButton = nullptr;
    QPushButton *browseButton = nullptr;
    QPushButton *restartButton = nullptr; // "Restart as administrator"
    QLabel *statusLabel = nullptr;
    QLabel *infoLabel = nullptr; // the calculators left without the whole release after a failure; it wraps
    QLabel *summaryLabel = nullptr; // "Updated N of M calculators", on its own line above the list, at the end
    QLabel *fileLabel = nullptr;
    QLabel *iconLabel = nullptr; // the calculator picture
    CCalculatorList *calculatorList = nullptr; // under the bar, with more than one calculator
    QVector<CalculatorView> shownRows;          // the rows the list shows
    CSessionReport report;                      // --report
    QString logPath;                            // --log
    std::shared_ptr<CSessionLog> sessionLog;    // --log, once open
    // The window's fourth line is part of its layout, but nothing in this
    // updater has a note to put there: it is created empty and stays so.
    QLabel *noteLabel = nullptr;
    std::unique_ptr<QThread> workerThread; // runs the worker's loop
    bool buttonStarts = false;   // the button has shown the countdown: a click starts now, never aborts
    bool endShown = false;    // the window has shown the session's end (finishUpdate); a complete rescan starts anew
    bool stationMode = false;    // --station
    bool stationServing = false; // the station's first countdown is over: the button reads Stop
    bool stationStopping = false; // Stop was pressed: no calculator is taken, those under way are finished
    QLabel *tallyLabel = nullptr; // the station's tally, above the list
    int sessionExit = exit_code::kStopped; // how the session ended (kStopped until it has an end)
    QString echoedButton;        // the button as last reported by displayChanged
    QString echoedRestart;       // the restart button as last reported
    bool handOverPending = false; // the restart was clicked: waiting for the worker to tell the calculators
    std::unique_ptr<platform::ElevatedProcess> successor; // the copy that took the session over
    bool screenFollowed = false; // showEvent has connected the window's screen changes
    QMetaObject::Connection screenScale; // the current screen's scale changes
};

// The one dialog of the process; null until its constructor runs.
extern CCalcFWUpdateMSDialog *gUpdateDialog;
