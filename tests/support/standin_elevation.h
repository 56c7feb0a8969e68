// A stand-in for the system's elevation prompt (platform/elevation.h): it
// starts nothing, records what it was asked to start, and either gives a
// "copy" whose exit code is the test's, or fails as the system does
// (platform::kElevationDeclined when the person says no).
#pragma once

#include "platform/disk_system.h"
#include "platform/elevation.h"

#include <functional>

namespace testsupport {

class StandInElevation : public platform::Elevation {
public:
    std::uint32_t refusal = 0;  // 0: the copy starts; otherwise the system's code the start fails with
    std::uint32_t exitCode = 0; // the started copy's
    std::function<void()> onStart; // runs as the copy would be started: a test looks at the world then
    int starts = 0;
    std::u16string program;
    std::vector<std::u16string> arguments;

    std::unique_ptr<platform::ElevatedProcess> start(const std::u16string &startedProgram,
                                                     const std::vector<std::u16string> &startedArguments,
                                                     const std::u16string &, std::uintptr_t) override
    {
        ++starts;
        program = startedProgram;
        arguments = startedArguments;
        if (onStart)
            onStart();
        if (refusal != 0) {
            platform::setLastError(refusal);
            return nullptr;
        }
        return std::make_unique<Copy>(exitCode);
    }

private:
    struct Copy : platform::ElevatedProcess {
        explicit Copy(std::uint32_t code) : code(code) {}
        bool waitForExit(std::uint32_t *exitCode) override
        {
            *exitCode = code;
            return true;
        }
        std::uint32_t code;
    };
};

} // namespace testsupport
