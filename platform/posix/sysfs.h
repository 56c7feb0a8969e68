// The parsing half of disk discovery on Linux: what the bytes of sysfs files
// mean, and how a disk found there is named. Pure functions over bytes already
// read, so that tests and the fuzzer can feed them anything; the system calls
// that fetch the bytes live in posix_disk_system.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {
namespace sysfs {

// Most bytes taken from one attribute file; the kernel's attributes fit a page.
constexpr std::size_t kMaxAttributeBytes = 4096;

// Device numbers as a block entry's "dev" attribute shows them.
struct DevNumbers {
    std::uint32_t major; // the driver
    std::uint32_t minor; // the disk within the driver
};

inline bool operator==(const DevNumbers &a, const DevNumbers &b)
{
    return a.major == b.major && a.minor == b.minor;
}

// What names a disk in its device path, as read from sysfs (padding allowed).
struct DiskIdentity {
    std::string vendor;   // SCSI inquiry vendor, 8 columns: "XQ      "
    std::string model;    // SCSI inquiry product, 16 columns
    std::string revision; // SCSI inquiry revision, 4 columns
    std::string serial;   // USB serial number of the device; empty when it has none
};

// The text of an attribute file's bytes: cut at the first NUL, surrounding
// whitespace (space, tab, CR, LF) trimmed. Looks at most kMaxAttributeBytes.
std::string attributeText(const char *bytes, std::size_t length);

// Parses a "dev" attribute ("MAJ:MIN", decimal, each fitting 32 bits) as
// attributeText left it. False, *out untouched, on anything else.
bool parseDevNumbers(const std::string &text, DevNumbers *out);

// True when a "bInterfaceClass" attribute names USB mass storage (class 08).
bool isMassStorageClass(const std::string &text);

// The device path of a disk: usbStorageDevicePath(vendor, model, revision,
// serial + "&" + blockName), the serial as a device id field ("0" when it is
// empty). Empty when the block name is empty or would not appear verbatim in
// the path (so the path always maps back to exactly one block entry).
std::string diskDevicePath(const DiskIdentity &identity, const std::string &blockName);

// True when `path` lies strictly below directory `root`; both absolute and
// already resolved (no "." / ".." / symbolic links), without a trailing '/'
// except for "/" itself.
bool isBelow(const std::string &root, const std::string &path);

// The directory holding a resolved absolute path: "/a/b" -> "/a", "/a" -> "/",
// "/" -> "/".
std::string parentDirectory(const std::string &path);

} // namespace sysfs
} // namespace platform
