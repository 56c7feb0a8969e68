// The simulator's set-up from the environment, and saving what the calculators
// ended up with.
#include "emulator/simulation_settings.h"

#include "platform/error_kind.h"
#include "platform/instance_lock.h"

#include <algorithm>
#include <cctype>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>

namespace emulator {

namespace {

constexpr std::uint64_t kMaxCalculators = 64;
constexpr std::uint64_t kDefaultDiskMib = 64;
constexpr std::uint64_t kMaxDiskMib = 1u << 20; // 1 TiB, sparse
constexpr std::uint64_t kMaxClockScale = 1000;
// A cart: a whole school's calculators, one after another (each keeps its disk
// until it is unplugged, a sparse one, so ten thousand stay light), on at most
// the ports of the largest hubs.
constexpr std::uint64_t kMaxCartTotal = 10000;
constexpr std::uint64_t kMaxCartPorts = 16;
constexpr std::uint64_t kMaxSwapMs = 600000;

enum class NumberResult { Ok, Bad, TooLarge };

// A decimal number of digits only (no sign, no spaces), at most `max`.
NumberResult parseNumber(const std::string &text, std::uint64_t max, std::uint64_t *value)
{
    if (text.empty())
        return NumberResult::Bad;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return NumberResult::Bad;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (v > (max - digit) / 10)
            return NumberResult::TooLarge;
        v = v * 10 + digit;
    }
    *value = v;
    return NumberResult::Ok;
}

// parseNumber with a one-line reason naming `what`.
bool number(const std::string &what, const std::string &text, std::uint64_t min, std::uint64_t max,
            std::uint64_t *value, std::string *error)
{
    switch (parseNumber(text, max, value)) {
    case NumberResult::Bad:
        *error = what + ": '" + text + "' is not a number";
        return false;
    case NumberResult::TooLarge:
        *error = what + ": " + text + " is larger than " + std::to_string(max);
        return false;
    case NumberResult::Ok:
        break;
    }
    if (*value < min) {
        *error = what + ": " + text + " is smaller than " + std::to_string(min);
        return false;
    }
    return true;
}

constexpr auto kMaxInt64 = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
constexpr std::uint64_t kMaxSectorSize = 65536;
constexpr std::size_t kMaxFileSystemName = 16;

// A system error code: a number from 1 up (the system's own, as it is), or
// one of the names every system maps to its own code.
bool systemCode(const std::string &what, const std::string &text, std::uint32_t *code, std::string *error)
{
    if (!text.empty() && (text[0] < '0' || text[0] > '9')) {
        *code = platform::namedSystemError(text.c_str());
        if (*code == 0)
            *error = what + ": '" + text + "' is neither a number nor one of access-denied, write-protect, "
                            "sharing, unsupported, gone";
        return *code != 0;
    }
    std::uint64_t n = 0;
    if (!number(what, text, 1, std::numeric_limits<std::uint32_t>::max(), &n, error))
        return false;
    *code = static_cast<std::uint32_t>(n);
    return true;
}

// "LETTER:FS" (a drive letter, upper-cased) or ":FS" (a volume without a
// letter); FS: 1 to 16 letters and digits.
bool mountedVolume(const std::string &text, std::string *letter, std::string *fileSystem, std::string *error)
{
    const std::size_t colon = text.find(':');
    const std::string drive = text.substr(0, colon == std::string::npos ? 0 : colon);
    const std::string fs = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    const bool letterOk = drive.empty() || (drive.size() == 1 && std::isalpha(static_cast<unsigned char>(drive[0])));
    const bool fsOk = !fs.empty() && fs.size() <= kMaxFileSystemName &&
                      std::all_of(fs.begin(), fs.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
    if (colon == std::string::npos || !letterOk || !fsOk) {
        *error = "fault 'mounted': '" + text + "' is not LETTER:FS or :FS (a drive letter, a file system of 1 to " +
                 std::to_string(kMaxFileSystemName) + " letters and digits)";
        return false;
    }
    *letter = drive.empty() ? drive : std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0]))));
    *fileSystem = fs;
    return true;
}

// The volume path a volume without a drive letter goes by, for calculator `index` (0-based).
std::string volumePath(std::size_t index)
{
    char path[64];
    std::snprintf(path, sizeof path, "\\\\?\\Volume{7a5c0000-0000-0000-0000-%012zx}\\", index + 1);
    return path;
}

// One item "NAME[=VALUE][@K]" applied to `faults`.
bool applyFault(const std::string &item, std::vector<Faults> &faults, std::string *error)
{
    std::string spec = item;
    std::size_t first = 0, last = faults.size(); // calculators [first, last)
    const std::size_t at = spec.find('@');
    if (at != std::string::npos) {
        std::uint64_t k = 0;
        const std::string what = "fault '" + item + "': calculator";
        if (!number(what, spec.substr(at + 1), 1, kMaxInt64, &k, error))
            return false;
        if (k > faults.size()) {
            *error = what + " " + std::to_string(k) + " is out of range 1.." +
                     std::to_string(faults.size());
            return false;
        }
        first = static_cast<std::size_t>(k - 1), last = first + 1;
        spec.resize(at);
    }
    const std::size_t eq = spec.find('=');
    const std::string name = spec.substr(0, eq);
    const bool hasValue = eq != std::string::npos;
    const std::string value = hasValue ? spec.substr(eq + 1) : std::string();

    enum { Flag, Number } kind;
    if (name == "refuse-progress" || name == "refuse-check" || name == "unopenable")
        kind = Flag;
    else if (name == "refuse-packet" || name == "fail-writes" || name == "unplug-after" ||
             name == "replug-after" || name == "stall-after" || name == "stall-ms" || name == "disk-mib" ||
             name == "open-error" || name == "write-error" || name == "flush-error" || name == "lock-error" ||
             name == "sector-size" || name == "mounted")
        kind = Number; // takes a value
    else {
        *error = "unknown fault '" + name + "'";
        return false;
    }
    if (kind == Flag && hasValue) {
        *error = "fault '" + name + "' takes no value";
        return false;
    }
    if (kind == Number && !hasValue) {
        *error = "fault '" + name + "' needs a value";
        return false;
    }

    std::uint64_t n = 0;
    const std::string what = "fault '" + name + "'";
    if (name == "refuse-packet" &&
        !number(what, value, 1, std::numeric_limits<std::uint32_t>::max(), &n, error))
        return false;
    if (name == "fail-writes" && value != "all" && !number(what, value, 0, kMaxInt64, &n, error))
        return false;
    if ((name == "unplug-after" || name == "replug-after" || name == "stall-after") &&
        !number(what, value, 0, kMaxInt64, &n, error))
        return false;
    if (name == "stall-ms" && !number(what, value, 0, 600000, &n, error))
        return false;
    if (name == "disk-mib" && !number(what, value, 1, kMaxDiskMib, &n, error))
        return false;
    if (name == "sector-size" && !number(what, value, 1, kMaxSectorSize, &n, error))
        return false;
    std::uint32_t code = 0;
    const bool takesCode = name == "open-error" || name == "write-error" || name == "flush-error" || name == "lock-error";
    if (takesCode && !systemCode(what, value, &code, error))
        return false;
    std::string letter, fileSystem;
    if (name == "mounted" && !mountedVolume(value, &letter, &fileSystem, error))
        return false;

    for (std::size_t i = first; i < last; ++i) {
        Faults &f = faults[i];
        if (name == "refuse-progress")
            f.refuseProgress = true;
        else if (name == "refuse-check")
            f.refuseCheck = true;
        else if (name == "unopenable")
            f.unopenable = true;
        else if (name == "refuse-packet")
            f.refusePacket = static_cast<std::uint32_t>(n);
        else if (name == "fail-writes")
            f.failWrites = value == "all" ? -1 : static_cast<std::int64_t>(n);
        else if (name == "unplug-after")
            f.unplugAfterBytes = static_cast<std::int64_t>(n);
        else if (name == "replug-after")
            f.replugAfterMs = static_cast<std::int64_t>(n);
        else if (name == "stall-after")
            f.stallAfterBytes = static_cast<std::int64_t>(n);
        else if (name == "disk-mib")
            f.diskMib = n;
        else if (name == "open-error")
            f.openError = code;
        else if (name == "write-error")
            f.writeError = code;
        else if (name == "flush-error")
            f.flushError = code;
        else if (name == "lock-error")
            f.lockError = code;
        else if (name == "sector-size")
            f.sectorSize = static_cast<std::uint32_t>(n);
        else if (name == "mounted") {
            f.mountedVolume = letter.empty() ? volumePath(i) : letter + ":";
            f.mountedFileSystem = fileSystem;
        }
        else
            f.stallMs = static_cast<std::uint32_t>(n);
    }
    return true;
}

// A reason fit for one line: control characters of the echoed text as \xNN.
std::string oneLine(const std::string &reason)
{
    std::string out;
    for (const char c : reason) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// The variable's text, or `fallback` when it is unset or empty.
std::string environment(const char *name, const std::string &fallback = std::string())
{
    const char *value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

bool environmentNumber(const char *name, std::uint64_t fallback, std::uint64_t min,
                       std::uint64_t max, std::uint64_t *value, std::string *error)
{
    const std::string text = environment(name);
    if (text.empty()) {
        *value = fallback;
        return true;
    }
    return number(name, text, min, max, value, error);
}

// "total=N,ports=P,swap-ms=MS": each key exactly once, in any order.
bool parseCart(const std::string &text, CartSettings *cart, std::string *error)
{
    std::uint64_t values[3] = {};
    bool seen[3] = {};
    const char *const keys[3] = {"total", "ports", "swap-ms"};
    const std::uint64_t mins[3] = {1, 1, 0};
    const std::uint64_t maxes[3] = {kMaxCartTotal, kMaxCartPorts, kMaxSwapMs};
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = text.find(',', begin);
        const std::string item = text.substr(begin, comma == std::string::npos ? comma : comma - begin);
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        int k = 0;
        while (k < 3 && key != keys[k])
            ++k;
        if (equals == std::string::npos || k == 3) {
            *error = "'" + item + "' is not total=N, ports=P or swap-ms=MS";
            return false;
        }
        if (seen[k]) {
            *error = key + " is given twice";
            return false;
        }
        seen[k] = true;
        if (!number(key, item.substr(equals + 1), mins[k], maxes[k], &values[k], error))
            return false;
        if (comma == std::string::npos)
            break;
        begin = comma + 1;
    }
    for (int k = 0; k < 3; ++k) {
        if (!seen[k]) {
            *error = std::string(keys[k]) + " is missing";
            return false;
        }
    }
    if (values[1] > values[0]) {
        *error = "ports=" + std::to_string(values[1]) + " is more than total=" + std::to_string(values[0]);
        return false;
    }
    cart->total = static_cast<std::uint32_t>(values[0]);
    cart->ports = static_cast<std::uint32_t>(values[1]);
    cart->swapMs = values[2];
    return true;
}

} // namespace

bool parseFaultList(const std::string &text, std::vector<Faults> &faults, std::string *error)
{
    std::string reason;
    std::vector<Faults> parsed = faults; // nothing changes unless the whole list is good
    if (!text.empty()) {
        std::size_t begin = 0;
        for (;;) {
            const std::size_t comma = text.find(',', begin);
            const std::string item = text.substr(begin, comma == std::string::npos ? comma : comma - begin);
            if (item.empty()) {
                reason = "empty fault in list '" + text + "'";
                break;
            }
            if (!applyFault(item, parsed, &reason))
                break;
            if (comma == std::string::npos)
                break;
            begin = comma + 1;
        }
    }
    if (!reason.empty()) {
        if (error)
            *error = oneLine(reason);
        return false;
    }
    faults = std::move(parsed);
    return true;
}

bool simulationSettingsFromEnvironment(SimulationSettings *settings, std::string *error)
{
    std::string reason;
    std::uint64_t count = 0, attachMs = 0, diskMib = 0, bytesPerSecond = 0, clockScale = 1;
    // A cart brings its own calculators: a count beside it would be ignored
    // silently, so both together are refused.
    CartSettings cart;
    const std::string cartText = environment("TAVIX_SIM_CART");
    bool ok = true;
    if (!cartText.empty()) {
        if (!environment("TAVIX_SIM_CALCULATORS").empty()) {
            reason = "TAVIX_SIM_CART and TAVIX_SIM_CALCULATORS: give one of them";
            ok = false;
        } else if (!parseCart(cartText, &cart, &reason)) {
            reason = "TAVIX_SIM_CART: " + reason;
            ok = false;
        }
        count = cart.total;
    }
    ok = ok && (!cartText.empty() || environmentNumber("TAVIX_SIM_CALCULATORS", 1, 0, kMaxCalculators, &count, &reason)) &&
              environmentNumber("TAVIX_SIM_ATTACH_MS", 0, 0, std::numeric_limits<std::uint64_t>::max(),
                                &attachMs, &reason) &&
              environmentNumber("TAVIX_SIM_DISK_MIB", kDefaultDiskMib, 1, kMaxDiskMib, &diskMib, &reason) &&
              environmentNumber("TAVIX_SIM_BYTES_PER_SEC", 0, 0,
                                std::numeric_limits<std::uint64_t>::max(), &bytesPerSecond, &reason) &&
              environmentNumber("TAVIX_SIM_CLOCK_SCALE", 1, 1, kMaxClockScale, &clockScale, &reason);
    std::vector<Faults> faults(ok ? static_cast<std::size_t>(count) : 0);
    for (Faults &f : faults) {
        f.attachAtMs = attachMs;
        f.bytesPerSecond = bytesPerSecond;
    }
    const std::string sharedSerial = environment("TAVIX_SIM_SERIAL");
    if (ok && (sharedSerial.size() > 31 ||
               !std::all_of(sharedSerial.begin(), sharedSerial.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))) {
        reason = "TAVIX_SIM_SERIAL: at most 31 letters and digits";
        ok = false;
    }
    const std::string instanceName = environment("TAVIX_SIM_INSTANCE");
    if (ok && !instanceName.empty() && !platform::isInstanceName(instanceName)) {
        reason = "TAVIX_SIM_INSTANCE: 1 to 64 letters, digits, '-', '_' and '.', not starting with '.'";
        ok = false;
    }
    const std::string closeOn = environment("TAVIX_SIM_CLOSE_ON");
    if (ok && (closeOn.size() > 200 || !std::all_of(closeOn.begin(), closeOn.end(), [](char c) {
                   return c >= 0x20 && c < 0x7f;
               }))) {
        reason = "TAVIX_SIM_CLOSE_ON: at most 200 printable ASCII characters";
        ok = false;
    }
    if (ok && !parseFaultList(environment("TAVIX_SIM_FAULTS"), faults, &reason)) {
        reason = "TAVIX_SIM_FAULTS: " + reason;
        ok = false;
    }
    if (!ok) {
        if (error)
            *error = oneLine(reason);
        return false;
    }
    // A batch whose USB bridges all report one serial number: each unit is
    // then told apart by where it is attached (its number).
    SimulationSettings result;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        char serial[32];
        std::snprintf(serial, sizeof serial, "TAVIX%07u", static_cast<unsigned>(i + 1));
        Config config;
        config.identity.serial = sharedSerial.empty() ? std::string(serial) : sharedSerial;
        if (!sharedSerial.empty()) // (a cart's calculators: the cart sets their port)
            config.identity.location = std::to_string(i + 1);
        config.diskBytes = (faults[i].diskMib != 0 ? faults[i].diskMib : diskMib) << 20;
        config.faults = faults[i];
        result.calculators.push_back(config);
    }
    result.outputFolder = environment("TAVIX_SIM_OUTPUT");
    result.clockScale = static_cast<std::uint32_t>(clockScale);
    result.instanceName = instanceName;
    result.closeOn = closeOn;
    result.cart = cart;
    *settings = std::move(result);
    return true;
}

bool saveCalculator(const Calculator &calculator, std::size_t number, const std::string &folder,
                    std::string *error)
{
    const std::filesystem::path dir = std::filesystem::u8path(folder);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        if (error)
            *error = "cannot create " + folder + ": " + ec.message();
        return false;
    }
    const std::string stem = "calculator-" + std::to_string(number);
    const std::string image = (dir / (stem + ".img")).u8string();
    const std::string trace = (dir / (stem + ".trace")).u8string();
    const char *failed = !calculator.saveImage(image)   ? image.c_str()
                         : !calculator.saveTrace(trace) ? trace.c_str()
                                                        : nullptr;
    if (failed) {
        if (error)
            *error = std::string("cannot write ") + failed;
        return false;
    }
    return true;
}

bool saveCalculators(const std::vector<std::shared_ptr<Calculator>> &calculators,
                     const std::string &folder, std::string *error)
{
    if (calculators.empty()) { // the folder is made all the same
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::u8path(folder), ec);
        if (ec) {
            if (error)
                *error = "cannot create " + folder + ": " + ec.message();
            return false;
        }
    }
    for (std::size_t i = 0; i < calculators.size(); ++i) {
        if (!saveCalculator(*calculators[i], i + 1, folder, error))
            return false;
    }
    return true;
}

} // namespace emulator
