#include "ui/calc_fw_update_ms_dialog.h"

#include "resources/language.h"

CCalcFWUpdateMSDialog *gUpdateDialog = nullptr;

CCalcFWUpdateMSDialog::CCalcFWUpdateMSDialog(QWidget *parent) : QDialog(parent)
{
    // First of all, before anything can fetch a text or start the worker:
    // the process-wide ways to reach this dialog.
    gUpdateDialog = this;
    bindCurrentLanguage(&languageIndex);
    gDialogState.store(this, std::memory_order_release);
    countdownMs.store(0);
    busy.store(false);
}

CCalcFWUpdateMSDialog::~CCalcFWUpdateMSDialog()
{
    // The dialog lives until the process ends; should it go earlier (tests),
    // nothing may reach it any more.
    if (gUpdateDialog == this) {
        gDialogState.store(nullptr, std::memory_order_release);
        bindCurrentLanguage(nullptr);
        gUpdateDialog = nullptr;
    }
}

void CCalcFWUpdateMSDialog::emitUpdateProgress(int percent)
{
    emit updateProgress(percent);
}

void CCalcFWUpdateMSDialog::emitUpdateMessage(const QString &message)
{
    emit updateMessage(message);
}

std::uint32_t languageFromSetting(const QVariant &stored, const QString &systemLocaleName)
{
    const std::int32_t value = stored.isValid()
                                   ? stored.toInt()
                                   : std::int32_t(languageFromLocale(systemLocaleName.toStdString()));
    std::uint32_t language = 0;
    checkLanguage(&language, value);
    return language;
}
