// tavix-calcfs: simulated calculators behind real block devices.
//
// Each disk is a simulated calculator (the emulator's Calculator: identity,
// disk contents, command area and replies, faults, trace) served as one file
// of a FUSE file system mounted with direct I/O, so every sector the kernel
// reads or writes reaches the calculator. A loop device is attached to each
// file (direct I/O, cleared automatically on the last close), and a fake sysfs
// tree names each loop device as what it stands for: a USB mass-storage disk
// of vendor "XQ", product "Tavix update" for a calculator, or another kind of
// disk given with --other. Bind-mounted over /sys in a private mount
// namespace, the tree lets the updater find the calculators on its ordinary
// path. An unplugged calculator leaves the tree (and fails every I/O) and
// comes back to it when the calculator is replugged.
//
//   tavix-calcfs WORKDIR [--other sata | --other usb:VENDOR:PRODUCT]...
//
// The calculators come from the simulator's settings (TAVIX_SIM_CALCULATORS,
// TAVIX_SIM_DISK_MIB, TAVIX_SIM_BYTES_PER_SEC, TAVIX_SIM_FAULTS,
// TAVIX_SIM_ATTACH_MS, TAVIX_SIM_OUTPUT); the other disks are plain disks of
// the same size that the updater must never touch. WORKDIR must exist; the
// mount point is made in it. When everything is up, standard output says
//
//   sysfs <root of the fake tree>
//   disk <N> <calculator|other> /dev/loopX <major>:<minor>
//   ready
//
// Exit code 3 means the machine refused a FUSE mount or a loop device.
// SIGTERM or SIGINT (or the death of the parent) ends it: the loop devices
// are detached, the file system unmounted, and then, when TAVIX_SIM_OUTPUT is
// set, calculator-N.img/.trace and other-N.img/.trace are written there.
// Killed outright, the kernel still cleans up: the loop devices clear
// themselves when their last opener goes, and fusermount3 (auto_unmount)
// unmounts the file system.
#define FUSE_USE_VERSION 31

#include "emulator/calculator.h"
#include "emulator/simulation_settings.h"
#include "platform/clock.h"
#include "support/fake_sysfs.h"

#include <fuse.h>

#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t kSector = emulator::kSectorSize;
// The exit code when this machine refuses what it needs (a FUSE mount, a loop
// device), as against a failure of its own: a suite skips on it.
constexpr int kRefused = 3;

struct Disk {
    std::shared_ptr<emulator::Calculator> calculator;
    QByteArray otherKind;    // empty for a calculator; "sata" or "usb" for the other disks
    QByteArray vendor, product;
    QByteArray serial;
    std::atomic<std::uint64_t> attachment{0}; // of the calculator; 0: none yet
    std::mutex reopen;
    int loopFd = -1;
    std::string loopDevice; // "/dev/loopX"
    std::string blockName;  // "loopX"
    testsupport::DevNumbers dev;
    bool shown = false; // in the fake tree now
};

std::vector<std::unique_ptr<Disk>> disks;

void fail(const std::string &what)
{
    std::fprintf(stderr, "tavix-calcfs: %s\n", what.c_str());
}

// "/disk-N" -> N, or -1.
int diskIndex(const char *path)
{
    if (std::strncmp(path, "/disk-", 6) != 0)
        return -1;
    char *end = nullptr;
    const long n = std::strtol(path + 6, &end, 10);
    if (end == path + 6 || *end != '\0' || n < 0 || n >= long(disks.size()))
        return -1;
    return int(n);
}

// The calculator's I/O on its current attachment. A calculator that was
// unplugged and is back gets a new attachment: the kernel's loop device stays,
// as a USB disk's block device would come back under its name.
template <typename Io>
int withAttachment(Disk &disk, Io io)
{
    std::uint32_t error = 0; // the system's own code: errno here
    std::uint64_t attachment = disk.attachment.load();
    if (attachment != 0 && io(attachment, &error))
        return 0;
    if (attachment == 0 || error == ENODEV) {
        std::lock_guard<std::mutex> lock(disk.reopen);
        if (disk.attachment.load() == attachment) {
            std::uint64_t fresh = 0;
            if (!disk.calculator->open(&fresh, &error))
                return -EIO;
            disk.attachment.store(fresh);
        }
        if (io(disk.attachment.load(), &error))
            return 0;
    }
    return -EIO;
}

// A sector-aligned buffer of this FUSE thread (the calculator takes whole
// sectors at aligned addresses, as an unbuffered disk does).
std::uint8_t *bounce(std::size_t size)
{
    struct Buffer {
        void *data = nullptr;
        std::size_t size = 0;
        ~Buffer() { std::free(data); }
    };
    thread_local Buffer buffer;
    if (buffer.size < size) {
        std::free(buffer.data);
        buffer.data = nullptr;
        buffer.size = 0;
        if (posix_memalign(&buffer.data, 4096, size) != 0)
            return nullptr;
        buffer.size = size;
    }
    return static_cast<std::uint8_t *>(buffer.data);
}

int fsGetattr(const char *path, struct stat *st, fuse_file_info *)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const int n = diskIndex(path);
    if (n < 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0600;
    st->st_nlink = 1;
    st->st_size = off_t(disks[std::size_t(n)]->calculator->diskBytes());
    return 0;
}

int fsReaddir(const char *path, void *out, fuse_fill_dir_t fill, off_t, fuse_file_info *, fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(out, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(out, "..", nullptr, 0, fuse_fill_dir_flags(0));
    for (std::size_t i = 0; i < disks.size(); ++i)
        fill(out, ("disk-" + std::to_string(i)).c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int fsOpen(const char *path, fuse_file_info *fi)
{
    const int n = diskIndex(path);
    if (n < 0)
        return -ENOENT;
    fi->fh = std::uint64_t(n);
    fi->direct_io = 1; // no page cache: every read and write comes here
    return 0;
}

int fsRead(const char *, char *out, size_t size, off_t offset, fuse_file_info *fi)
{
    Disk &disk = *disks[fi->fh];
    const std::uint64_t end = disk.calculator->diskBytes();
    if (offset < 0 || std::uint64_t(offset) >= end)
        return 0;
    if (std::uint64_t(offset) + size > end)
        size = std::size_t(end - std::uint64_t(offset));
    if (offset % kSector != 0 || size % kSector != 0)
        return -EINVAL;
    std::uint8_t *buffer = bounce(size);
    if (buffer == nullptr)
        return -ENOMEM;
    const int rc = withAttachment(disk, [&](std::uint64_t attachment, std::uint32_t *error) {
        return disk.calculator->read(attachment, offset, buffer, std::uint32_t(size), error);
    });
    if (rc != 0)
        return rc;
    std::memcpy(out, buffer, size);
    return int(size);
}

int fsWrite(const char *, const char *in, size_t size, off_t offset, fuse_file_info *fi)
{
    Disk &disk = *disks[fi->fh];
    if (offset < 0 || offset % kSector != 0 || size % kSector != 0)
        return -EINVAL;
    if (std::uint64_t(offset) + size > disk.calculator->diskBytes())
        return -ENOSPC;
    std::uint8_t *buffer = bounce(size);
    if (buffer == nullptr)
        return -ENOMEM;
    std::memcpy(buffer, in, size);
    const int rc = withAttachment(disk, [&](std::uint64_t attachment, std::uint32_t *error) {
        return disk.calculator->write(attachment, offset, buffer, std::uint32_t(size), error);
    });
    return rc != 0 ? rc : int(size);
}

int fsFsync(const char *, int, fuse_file_info *fi)
{
    Disk &disk = *disks[fi->fh];
    return withAttachment(disk, [&](std::uint64_t attachment, std::uint32_t *error) {
        return disk.calculator->flush(attachment, error);
    });
}

// The disk's entry in the fake tree, as the kind of disk it is.
bool showDisk(testsupport::FakeSysfs &sysfs, Disk &disk)
{
    const QString block = QString::fromStdString(disk.blockName);
    QString added;
    if (disk.otherKind != "sata")
        added = sysfs.addUsbDisk(block, disk.vendor, disk.product, "1.00", disk.serial, "08", disk.dev);
    else
        added = sysfs.addSataDisk(block, "ATA", "Samsung SSD 860", "4B6Q", disk.dev);
    disk.shown = !added.isEmpty();
    return disk.shown;
}

// Attaches a loop device to `file`: direct I/O, 512-byte sectors, cleared by
// the kernel once its last opener (this process, at the latest when it dies)
// closes it.
bool attachLoop(const std::string &file, Disk &disk, std::string *error, bool *refused)
{
    const int backing = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (backing < 0) {
        *error = "cannot open " + file + ": " + std::strerror(errno);
        return false;
    }
    const int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) {
        *error = std::string("cannot open /dev/loop-control: ") + std::strerror(errno);
        *refused = true;
        ::close(backing);
        return false;
    }
    bool ok = false;
    for (int attempt = 0; attempt < 20 && !ok; ++attempt) {
        const int number = ::ioctl(control, LOOP_CTL_GET_FREE);
        if (number < 0) {
            *error = std::string("no free loop device: ") + std::strerror(errno);
            *refused = true;
            break;
        }
        const std::string device = "/dev/loop" + std::to_string(number);
        const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            *error = "cannot open " + device + ": " + std::strerror(errno);
            continue;
        }
        loop_config config;
        std::memset(&config, 0, sizeof config);
        config.fd = std::uint32_t(backing);
        config.block_size = kSector;
        config.info.lo_flags = LO_FLAGS_DIRECT_IO | LO_FLAGS_AUTOCLEAR;
        std::snprintf(reinterpret_cast<char *>(config.info.lo_file_name), LO_NAME_SIZE, "%s", file.c_str());
        int rc = ::ioctl(fd, LOOP_CONFIGURE, &config);
        if (rc != 0 && errno == EINVAL) {
            // A kernel whose loop driver cannot do direct I/O on this file:
            // buffered, the loop device still reaches every sector, as the
            // file itself has no cache (direct_io).
            config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
            rc = ::ioctl(fd, LOOP_CONFIGURE, &config);
        }
        if (rc != 0) {
            *error = "LOOP_CONFIGURE on " + device + ": " + std::strerror(errno);
            ::close(fd);
            if (errno == EBUSY)
                continue; // taken by someone else meanwhile
            break;
        }
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            *error = "cannot stat " + device;
            ::ioctl(fd, LOOP_CLR_FD, 0);
            ::close(fd);
            break;
        }
        disk.loopFd = fd;
        disk.loopDevice = device;
        disk.blockName = "loop" + std::to_string(number);
        disk.dev.major = ::major(st.st_rdev);
        disk.dev.minor = ::minor(st.st_rdev);
        ok = true;
    }
    ::close(control);
    ::close(backing); // the loop device holds its own reference
    return ok;
}

void detachLoop(Disk &disk)
{
    if (disk.loopFd < 0)
        return;
    ::ioctl(disk.loopFd, LOOP_CLR_FD, 0);
    ::close(disk.loopFd);
    disk.loopFd = -1;
}

bool parseOther(const std::string &text, Disk &disk)
{
    if (text == "sata") {
        disk.otherKind = "sata";
        return true;
    }
    if (text.compare(0, 4, "usb:") != 0)
        return false;
    const std::size_t colon = text.find(':', 4);
    if (colon == std::string::npos || colon == 4 || colon + 1 == text.size())
        return false;
    disk.otherKind = "usb";
    disk.vendor = QByteArray::fromStdString(text.substr(4, colon - 4));
    disk.product = QByteArray::fromStdString(text.substr(colon + 1));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // The parent (a suite, a benchmark) going away ends this too.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (argc < 2) {
        fail("usage: tavix-calcfs WORKDIR [--other sata | --other usb:VENDOR:PRODUCT]...");
        return 2;
    }
    const std::string work = argv[1];
    std::string error;
    emulator::SimulationSettings settings;
    if (!emulator::simulationSettingsFromEnvironment(&settings, &error)) {
        fail(error);
        return 2;
    }
    std::uint64_t diskBytes = 64ull << 20;
    for (emulator::Config &config : settings.calculators) {
        auto disk = std::make_unique<Disk>();
        diskBytes = config.diskBytes;
        disk->vendor = QByteArray::fromStdString(config.identity.vendor);
        disk->product = QByteArray::fromStdString(config.identity.product);
        disk->serial = QByteArray::fromStdString(config.identity.serial);
        disk->calculator = std::make_shared<emulator::Calculator>(config);
        disks.push_back(std::move(disk));
    }
    for (int i = 2; i < argc; ++i) {
        auto disk = std::make_unique<Disk>();
        if (std::strcmp(argv[i], "--other") != 0 || i + 1 >= argc || !parseOther(argv[i + 1], *disk)) {
            fail(std::string("bad argument '") + argv[i] + "'");
            return 2;
        }
        ++i;
        disk->serial = "OTHER" + QByteArray::number(int(disks.size()));
        emulator::Config config;
        config.identity.bus = disk->otherKind.toStdString();
        config.identity.serial = disk->serial.toStdString();
        config.diskBytes = diskBytes;
        disk->calculator = std::make_shared<emulator::Calculator>(config);
        disks.push_back(std::move(disk));
    }

    // Every thread started from here on inherits the blocked signals; the main
    // thread takes them with sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    const std::string mountPoint = work + "/mnt";
    if (::mkdir(mountPoint.c_str(), 0700) != 0 && errno != EEXIST) {
        fail("cannot make " + mountPoint);
        return 1;
    }
    fuse_operations ops;
    std::memset(&ops, 0, sizeof ops);
    ops.getattr = fsGetattr;
    ops.readdir = fsReaddir;
    ops.open = fsOpen;
    ops.read = fsRead;
    ops.write = fsWrite;
    ops.fsync = fsFsync;
    char program[] = "tavix-calcfs";
    char dashO[] = "-o";
    char options[] = "auto_unmount,fsname=tavix-calcfs,subtype=tavix-calcfs";
    char *fuseArgv[] = {program, dashO, options, nullptr};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    fuse *fs = fuse_new(&args, &ops, sizeof ops, nullptr);
    fuse_opt_free_args(&args); // fuse_new may have copied them
    if (fs == nullptr) {
        fail("fuse_new failed");
        return 1;
    }
    if (fuse_mount(fs, mountPoint.c_str()) != 0) {
        fail("cannot mount the calculators' file system on " + mountPoint +
             " (is /dev/fuse there, and fusermount3?)");
        fuse_destroy(fs);
        return kRefused;
    }
    std::thread server([fs] { fuse_loop_mt(fs, 0); });

    int status = 0;
    testsupport::FakeSysfs sysfs;
    if (!sysfs.isValid()) {
        fail("cannot make the fake sysfs tree");
        status = 1;
    }
    for (std::size_t i = 0; i < disks.size() && status == 0; ++i) {
        bool refused = false;
        if (!attachLoop(mountPoint + "/disk-" + std::to_string(i), *disks[i], &error, &refused)) {
            fail(error);
            status = refused ? kRefused : 1;
        }
    }

    std::atomic<bool> stopping{false};
    std::thread presence;
    if (status == 0) {
        // The tree follows each calculator's presence: an unplug takes its
        // entry away, a replug (or a late attach) puts it back.
        auto follow = [&] {
            for (auto &disk : disks) {
                const bool present = disk->calculator->isPresent();
                if (present && !disk->shown)
                    showDisk(sysfs, *disk);
                else if (!present && disk->shown)
                    disk->shown = !sysfs.removeDisk(QString::fromStdString(disk->blockName));
            }
        };
        follow();
        presence = std::thread([&] {
            while (!stopping.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                follow();
            }
        });
        std::printf("sysfs %s\n", sysfs.rootPath().c_str());
        for (std::size_t i = 0; i < disks.size(); ++i)
            std::printf("disk %zu %s %s %u:%u\n", i, disks[i]->otherKind.isEmpty() ? "calculator" : "other",
                        disks[i]->loopDevice.c_str(), disks[i]->dev.major, disks[i]->dev.minor);
        std::printf("ready\n");
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stop, &signal);
    }

    stopping.store(true);
    if (presence.joinable())
        presence.join();
    for (auto &disk : disks)
        detachLoop(*disk);
    // The loop devices have let go of their files: the server ends once the
    // file system is gone.
    fuse_exit(fs);
    fuse_unmount(fs);
    server.join();
    fuse_destroy(fs);

    if (status == 0 && !settings.outputFolder.empty()) {
        std::vector<std::shared_ptr<emulator::Calculator>> calculators, others;
        for (auto &disk : disks)
            (disk->otherKind.isEmpty() ? calculators : others).push_back(disk->calculator);
        if (!emulator::saveCalculators(calculators, settings.outputFolder, &error)) {
            fail(error);
            status = 1;
        }
        for (std::size_t i = 0; i < others.size() && status == 0; ++i) {
            const std::string base = settings.outputFolder + "/other-" + std::to_string(i + 1);
            if (!others[i]->saveImage(base + ".img") || !others[i]->saveTrace(base + ".trace")) {
                fail("cannot save " + base);
                status = 1;
            }
        }
    }
    return status;
}
