#include "app/command_line.h"

CommandLine parseCommandLine(const QStringList &arguments)
{
    if (arguments.size() != 3)
        return CommandLine{QString(), 1};
    return CommandLine{arguments.at(1), arguments.at(2).toInt(nullptr, 10)};
}

CommandLineRequest commandLineRequest(const QStringList &arguments)
{
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--help"))
        return CommandLineRequest::Help;
    if (arguments.size() == 2 && arguments.at(1) == QLatin1String("--version"))
        return CommandLineRequest::Version;
    return CommandLineRequest::Session;
}

QString usageText(const QString &program)
{
    return QStringLiteral(
               "Usage: %1 [FOLDER LANGUAGE]\n"
               "Writes the firmware release in FOLDER (its three files) onto every Tavix\n"
               "calculator attached in update mode, all at once.\n"
               "LANGUAGE: 1 English, 2 Chinese, 3 French, 4 German, 5 Spanish, 6 Dutch,\n"
               "7 Portuguese, 8 Japanese. Without arguments the release folder and the\n"
               "language come from the XQ Tarnlink settings.\n"
               "  --help     this text\n"
               "  --version  the version\n")
        .arg(program);
}
