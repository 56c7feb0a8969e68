// The single-instance guard: a one-byte shared-memory segment whose existence
// says that a copy of the updater runs for this user.
#pragma once

#include <QSharedMemory>
#include <QString>

class CSingleInstance {
public:
    // The key of this user's guard: "MOVRAN" and the platform's per-user suffix.
    static QString key();

    // `key` is for tests; the program uses key().
    explicit CSingleInstance(const QString &key = CSingleInstance::key());
    // Releases the guard when it was taken.
    ~CSingleInstance() = default;
    CSingleInstance(const CSingleInstance &) = delete;
    CSingleInstance &operator=(const CSingleInstance &) = delete;

    // Takes the guard; false when another live copy holds it. A segment left
    // behind by a copy that crashed does not count.
    bool acquire();

private:
    QSharedMemory memory; // holds the segment while the guard is taken
};
