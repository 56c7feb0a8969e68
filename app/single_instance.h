// The single-instance guard: a one-byte shared-memory segment whose existence
// says that a copy of the updater runs for this user. The byte counts the
// later copies that asked for the running copy's window.
#pragma once

#include <QObject>
#include <QSharedMemory>
#include <QString>
#include <QTimer>

class CSingleInstance : public QObject {
    Q_OBJECT

public:
    // The key of this user's guard: "MOVRAN" and the platform's per-user suffix.
    static QString key();

    // `key` is for tests; the program uses key().
    explicit CSingleInstance(const QString &key = CSingleInstance::key());
    // Releases the guard when it was taken.
    ~CSingleInstance() override = default;

    // Takes the guard; false when another live copy holds it. A segment left
    // behind by a copy that crashed does not count. Once taken, the copy
    // watches for later copies (frontRequested) while an event loop runs.
    bool acquire();

    // A copy that could not take the guard: asks the running copy to bring
    // its window to the front. False when the guard's segment could not be
    // reached (the running copy has just ended, or the system refused).
    bool askRunningCopyToFront();

signals:
    // A later copy has started: the user is looking for the window.
    void frontRequested();

private:
    void onPollTimeout();

    QSharedMemory memory; // holds the segment while the guard is taken
    QTimer poll;          // reads the request count while the guard is taken
    unsigned char seenRequests = 0; // the count when last read
};
