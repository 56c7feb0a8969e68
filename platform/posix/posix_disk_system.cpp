// The Linux disk system. Laid out in parts: thin wrappers over the system
// calls (their quirks - EINTR, short transfers, bounded reads - handled there
// and nowhere else), the discovery rules over the sysfs tree, the rest of
// platform/disk_system.h for Linux (buffers, error texts), the handle, and the
// disk system proper.
#include "platform/posix/posix_disk_system.h"

#include "platform/posix/sysfs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform {

static_assert(sizeof(off_t) == 8, "disk offsets need a 64-bit off_t");

namespace {

// ---------------------------------------------------------------------------
// System call wrappers. Each returns what the call returns, with errno set as
// the call left it, unless its comment says otherwise.

// open(2), retried while a signal interrupts it; -1 with errno on failure.
int robustOpen(const std::string &path, int flags)
{
    int fd;
    do {
        fd = ::open(path.c_str(), flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// close(2), never retried: Linux releases the descriptor even on EINTR.
void robustClose(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// Calls `step(done)` - one read(2) or write(2) of the bytes from `done` on -
// until `length` bytes are moved, a call moves nothing, or an error; a signal
// interrupting a call repeats it. *moved gets the count moved. Returns 0, the
// errno of the failing call, or `whenNothing` when a call moved nothing.
template <typename Step>
int moveFully(std::size_t length, std::size_t *moved, int whenNothing, const Step &step)
{
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = step(done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *moved = done;
            return errno;
        }
        if (n == 0) {
            *moved = done;
            return whenNothing;
        }
        done += static_cast<std::size_t>(n);
    }
    *moved = done;
    return 0;
}

// Reads until `length` bytes are in, end of file, or an error; *moved gets
// the count read. Returns 0, or the errno of the failing read.
int readFully(int fd, void *buffer, std::size_t length, std::size_t *moved)
{
    auto *at = static_cast<char *>(buffer);
    // Nothing read is the end of the file or of the disk: no error.
    return moveFully(length, moved, 0, [&](std::size_t done) { return ::read(fd, at + done, length - done); });
}

// Writes until all `length` bytes are out or an error; *moved gets the count
// written. Returns 0, or the errno of the failing write (ENOSPC when the
// system accepts nothing more without saying why).
int writeFully(int fd, const void *buffer, std::size_t length, std::size_t *moved)
{
    const auto *at = static_cast<const char *>(buffer);
    return moveFully(length, moved, ENOSPC,
                     [&](std::size_t done) { return ::write(fd, at + done, length - done); });
}

// fsync(2), retried while a signal interrupts it.
int robustFsync(int fd)
{
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

// fstat(2): true with *st filled, false with errno.
bool statDescriptor(int fd, struct stat *st)
{
    return ::fstat(fd, st) == 0;
}

// Size in bytes of the block device open on `fd`: 0, or the ioctl's errno.
int blockDeviceBytes(int fd, std::uint64_t *bytes)
{
    return ::ioctl(fd, BLKGETSIZE64, bytes) == 0 ? 0 : errno;
}

// Logical sector size of the block device open on `fd` (BLKSSZGET fills an
// int): 0, or the ioctl's errno.
int blockDeviceSectorSize(int fd, int *bytes)
{
    return ::ioctl(fd, BLKSSZGET, bytes) == 0 ? 0 : errno;
}

// realpath(3): true with the resolved absolute path, false when any part of
// `path` does not exist or cannot be followed.
bool resolvePath(const std::string &path, std::string *resolved)
{
    char *result = ::realpath(path.c_str(), nullptr);
    if (result == nullptr)
        return false;
    *resolved = result;
    std::free(result);
    return true;
}

// The entries of a directory, those starting with '.' (".", ".." and hidden
// ones) left out, sorted by name
// so that every enumeration visits them in the same order. False when the
// directory cannot be read.
bool listDirectory(const std::string &path, std::vector<std::string> *names)
{
    DIR *dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return false;
    names->clear();
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            names->emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names->begin(), names->end());
    return true;
}

// Reads one sysfs attribute file: at most kMaxAttributeBytes, the file itself
// not a symbolic link (the tree was resolved before), only a regular file (a
// FIFO planted in a fake tree must not block discovery). *text gets
// sysfs::attributeText of the bytes. Returns 0, or an errno (ENOENT: no such file).
int readAttribute(const std::string &path, std::string *text)
{
    const int fd = robustOpen(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno;
    struct stat st;
    int rc = 0;
    if (!statDescriptor(fd, &st))
        rc = errno;
    else if (!S_ISREG(st.st_mode))
        rc = EINVAL;
    char bytes[sysfs::kMaxAttributeBytes];
    std::size_t got = 0;
    if (rc == 0)
        rc = readFully(fd, bytes, sizeof bytes, &got);
    robustClose(fd);
    if (rc == 0)
        *text = sysfs::attributeText(bytes, got);
    return rc;
}

// faccessat(2) for reading and writing as the effective user, the way an
// open would be judged: 0, or the errno that refuses it.
int readWriteAccess(const std::string &path)
{
    return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// ---------------------------------------------------------------------------
// Discovery rules over the resolved tree.

// None when the nearest USB interface above `deviceDir` (the first ancestor
// with a bInterfaceClass file, still below `root`) is a mass-storage one;
// *interfaceDir receives it. USB interfaces do not nest, so the nearest one
// is the interface the disk is reached through.
DiskRefusal findMassStorageInterface(const std::string &root, const std::string &deviceDir,
                                     std::string *interfaceDir)
{
    for (std::string dir = sysfs::parentDirectory(deviceDir); sysfs::isBelow(root, dir);
         dir = sysfs::parentDirectory(dir)) {
        std::string interfaceClass;
        const int rc = readAttribute(dir + "/bInterfaceClass", &interfaceClass);
        if (rc == ENOENT)
            continue; // not an interface: a host, a target, a controller
        if (rc != 0 || !sysfs::isMassStorageClass(interfaceClass))
            return DiskRefusal::NotMassStorage;
        *interfaceDir = dir;
        return DiskRefusal::None;
    }
    return DiskRefusal::NotUsb; // not on the USB bus at all
}

// The partitions of the disk whose resolved block directory is `blockDir`:
// its subdirectories (not links) that hold a "partition" file, by name.
std::vector<std::string> partitionsOf(const std::string &root, const std::string &blockDir)
{
    std::vector<std::string> names, partitions;
    if (!listDirectory(blockDir, &names))
        return partitions;
    for (const std::string &name : names) {
        std::string dir, number;
        if (resolvePath(blockDir + "/" + name, &dir) && sysfs::isBelow(root, dir) &&
            sysfs::parentDirectory(dir) == blockDir && readAttribute(dir + "/partition", &number) == 0)
            partitions.push_back(name);
    }
    return partitions;
}

// ---------------------------------------------------------------------------
// Error texts: glibc's GNU strerror_r returns the text, the XSI one fills the
// buffer and returns 0; one of these two picks the message out.

[[maybe_unused]] const char *messageOf(const char *gnuResult, const char *)
{
    return gnuResult;
}

[[maybe_unused]] const char *messageOf(int xsiResult, const char *buffer)
{
    return xsiResult == 0 ? buffer : nullptr;
}

} // namespace

void *allocAligned(std::size_t size)
{
    if (size == 0)
        size = kBufferAlignment;
    const std::size_t rounded = (size + kBufferAlignment - 1) / kBufferAlignment * kBufferAlignment;
    return std::aligned_alloc(kBufferAlignment, rounded);
}

void freeAligned(void *buffer)
{
    std::free(buffer);
}

DiskSystem &osDiskSystem()
{
    static PosixDiskSystem system("/sys", "/dev");
    return system;
}

std::u16string errorText(std::uint32_t code)
{
    if (code > static_cast<std::uint32_t>(INT_MAX))
        return std::u16string();
    char buffer[256] = {};
    const char *text = messageOf(::strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    return text != nullptr ? fromUtf8(text) : std::u16string();
}

// ---------------------------------------------------------------------------
// The handle.

PosixFile::PosixFile(int fd) : fd_(fd) {}

PosixFile::~PosixFile()
{
    robustClose(fd_);
}

bool PosixFile::fail(int code)
{
    lastErrno_ = code;
    setLastError(static_cast<std::uint32_t>(code));
    return false;
}

bool PosixFile::read(void *buffer, std::uint32_t length, std::uint32_t *moved)
{
    std::size_t done = 0;
    const int rc = readFully(fd_, buffer, length, &done);
    if (moved != nullptr)
        *moved = static_cast<std::uint32_t>(done);
    return rc == 0 || fail(rc);
}

bool PosixFile::write(const void *buffer, std::uint32_t length, std::uint32_t *moved)
{
    std::size_t done = 0;
    const int rc = writeFully(fd_, buffer, length, &done);
    if (moved != nullptr)
        *moved = static_cast<std::uint32_t>(done);
    return rc == 0 || fail(rc);
}

std::int64_t PosixFile::seek(std::int64_t offset, SeekOrigin origin)
{
    int whence = SEEK_SET;
    if (origin == SeekOrigin::Current)
        whence = SEEK_CUR;
    else if (origin == SeekOrigin::End)
        whence = SEEK_END;
    const off_t position = ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (position < 0) {
        fail(errno); // lseek leaves the position as it was
        return -1;
    }
    return static_cast<std::int64_t>(position);
}

bool PosixFile::flush()
{
    return robustFsync(fd_) == 0 || fail(errno);
}

std::int64_t PosixFile::size()
{
    struct stat st;
    if (!statDescriptor(fd_, &st)) {
        fail(errno);
        return -1;
    }
    if (!S_ISBLK(st.st_mode))
        return static_cast<std::int64_t>(st.st_size);
    std::uint64_t bytes = 0;
    if (const int rc = blockDeviceBytes(fd_, &bytes)) {
        fail(rc);
        return -1;
    }
    if (bytes > static_cast<std::uint64_t>(INT64_MAX)) {
        fail(EOVERFLOW);
        return -1;
    }
    return static_cast<std::int64_t>(bytes);
}

std::uint32_t PosixFile::sectorSize()
{
    struct stat st;
    if (!statDescriptor(fd_, &st)) {
        fail(errno);
        return 0;
    }
    if (!S_ISBLK(st.st_mode))
        return 0; // a file standing in for a disk has no sectors to tell
    int bytes = 0;
    if (const int rc = blockDeviceSectorSize(fd_, &bytes)) {
        fail(rc);
        return 0;
    }
    // A driver's answer is checked like any input: a size no disk has is none.
    if (bytes <= 0) {
        fail(EINVAL);
        return 0;
    }
    return static_cast<std::uint32_t>(bytes);
}

// ---------------------------------------------------------------------------
// The disk system.

namespace {

// A handle for an opened descriptor; the descriptor is closed when no
// memory for the handle can be had.
Handle adopt(int fd)
{
    auto *handle = new (std::nothrow) PosixFile(fd);
    if (handle == nullptr) {
        robustClose(fd);
        setLastError(ENOMEM);
    }
    return handle;
}

} // namespace

PosixDiskSystem::PosixDiskSystem(std::string sysfsRoot, std::string devRoot)
    : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot))
{
}

DiskRefusal PosixDiskSystem::qualify(const std::string &root, const std::string &blockName,
                                     QualifiedDisk *out)
{
    // Everything is read from resolved paths below the root, so that no link
    // in the tree can lead discovery to a file elsewhere.
    const std::string entry = root + "/block/" + blockName;
    std::string blockDir, deviceDir, interfaceDir;
    if (!resolvePath(entry, &blockDir) || !sysfs::isBelow(root, blockDir))
        return DiskRefusal::Unreadable;
    if (!resolvePath(entry + "/device", &deviceDir) || !sysfs::isBelow(root, deviceDir))
        return DiskRefusal::NoDevice; // a loop or RAM disk

    sysfs::DiskIdentity identity;
    if (readAttribute(deviceDir + "/vendor", &identity.vendor) != 0 ||
        readAttribute(deviceDir + "/model", &identity.model) != 0 ||
        readAttribute(deviceDir + "/rev", &identity.revision) != 0)
        return DiskRefusal::NotScsi; // NVMe, virtio, MMC
    // SATA, SAS, or a USB device of another class
    if (const DiskRefusal refusal = findMassStorageInterface(root, deviceDir, &interfaceDir);
        refusal != DiskRefusal::None)
        return refusal;

    const std::string usbDevice = sysfs::parentDirectory(interfaceDir);
    if (!sysfs::isBelow(root, usbDevice) ||
        readAttribute(usbDevice + "/serial", &identity.serial) != 0)
        identity.serial.clear();

    std::string devText;
    sysfs::DevNumbers dev{0, 0};
    if (readAttribute(blockDir + "/dev", &devText) != 0 || !sysfs::parseDevNumbers(devText, &dev))
        return DiskRefusal::NoDevNumbers;

    std::string devicePath = sysfs::diskDevicePath(identity, blockName);
    if (devicePath.empty())
        return DiskRefusal::NotNameable;
    out->devicePath = std::move(devicePath);
    out->dev = dev;
    return DiskRefusal::None;
}

void PosixDiskSystem::remember(const std::u16string &devicePath, const std::string &blockName)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const KnownDisk &known : known_) {
        if (known.devicePath == devicePath)
            return; // the block name is part of the path: same path, same entry
    }
    known_.push_back(KnownDisk{devicePath, blockName});
}

bool PosixDiskSystem::lookUp(const std::u16string &devicePath, std::string *blockName)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const KnownDisk &known : known_) {
        if (known.devicePath == devicePath) {
            *blockName = known.blockName;
            return true;
        }
    }
    return false;
}

void PosixDiskSystem::enumerateDiskInterfaces(const InterfaceVisitor &visit)
{
    std::string root;
    std::vector<std::string> names;
    if (!resolvePath(sysfsRoot_, &root) || !listDirectory(root + "/block", &names))
        return; // a list that cannot be had is an empty one
    for (const std::string &name : names) {
        QualifiedDisk disk;
        if (qualify(root, name, &disk) != DiskRefusal::None)
            continue;
        const std::u16string path = fromUtf8(disk.devicePath);
        remember(path, name); // before the visit: the visitor may open it at once
        if (!visit(path.c_str()))
            return;
    }
}

void PosixDiskSystem::surveyDisks(const SurveyVisitor &visit)
{
    std::string root;
    std::vector<std::string> names;
    if (!resolvePath(sysfsRoot_, &root) || !listDirectory(root + "/block", &names))
        return;
    for (const std::string &name : names) {
        SurveyedDisk disk;
        disk.name = name;
        QualifiedDisk qualified;
        disk.refusal = qualify(root, name, &qualified);
        if (disk.refusal == DiskRefusal::None) {
            disk.devicePath = fromUtf8(qualified.devicePath);
            remember(disk.devicePath, name); // a survey is a discovery: the path may be opened
        }
        checkAccess(&disk);
        visit(disk);

        std::string blockDir;
        if (!resolvePath(root + "/block/" + name, &blockDir) || !sysfs::isBelow(root, blockDir))
            continue;
        for (const std::string &partition : partitionsOf(root, blockDir)) {
            SurveyedDisk part;
            part.name = partition;
            part.refusal = DiskRefusal::Partition;
            part.parent = name;
            checkAccess(&part);
            visit(part);
        }
    }
}

void PosixDiskSystem::checkAccess(SurveyedDisk *disk) const
{
    const int rc = readWriteAccess(devRoot_ + "/" + disk->name);
    disk->access = rc == 0 ? DiskAccess::ReadWrite : DiskAccess::Denied;
    disk->accessError = static_cast<std::uint32_t>(rc);
}

Handle PosixDiskSystem::openDisk(const char16_t *devicePath)
{
    std::string blockName;
    if (devicePath == nullptr || !lookUp(devicePath, &blockName)) {
        setLastError(ENOENT); // no discovery named it
        return kInvalidHandle;
    }

    // The disk must still be the one that was named: check before opening,
    // open, and check again, so a disk swapped in meanwhile is never used.
    std::string root;
    QualifiedDisk before;
    if (!resolvePath(sysfsRoot_, &root) || qualify(root, blockName, &before) != DiskRefusal::None ||
        fromUtf8(before.devicePath) != devicePath) {
        setLastError(ENOENT);
        return kInvalidHandle;
    }
    const int fd = robustOpen(devRoot_ + "/" + blockName, O_RDWR | O_DIRECT | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        setLastError(static_cast<std::uint32_t>(errno));
        return kInvalidHandle;
    }
    struct stat st;
    if (!statDescriptor(fd, &st)) {
        const int code = errno;
        robustClose(fd);
        setLastError(static_cast<std::uint32_t>(code));
        return kInvalidHandle;
    }
    if (!S_ISBLK(st.st_mode) || st.st_rdev != makedev(before.dev.major, before.dev.minor)) {
        robustClose(fd); // the node is not the disk sysfs described
        setLastError(EACCES);
        return kInvalidHandle;
    }
    QualifiedDisk after;
    if (qualify(root, blockName, &after) != DiskRefusal::None || after.devicePath != before.devicePath ||
        !(after.dev == before.dev)) {
        robustClose(fd);
        setLastError(ENOENT);
        return kInvalidHandle;
    }

    return adopt(fd);
}

Handle PosixDiskSystem::openFile(const char16_t *path)
{
    if (path == nullptr || *path == u'\0') {
        setLastError(ENOENT);
        return kInvalidHandle;
    }
    // The updater names files the Windows way, with backslashes (the release
    // scan writes them so); here they are the directory separators they mean.
    std::string name = toUtf8(path);
    std::replace(name.begin(), name.end(), '\\', '/');
    // O_NONBLOCK keeps a FIFO from hanging the open; it changes nothing for
    // the regular files that are accepted.
    const int fd = robustOpen(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setLastError(static_cast<std::uint32_t>(errno));
        return kInvalidHandle;
    }
    struct stat st;
    int code = 0;
    if (!statDescriptor(fd, &st))
        code = errno;
    else if (S_ISDIR(st.st_mode))
        code = EISDIR;
    else if (!S_ISREG(st.st_mode))
        code = EINVAL; // a device, FIFO or socket is no firmware file
    if (code != 0) {
        robustClose(fd);
        setLastError(static_cast<std::uint32_t>(code));
        return kInvalidHandle;
    }
    return adopt(fd);
}

} // namespace platform
