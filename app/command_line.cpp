#include "app/command_line.h"

CommandLine parseCommandLine(const QStringList &arguments)
{
    if (arguments.size() != 3)
        return CommandLine{QString(), 1};
    return CommandLine{arguments.at(1), arguments.at(2).toInt(nullptr, 10)};
}
