// The Windows disk system: the present disk interfaces from SetupAPI, disks
// opened raw (no buffering, write-through) by their interface paths, firmware
// files opened read-only. Text stays UTF-16 from end to end: wchar_t is the
// same 16-bit unit as char16_t here.
#include "platform/win32/win32_disk_system.h"

#include "platform/win32/full_path.h"
#include "platform/win32/win32_volumes.h"

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <malloc.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

namespace platform {

namespace {

// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: the disk device interface class.
const GUID kDiskInterfaceGuid = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

const wchar_t *wide(const char16_t *text)
{
    return reinterpret_cast<const wchar_t *>(text);
}

// Keeps the thread's last error for the caller and reports failure.
bool fail()
{
    setLastError(static_cast<std::uint32_t>(GetLastError()));
    return false;
}

// An opened disk or file. A failed call leaves the system's error code in
// the thread's lastError(); the handle keeps none of its own.
class Win32File : public File {
public:
    // `disk`: opened as a disk, whose size only the disk driver tells.
    Win32File(HANDLE handle, bool disk) : handle_(handle), disk_(disk) {}
    ~Win32File() override { CloseHandle(handle_); }

    bool read(void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        DWORD done = 0;
        const BOOL ok = ReadFile(handle_, buffer, length, &done, nullptr);
        *moved = done;
        return ok || fail();
    }

    bool write(const void *buffer, std::uint32_t length, std::uint32_t *moved) override
    {
        DWORD done = 0;
        const BOOL ok = WriteFile(handle_, buffer, length, &done, nullptr);
        *moved = done;
        return ok || fail();
    }

    // SetFilePointer carries the high half of the offset through its pointer
    // argument; a low result of INVALID_SET_FILE_POINTER is an error only when
    // GetLastError then says so.
    std::int64_t seek(std::int64_t offset, SeekOrigin origin) override
    {
        const DWORD method = origin == SeekOrigin::Begin ? FILE_BEGIN
                             : origin == SeekOrigin::Current ? FILE_CURRENT
                                                             : FILE_END;
        LONG high = static_cast<LONG>(offset >> 32);
        SetLastError(NO_ERROR);
        const DWORD low = SetFilePointer(handle_, static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
        if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) {
            fail();
            return -1;
        }
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low);
    }

    bool flush() override { return FlushFileBuffers(handle_) || fail(); }

    // A disk's size from its driver (IOCTL_DISK_GET_LENGTH_INFO; GetFileSize
    // does not tell a disk's), a file's from GetFileSize (both halves). Each
    // falls back to the other: a file opened as a disk (the suites) has no
    // driver length, and a device opened as a file no file size.
    std::int64_t size() override
    {
        if (disk_) {
            const std::int64_t bytes = driverLength();
            return bytes >= 0 ? bytes : fileSize();
        }
        const std::int64_t bytes = fileSize();
        return bytes >= 0 ? bytes : driverLength();
    }

    // A disk's logical sector size from its driver
    // (IOCTL_DISK_GET_DRIVE_GEOMETRY_EX). The reply is the geometry, the
    // disk's size, then partition and detection records that some drivers
    // add: the buffer holds the largest reply, and one cut short after the
    // geometry (ERROR_MORE_DATA) still carries it. 0 with the error for a
    // file (a file opened as a disk in the suites has no geometry either).
    std::uint32_t sectorSize() override
    {
        if (!disk_)
            return 0;
        alignas(8) BYTE reply[sizeof(DISK_GEOMETRY) + sizeof(LARGE_INTEGER) + sizeof(DISK_PARTITION_INFO) +
                              sizeof(DISK_DETECTION_INFO)] = {};
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, reply, sizeof reply, &returned,
                             nullptr) &&
            GetLastError() != ERROR_MORE_DATA) {
            fail();
            return 0;
        }
        DISK_GEOMETRY geometry{};
        if (returned < sizeof geometry) {
            setLastError(ERROR_INVALID_DATA);
            return 0;
        }
        std::memcpy(&geometry, reply, sizeof geometry);
        if (geometry.BytesPerSector == 0)
            setLastError(ERROR_INVALID_DATA);
        return geometry.BytesPerSector;
    }

private:
    std::int64_t fileSize()
    {
        DWORD high = 0;
        SetLastError(NO_ERROR);
        const DWORD low = GetFileSize(handle_, &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
            fail();
            return -1;
        }
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) | low);
    }

    std::int64_t driverLength()
    {
        GET_LENGTH_INFORMATION length{};
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned,
                             nullptr)) {
            fail();
            return -1;
        }
        return length.Length.QuadPart;
    }

    HANDLE handle_; // from CreateFileW, closed by the destructor
    bool disk_;     // opened as a disk
};

// Frees a SetupAPI device information list (an HDEVINFO is a pointer).
struct DeviceInfoListFree {
    void operator()(void *list) const { SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(list)); }
};

class Win32DiskSystem : public DiskSystem {
public:
    void enumerateDiskInterfaces(const InterfaceVisitor &visit) override
    {
        // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE (0x12): the disk interfaces present now.
        HDEVINFO list = SetupDiGetClassDevsW(&kDiskInterfaceGuid, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (list == INVALID_HANDLE_VALUE)
            return; // a list that cannot be had is an empty one
        // Freed however the loop ends: the visitor may throw.
        const std::unique_ptr<void, DeviceInfoListFree> owner(list);
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(list, nullptr, &kDiskInterfaceGuid, index, &data))
                break;
            // First the size of the detail record, then the record itself.
            DWORD needed = 0;
            SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &needed, nullptr);
            if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
                continue;
            std::unique_ptr<DWORD[]> storage(new (std::nothrow) DWORD[(needed + sizeof(DWORD) - 1) / sizeof(DWORD)]);
            if (!storage)
                continue;
            auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.get());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(list, &data, detail, needed, nullptr, nullptr))
                continue;
            const auto *path = reinterpret_cast<const char16_t *>(detail->DevicePath);
            remember(path); // before the visit: the visitor may open it at once
            if (!visit(path))
                break;
        }
    }

    // A disk is opened only by an interface path a discovery delivered.
    Handle openDisk(const char16_t *devicePath) override
    {
        if (devicePath == nullptr || !known(devicePath)) {
            setLastError(ERROR_FILE_NOT_FOUND);
            return kInvalidHandle;
        }
        return adopt(openRawHandle(devicePath), true);
    }

    static HANDLE openRawHandle(const char16_t *path)
    {
        return CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING | FILE_FLAG_RANDOM_ACCESS,
                           nullptr);
    }

    static Handle openRaw(const char16_t *path) { return adopt(openRawHandle(path), true); }

    Handle openFile(const char16_t *path) override
    {
        if (path == nullptr) {
            setLastError(ERROR_FILE_NOT_FOUND);
            return kInvalidHandle;
        }
        // A release folder may lie deeper than 260 units (a network share
        // too): the extended form opens at any length.
        std::u16string full;
        if (!fullExtendedPath(path, &full))
            return kInvalidHandle;
        HANDLE handle = CreateFileW(wide(full.c_str()), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_RANDOM_ACCESS, nullptr);
        return adopt(handle, false);
    }

    // The volumes Windows mounted on a disk a discovery delivered
    // (win32_volumes.cpp).
    bool listVolumes(const char16_t *devicePath, std::vector<MountedVolume> *volumes) override
    {
        volumes->clear();
        if (devicePath == nullptr || !known(devicePath)) {
            setLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        return listWindowsVolumes(devicePath, volumes);
    }

    // A path no discovery delivered has nothing to hold: openDisk refuses it.
    std::unique_ptr<VolumeHold> holdVolumes(const char16_t *devicePath, MountedVolume *refused) override
    {
        if (devicePath == nullptr || !known(devicePath))
            return DiskSystem::holdVolumes(devicePath, refused);
        return holdWindowsVolumes(devicePath, refused);
    }

private:
    static Handle adopt(HANDLE handle, bool disk)
    {
        if (handle == INVALID_HANDLE_VALUE) {
            fail();
            return kInvalidHandle;
        }
        Handle file = new (std::nothrow) Win32File(handle, disk);
        if (file == kInvalidHandle) {
            CloseHandle(handle);
            setLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        return file;
    }

    void remember(const char16_t *path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::u16string &known : known_)
            if (known == path)
                return;
        known_.emplace_back(path);
    }

    bool known(const char16_t *path)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::u16string &known : known_)
            if (known == path)
                return true;
        return false;
    }

    std::mutex mutex_;                 // guards known_
    std::vector<std::u16string> known_; // every path a discovery delivered
};

} // namespace

Handle openFileWithDiskFlags(const char16_t *path)
{
    // "\\.\", "\\?\" and "\\server\" (either slash): devices and shares.
    const auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
    if (path == nullptr || (separator(path[0]) && separator(path[1]))) {
        setLastError(ERROR_ACCESS_DENIED);
        return kInvalidHandle;
    }
    return Win32DiskSystem::openRaw(path);
}

DiskSystem &osDiskSystem()
{
    static Win32DiskSystem system;
    return system;
}

void *allocAligned(std::size_t size)
{
    if (size == 0)
        size = kBufferAlignment;
    return _aligned_malloc(size, kBufferAlignment);
}

void freeAligned(void *buffer)
{
    _aligned_free(buffer);
}

// The system's text for an error code (system message table, no inserts,
// the user's default language), fetched and released, without the line
// break and spaces it ends with.
std::u16string errorText(std::uint32_t code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0x0400, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::u16string out;
    if (length != 0 && text != nullptr) {
        out.assign(reinterpret_cast<const char16_t *>(text), length);
        while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r' || out.back() == u' '))
            out.pop_back();
    }
    if (text != nullptr)
        LocalFree(text);
    return out;
}

} // namespace platform
