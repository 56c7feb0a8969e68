// CSessionLog: the plain text log that --log asks for, for support. One line
// an event, each with the local time to the millisecond; appended to, so that
// the sessions before stay. Written from the window's and the worker's
// threads; every line is flushed to the system at once, so that a crash of
// the program loses nothing already said (a power loss may: it is not synced).
#pragma once

#include <QFile>
#include <QString>

#include <atomic>
#include <mutex>

class CSessionLog {
public:
    // Opens `path` for appending; false, with *error saying why, when it
    // cannot be.
    bool open(const QString &path, QString *error);
    // One line: the time, two spaces, `line` (line breaks made spaces).
    void write(const QString &line);
    // A line did not reach the file whole (a full disk, a removed medium).
    bool failed() const { return failed_.load(); }

private:
    std::mutex lock_;                // one line at a time
    QFile file_;                     // under lock_
    std::atomic<bool> failed_{false}; // set by write
};
