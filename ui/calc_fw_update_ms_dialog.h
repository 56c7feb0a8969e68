// CCalcFWUpdateMSDialog: the updater's one window.
//
// This is the part of the dialog that the rest of the program reaches without
// a reference of its own: gUpdateDialog, the state shared with the worker
// thread (countdownMs and busy, from DialogSharedState), the current language,
// the firmware folder, and the two signals the transfer callbacks emit on it
// from transfer threads (delivered queued to the dialog's own thread).
#pragma once

#include "session/dialog_state.h"

#include <QDialog>
#include <QString>
#include <QVariant>

#include <cstdint>

class CCalcFWUpdateMSDialog : public QDialog, public DialogSharedState {
    Q_OBJECT

public:
    explicit CCalcFWUpdateMSDialog(QWidget *parent = nullptr);
    ~CCalcFWUpdateMSDialog() override;

    // countdownMs and busy come from DialogSharedState.
    std::uint32_t languageIndex = 0; // the language of every text of this run (GUI thread)
    QString firmwareFolder;          // the release folder the scan lists (GUI thread)

    // DialogSharedState: the transfer callbacks' reports, emitted as signals.
    void emitUpdateProgress(int percent) override;
    void emitUpdateMessage(const QString &message) override;

signals:
    // The message is the firmware file's path, copied on the transfer thread
    // while the engine's text was valid; it travels by value with the call.
    void updateMessage(const QString &message);
    void updateProgress(int percent);
};

// The one dialog of the process; null until its constructor runs, never cleared.
extern CCalcFWUpdateMSDialog *gUpdateDialog;

// The language from the suite's stored "Language" setting: an absent setting
// takes the system locale's language; a stored value converts as Qt's integer
// conversion does (a text that is not a number gives 0); either way the value
// passes the range check (anything but 0 to 8 becomes 1).
std::uint32_t languageFromSetting(const QVariant &stored, const QString &systemLocaleName);
