#include "app/command_line.h"

#include <QFileInfo>

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine commandLine;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        // "-2" is a language; "--reprot" or "-x" a mistyped option.
        if (argument.startsWith(QLatin1String("--")) || (argument.size() > 1 && argument.at(0) == QLatin1Char('-') &&
                                                           argument.at(1).isLetter())) {
            commandLine.error = QStringLiteral("unknown option '%1'").arg(argument);
            return commandLine;
        }
    }
    if (arguments.size() > 3) {
        commandLine.error = QStringLiteral("too many arguments: at most a folder and a language");
        return commandLine;
    }
    if (arguments.size() >= 2 && !arguments.at(1).isEmpty()) {
        commandLine.folder = arguments.at(1);
        commandLine.languageFromSettings = arguments.size() == 2;
    }
    if (arguments.size() == 3)
        commandLine.language = arguments.at(2).toInt(nullptr, 10);
    return commandLine;
}

bool takeFileOption(QStringList *arguments, const QString &option, QString *filePath)
{
    QStringList kept;
    QString path;
    for (int i = 0; i < arguments->size(); ++i) {
        if (i == 0 || arguments->at(i) != option) {
            kept << arguments->at(i);
            continue;
        }
        if (i + 1 >= arguments->size() || arguments->at(i + 1).isEmpty())
            return false;
        path = QFileInfo(arguments->at(++i)).absoluteFilePath();
    }
    *arguments = kept;
    if (!path.isEmpty())
        *filePath = path;
    return true;
}

bool takeFlagOption(QStringList *arguments, const QString &option)
{
    bool found = false;
    for (int i = arguments->size() - 1; i >= 1; --i) {
        if (arguments->at(i) == option) {
            arguments->removeAt(i);
            found = true;
        }
    }
    return found;
}

CommandLineRequest commandLineRequest(const QStringList &arguments)
{
    if (arguments.size() == 2 && (arguments.at(1) == QLatin1String("--help") || arguments.at(1) == QLatin1String("-h")))
        return CommandLineRequest::Help;
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--list-disks"))
        return CommandLineRequest::ListDisks;
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--version"))
        return CommandLineRequest::Version;
    return CommandLineRequest::Session;
}

QString usageText(const QString &program)
{
    return QStringLiteral(
               "Usage: %1 [FOLDER [LANGUAGE]] [--report FILE] [--log FILE] [--station]\n"
               "       %1 --list-disks\n"
               "Writes the firmware release in FOLDER (its three files) onto every Tavix\n"
               "calculator attached in update mode, all at once.\n"
               "LANGUAGE: 1 English, 2 Chinese, 3 French, 4 German, 5 Spanish, 6 Dutch,\n"
               "7 Portuguese, 8 Japanese, 9 Russian. Without arguments the release folder\n"
               "and the language come from the XQ Tarnlink settings; with FOLDER alone,\n"
               "the language.\n"
               "  --report FILE  append a CSV line to FILE for each calculator's outcome as\n"
               "                 soon as it is known (updated, given up; not updated at the end)\n"
               "  --log FILE     write a plain text log of the session into FILE, for support\n"
               "  --station      serve a whole cart: take each calculator plugged in, write it, and\n"
               "                 go on until Stop\n"
               "  --list-disks   list every disk and whether it is taken for a calculator\n"
               "                 (and why not), then exit\n"
               "  -h, --help     this text\n"
               "  --version      the version\n")
        .arg(program);
}
