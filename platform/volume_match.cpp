#include "platform/volume_match.h"

#include <algorithm>

namespace platform {

namespace {

// "E:\" (either case): a drive letter, not a mounted folder.
bool isDriveRoot(const std::u16string &point)
{
    if (point.size() != 3 || point[1] != u':' || point[2] != u'\\')
        return false;
    const char16_t letter = point[0];
    return (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
}

char16_t upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
}

} // namespace

std::u16string volumeName(const VolumeFacts &volume)
{
    std::u16string letter;
    for (const std::u16string &point : volume.mountPoints) {
        if (!isDriveRoot(point))
            continue;
        const std::u16string name{upper(point[0]), u':'};
        if (letter.empty() || name < letter)
            letter = name;
    }
    if (!letter.empty())
        return letter;
    for (std::u16string folder : volume.mountPoints) {
        if (folder.size() > 1 && folder.back() == u'\\')
            folder.pop_back();
        if (!folder.empty())
            return folder;
    }
    return volume.path;
}

bool needsHold(const std::u16string &fileSystem)
{
    if (fileSystem.size() != 3)
        return true;
    return upper(fileSystem[0]) != u'R' || upper(fileSystem[1]) != u'A' || upper(fileSystem[2]) != u'W';
}

std::vector<std::size_t> volumesOnDisk(const std::vector<VolumeFacts> &volumes, std::uint32_t disk)
{
    std::vector<std::size_t> on;
    if (disk == kNoDiskNumber)
        return on;
    for (std::size_t v = 0; v < volumes.size(); ++v)
        if (std::find(volumes[v].disks.begin(), volumes[v].disks.end(), disk) != volumes[v].disks.end())
            on.push_back(v);
    return on;
}

std::vector<MountedVolume> mountedOnDisk(const std::vector<VolumeFacts> &volumes, std::uint32_t disk)
{
    std::vector<MountedVolume> mounted;
    for (const std::size_t v : volumesOnDisk(volumes, disk))
        mounted.push_back({volumeName(volumes[v]), volumes[v].fileSystem});
    return mounted;
}

} // namespace platform
