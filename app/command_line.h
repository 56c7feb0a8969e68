// The updater's command line: a release folder and a language index (both,
// or a folder alone), and the options around them.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLine {
    QString folder;                    // empty: the suite's settings give folder and language
    int language;                      // the language index; used only with a folder
    bool languageFromSettings = false; // a folder alone: the settings give the language
};

// `arguments` as QCoreApplication::arguments() gives them, the program first.
// Exactly three entries: folder = entry 1, language = entry 2 in base 10 (0
// when it is not a number). Exactly two, entry 1 an existing folder (what a
// folder dropped on the program gives): that folder, the language from the
// settings. Anything else: no folder, language 1.
CommandLine parseCommandLine(const QStringList &arguments);

// Takes every "OPTION FILE" (--report, --log) out of `arguments` (the program
// first, left alone); the last FILE counts, made absolute. False when an
// OPTION has no FILE after it (`arguments` and `path` are then unchanged).
bool takeFileOption(QStringList *arguments, const QString &option, QString *path);

// What a command line asks for: a session, or, given a single --help (-h),
// --version or --list-disks and nothing else, a text on standard output and
// no window.
enum class CommandLineRequest { Session, Help, Version, ListDisks };
CommandLineRequest commandLineRequest(const QStringList &arguments);

// The --help text of `program` (its file name).
QString usageText(const QString &program);
