#include "platform/instance_lock.h"

#include <windows.h>

#include <string>

namespace platform {

namespace {

// What the mapping holds: both fields are only ever touched with Interlocked
// calls.
struct Shared {
    LONG requests; // requests to the front not yet taken
    LONG state;    // 0 running, 1 finishing
};

// A named object in the logon session's own namespace ("Local\"): another
// user's session has its own.
std::wstring mappingName(const std::string &name)
{
    std::wstring wide = L"Local\\tavix-updater-";
    for (const char c : name)
        wide += static_cast<wchar_t>(c); // an instance name is plain ASCII
    return wide;
}

// The holder's mapping, opened by another process; null when none holds it.
HANDLE openHeld(const std::string &name, Shared **shared)
{
    *shared = nullptr;
    if (!isInstanceName(name))
        return nullptr;
    const HANDLE mapping = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, mappingName(name).c_str());
    if (!mapping)
        return nullptr;
    *shared = static_cast<Shared *>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Shared)));
    if (!*shared) {
        CloseHandle(mapping);
        return nullptr;
    }
    return mapping;
}

void closeHeld(HANDLE mapping, Shared *shared)
{
    UnmapViewOfFile(shared);
    CloseHandle(mapping);
}

} // namespace

struct InstanceLock {
    HANDLE mapping; // its existence is the lock
    Shared *shared; // the mapped view
};

InstanceLockStatus takeInstanceLock(const std::string &name, InstanceLock **lock, std::string *error)
{
    *lock = nullptr;
    const auto unavailable = [error](const std::string &why) {
        if (error)
            *error = why;
        return InstanceLockStatus::Unavailable;
    };
    if (!isInstanceName(name))
        return unavailable("'" + name + "' is not a name for the one-copy lock");
    const HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared),
                                              mappingName(name).c_str());
    if (!mapping)
        return unavailable("CreateFileMapping: system error " + std::to_string(GetLastError()));
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mapping);
        return InstanceLockStatus::Held;
    }
    // A new mapping of the paging file reads as zeros: running, no request.
    auto *shared = static_cast<Shared *>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Shared)));
    if (!shared) {
        const DWORD code = GetLastError();
        CloseHandle(mapping);
        return unavailable("MapViewOfFile: system error " + std::to_string(code));
    }
    *lock = new InstanceLock{mapping, shared};
    return InstanceLockStatus::Taken;
}

void releaseInstanceLock(InstanceLock *lock)
{
    if (!lock)
        return;
    closeHeld(lock->mapping, lock->shared);
    delete lock;
}

void setInstanceState(InstanceLock *lock, InstanceState state)
{
    if (lock)
        InterlockedExchange(&lock->shared->state, state == InstanceState::Finishing ? 1 : 0);
}

bool takeFrontRequests(InstanceLock *lock)
{
    return lock && InterlockedExchange(&lock->shared->requests, 0) != 0;
}

bool askInstanceToFront(const std::string &name)
{
    Shared *shared = nullptr;
    const HANDLE mapping = openHeld(name, &shared);
    if (!mapping)
        return false;
    InterlockedIncrement(&shared->requests);
    closeHeld(mapping, shared);
    return true;
}

bool instanceHolderState(const std::string &name, InstanceState *state)
{
    Shared *shared = nullptr;
    const HANDLE mapping = openHeld(name, &shared);
    if (!mapping)
        return false;
    *state = InterlockedCompareExchange(&shared->state, 0, 0) == 1 ? InstanceState::Finishing : InstanceState::Running;
    closeHeld(mapping, shared);
    return true;
}

} // namespace platform
