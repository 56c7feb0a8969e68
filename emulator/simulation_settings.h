// The simulator's set-up from the environment, and saving what the calculators
// ended up with (simulation_settings.cpp).
#pragma once

#include "emulator/calculator.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace emulator {

// Parses a fault list "NAME[=VALUE][@K],..." (K: 1-based calculator, default
// all) into per-calculator faults. Names: refuse-progress, refuse-packet=I,
// refuse-check, fail-writes=N|all, unopenable, unplug-after=BYTES,
// replug-after=MS, stall-after=BYTES, stall-ms=MS (at most 600000), disk-mib=N
// (this calculator's disk size, 1 MiB to 1 TiB, instead of TAVIX_SIM_DISK_MIB),
// sector-size=BYTES (1 to 65536), and the system's refusals: open-error=CODE,
// write-error=CODE, flush-error=CODE, mounted=LETTER:FS (or :FS, a volume
// without a letter) with lock-error=CODE. CODE: the system's own number (1 up),
// or access-denied, write-protect, sharing, unsupported, gone. False, with a
// one-line reason in *error (when error is not null), on bad text; `faults` is
// then left as it was.
bool parseFaultList(const std::string &text, std::vector<Faults> &faults, std::string *error);

// TAVIX_SIM_CART=total=N,ports=P,swap-ms=MS: N calculators (1 to 10000) go
// through a hub of P ports (1 to 16, at most N), each unplugged MS (0 to
// 600000) after its session ended and replaced by the next (emulator/cart.h).
struct CartSettings {
    std::uint32_t total = 0; // 0: no cart
    std::uint32_t ports = 0;
    std::uint64_t swapMs = 0;
};

// Settings of a simulated set-up, from the environment: TAVIX_SIM_CALCULATORS,
// TAVIX_SIM_ATTACH_MS, TAVIX_SIM_DISK_MIB, TAVIX_SIM_BYTES_PER_SEC,
// TAVIX_SIM_FAULTS, TAVIX_SIM_OUTPUT, TAVIX_SIM_CLOCK_SCALE, TAVIX_SIM_SERIAL,
// TAVIX_SIM_INSTANCE, TAVIX_SIM_CLOSE_ON, TAVIX_SIM_CART (then not
// TAVIX_SIM_CALCULATORS: both together are an error).
struct SimulationSettings {
    std::vector<Config> calculators; // serials TAVIX0000001, TAVIX0000002, ... (or every one
                                     // TAVIX_SIM_SERIAL, at locations 1, 2, ...); faults applied
    std::string outputFolder;        // empty: none
    std::uint32_t clockScale = 1;    // 1 to 1000: how much faster the program's clock runs
    std::string instanceName;        // the single-instance guard's own name; empty: the product's
    std::string closeOn;             // TAVIX_SIM_CLOSE_ON: the person closes the window (Cancel while it
                                     // shows, else the window's close box) once an echoed line starts with
                                     // this text (1 to 200 printable ASCII characters); empty: never
    CartSettings cart;               // with a cart, `calculators` holds all N in plugging order, each
                                     // at its port (location i % ports + 1); faults' @K count them
};
// False, with a one-line reason in *error (when error is not null) and
// *settings untouched, when a variable holds bad text.
bool simulationSettingsFromEnvironment(SimulationSettings *settings, std::string *error);

// Writes calculator-`number`.img and .trace into `folder` (made when missing).
bool saveCalculator(const Calculator &calculator, std::size_t number, const std::string &folder,
                    std::string *error);

// Writes calculator-N.img and calculator-N.trace (N from 1) into `folder`,
// making the folder first when it is missing.
bool saveCalculators(const std::vector<std::shared_ptr<Calculator>> &calculators,
                     const std::string &folder, std::string *error);

} // namespace emulator
