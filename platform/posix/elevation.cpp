#include "platform/elevation.h"

#include "platform/disk_system.h"

#include <cerrno>

namespace platform {

namespace {

// Nothing elevates here: a disk this user may not open wants the udev rule,
// or the updater run as root.
class NoElevation : public Elevation {
public:
    std::unique_ptr<ElevatedProcess> start(const std::u16string &, const std::vector<std::u16string> &,
                                           const std::u16string &, std::uintptr_t) override
    {
        setLastError(ENOSYS);
        return nullptr;
    }
};

} // namespace

Elevation &osElevation()
{
    static NoElevation none;
    return none;
}

} // namespace platform
