#include "platform/locked_append.h"

#include "platform/disk_system.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {

// Every byte of `data`, across short writes and interruptions.
bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO; // a device that takes nothing and says no error
            return false;
        }
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

// The file's first `size` bytes (fewer when it is shorter).
bool readStart(int fd, std::size_t size, std::string *start)
{
    start->assign(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t read = ::pread(fd, &(*start)[got], size - got, off_t(got));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return false;
        if (read == 0)
            break;
        got += std::size_t(read);
    }
    start->resize(got);
    return true;
}

// Cuts a regular file back to `size` (a failed append leaves no half line);
// when that fails too, the half line stays.
void cutBack(int fd, off_t size)
{
    int result;
    do
        result = ::ftruncate(fd, size);
    while (result != 0 && errno == EINTR);
}

AppendStatus append(int fd, const std::string &header, const std::string &text, bool headerToStream)
{
    int locked;
    do
        locked = ::flock(fd, LOCK_EX);
    while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return AppendStatus::Failed;
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return AppendStatus::Failed;
    const bool regular = S_ISREG(st.st_mode);
    bool withHeader = headerToStream;
    if (regular) {
        std::string start;
        if (st.st_size > 0 && !readStart(fd, header.size(), &start))
            return AppendStatus::Failed;
        if (st.st_size > 0 && start != header)
            return AppendStatus::Foreign;
        withHeader = st.st_size == 0;
    }
    if (text.empty())
        return AppendStatus::Appended;
    const std::string bytes = withHeader ? header + text : text;
    if (!writeAll(fd, bytes.data(), bytes.size())) {
        const int code = errno;
        if (regular)
            cutBack(fd, st.st_size);
        errno = code; // the write's own reason is the one to say
        return AppendStatus::Failed;
    }
    // A pipe or a device has nothing to sync (fsync refuses them).
    if (regular && ::fsync(fd) != 0)
        return AppendStatus::Failed;
    return AppendStatus::Appended;
}

} // namespace

AppendStatus appendLocked(const char16_t *path, const std::string &header, const std::string &text,
                          bool headerToStream, std::uint32_t *systemError)
{
    *systemError = 0;
    const std::string name = toUtf8(path);
    int fd;
    do
        fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *systemError = std::uint32_t(errno);
        return AppendStatus::Failed;
    }
    const AppendStatus status = append(fd, header, text, headerToStream);
    if (status == AppendStatus::Failed)
        *systemError = std::uint32_t(errno);
    // Closing the last descriptor of the open file releases the lock.
    if (::close(fd) != 0 && status == AppendStatus::Appended && errno != EINTR) {
        *systemError = std::uint32_t(errno);
        return AppendStatus::Failed;
    }
    return status;
}

} // namespace platform
