#include "resources/resource_file.h"

#include "common/little_endian.h"
#include "resources/language.h"

#include <cstring>
#include <memory>

namespace {

// A name longer than this is cut when the record is made.
constexpr std::size_t kMaxNameLength = 259;

ResourceReader gReader = nullptr;                       // installed reader; none: nothing is found
std::vector<std::unique_ptr<ResourceFile>> gOpenFiles;  // accepted files, in the order of opening
std::vector<std::uint32_t> gFailedKeys;                 // keys that failed, in the order of failing

// English ends every chain that has room for it, unless the chain already
// names it before its first unused entry.
void fixUpChain(std::uint8_t *header)
{
    for (std::uint32_t position = 0; position < kChainLength; ++position) {
        std::uint8_t *entry = header + kHeaderChainAt + 4 * position;
        const std::uint32_t language = le::read32(entry);
        if (language == kLanguageEnglish)
            return;
        if (language == 0) {
            le::write32(entry, kLanguageEnglish);
            return;
        }
    }
}

} // namespace

void freeResourceBytes(std::uint8_t *buffer)
{
    delete[] buffer;
}

void setResourceReader(ResourceReader reader)
{
    gReader = reader;
}

ResourceReader resourceReader()
{
    return gReader;
}

std::uint32_t ResourceFile::headerWord(std::uint32_t at) const
{
    return at <= kMaxHeaderLength - 4 ? le::read32(header + at) : 0;
}

std::uint32_t ResourceFile::chain(int position) const
{
    if (position < 0 || std::uint32_t(position) >= kChainLength)
        return 0;
    return headerWord(kHeaderChainAt + 4 * std::uint32_t(position));
}

std::u16string resourceFileName(std::uint32_t language)
{
    if (language < 1 || language > kFileLanguageCount)
        return std::u16string();
    const char *code = kFileLanguageCodes[language - 1];
    return u"Help" + std::u16string(code, code + std::strlen(code)) + u".xqresource";
}

ResourceFile *loadResourceFile(const char16_t *name, ResourceReader reader)
{
    if (name == nullptr || reader == nullptr)
        return nullptr;

    std::uint8_t *raw = nullptr;
    std::int64_t count = reader(name, &raw, 0, kMinHeaderLength);
    ReaderBytes probe(raw);
    if (count != kMinHeaderLength || !probe)
        return nullptr;
    const std::uint32_t format = le::read32(probe.get() + kHeaderFormatAt);
    if (le::read32(probe.get() + kHeaderMagicAt) != kResourceMagic ||
        (format != kFormatTag && format != kFormatTagAlternate))
        return nullptr;
    // A header shorter than its own first three fields is as malformed as one
    // longer than 332 bytes: both reject the file.
    const std::uint32_t headerLength = le::read32(probe.get() + kHeaderLengthAt);
    if (headerLength < kMinHeaderLength || headerLength > kMaxHeaderLength)
        return nullptr;

    raw = nullptr;
    count = reader(name, &raw, 0, headerLength);
    ReaderBytes stored(raw);
    if (count != std::int64_t(headerLength) || !stored)
        return nullptr;

    auto file = std::make_unique<ResourceFile>();
    // The missing bytes of a short header read as zeros. The copy is always
    // 332 bytes, so even a header whose length field changed between the two
    // reads cannot be read past its end.
    std::memset(file->header, 0, sizeof file->header);
    std::memcpy(file->header, stored.get(), headerLength);
    if (le::read32(file->header + kHeaderLengthAt) < kMaxHeaderLength)
        le::write32(file->header + kHeaderLengthAt, kMaxHeaderLength);
    fixUpChain(file->header);

    std::u16string fullName(name);
    file->name = fullName.substr(0, kMaxNameLength);
    file->reader = reader;
    return file.release();
}

ResourceFile *openResourceFile(std::uint32_t language, bool preferred)
{
    const std::uint32_t key = preferred ? language | kPreferredBit : language;
    for (auto it = gOpenFiles.rbegin(); it != gOpenFiles.rend(); ++it)
        if ((*it)->chain(0) == key)
            return it->get();
    for (auto it = gFailedKeys.rbegin(); it != gFailedKeys.rend(); ++it)
        if (*it == key)
            return nullptr;

    // Both keys of a language name the same file. A key whose language has no
    // code (0, or 10 and above, e.g. from a stored setting of 0 or a chain
    // entry) names no file: it fails without anything being read.
    const std::u16string name = resourceFileName(key & ~kPreferredBit);
    std::unique_ptr<ResourceFile> file;
    if (!name.empty())
        file.reset(loadResourceFile(name.c_str(), gReader));
    if (file && file->chain(0) == key) {
        gOpenFiles.push_back(std::move(file));
        return gOpenFiles.back().get();
    }
    gFailedKeys.push_back(key);
    return nullptr;
}

void resetResourceFiles()
{
    gOpenFiles.clear();
    gFailedKeys.clear();
}

const std::vector<std::uint32_t> &failedResourceKeys()
{
    return gFailedKeys;
}
