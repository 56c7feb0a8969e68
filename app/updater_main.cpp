#include "app/updater_main.h"

#include "app/command_line.h"
#include "app/high_dpi.h"
#include "app/list_disks.h"
#include "app/single_instance.h"
#include "platform/console.h"
#include "platform/elevation.h"
#include "session/exit_codes.h"
#include "session/release_scan.h"
#include "ui/session_report.h"
#include "ui/update_dialog.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

// The embedded pictures live in a static library: naming the resource's
// initializer here keeps the linker from dropping it. Outside any namespace,
// as the initializer's declaration requires.
static void registerPictures()
{
    Q_INIT_RESOURCE(updater);
}

namespace {

// How long a start waits for a copy whose window has gone and that is still
// ending its session (without a calculator that takes about 3 s).
constexpr int kFinishingWaitMs = 10000;

// `text` on standard output, flushed at once; false when it did not all go.
// (UTF-16 on a console, UTF-8 into a file or a pipe: platform/console.h.)
bool writeOut(const QString &text)
{
    return platform::writeOut(text.toStdU16String());
}

// "PROGRAM: TEXT" as a line on standard error.
void complain(const QString &program, const QString &text)
{
    platform::writeErr((program + QStringLiteral(": ") + text + QLatin1Char('\n')).toStdU16String());
}

// One line per change, flushed at once so that a script follows it live.
void echo(const QString &field, const QString &value)
{
    QString line = field + QStringLiteral(": ") + value;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    writeOut(line + QLatin1Char('\n'));
}

// What the person must read before the program ends without a window: on
// standard error, and in a message box when that leads nowhere a person
// reads (a shortcut, a folder dropped on the program). Returns `code`.
int refuse(int code, const QString &program, const QString &text, bool console, int &argc, char **argv)
{
    complain(program, text.trimmed());
    if (!console) {
        std::unique_ptr<QApplication> own;
        if (!qApp)
            own = std::make_unique<QApplication>(argc, argv);
        QMessageBox::critical(nullptr, program, text.trimmed());
    }
    return code;
}

// Why --report and --log cannot be used with the release in `folder`; empty
// when they can.
QString outputsClash(const QString &report, const QString &log, const QString &folder)
{
    if (sameFile(report, log))
        return QStringLiteral("--report and --log name the same file, %1").arg(QDir::toNativeSeparators(report));
    for (const auto &[option, path] : {std::make_pair("--report", report), std::make_pair("--log", log)}) {
        if (folderHolds(folder, path))
            return QStringLiteral("%1 %2 is in the release folder %3")
                .arg(QLatin1String(option), QDir::toNativeSeparators(path), QDir::toNativeSeparators(folder));
    }
    return QString();
}

} // namespace

int awaitSuccessor(CCalcFWUpdateMSDialog &dialog, CSingleInstance &guard, int code)
{
    const std::unique_ptr<platform::ElevatedProcess> successor = dialog.takeSuccessor();
    if (!successor)
        return code;
    guard.release();
    std::uint32_t successorExit = 0;
    return successor->waitForExit(&successorExit) ? int(successorExit) : exit_code::kStopped;
}

int runUpdater(int argc, char **argv, const UpdaterHooks &hooks)
{
    // A single --help or --version is answered before anything else: no
    // application object (no display needed), no guard, no window.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Every line below that goes out without a window reaches the console the
    // program was started from (a windowed program has none of its own).
    const bool console = platform::useParentConsole();
    const QString program = QFileInfo(arguments.value(0)).fileName();
    // The hook that sets up the disk system; non-zero ends the program.
    const auto prepare = [&hooks] { return hooks.prepare ? hooks.prepare() : 0; };
    QString reportPath, logPath;
    for (const auto &option : {std::make_pair("--report", &reportPath), std::make_pair("--log", &logPath)}) {
        if (!takeFileOption(&arguments, QLatin1String(option.first), option.second)) {
            complain(program, QLatin1String(option.first) + QStringLiteral(" needs a file"));
            return exit_code::kUsage;
        }
    }
    // --station: one start serves a whole cart of calculators.
    const bool station = takeFlagOption(&arguments, QStringLiteral("--station"));
    const CommandLineRequest request = commandLineRequest(arguments);
    if (request == CommandLineRequest::Help || request == CommandLineRequest::Version) {
        const QString text = request == CommandLineRequest::Help
                                 ? usageText(program)
                                 : program + QLatin1Char(' ') + QStringLiteral(TAVIX_VERSION) + QLatin1Char('\n');
        return writeOut(text) ? 0 : 1;
    }
    // The disks as the session's discovery judges them; no window either.
    if (request == CommandLineRequest::ListDisks) {
        const int code = prepare();
        return code != 0 ? code : listDisks();
    }
    // A command line that names no release plainly starts nothing: another
    // release must never be taken for the one that was meant.
    if (const QString error = parseCommandLine(arguments).error; !error.isEmpty())
        return refuse(exit_code::kUsage, program, error + QLatin1Char('\n') + usageText(program), console, argc, argv);

    registerPictures();
    useHighDpiScaling();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVIX_VERSION));

    CSingleInstance guard(hooks.instanceName.isEmpty() ? CSingleInstance::productName() : hooks.instanceName);
    switch (guard.acquire(kFinishingWaitMs)) {
    case CSingleInstance::Taken:
        break;
    case CSingleInstance::AnotherCopy:
        // Not silent: a person who sees nothing happen starts it again.
        guard.askRunningCopyToFront();
        complain(program, QStringLiteral("another copy of the updater is running"));
        return 0;
    case CSingleInstance::Unguarded:
        complain(program, guard.unguardedReason() + QStringLiteral(": a second copy started now would not be noticed"));
        break;
    }

    if (const int code = prepare())
        return code;

    QStringList sessionArguments = QCoreApplication::arguments();
    takeFileOption(&sessionArguments, QStringLiteral("--report"), &reportPath);
    takeFileOption(&sessionArguments, QStringLiteral("--log"), &logPath);
    takeFlagOption(&sessionArguments, QStringLiteral("--station"));
    const CommandLine commandLine = parseCommandLine(sessionArguments);
    // Never deleted: the window, its thread and its worker live as long as
    // the process.
    auto *dialog = new CCalcFWUpdateMSDialog(commandLine.folder, commandLine.language,
                                             commandLine.languageFromSettings);
    // The outputs never touch the release (the folder is settled now), nor
    // each other.
    if (const QString clash = outputsClash(reportPath, logPath, dialog->firmwareFolder); !clash.isEmpty()) {
        dialog->stopWorker();
        return refuse(exit_code::kUsage, program, clash, console, argc, argv);
    }
    // Both records open before the session starts: one that cannot be
    // written is said now, not after the calculators were written.
    QString recordError;
    if (!reportPath.isEmpty() && !canAppendReport(reportPath, &recordError))
        recordError = QStringLiteral("--report ") + recordError;
    else if (!logPath.isEmpty() && !dialog->setLogPath(logPath, &recordError))
        recordError = QStringLiteral("--log ") + recordError;
    dialog->setReportPath(reportPath);
    dialog->setStationMode(station);
    if (!recordError.isEmpty())
        complain(program, recordError);
    if (hooks.echoDisplay || qEnvironmentVariableIntValue("TAVIX_ECHO_DISPLAY") == 1)
        QObject::connect(dialog, &CCalcFWUpdateMSDialog::displayChanged, dialog, echo);
    QObject::connect(&guard, &CSingleInstance::frontRequested, dialog, &CCalcFWUpdateMSDialog::bringToFront);
    // A copy started as administrator waits for this one to finish.
    QObject::connect(dialog, &CCalcFWUpdateMSDialog::handingOver, &guard, &CSingleInstance::setFinishing);
    if (hooks.dialogCreated)
        hooks.dialogCreated(dialog);
    QApplication::setActiveWindow(dialog);
    dialog->show();
    if (recordError.isEmpty())
        dialog->scanFirmwareFolder();
    else
        dialog->refuseRecords(recordError);
    // Closing the console it was started from must not end a session.
    platform::leaveParentConsole();
    const int result = app.exec();
    // The window has gone; the end of the session may still be going out.
    guard.setFinishing();

    // The worker's loop uses the disk system; it ends before whatever the
    // caller set up for it goes.
    dialog->stopWorker();
    // The loop ends with 0 however the window went; the session says how it ended.
    int code = result != 0 ? result : dialog->exitCode();
    if (hooks.finished)
        code = hooks.finished(code);
    code = awaitSuccessor(*dialog, guard, code);
    // A write the system never gave back (its calculator was unplugged while
    // it hung) still has its thread: the program ends without it, and without
    // the clean-up that thread could still meet on its way out. A write stuck
    // inside the kernel keeps the process until it returns, whatever the
    // program does.
    if (dialog->abandonedWrites() > 0) {
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
