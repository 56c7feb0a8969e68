#include "transport/device_discovery.h"

#include "platform/clock.h"
#include "platform/disk_system.h"
#include "platform/error_kind.h"
#include "transport/text16.h"

#include <cstddef>
#include <cstring>
#include <string_view>

namespace {

const char16_t kPatternFormat[] = u"\\\\?\\usbstor#disk&ven_%s&prod_%s";
// How every USB mass-storage disk's path starts.
constexpr std::u16string_view kUsbStoragePrefix = u"\\\\?\\usbstor#";

// wsprintfW for the "%s" and "%%" conversions the pattern uses: the arguments
// are inserted in order. -1 when the result would not fit `capacity`.
int formatWide(char16_t *out, int capacity, const char16_t *format, const char16_t *const *args,
               int argCount)
{
    int length = 0;
    int next = 0;
    auto append = [&](char16_t unit) {
        if (length + 1 >= capacity)
            return false;
        out[length++] = unit;
        return true;
    };
    for (const char16_t *f = format; *f; ++f) {
        if (f[0] == u'%' && f[1] == u's' && next < argCount) {
            for (const char16_t *a = args[next++]; *a; ++a)
                if (!append(*a))
                    return -1;
            ++f;
        } else if (f[0] == u'%' && f[1] == u'%') {
            if (!append(u'%'))
                return -1;
            ++f;
        } else if (!append(*f)) {
            return -1;
        }
    }
    out[length] = 0;
    return length;
}

} // namespace

int normaliseIdString(char16_t *output, int capacity, const char16_t *input)
{
    if (capacity <= 0)
        return -1;
    const int length = text16::length(input, capacity);
    if (length >= capacity) {
        output[0] = 0;
        return -1;
    }
    for (int i = 0; i < length; ++i) {
        const char16_t unit = static_cast<char16_t>(input[i] | 0x0020);
        output[i] = unit == 0x0020 ? u'_' : unit;
    }
    output[length] = 0;
    return length;
}

namespace {

enum class PathMatch { Calculator, TooLong, Other };

// The pattern a calculator's device path contains, made once per pass: the
// one rule that decides, for a session and for the survey alike.
class CalculatorPattern {
public:
    CalculatorPattern(const char16_t *vendor, const char16_t *product)
    {
        char16_t normalisedVendor[kIdStringLength];
        char16_t normalisedProduct[kIdStringLength];
        if (normaliseIdString(normalisedVendor, kIdStringLength, vendor) < 0 ||
            normaliseIdString(normalisedProduct, kIdStringLength, product) < 0)
            return;
        const char16_t *const args[] = {normalisedVendor, normalisedProduct};
        length_ = formatWide(pattern_, kPatternLength, kPatternFormat, args, 2);
    }

    // False when the vendor or product cannot make a pattern (nothing matches then).
    bool isValid() const { return length_ >= 0; }

    // A path that does not fit a slot is never a calculator: skipped, never
    // cut. *fitted (when given) receives the path as it fits a slot.
    PathMatch match(const char16_t *path, std::u16string_view *fitted) const
    {
        const int length = text16::length(path, kDevicePathLength);
        if (length >= kDevicePathLength)
            return PathMatch::TooLong;
        const std::u16string_view haystack(path, static_cast<std::size_t>(length));
        if (fitted != nullptr)
            *fitted = haystack;
        if (!isValid() || haystack.find(std::u16string_view(pattern_, static_cast<std::size_t>(length_))) ==
                              std::u16string_view::npos)
            return PathMatch::Other;
        return PathMatch::Calculator;
    }

private:
    char16_t pattern_[kPatternLength] = {};
    int length_ = -1; // of pattern_; -1 when there is none
};

// Calls `found` with every matching device path that fits a slot, in the
// order the system lists them, until it returns false. False when the vendor
// or product cannot make a pattern (nothing matches then).
template <typename Found>
bool forEachCalculatorDisk(const char16_t *vendor, const char16_t *product, Found found)
{
    const CalculatorPattern pattern(vendor, product);
    if (!pattern.isValid())
        return false;
    platform::activeDiskSystem().enumerateDiskInterfaces([&](const char16_t *path) {
        std::u16string_view fitted;
        if (pattern.match(path, &fitted) != PathMatch::Calculator)
            return true;
        return found(fitted);
    });
    return true;
}

// ASCII lower case, for finding the fixed pieces of a path however it is spelt.
std::u16string lowerAscii(std::u16string_view text)
{
    std::u16string lower(text);
    for (char16_t &unit : lower) {
        if (unit >= u'A' && unit <= u'Z')
            unit = static_cast<char16_t>(unit - u'A' + u'a');
    }
    return lower;
}

// The field after `key` in a path (up to the next '&' or '#'), as spelt there;
// empty when the key is not there.
std::u16string pathField(std::u16string_view path, const std::u16string &lowerPath, std::u16string_view key)
{
    const std::size_t at = lowerPath.find(key);
    if (at == std::u16string::npos)
        return std::u16string();
    const std::size_t begin = at + key.size();
    const std::size_t end = path.find_first_of(u"&#", begin);
    return std::u16string(path.substr(begin, end == std::u16string_view::npos ? end : end - begin));
}

} // namespace

int findCalculatorDisks(char16_t (*table)[kDevicePathLength], const char16_t *vendor,
                        const char16_t *product, int maxCount)
{
    if (maxCount <= 0)
        return 0;
    int count = 0;
    forEachCalculatorDisk(vendor, product, [&](std::u16string_view path) {
        std::memcpy(table[count], path.data(), path.size() * sizeof(char16_t));
        table[count][path.size()] = 0;
        ++count;
        return count < maxCount;
    });
    return count;
}

std::vector<std::u16string> findEveryCalculatorDisk(const char16_t *vendor, const char16_t *product)
{
    std::vector<std::u16string> found;
    forEachCalculatorDisk(vendor, product, [&](std::u16string_view path) {
        found.emplace_back(path);
        return true;
    });
    return found;
}

std::vector<std::u16string> findEveryCalculatorDiskWithRetry(const char16_t *vendor, const char16_t *product)
{
    for (int pass = 0; pass < kDiscoveryPasses; ++pass) {
        std::vector<std::u16string> found = findEveryCalculatorDisk(vendor, product);
        if (!found.empty())
            return found;
        platform::pauseMs(kDiscoveryPauseMs);
    }
    return {};
}

int findCalculatorDisksWithRetry(char16_t (*table)[kDevicePathLength], const char16_t *vendor,
                                 const char16_t *product, int maxCount)
{
    for (int pass = 0; pass < kDiscoveryPasses; ++pass) {
        const int count = findCalculatorDisks(table, vendor, product, maxCount);
        if (count > 0)
            return count;
        platform::pauseMs(kDiscoveryPauseMs);
    }
    return 0;
}

std::vector<SurveyedCalculatorDisk> surveyCalculatorDisks(const char16_t *vendor, const char16_t *product)
{
    const CalculatorPattern pattern(vendor, product);
    std::vector<SurveyedCalculatorDisk> disks;
    platform::activeDiskSystem().surveyDisks([&](const platform::SurveyedDisk &disk) {
        SurveyedCalculatorDisk row;
        row.disk = disk;
        std::u16string_view path;
        if (disk.refusal != platform::DiskRefusal::None) {
            row.verdict = DiskVerdict::RefusedByPlatform;
        } else if (const PathMatch match = pattern.match(disk.devicePath.c_str(), &path);
                   match != PathMatch::Other) {
            row.verdict = match == PathMatch::Calculator ? DiskVerdict::Calculator : DiskVerdict::PathTooLong;
        } else {
            const std::u16string lower = lowerAscii(path);
            if (lower.compare(0, kUsbStoragePrefix.size(), kUsbStoragePrefix) != 0) {
                row.verdict = DiskVerdict::NotUsbMassStorage;
            } else {
                row.verdict = DiskVerdict::OtherModel;
                row.vendor = pathField(path, lower, u"&ven_");
                row.product = pathField(path, lower, u"&prod_");
            }
        }
        disks.push_back(std::move(row));
    });
    return disks;
}

namespace {

// Why the platform named no path for a disk.
std::string refusalText(const platform::SurveyedDisk &disk)
{
    using platform::DiskRefusal;
    switch (disk.refusal) {
    case DiskRefusal::None:
        break;
    case DiskRefusal::NoDevice:
        return "no device behind it (a loop or RAM disk)";
    case DiskRefusal::NotScsi:
        return "not a SCSI disk (NVMe, virtio, MMC)";
    case DiskRefusal::NotUsb:
        return "not on USB (SATA, SAS)";
    case DiskRefusal::NotMassStorage:
        return "on USB, but not mass storage";
    case DiskRefusal::Partition:
        return "a partition of " + disk.parent;
    case DiskRefusal::NoDevNumbers:
        return "no device numbers";
    case DiskRefusal::NotNameable:
        return "its name cannot be put in a device path";
    case DiskRefusal::Unreadable:
        return "its entry cannot be read";
    }
    return std::string();
}

// What a user needs to know of a calculator: whether a session can open it.
std::string calculatorRemark(const platform::SurveyedDisk &disk)
{
    switch (disk.access) {
    case platform::DiskAccess::Unknown:
        break;
    case platform::DiskAccess::ReadWrite:
        return "this user may read and write it";
    case platform::DiskAccess::Denied: {
        // Only a refusal is the user's access; a node that is missing or
        // broken is the system's matter.
        const std::string why = " (" + platform::toUtf8(platform::errorText(disk.accessError)) + ")";
        const platform::ErrorKind kind = platform::errorKind(disk.accessError);
        if (kind == platform::ErrorKind::NoAccess || kind == platform::ErrorKind::AccessDenied)
            return "this user may not read and write it" + why;
        return "its device node cannot be opened" + why;
    }
    }
    return std::string();
}

} // namespace

std::string diskSurveyReason(const SurveyedCalculatorDisk &row)
{
    switch (row.verdict) {
    case DiskVerdict::Calculator:
        return calculatorRemark(row.disk);
    case DiskVerdict::RefusedByPlatform:
        return refusalText(row.disk);
    case DiskVerdict::NotUsbMassStorage:
        return "not USB mass storage";
    case DiskVerdict::OtherModel:
        return "other vendor or model (" + platform::toUtf8(row.vendor) + " " + platform::toUtf8(row.product) + ")";
    case DiskVerdict::PathTooLong:
        return "device path too long";
    }
    return std::string();
}

bool isCalculatorConnected(const char16_t *vendor, const char16_t *product)
{
    bool found = false;
    forEachCalculatorDisk(vendor, product, [&](std::u16string_view) {
        found = true;
        return false; // one is enough
    });
    return found;
}

namespace {

// The instance part of a device path: between the second and the third '#'.
// False when there is no third '#' or nothing between.
bool findInstance(const char16_t *devicePath, const char16_t **instance, const char16_t **instanceEnd)
{
    *instance = nullptr;
    *instanceEnd = nullptr;
    int hashes = 0;
    for (const char16_t *p = devicePath; *p != 0 && *instanceEnd == nullptr; ++p) {
        if (*p != u'#')
            continue;
        ++hashes;
        if (hashes == 2)
            *instance = p + 1;
        else if (hashes == 3)
            *instanceEnd = p;
    }
    return *instanceEnd != nullptr && *instanceEnd != *instance;
}

// Writes [from, to) upper-cased (a-z only) with its terminator; -1 when it
// does not fit.
int writeUpper(char16_t *output, int capacity, const char16_t *from, const char16_t *to)
{
    const std::ptrdiff_t length = to - from;
    if (length >= capacity)
        return -1;
    for (std::ptrdiff_t i = 0; i < length; ++i)
        output[i] = text16::upperAscii(from[i]);
    output[length] = 0;
    return static_cast<int>(length);
}

// The start of both: an output left empty (when it has room), then the
// instance part of the path; false when there is none or no room at all.
bool startOutput(char16_t *output, int capacity, const char16_t *devicePath, const char16_t **instance,
                 const char16_t **instanceEnd)
{
    if (capacity <= 0)
        return false;
    output[0] = 0;
    return devicePath != nullptr && findInstance(devicePath, instance, instanceEnd);
}

} // namespace

int calculatorIdentity(char16_t *output, int capacity, const char16_t *devicePath)
{
    const char16_t *instance = nullptr;
    const char16_t *instanceEnd = nullptr;
    if (!startOutput(output, capacity, devicePath, &instance, &instanceEnd))
        return -1;

    // The serial number is all but the last '&' field; a disk without one
    // (nothing before that field, or the "0" a disk without a serial shows)
    // is named by its whole instance part, the only thing that tells it apart.
    const char16_t *end = instanceEnd;
    for (const char16_t *p = instanceEnd; p != instance;) {
        if (*--p == u'&') {
            end = p;
            break;
        }
    }
    const bool noSerial = end == instance || (end - instance == 1 && instance[0] == u'0');
    if (noSerial)
        end = instanceEnd;
    return writeUpper(output, capacity, instance, end);
}

int calculatorInstance(char16_t *output, int capacity, const char16_t *devicePath)
{
    const char16_t *instance = nullptr;
    const char16_t *instanceEnd = nullptr;
    if (!startOutput(output, capacity, devicePath, &instance, &instanceEnd))
        return -1;
    return writeUpper(output, capacity, instance, instanceEnd);
}
