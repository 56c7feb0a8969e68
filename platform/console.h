// The console a windowed program was started from. On Windows the updater is
// a GUI-subsystem program: started from a console, its standard output and
// error lead nowhere unless it attaches to that console itself.
#pragma once

#include <string_view>

namespace platform {

// Writes `text` on standard output (writeOut) or standard error (writeErr)
// and flushes it; true when all of it went. Text is never squeezed into an
// 8-bit code page: a Windows console gets it as UTF-16 (WriteConsoleW), and
// a file or a pipe (on Windows too) and a POSIX terminal get UTF-8 bytes,
// without a byte order mark, so that scripts read the lines as they are.
// Whatever went earlier through the C stream goes first.
bool writeOut(std::u16string_view text);
bool writeErr(std::u16string_view text);

// Sends standard output and error that lead nowhere to the console of the
// process that started this one, when there is one. Output already redirected
// into a file or a pipe stays there. True when standard error now leads
// where a person or a script reads it (a console, a file, a pipe); false when
// the program was started without one (a shortcut, a folder dropped on it, a
// desktop launcher), so that what must be seen needs a message box.
bool useParentConsole();

// Detaches from the console useParentConsole attached to, so that closing that
// console or Ctrl+C in it does not end the program while it writes calculators.
// Text written afterwards to a stream that led there is lost. Nothing when
// nothing was attached.
void leaveParentConsole();

} // namespace platform
