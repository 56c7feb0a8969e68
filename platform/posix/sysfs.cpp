#include "platform/posix/sysfs.h"

#include "platform/device_path.h"

namespace platform {
namespace sysfs {

namespace {

// True for the bytes the kernel pads or ends an attribute with.
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Parses one decimal field of "MAJ:MIN" from text[*pos], stopping at `stop`
// or the end; false when it is empty, holds a non-digit or overflows 32 bits.
bool parseDecimal(const std::string &text, std::size_t *pos, char stop, std::uint32_t *out)
{
    std::uint64_t value = 0;
    std::size_t i = *pos;
    const std::size_t first = i;
    for (; i < text.size() && text[i] != stop; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > UINT32_MAX)
            return false;
    }
    if (i == first)
        return false;
    *pos = i;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace

std::string attributeText(const char *bytes, std::size_t length)
{
    if (bytes == nullptr)
        return std::string();
    if (length > kMaxAttributeBytes)
        length = kMaxAttributeBytes;
    std::size_t end = 0;
    while (end < length && bytes[end] != '\0')
        ++end;
    std::size_t begin = 0;
    while (begin < end && isSpace(bytes[begin]))
        ++begin;
    while (end > begin && isSpace(bytes[end - 1]))
        --end;
    return std::string(bytes + begin, end - begin);
}

bool parseDevNumbers(const std::string &text, DevNumbers *out)
{
    std::size_t pos = 0;
    DevNumbers parsed{0, 0};
    if (!parseDecimal(text, &pos, ':', &parsed.major) || pos == text.size())
        return false;
    ++pos; // the ':'
    if (!parseDecimal(text, &pos, '\0', &parsed.minor) || pos != text.size())
        return false;
    *out = parsed;
    return true;
}

bool isMassStorageClass(const std::string &text)
{
    return text == "08"; // the kernel writes the class as two hex digits
}

std::string diskDevicePath(const DiskIdentity &identity, const std::string &blockName)
{
    // The block name goes into the path as it is, so that no two entries share
    // a path; a name the path would have to alter is not named at all.
    if (blockName.empty() || deviceIdField(blockName) != blockName)
        return std::string();
    std::string serial = deviceIdField(identity.serial);
    if (serial.empty())
        serial = "0";
    return usbStorageDevicePath(identity.vendor, identity.model, identity.revision,
                                serial + "&" + blockName);
}

bool isBelow(const std::string &root, const std::string &path)
{
    if (root.empty() || path.size() <= root.size() || path.compare(0, root.size(), root) != 0)
        return false;
    // "/sys" holds "/sys/block", not "/sysfoo"; "/" holds everything longer.
    return root == "/" || path[root.size()] == '/';
}

std::string parentDirectory(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return path.substr(0, slash);
}

} // namespace sysfs
} // namespace platform
