#include "app/updater_main.h"

#include "app/command_line.h"
#include "app/single_instance.h"
#include "ui/calc_fw_update_ms_dialog.h"

#include <QApplication>

// The embedded pictures live in a static library: naming the resource's
// initializer here keeps the linker from dropping it. Outside any namespace,
// as the initializer's declaration requires.
static void registerPictures()
{
    Q_INIT_RESOURCE(updater);
}

int runUpdater(int argc, char **argv, const UpdaterHooks &hooks)
{
    registerPictures();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVIX_VERSION));

    CSingleInstance guard;
    if (!guard.acquire())
        return 0;

    if (hooks.prepare) {
        if (const int code = hooks.prepare())
            return code;
    }

    const CommandLine commandLine = parseCommandLine(QCoreApplication::arguments());
    // Never deleted: the window, its thread and its worker live as long as
    // the process.
    auto *dialog = new CCalcFWUpdateMSDialog(commandLine.folder, commandLine.language);
    if (hooks.dialogCreated)
        hooks.dialogCreated(dialog);
    QApplication::setActiveWindow(dialog);
    dialog->show();
    dialog->scanFirmwareFolder();
    const int result = app.exec();

    // The worker's loop uses the disk system; it ends before whatever the
    // caller set up for it goes.
    dialog->stopWorker();
    if (hooks.finished)
        hooks.finished();
    return result;
}
