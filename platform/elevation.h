// Starting the updater again with an administrator's rights: the way through
// when Windows refuses this user a calculator's disk, taken only when the
// person asks for it. Behind a seam, as the disk system is, so that the suites
// put a stand-in in its place: the system's own is Windows' elevation prompt
// (ShellExecuteEx "runas"); POSIX has none (the udev rule, or root, is the way
// there).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The system's code for a person who said no to the prompt (Windows'
// ERROR_CANCELLED); a stand-in gives it to act so.
constexpr std::uint32_t kElevationDeclined = 1223;

// A copy of the program started elevated.
class ElevatedProcess {
public:
    virtual ~ElevatedProcess() = default;
    // Waits for it to end, the calling thread answering its windows'
    // messages meanwhile; true with its exit code, false (lastError() says
    // why) when that cannot be had.
    virtual bool waitForExit(std::uint32_t *exitCode) = 0;
};

class Elevation {
public:
    virtual ~Elevation() = default;
    // Starts `program` (its absolute path) elevated with `arguments`, each
    // one passed whole (quoted here as the system needs), in `workingFolder`
    // (empty: this one's); `window` is the asking window's system handle
    // (0: none), the owner of what the system shows. Blocks while the system
    // asks the person. Null, with lastError(), when nothing was started:
    // kElevationDeclined when the person said no.
    virtual std::unique_ptr<ElevatedProcess> start(const std::u16string &program,
                                                   const std::vector<std::u16string> &arguments,
                                                   const std::u16string &workingFolder, std::uintptr_t window) = 0;
};

// The process-wide elevation: the operating system's unless a test installed
// a stand-in (null puts the system's back).
Elevation &activeElevation();
void installElevation(Elevation *elevation);
Elevation &osElevation();

// `arguments` as one Windows command line that CommandLineToArgvW and the C
// runtime split into exactly these arguments again: an argument that is
// empty or holds a space, a tab, a line break or a quote goes in quotes, a
// quote inside it and the backslashes just before a quote (or before the
// closing quote) escaped with a backslash each; arguments apart by one space.
std::u16string windowsCommandLine(const std::vector<std::u16string> &arguments);

} // namespace platform
