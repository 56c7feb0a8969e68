#include "platform/disk_system.h"

#include <atomic>
#include <cstdlib>

namespace platform {

namespace {
std::atomic<DiskSystem *> gInstalled{nullptr};
thread_local std::uint32_t tLastError = 0;
} // namespace

DiskSystem &activeDiskSystem()
{
    DiskSystem *installed = gInstalled.load(std::memory_order_acquire);
    return installed ? *installed : osDiskSystem();
}

void installDiskSystem(DiskSystem *system)
{
    gInstalled.store(system, std::memory_order_release);
}

void DiskSystem::surveyDisks(const SurveyVisitor &visit)
{
    int index = 0;
    enumerateDiskInterfaces([&](const char16_t *devicePath) {
        SurveyedDisk disk;
        disk.name = "#" + std::to_string(++index);
        disk.devicePath = devicePath;
        visit(disk);
        return true;
    });
}

bool DiskSystem::listVolumes(const char16_t *, std::vector<MountedVolume> *volumes)
{
    volumes->clear();
    return true;
}

std::unique_ptr<VolumeHold> DiskSystem::holdVolumes(const char16_t *, MountedVolume *)
{
    return std::make_unique<VolumeHold>();
}

bool closeHandle(Handle handle)
{
    delete handle; // the implementation's destructor does the system close
    return true;
}

std::uint32_t lastError()
{
    return tLastError;
}

void setLastError(std::uint32_t code)
{
    tLastError = code;
}

std::string toUtf8(const std::u16string &text)
{
    return toUtf8(text.c_str());
}

std::string toUtf8(const char16_t *text)
{
    std::string out;
    for (const char16_t *p = text; *p; ++p) {
        std::uint32_t cp = *p;
        if (cp >= 0xD800 && cp <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::u16string fromUtf8(const std::string &text)
{
    std::u16string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const std::uint32_t lead = s[i];
        std::size_t extra;
        std::uint32_t cp;
        if (lead < 0x80) {
            extra = 0, cp = lead;
        } else if ((lead >> 5) == 0x6) {
            extra = 1, cp = lead & 0x1F;
        } else if ((lead >> 4) == 0xE) {
            extra = 2, cp = lead & 0x0F;
        } else if ((lead >> 3) == 0x1E) {
            extra = 3, cp = lead & 0x07;
        } else {
            out += u'\uFFFD'; // a stray continuation byte or an invalid lead
            ++i;
            continue;
        }
        bool bad = extra > n - i - 1;
        for (std::size_t k = 1; !bad && k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                bad = true;
            else
                cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        static const std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (bad || cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return out;
}

} // namespace platform
