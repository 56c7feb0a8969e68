#include "emulator/cart.h"

#include "emulator/emulated_disk_system.h"
#include "emulator/simulation_settings.h"
#include "platform/clock.h"

#include <algorithm>
#include <utility>

namespace emulator {

Cart::Cart(EmulatedDiskSystem &disks, std::vector<Config> calculators, std::uint32_t ports,
           std::uint64_t swapMs, std::string outputFolder)
    : disks_(disks), configs_(std::move(calculators)), ports_(std::max<std::uint32_t>(ports, 1)),
      swapMs_(swapMs), outputFolder_(std::move(outputFolder))
{
}

void Cart::start()
{
    for (std::size_t p = 0; p < ports_.size() && plugged_.size() < configs_.size(); ++p) {
        if (!ports_[p].busy)
            plugInto(ports_[p], p + 1);
    }
}

void Cart::plugInto(Port &port, std::size_t portNumber)
{
    Config config = configs_[plugged_.size()];
    config.identity.location = std::to_string(portNumber);
    port = Port();
    port.index = plugged_.size();
    port.busy = true;
    plugged_.push_back(disks_.attach(config));
}

bool Cart::givenUp(const std::u16string &devicePath)
{
    for (Port &port : ports_) {
        if (port.busy && !port.ended && plugged_[port.index]->devicePath() == devicePath) {
            port.ended = true;
            port.endedAtMs = platform::nowMs();
            return true;
        }
    }
    return false;
}

bool Cart::givenUpNamed(const std::string &identity)
{
    for (const Port &port : ports_) {
        if (!port.busy || port.ended)
            continue;
        const Identity &named = configs_[port.index].identity;
        const std::string location = std::to_string(std::size_t(&port - ports_.data()) + 1);
        if (identity == named.serial || identity == named.serial + "&" + location)
            return givenUp(plugged_[port.index]->devicePath());
    }
    return false;
}

bool Cart::poll(std::string *error)
{
    bool saved = true;
    for (std::size_t p = 0; p < ports_.size(); ++p) {
        Port &port = ports_[p];
        if (!port.busy)
            continue;
        const std::shared_ptr<Calculator> &calculator = plugged_[port.index];
        const std::uint64_t now = platform::nowMs();
        if (!port.ended) {
            const std::vector<std::string> trace = calculator->trace();
            if (std::find(trace.begin(), trace.end(), "end-session") == trace.end())
                continue;
            port.ended = true;
            port.endedAtMs = now;
        }
        if (now - port.endedAtMs < swapMs_)
            continue;
        // Pulled out: it leaves the enumeration at once, for good.
        Faults faults = calculator->faults();
        faults.unplugAfterBytes = 0;
        faults.replugAfterMs = -1;
        calculator->setFaults(faults);
        calculator->isPresent(); // the unplug takes effect (and is traced) now
        ++served_;
        std::string reason;
        if (!outputFolder_.empty() && !saveCalculator(*calculator, port.index + 1, outputFolder_, &reason)) {
            if (saved && error)
                *error = reason;
            saved = false;
        }
        port.busy = false;
        if (plugged_.size() < configs_.size())
            plugInto(port, p + 1);
    }
    return saved;
}

} // namespace emulator
