// What the window shows of each calculator of a session with more than one:
// one row per calculator the session has met, in the order they were met.
// The worker makes the rows from its ledger (after every discovery and every
// run; a row's state is the calculator's CalculatorLedger::Status, in the
// window's words) and sends them whole; a calculator's percentage while its file is
// written comes on its own, more often.
#pragma once

#include <QMetaType>
#include <QString>
#include <QVector>

#include <cstdint>

struct CalculatorView {
    enum State : std::int32_t {
        Waiting = 0,   // attached, lacks a file, not being written now (its turn comes)
        Writing = 1,   // `file` is being written to it: `percent` of it so far
        Updated = 2,   // holds the whole release
        Retrying = 3,  // its last attempt failed with `code`; it is sent the file again
        GivenUp = 4,   // it spent its retries (the last with `code`); nothing more goes to it
        Unplugged = 5, // lacks a file and is not attached now
    };
    QString identity;        // its serial; the serial with where it is attached when two share one
    State state = Waiting;
    int file = 0;            // Writing: the file being written, 0-based, in the release's order
    int files = 0;           // the release's file count
    int percent = 0;         // Writing: 0 to 100
    std::int32_t code = 0;   // Retrying, GivenUp: the last result code
    std::uint32_t systemError = 0; // the system's error behind `code` (0: none given)
    QString detail;          // what `code` is about beyond the number: 122: the drive the system mounted
    int held = 0;            // files it holds completely
    double seconds = 0;      // from its first transfer to its last (0 before its first)
    int silentSeconds = 0;   // Writing: no news from it for this long (0: under 10 s)
    bool attached = true;    // attached at the last discovery
    bool underWay = false;   // a file of its visit has gone or is going to it, and it has no outcome yet
    int visit = 1;           // the station: which time it is plugged in (a new report line each)
    bool mayReturn = false;  // GivenUp: unplugged and plugged in again, it is taken up again
};
Q_DECLARE_METATYPE(CalculatorView)
Q_DECLARE_METATYPE(QVector<CalculatorView>)
