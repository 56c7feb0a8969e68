// The device path a Windows machine shows for a USB mass-storage disk:
//   \\?\usbstor#disk&ven_<vendor>&prod_<model>&rev_<rev>#<instance>#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
// Both the Linux backend and the simulated calculator name their disks this
// way, so that discovery above the platform layer sees the same text everywhere.
#pragma once

#include <string>

namespace platform {

// The disk device interface class, as it ends every disk interface path.
extern const char kDiskInterfaceClass[]; // "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"

// One identification field as the USB storage driver shows it: surrounding
// padding (spaces, tabs, NULs, CRs, LFs) trimmed, inner spaces as underscores,
// ASCII lower case. Characters outside printable ASCII, the separators '#' and
// '&', and the slashes '\\' and '/' become underscores, so a field can never
// forge another part of a path.
std::string deviceIdField(const std::string &raw);

// The whole path, each field passed through deviceIdField (the instance keeps
// its '&' separators; any other unsafe character becomes an underscore).
std::string usbStorageDevicePath(const std::string &vendor, const std::string &model,
                                 const std::string &revision, const std::string &instance);

} // namespace platform
