// This user's one-copy lock: held by one process at a time, released by the
// operating system when that process ends however it ends (so it never goes
// stale), and out of every other user's reach (so no other account can hold
// it or block it). Beside the lock, the holder says what it is doing, and
// later copies leave it requests to bring its window to the front.
//
// POSIX: an flock on NAME.lock in a folder of this user alone (mode 0700):
// XDG_RUNTIME_DIR's tavix-updater folder when XDG_RUNTIME_DIR (or
// /run/user/UID) is this user's, otherwise ~/.cache/tavix-updater, otherwise a
// folder of this user's own in /tmp (tavix-updater-UID.XXXXXX, found again by
// its owner, never by its name alone). The holder's state is the lock file's
// text; a request is a byte appended to NAME.front.
// Windows: a named file mapping in the logon session's namespace; it goes
// away with its last handle, even when its process is killed.
#pragma once

#include <string>

namespace platform {

// What the holder is doing.
enum class InstanceState {
    Running,   // its window is open: a later copy asks for it and leaves
    Finishing, // its window has gone, its end of session is going out: a later copy may wait
};

enum class InstanceLockStatus {
    Taken,       // this process holds it now
    Held,        // another process of this user holds it
    Unavailable, // there is no place for it (no folder of this user's own)
};

struct InstanceLock; // a taken lock; opaque

// A lock's name: 1 to 64 letters, digits, '-', '_' and '.', not starting
// with '.'.
bool isInstanceName(const std::string &name);

// Takes this user's lock `name` without waiting. Taken: *lock holds it, in
// state Running with no request pending, until releaseInstanceLock. Held and
// Unavailable leave *lock null; Unavailable (and a name that is not an
// instance name) says why in *error when error is not null.
InstanceLockStatus takeInstanceLock(const std::string &name, InstanceLock **lock, std::string *error);

// Releases a lock that takeInstanceLock gave; null is allowed.
void releaseInstanceLock(InstanceLock *lock);

// The holder tells later copies what it is doing.
void setInstanceState(InstanceLock *lock, InstanceState state);

// The holder: true when at least one request to the front has come since the
// last call (or since the lock was taken); the requests are used up.
bool takeFrontRequests(InstanceLock *lock);

// A process that does not hold the lock: leaves the holder of `name` a request
// to bring its window to the front. False when no process holds it or it
// cannot be reached.
bool askInstanceToFront(const std::string &name);

// A process that does not hold the lock: what the holder of `name` says it is
// doing. False when no process holds it.
bool instanceHolderState(const std::string &name, InstanceState *state);

} // namespace platform
