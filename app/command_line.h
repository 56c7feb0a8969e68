// The updater's command line: a release folder and a language index (both,
// or a folder alone), and the options around them.
#pragma once

#include <QString>
#include <QStringList>

struct CommandLine {
    QString folder;                    // empty: the suite's settings give folder and language
    int language = 1;                  // the language index; used only with a folder
    bool languageFromSettings = false; // a folder alone: the settings give the language
    QString error;                     // not empty: the command line is unusable (why, one line)
};

// `arguments` as QCoreApplication::arguments() gives them, the program first,
// with --report, --log and --station already taken out. The program alone:
// no folder (the settings give folder and language). Two entries: the folder
// (what a folder dropped on the program gives), the language from the
// settings. Three: folder = entry 1, language = entry 2 in base 10 (0 when it
// is not a number). An empty folder entry leaves folder and language to the
// settings.
// More entries, or an option the program does not know ("--X", or "-" and a
// letter), make the command line unusable: nothing falls back to another
// release.
CommandLine parseCommandLine(const QStringList &arguments);

// Takes every "OPTION FILE" (--report, --log) out of `arguments` (the program
// first, left alone); the last FILE counts, made absolute. False when an
// OPTION has no FILE after it (`arguments` and `path` are then unchanged).
bool takeFileOption(QStringList *arguments, const QString &option, QString *path);

// Takes every `option` (a flag, no value: --station) out of `arguments` (the
// program first, left alone); true when it was there at least once. Only the
// exact word counts: "--station=1" or "--Station" stay for parseCommandLine
// to refuse.
bool takeFlagOption(QStringList *arguments, const QString &option);

// What a command line asks for: a session, or, given a single --help (-h),
// --version or --list-disks and nothing else, a text on standard output and
// no window.
enum class CommandLineRequest { Session, Help, Version, ListDisks };
CommandLineRequest commandLineRequest(const QStringList &arguments);

// The --help text of `program` (its file name).
QString usageText(const QString &program);
