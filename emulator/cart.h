// A cart of calculators going through a hub, as a teacher handles it: the
// first calculators fill the hub's ports; each is unplugged a while after its
// session ended (it got its end of session, or the updater gave it up), is
// saved as calculator-K (K: its place in plugging order), and the next one is
// plugged into the freed port, until every calculator has been served.
//
// The cart is driven from outside: poll() looks at the calculators at
// platform::nowMs() and does what is due, so a test runs it on the simulated
// clock and the simulator from a timer. Not thread-safe: call it from one
// thread (the calculators themselves may be used by others meanwhile).
#pragma once

#include "emulator/calculator.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emulator {

class EmulatedDiskSystem;

class Cart {
public:
    // `calculators`: all of them, in plugging order (their location is set to
    // the port, 1 to `ports`). `ports` at least 1; `outputFolder` empty: none
    // is saved. The disk system must outlive the cart.
    Cart(EmulatedDiskSystem &disks, std::vector<Config> calculators, std::uint32_t ports,
         std::uint64_t swapMs, std::string outputFolder);

    // Plugs the first calculators into ports 1, 2, ... (at most `ports`).
    void start();

    // The updater gave up the calculator at this device path: it is unplugged
    // swapMs from now, as after an end of session. False when no calculator
    // in a port has that path, or its session had already ended.
    bool givenUp(const std::u16string &devicePath);
    // The same for the calculator in a port that the updater's window names
    // `identity`: its serial, or serial&port where serials collide.
    bool givenUpNamed(const std::string &identity);

    // Does what is due by now: a calculator whose trace shows its end of
    // session is noted; one whose session ended swapMs ago or more is
    // unplugged, saved and replaced. False, with the reason in *error, when a
    // calculator could not be saved (the cart goes on all the same).
    bool poll(std::string *error);

    std::size_t pluggedCount() const { return plugged_.size(); } // plugged in so far
    std::size_t servedCount() const { return served_; }          // unplugged again
    bool finished() const { return served_ == configs_.size(); }
    // Every calculator plugged in so far, in plugging order.
    const std::vector<std::shared_ptr<Calculator>> &plugged() const { return plugged_; }

private:
    struct Port {
        std::size_t index = 0;       // into plugged_; meaningful while `busy`
        bool busy = false;
        bool ended = false;          // its session ended at endedAtMs
        std::uint64_t endedAtMs = 0;
    };
    void plugInto(Port &port, std::size_t portNumber);

    EmulatedDiskSystem &disks_;
    std::vector<Config> configs_;
    std::vector<Port> ports_;
    std::uint64_t swapMs_;
    std::string outputFolder_;
    std::vector<std::shared_ptr<Calculator>> plugged_;
    std::size_t served_ = 0;
};

} // namespace emulator
