// The updater's start-up, shared by the product and the simulator: the
// application object (at the display's scale, app/high_dpi.h), the
// single-instance guard, the command line, the window, the folder scan and
// the event loop.
#pragma once

#include <QString>

#include <functional>

class CCalcFWUpdateMSDialog;
class CSingleInstance;

struct UpdaterHooks {
    // The guard is taken, the window does not exist yet (or, for
    // --list-disks, the disks are about to be listed): the place to set up
    // the disk system. A non-zero result ends the program with that code.
    std::function<int()> prepare;
    // The window exists and is not shown yet.
    std::function<void(CCalcFWUpdateMSDialog *dialog)> dialogCreated;
    // The event loop has ended and the worker is stopped; nothing of the
    // session runs any more, apart from writes the system never gave back.
    // Returns the program's exit code, given the session's (null: that one).
    // With such a write left, the program ends right after this hook,
    // without the usual clean-up.
    std::function<int(int code)> finished;
    // Every change of what the window shows is written to standard output,
    // a "field: value" line each (see displayChanged). The simulator always
    // echoes; the product when TAVIX_ECHO_DISPLAY=1 is set, so that a script
    // can follow a real session. Nothing else of the program changes.
    bool echoDisplay = false;
    // The single-instance guard's name; empty: the product's. The simulator
    // takes it from TAVIX_SIM_INSTANCE, so that suites meet neither each
    // other nor a person's own copy.
    QString instanceName;
};

// The whole program; returns the process exit code. A second copy for the
// same user says so on standard error, asks the first copy to bring its
// window to the front and returns 0; a copy whose window has gone and that is
// still ending its session is waited for, up to 10 s, instead.
int runUpdater(int argc, char **argv, const UpdaterHooks &hooks = UpdaterHooks());

// The program's end once its window has gone: when the window handed the
// session over to a copy started as administrator, `guard` goes to that copy
// (which waits for it), and the program waits for it and ends with its exit
// code, so that a script that waits for the updater learns the real outcome
// (kStopped when it cannot be had); otherwise `code`.
int awaitSuccessor(CCalcFWUpdateMSDialog &dialog, CSingleInstance &guard, int code);
