// The updater's two optional command-line arguments: a release folder and a
// language index, both or neither.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLine {
    QString folder; // empty: the suite's settings give folder and language
    int language;   // the language index; used only with a folder
};

// `arguments` as QCoreApplication::arguments() gives them, the program first.
// Exactly three entries: folder = entry 1, language = entry 2 in base 10 (0
// when it is not a number). Any other count: no folder, language 1.
CommandLine parseCommandLine(const QStringList &arguments);

// Takes every "--report FILE" out of `arguments` (the program first, left
// alone); the last FILE counts, made absolute. False when a --report has no
// FILE after it (`arguments` and `reportPath` are then unchanged).
bool takeReportOption(QStringList *arguments, QString *reportPath);

// What a command line asks for: a session, or, given a single --help or
// --version and nothing else, a text on standard output and no window.
enum class CommandLineRequest { Session, Help, Version };
CommandLineRequest commandLineRequest(const QStringList &arguments);

// The --help text of `program` (its file name).
QString usageText(const QString &program);
