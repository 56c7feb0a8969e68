// Finding calculators in update mode: disks whose device path carries
// \\?\usbstor#disk&ven_<vendor>&prod_<product>, vendor and product lowered with
// spaces as underscores. One pass, a pass repeated until something is found,
// and a yes/no presence check.
#pragma once

#include "platform/disk_system.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kMaxDevices = 16;          // slots of a device table (a run's calculators)
constexpr int kDevicePathLength = 260;   // UTF-16 units per slot, terminator included
constexpr int kIdStringLength = 32;      // normalised vendor/product, terminator included
constexpr int kPatternLength = 128;      // finished pattern, terminator included
constexpr int kDiscoveryPasses = 6;
constexpr std::uint32_t kDiscoveryPauseMs = 500;

// ORs every unit of `input` with 0x20 and turns the resulting 0x20 (a space)
// into '_'; the output is terminated and its length returned. An input that
// does not fit `capacity` (terminator included) is not cut: the output is left
// empty and the result is -1.
int normaliseIdString(char16_t *output, int capacity, const char16_t *input);

// One pass over the present disks; stores up to `maxCount` matching device
// paths in the caller's `table` (at least `maxCount` slots) from slot 0 on
// and returns how many; the slots after those are left as they were. A vendor or product
// that does not fit 31 units matches nothing (cutting it would widen the
// match); a device path that does not fit a slot is passed over (cutting it
// could turn it into a different path).
int findCalculatorDisks(char16_t (*table)[kDevicePathLength], const char16_t *vendor,
                        const char16_t *product, int maxCount);

// Up to 6 passes, with a 500 ms pause after every fruitless one.
int findCalculatorDisksWithRetry(char16_t (*table)[kDevicePathLength], const char16_t *vendor,
                                 const char16_t *product, int maxCount);

// Every matching disk present, however many, in the order the system lists
// them: one pass, and up to 6 passes with a 500 ms pause after every fruitless
// one. Same rules as findCalculatorDisks (a path that does not fit a slot is
// passed over).
std::vector<std::u16string> findEveryCalculatorDisk(const char16_t *vendor, const char16_t *product);
std::vector<std::u16string> findEveryCalculatorDiskWithRetry(const char16_t *vendor, const char16_t *product);

// What discovery makes of a disk the system lists.
enum class DiskVerdict {
    Calculator,        // a session takes it
    RefusedByPlatform, // the platform names no path for it: disk.refusal says why
    NotUsbMassStorage, // its path does not start with \\?\usbstor#
    OtherModel,        // a USB mass-storage disk of another vendor or product
    PathTooLong,       // its path does not fit a slot of the device table
};

struct SurveyedCalculatorDisk {
    platform::SurveyedDisk disk;                     // as the platform reported it
    DiskVerdict verdict = DiskVerdict::Calculator;   // by the rule findCalculatorDisks applies
    std::u16string vendor;                           // OtherModel: the vendor field of its path
    std::u16string product;                          // OtherModel: the product field of its path
};

// Every disk the active disk system lists (platform::DiskSystem::surveyDisks),
// in its order, each judged by the same rule as findEveryCalculatorDisk: the
// Calculator ones are exactly the paths one pass of it finds.
std::vector<SurveyedCalculatorDisk> surveyCalculatorDisks(const char16_t *vendor, const char16_t *product);

// Why a surveyed disk is not a calculator, in English words ("not on USB
// (SATA, SAS)", "other vendor or model (sandisk cruzer_blade)"); for a
// calculator, whether this user may read and write it; empty when there is
// nothing to say.
std::string diskSurveyReason(const SurveyedCalculatorDisk &disk);

// One pass, stopping at the first calculator; true if at least one is present.
bool isCalculatorConnected(const char16_t *vendor, const char16_t *product);

// A calculator's stable identity, the same after it was unplugged and came
// back: the instance part of its device path (between the second and the third
// '#'), without its last '&' field (the LUN on Windows, the block device on
// Linux), which leaves the USB serial number (all of the instance part when it
// holds no '&'), upper-cased for showing; the whole instance part (upper-cased)
// when that leaves nothing or "0" (a disk without a serial number). Only a-z
// are upper-cased; every other unit stays as it is. Writes it to `output` with
// its terminator and returns its length; -1 (output empty, when `capacity`
// leaves room for that) when the path has no third '#' or nothing between the
// second and the third, or the identity does not fit `capacity` (terminator
// included).
int calculatorIdentity(char16_t *output, int capacity, const char16_t *devicePath);

// The whole instance part of the device path (between the second and the
// third '#'), a-z upper-cased: the serial number and where the disk is
// attached (the LUN on Windows, the block device on Linux). It tells apart
// two disks that carry one serial number. Same output rules as
// calculatorIdentity.
int calculatorInstance(char16_t *output, int capacity, const char16_t *devicePath);
