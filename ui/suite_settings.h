// The companion suite's stored settings and the program's two search paths.
//
// The updater takes its language and release folder from the suite's settings
// when the command line gives no folder; it reads them, never writes them.
// The "icons" and "resource" prefixes point into the program's own folder:
// the Browse button's pictures and the string-resource files are found there.
#pragma once

#include <QString>
#include <QVariant>

#include <cstdint>

class CCalcFWUpdateMSDialog;

// Registers "icons" and "resource" as the folders of those names beside the
// executable (whatever the working folder is).
void installSearchPaths();

// Sets the suite's identity (organization "XQ", application "XQ Tarnlink"),
// reads "Language" and "WorkFolder" from its settings store into the dialog's
// languageIndex and firmwareFolder (with '/' separators).
void readSuiteSettings(CCalcFWUpdateMSDialog *dialog);

// The language from a stored "Language" value: absent, the system locale's
// language; stored, Qt's integer conversion (a text that is not a number gives
// 0); either way through the range check (anything but 0 to 8 becomes 1).
std::uint32_t languageFromSetting(const QVariant &stored, const QString &systemLocaleName);

// The suite's default work folder: the first documents location (the home
// folder when the system names none) followed by "/XQ Tarnlink".
QString defaultWorkFolder();
