#include "platform/device_path.h"

namespace platform {

const char kDiskInterfaceClass[] = "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

namespace {

bool isPadding(char c)
{
    return c == ' ' || c == '\0' || c == '\n' || c == '\r' || c == '\t';
}

std::string cleanField(const std::string &raw, bool keepAmpersand)
{
    std::size_t begin = 0, end = raw.size();
    while (begin < end && isPadding(raw[begin]))
        ++begin;
    while (end > begin && isPadding(raw[end - 1]))
        --end;
    std::string out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c >= 'A' && c <= 'Z')
            out += static_cast<char>(c - 'A' + 'a');
        else if (c == '&' && keepAmpersand)
            out += '&';
        else if (c <= 0x20 || c >= 0x7F || c == '#' || c == '&' || c == '\\' || c == '/')
            out += '_';
        else
            out += static_cast<char>(c);
    }
    return out;
}

} // namespace

std::string deviceIdField(const std::string &raw)
{
    return cleanField(raw, false);
}

std::string usbStorageDevicePath(const std::string &vendor, const std::string &model,
                                 const std::string &revision, const std::string &instance)
{
    return "\\\\?\\usbstor#disk&ven_" + deviceIdField(vendor) + "&prod_" + deviceIdField(model) +
           "&rev_" + deviceIdField(revision) + "#" + cleanField(instance, true) + "#" +
           kDiskInterfaceClass;
}

} // namespace platform
