// The single-instance guard: this user's one-copy lock (platform/instance_lock.h),
// which the operating system releases when the copy that holds it ends, and
// which no other account can hold or block. Later copies ask the running
// copy to bring its window to the front, or wait for a copy whose window has
// gone while it tells the calculators that the session is over.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <string>

namespace platform {
struct InstanceLock;
}

class CSingleInstance : public QObject {
    Q_OBJECT

public:
    // The product's lock.
    static QString productName() { return QStringLiteral("MOVRAN"); }

    // `name` is an instance name (platform::isInstanceName); the product
    // uses productName(), the simulator's suites names of their own.
    explicit CSingleInstance(const QString &name = productName());
    // Releases the guard when it was taken.
    ~CSingleInstance() override;

    enum Outcome {
        Taken,       // this copy runs
        AnotherCopy, // another copy of this user runs (or was still finishing when the wait ran out)
        Unguarded,   // no place for the lock (see unguardedReason()): this copy runs without it
    };
    // Takes the guard. A copy that holds it while finishing is waited for,
    // up to `finishingWaitMs` of real time; a running copy is not. Once
    // taken, the copy watches for later copies (frontRequested) while an
    // event loop runs.
    Outcome acquire(int finishingWaitMs = 0);
    // Why acquire() said Unguarded.
    QString unguardedReason() const { return reason; }

    // A copy that could not take the guard: asks the running copy to bring
    // its window to the front. False when there is no running copy to ask.
    bool askRunningCopyToFront();

    // The window has gone and the end of the session is going out (or a
    // copy started as administrator is to take over): a later start waits
    // for this copy instead of asking for its window. False: running again.
    void setFinishing(bool finishing = true);
    // Releases the guard before this copy ends, to a copy that waits for it.
    void release();

signals:
    // A later copy has started: the user is looking for the window. Once per
    // request (requests that come together count once).
    void frontRequested();

private:
    void onPollTimeout();

    std::string name;                      // the lock's name
    platform::InstanceLock *lock = nullptr; // while the guard is taken
    QString reason;                        // Unguarded: why
    QTimer poll;                           // looks for requests while the guard is taken
};
