#include "platform/instance_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace platform {

struct InstanceLock {
    int lockFd = -1;  // NAME.lock, flocked exclusively; its text is the state
    int frontFd = -1; // NAME.front: a byte per request to the front
};

namespace {

constexpr char kFolder[] = "tavix-updater";
constexpr char kRunning[] = "running\n";
constexpr char kFinishing[] = "finishing\n";

int openAt(int dir, const char *path, int flags, mode_t mode = 0)
{
    int fd;
    do
        fd = ::openat(dir, path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

void closeFd(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// What an open file or folder is, and whose; false when fstat fails.
bool statusOf(int fd, struct stat *st)
{
    return ::fstat(fd, st) == 0;
}

// A folder of this user's that nobody else may change: nobody else can swap
// what is in it.
bool isOwnUnsharedFolder(int fd)
{
    struct stat st;
    return statusOf(fd, &st) && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 022) == 0;
}

// A folder of this user's alone: nobody else may even look into it.
bool isPrivateFolder(int fd)
{
    struct stat st;
    return statusOf(fd, &st) && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// A regular file of this user's (never another account's file planted under
// the name).
bool isOwnFile(int fd)
{
    struct stat st;
    return statusOf(fd, &st) && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// `name` in `parent` as a private folder (made, mode 0700, when `create`; a
// folder of this user's with wider rights is narrowed). -1 when it is
// missing, a link, or not this user's.
int privateSubfolder(int parent, const char *name, bool create)
{
    if (create && ::mkdirat(parent, name, 0700) != 0 && errno != EEXIST)
        return -1;
    const int fd = openAt(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    struct stat st;
    if (statusOf(fd, &st) && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        ((st.st_mode & 077) == 0 || ::fchmod(fd, 0700) == 0))
        return fd;
    ::close(fd);
    return -1;
}

// The runtime folder, when it is this user's alone: its tavix-updater folder.
// `*chosen` tells whether the folder qualified (then no later place is
// looked at, so that every copy of this user meets in the same one).
int runtimeFolder(const std::string &path, bool create, bool *chosen)
{
    *chosen = false;
    const int base = openAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY);
    if (base < 0)
        return -1;
    int fd = -1;
    if (isPrivateFolder(base)) {
        fd = privateSubfolder(base, kFolder, create);
        *chosen = fd >= 0 || !create;
    }
    ::close(base);
    return fd;
}

// HOME/.cache/tavix-updater, when the home and its .cache are this user's and
// nobody else's to change.
int homeFolder(const std::string &home, bool create, bool *chosen)
{
    *chosen = false;
    const int base = openAt(AT_FDCWD, home.c_str(), O_RDONLY | O_DIRECTORY);
    if (base < 0)
        return -1;
    int fd = -1;
    if (isOwnUnsharedFolder(base)) {
        if (create)
            ::mkdirat(base, ".cache", 0700);
        const int cache = openAt(base, ".cache", O_RDONLY | O_DIRECTORY);
        if (cache >= 0 && isOwnUnsharedFolder(cache)) {
            fd = privateSubfolder(cache, kFolder, create);
            *chosen = fd >= 0 || !create;
        }
        closeFd(cache);
    }
    ::close(base);
    return fd;
}

// The last place: a folder of this user's own in /tmp, named
// tavix-updater-UID.XXXXXX. Any account may make a folder of that name, so
// it is found by its owner and rights, never by its name: the first such
// folder by name that is this user's alone, made when there is none.
int tmpFolder(bool create)
{
    const std::string prefix = std::string(kFolder) + '-' + std::to_string(::geteuid()) + '.';
    const auto smallest = [&prefix](int tmp) {
        std::string best;
        const int listing = ::dup(tmp);
        DIR *dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
        if (!dir) {
            closeFd(listing);
            return best;
        }
        ::rewinddir(dir);
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.compare(0, prefix.size(), prefix) != 0 || (!best.empty() && name >= best))
                continue;
            const int fd = privateSubfolder(tmp, name.c_str(), false);
            if (fd >= 0)
                best = name;
            closeFd(fd);
        }
        ::closedir(dir);
        return best;
    };
    const int tmp = openAt(AT_FDCWD, "/tmp", O_RDONLY | O_DIRECTORY);
    if (tmp < 0)
        return -1;
    std::string name = smallest(tmp);
    if (name.empty() && create) {
        std::string path = "/tmp/" + prefix + "XXXXXX";
        if (::mkdtemp(&path[0]))
            name = smallest(tmp); // another copy may have made one at the same time
    }
    const int fd = name.empty() ? -1 : privateSubfolder(tmp, name.c_str(), false);
    ::close(tmp);
    return fd;
}

// The folder of this user's lock files, as every copy of this user finds it:
// the first place that qualifies. -1 when there is none (or, without
// `create`, when the folder has not been made yet).
int instanceFolder(bool create)
{
    std::vector<std::string> runtimes;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/')
        runtimes.emplace_back(runtime);
    runtimes.push_back("/run/user/" + std::to_string(::geteuid()));
    bool chosen = false;
    for (const std::string &path : runtimes) {
        const int fd = runtimeFolder(path, create, &chosen);
        if (chosen)
            return fd;
    }
    // The account's home by its entry too: a HOME kept from another account
    // (sudo) is not this user's, and is passed over.
    std::vector<std::string> homes;
    if (const char *home = std::getenv("HOME"); home && home[0] == '/')
        homes.emplace_back(home);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        homes.emplace_back(found->pw_dir);
    for (const std::string &home : homes) {
        const int fd = homeFolder(home, create, &chosen);
        if (chosen)
            return fd;
    }
    return tmpFolder(create);
}

// The same folder (the device and the inode).
bool sameFile(int a, int b)
{
    struct stat sa, sb;
    return statusOf(a, &sa) && statusOf(b, &sb) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

int lockFlock(int fd, int operation)
{
    int result;
    do
        result = ::flock(fd, operation);
    while (result != 0 && errno == EINTR);
    return result;
}

// Whether another open file of NAME.lock holds the lock: a shared lock
// cannot be had beside it.
bool isHeld(int fd)
{
    if (lockFlock(fd, LOCK_SH | LOCK_NB) == 0) {
        lockFlock(fd, LOCK_UN);
        return false;
    }
    return errno == EWOULDBLOCK;
}

// NAME.lock of the holder's folder, opened for reading when a process holds
// it; -1 otherwise. *folder (when not null) keeps that folder open for the
// caller, so that everything it does next happens in the same one.
int openHeldLock(const std::string &name, int *folder = nullptr)
{
    if (!isInstanceName(name))
        return -1;
    const int dir = instanceFolder(false);
    if (dir < 0)
        return -1;
    int fd = openAt(dir, (name + ".lock").c_str(), O_RDONLY | O_NOFOLLOW);
    if (fd >= 0 && !(isOwnFile(fd) && isHeld(fd))) {
        ::close(fd);
        fd = -1;
    }
    if (fd >= 0 && folder)
        *folder = dir;
    else
        ::close(dir);
    return fd;
}

bool writeState(int fd, const char *text)
{
    const auto size = static_cast<off_t>(std::strlen(text));
    return ::pwrite(fd, text, std::size_t(size), 0) == size && ::ftruncate(fd, size) == 0;
}

} // namespace

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
    // Two first starts at once may make two folders in /tmp; each then
    // checks that its folder is still the one every copy finds.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int folder = instanceFolder(true);
        if (folder < 0)
            return unavailable("no folder of this user's own for the one-copy lock "
                               "(XDG_RUNTIME_DIR, ~/.cache or /tmp)");
        const int lockFd = openAt(folder, (name + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
        if (lockFd < 0 || !isOwnFile(lockFd)) {
            const std::string why = std::strerror(lockFd < 0 ? errno : EPERM);
            closeFd(lockFd);
            ::close(folder);
            return unavailable(name + ".lock: " + why);
        }
        if (lockFlock(lockFd, LOCK_EX | LOCK_NB) != 0) {
            const int code = errno;
            ::close(lockFd);
            ::close(folder);
            if (code == EWOULDBLOCK)
                return InstanceLockStatus::Held;
            return unavailable(name + ".lock: " + std::strerror(code));
        }
        const int again = instanceFolder(false);
        const bool settled = again >= 0 && sameFile(folder, again);
        closeFd(again);
        if (!settled) {
            ::close(lockFd); // and try the folder that every copy finds now
            ::close(folder);
            continue;
        }
        // Requests left for a copy that has ended are not this copy's.
        const int frontFd = openAt(folder, (name + ".front").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
        ::close(folder);
        if (frontFd < 0 || !isOwnFile(frontFd) || ::ftruncate(frontFd, 0) != 0 || !writeState(lockFd, kRunning)) {
            const std::string why = std::strerror(frontFd < 0 ? errno : EPERM);
            closeFd(frontFd);
            ::close(lockFd);
            return unavailable(name + ".front: " + why);
        }
        *lock = new InstanceLock{lockFd, frontFd};
        return InstanceLockStatus::Taken;
    }
    return unavailable("the one-copy lock's folder keeps changing");
}

void releaseInstanceLock(InstanceLock *lock)
{
    if (!lock)
        return;
    ::close(lock->frontFd);
    ::close(lock->lockFd); // the last descriptor of the open file: the flock goes
    delete lock;
}

void setInstanceState(InstanceLock *lock, InstanceState state)
{
    if (lock)
        writeState(lock->lockFd, state == InstanceState::Finishing ? kFinishing : kRunning);
}

bool takeFrontRequests(InstanceLock *lock)
{
    struct stat st;
    if (!lock || !statusOf(lock->frontFd, &st) || st.st_size == 0)
        return false;
    // A request appended between the two calls goes with this one: both came
    // at the same moment, and one raise answers them.
    return ::ftruncate(lock->frontFd, 0) == 0;
}

bool askInstanceToFront(const std::string &name)
{
    int folder = -1;
    const int lockFd = openHeldLock(name, &folder);
    if (lockFd < 0)
        return false;
    const int frontFd = openAt(folder, (name + ".front").c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW);
    ::close(folder);
    ::close(lockFd);
    bool asked = false;
    if (frontFd >= 0 && isOwnFile(frontFd)) {
        ssize_t written;
        do
            written = ::write(frontFd, "\n", 1);
        while (written < 0 && errno == EINTR);
        asked = written == 1;
    }
    closeFd(frontFd);
    return asked;
}

bool instanceHolderState(const std::string &name, InstanceState *state)
{
    const int fd = openHeldLock(name);
    if (fd < 0)
        return false;
    char first = 0;
    ssize_t got;
    do
        got = ::pread(fd, &first, 1, 0);
    while (got < 0 && errno == EINTR);
    ::close(fd);
    // Nothing written yet: the holder has just taken it, and runs.
    *state = got == 1 && first == kFinishing[0] ? InstanceState::Finishing : InstanceState::Running;
    return true;
}

} // namespace platform
