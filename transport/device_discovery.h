// Finding calculators in update mode: disks whose device path carries
// \\?\usbstor#disk&ven_<vendor>&prod_<product>, vendor and product lowered with
// spaces as underscores. One pass, a pass repeated until something is found,
// and a yes/no presence check.
#pragma once

#include <cstdint>

constexpr int kMaxDevices = 16;          // slots of the device table
constexpr int kDevicePathLength = 260;   // UTF-16 units per slot, terminator included
constexpr int kIdStringLength = 32;      // normalised vendor/product, terminator included
constexpr int kPatternLength = 128;      // finished pattern, terminator included
constexpr int kDiscoveryPasses = 6;
constexpr std::uint32_t kDiscoveryPauseMs = 500;

// The module-wide output table: filled by every discovery from slot 0 on.
extern char16_t devicePaths[kMaxDevices][kDevicePathLength];

// ORs every unit of `input` with 0x20 and turns the resulting 0x20 (a space)
// into '_'; the output is terminated and its length returned. An input that
// does not fit `capacity` (terminator included) is not cut: the output is left
// empty and the result is -1.
int normaliseIdString(char16_t *output, int capacity, const char16_t *input);

// One pass over the present disks; stores up to `maxCount` matching device
// paths in `table` from slot 0 on and returns how many. A vendor or product
// that does not fit 31 units matches nothing (cutting it would widen the
// match); a device path that does not fit a slot is passed over (cutting it
// could turn it into a different path).
int findCalculatorDisks(char16_t (*table)[kDevicePathLength], const char16_t *vendor,
                        const char16_t *product, int maxCount);

// Up to 6 passes, with a 500 ms pause after every fruitless one.
int findCalculatorDisksWithRetry(char16_t (*table)[kDevicePathLength], const char16_t *vendor,
                                 const char16_t *product, int maxCount);

// One pass into devicePaths; true if at least one calculator is present.
bool isCalculatorConnected(const char16_t *vendor, const char16_t *product);
