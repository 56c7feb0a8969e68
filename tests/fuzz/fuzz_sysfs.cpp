// Arbitrary bytes as sysfs attribute files, "dev" numbers, and the identity
// and block name of a disk: nothing may crash, and a device path built from
// them may never carry a separator or character the fixed form does not.
#include "platform/device_path.h"
#include "platform/posix/sysfs.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <string>

using namespace platform;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

bool isWhitespace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// attributeText: bounded, no NUL, trimmed, and a piece of what was read.
std::string checkAttribute(const std::string &raw)
{
    const std::string text = sysfs::attributeText(raw.data(), raw.size());
    check(text.size() <= sysfs::kMaxAttributeBytes && text.size() <= raw.size());
    check(text.find('\0') == std::string::npos);
    check(text.empty() || (!isWhitespace(text.front()) && !isWhitespace(text.back())));
    check(raw.find(text) != std::string::npos);
    return text;
}

// parseDevNumbers: accepts exactly digits ':' digits, and the numbers read
// are the numbers written.
void checkDevNumbers(const std::string &text)
{
    sysfs::DevNumbers dev{7, 7};
    if (!sysfs::parseDevNumbers(text, &dev))
        return;
    const std::size_t colon = text.find(':');
    check(colon != std::string::npos && colon > 0 && colon + 1 < text.size());
    check(text.find_first_not_of("0123456789:") == std::string::npos);
    check(text.find(':', colon + 1) == std::string::npos);
    sysfs::DevNumbers again{0, 0};
    check(sysfs::parseDevNumbers(std::to_string(dev.major) + ":" + std::to_string(dev.minor), &again));
    check(again == dev);
}

std::size_t count(const std::string &text, char c)
{
    std::size_t n = 0;
    for (char k : text)
        n += (k == c);
    return n;
}

// diskDevicePath: the fixed form, exactly three '#' and four '&', printable
// lower-case ASCII, and the block name verbatim at the end of the instance.
void checkDevicePath(const sysfs::DiskIdentity &identity, const std::string &blockName)
{
    const std::string path = sysfs::diskDevicePath(identity, blockName);
    if (blockName.empty() || deviceIdField(blockName) != blockName) {
        check(path.empty());
        return;
    }
    const std::string prefix = "\\\\?\\usbstor#disk&ven_";
    const std::string suffix = "&" + blockName + "#" + kDiskInterfaceClass;
    check(path.compare(0, prefix.size(), prefix) == 0);
    check(path.size() > prefix.size() + suffix.size());
    check(path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0);
    check(count(path, '#') == 3);
    check(count(path, '&') == 4);
    check(count(path, '\\') == 3);
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        check(c > 0x20 && c < 0x7F && c != '/' && !(c >= 'A' && c <= 'Z'));
    }
    // Each field sits where it belongs, as deviceIdField made it.
    const std::string vendor = deviceIdField(identity.vendor);
    check(path.compare(prefix.size(), vendor.size(), vendor) == 0);
    check(path.compare(prefix.size() + vendor.size(), 6, "&prod_") == 0);
}

// parentDirectory / isBelow: walking up from any absolute path ends at "/"
// in fewer steps than the path has characters, each step strictly upward.
void checkWalkUp(const std::string &path)
{
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos)
        return;
    std::string dir = path;
    for (std::size_t steps = 0; dir != "/"; ++steps) {
        check(steps < path.size());
        const std::string parent = sysfs::parentDirectory(dir);
        check(parent.size() < dir.size());
        check(sysfs::isBelow(parent, dir));
        check(!sysfs::isBelow(dir, parent));
        dir = parent;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    sysfs::DiskIdentity identity;
    identity.vendor = checkAttribute(input.ConsumeRandomLengthString(64));
    identity.model = checkAttribute(input.ConsumeRandomLengthString(64));
    identity.revision = checkAttribute(input.ConsumeRandomLengthString(32));
    identity.serial = checkAttribute(input.ConsumeRandomLengthString(128));
    const std::string blockName = input.ConsumeRandomLengthString(32);
    checkDevicePath(identity, blockName);
    checkDevicePath(identity, deviceIdField(blockName));

    const std::string rest = input.ConsumeRemainingBytesAsString();
    const std::string text = checkAttribute(rest);
    checkDevNumbers(text);
    checkWalkUp(rest);
    return 0;
}
