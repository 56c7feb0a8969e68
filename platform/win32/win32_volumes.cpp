// The volumes Windows has mounted on a calculator's disk: found by the disks
// their extents lie on, known by their drive letters and file systems, and
// held (locked, then dismounted) so that the disk's sectors may be written
// raw. The questions go through handles opened with no access, which a
// standard user may open; only the hold opens volumes for reading and
// writing, which takes an administrator's rights. Which volumes are on the
// disk, and what each is called, is platform/volume_match's to say.
#include "platform/win32/win32_volumes.h"

#include "platform/volume_match.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace platform {

namespace {

// A volume's reply is taken for at most this many extents (a real volume has
// a handful; the count comes from the driver and sizes an allocation).
constexpr DWORD kMaxExtents = 256;
// Nor a list of drive letters and mounted folders longer than this, in units.
constexpr DWORD kMaxPathList = 1u << 20;

const wchar_t *wide(const std::u16string &text)
{
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

// A handle from CreateFileW, closed when it goes.
class Opened {
public:
    explicit Opened(HANDLE handle) : handle_(handle) {}
    ~Opened()
    {
        if (valid())
            CloseHandle(handle_);
    }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    HANDLE release()
    {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE handle_;
};

// A volume search from FindFirstVolumeW, closed when it goes.
class VolumeSearch {
public:
    explicit VolumeSearch(HANDLE search) : search_(search) {}
    ~VolumeSearch()
    {
        if (search_ != INVALID_HANDLE_VALUE)
            FindVolumeClose(search_);
    }
    VolumeSearch(const VolumeSearch &) = delete;
    VolumeSearch &operator=(const VolumeSearch &) = delete;
    bool valid() const { return search_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return search_; }

private:
    HANDLE search_;
};

// A device opened with no access: its number and extents may be asked
// without the rights to read or write it. A volume or disk is opened only
// with both sharing flags.
HANDLE openForQuestions(const std::u16string &path)
{
    return CreateFileW(wide(path), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// A volume path ends with the backslash of its root folder; the volume itself
// is opened without it (with it, its file system's root would be opened).
std::u16string volumeDevice(std::u16string path)
{
    if (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path;
}

// The disk number of a disk, or of the disk under a volume of one partition;
// kNoDiskNumber for a device that is no disk (a CD drive numbers its own kind).
bool deviceNumber(HANDLE device, std::uint32_t *number)
{
    STORAGE_DEVICE_NUMBER reply{};
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &reply, sizeof reply, &returned,
                         nullptr))
        return false;
    const bool disk = returned >= sizeof reply && reply.DeviceType == FILE_DEVICE_DISK;
    *number = disk ? std::uint32_t(reply.DeviceNumber) : kNoDiskNumber;
    return true;
}

// The disk of each of a volume's extents. Room for one first: a volume on
// more fails with ERROR_MORE_DATA and says how many it has.
bool extentDisks(HANDLE volume, std::vector<std::uint32_t> *disks)
{
    const std::size_t head = offsetof(VOLUME_DISK_EXTENTS, Extents);
    DWORD room = 1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const std::size_t bytes = std::max(head + room * sizeof(DISK_EXTENT), sizeof(VOLUME_DISK_EXTENTS));
        std::vector<LONGLONG> storage((bytes + sizeof(LONGLONG) - 1) / sizeof(LONGLONG), 0); // DISK_EXTENT's alignment
        auto *reply = reinterpret_cast<VOLUME_DISK_EXTENTS *>(storage.data());
        DWORD returned = 0;
        if (DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, reply, DWORD(bytes), &returned,
                            nullptr)) {
            // Never past the room given, nor past what the reply filled.
            const DWORD filled = returned > head ? DWORD((returned - head) / sizeof(DISK_EXTENT)) : 0;
            const DWORD count = std::min({reply->NumberOfDiskExtents, room, filled});
            for (DWORD e = 0; e < count; ++e)
                disks->push_back(std::uint32_t(reply->Extents[e].DiskNumber));
            return true;
        }
        if (GetLastError() != ERROR_MORE_DATA)
            return false;
        if (reply->NumberOfDiskExtents <= room || reply->NumberOfDiskExtents > kMaxExtents) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        room = reply->NumberOfDiskExtents; // the volume grew between two asks at most twice
    }
    SetLastError(ERROR_MORE_DATA);
    return false;
}

// Its drive letters and mounted folders; none when they cannot be had (the
// volume is then known by its path).
std::vector<std::u16string> mountPointsOf(const std::u16string &volumePath)
{
    std::vector<std::u16string> points;
    DWORD room = MAX_PATH + 1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        // Two more NULs than offered: the list ends even where a reply did not end it.
        std::vector<wchar_t> list(std::size_t(room) + 2, L'\0');
        DWORD needed = 0;
        if (GetVolumePathNamesForVolumeNameW(wide(volumePath), list.data(), room, &needed)) {
            std::u16string point;
            for (const wchar_t unit : list) {
                if (unit != L'\0') {
                    point += char16_t(unit);
                    continue;
                }
                if (point.empty())
                    break; // the empty string that ends the list
                points.push_back(point);
                point.clear();
            }
            return points;
        }
        if (GetLastError() != ERROR_MORE_DATA || needed <= room || needed > kMaxPathList)
            break;
        room = needed;
    }
    return points;
}

// Its file system's name: "RAW" for a volume whose file system nothing
// recognised (ERROR_UNRECOGNIZED_VOLUME, "The volume does not contain a
// recognized file system"); empty when it cannot be told.
std::u16string fileSystemOf(const std::u16string &volumePath)
{
    // A drive without its medium fails at once instead of asking for one in a box.
    DWORD previous = 0;
    const bool quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous) != 0;
    wchar_t name[MAX_PATH + 1] = {};
    const BOOL told =
        GetVolumeInformationW(wide(volumePath), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1);
    const DWORD error = told ? ERROR_SUCCESS : GetLastError();
    if (quiet)
        SetThreadErrorMode(previous, nullptr);
    if (told) {
        name[MAX_PATH] = L'\0';
        return std::u16string(reinterpret_cast<const char16_t *>(name));
    }
    return error == ERROR_UNRECOGNIZED_VOLUME ? std::u16string(u"RAW") : std::u16string();
}

// Every volume of the machine with the disks under it; the drive letters and
// file system only of those on `disk` (the others are no business of ours,
// and asking a drive without its medium takes time).
std::vector<VolumeFacts> volumesOf(std::uint32_t disk)
{
    std::vector<VolumeFacts> volumes;
    wchar_t name[MAX_PATH + 1] = {};
    const VolumeSearch search(FindFirstVolumeW(name, MAX_PATH + 1));
    if (!search.valid())
        return volumes; // none
    do {
        name[MAX_PATH] = L'\0';
        VolumeFacts volume;
        volume.path = reinterpret_cast<const char16_t *>(name);
        const Opened device(openForQuestions(volumeDevice(volume.path)));
        // A volume that tells no extents (some kinds do not) is asked for
        // its one disk; one that tells neither lies on no disk of ours.
        if (device.valid() && !extentDisks(device.get(), &volume.disks)) {
            std::uint32_t number = kNoDiskNumber;
            if (deviceNumber(device.get(), &number))
                volume.disks.push_back(number);
        }
        if (std::find(volume.disks.begin(), volume.disks.end(), disk) != volume.disks.end()) {
            volume.mountPoints = mountPointsOf(volume.path);
            volume.fileSystem = fileSystemOf(volume.path);
        }
        volumes.push_back(std::move(volume));
    } while (FindNextVolumeW(search.get(), name, MAX_PATH + 1)); // ERROR_NO_MORE_FILES at the end
    return volumes;
}

// The calculator's disk number, from its interface path.
bool calculatorDisk(const char16_t *devicePath, std::uint32_t *disk)
{
    const Opened device(openForQuestions(devicePath));
    if (device.valid() && deviceNumber(device.get(), disk))
        return true;
    setLastError(static_cast<std::uint32_t>(GetLastError()));
    return false;
}

// The volumes a hold has locked and dismounted, unlocked and closed when it
// goes; the last held first. Unlocking a volume whose disk has gone fails,
// and closing lets it go all the same.
class Win32VolumeHold : public VolumeHold {
public:
    ~Win32VolumeHold() override
    {
        for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
            DWORD returned = 0;
            DeviceIoControl(*it, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            CloseHandle(*it);
        }
    }

    std::vector<HANDLE> held_; // locked volumes, in the order held
};

} // namespace

bool listWindowsVolumes(const char16_t *devicePath, std::vector<MountedVolume> *volumes)
{
    volumes->clear();
    try {
        std::uint32_t disk = kNoDiskNumber;
        if (!calculatorDisk(devicePath, &disk))
            return false;
        *volumes = mountedOnDisk(volumesOf(disk), disk);
        return true;
    } catch (...) { // no memory for the lists
        volumes->clear();
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

std::unique_ptr<VolumeHold> holdWindowsVolumes(const char16_t *devicePath, MountedVolume *refused)
{
    try {
        auto hold = std::make_unique<Win32VolumeHold>();
        std::uint32_t disk = kNoDiskNumber;
        if (!calculatorDisk(devicePath, &disk))
            return hold;
        const std::vector<VolumeFacts> volumes = volumesOf(disk);
        for (const std::size_t v : volumesOnDisk(volumes, disk)) {
            if (!needsHold(volumes[v].fileSystem))
                continue;
            hold->held_.reserve(hold->held_.size() + 1); // the push below cannot fail once locked
            // Locking needs a handle opened for reading and writing, sharing
            // both; the lock fails while any file on the volume is open, and
            // the dismount then lets the file system go for as long as the
            // lock holds (unlocked, the system mounts it again at its next use).
            Opened volume(CreateFileW(wide(volumeDevice(volumes[v].path)), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
            DWORD returned = 0;
            bool held = volume.valid() &&
                        DeviceIoControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
            if (held) {
                hold->held_.push_back(volume.release());
                held = DeviceIoControl(hold->held_.back(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned,
                                       nullptr) != 0;
            }
            if (!held) {
                const DWORD error = GetLastError();
                hold.reset(); // what was held so far goes back
                if (refused != nullptr)
                    *refused = {volumeName(volumes[v]), volumes[v].fileSystem};
                setLastError(static_cast<std::uint32_t>(error));
                return nullptr;
            }
        }
        return hold;
    } catch (...) { // no memory for the lists
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

} // namespace platform
