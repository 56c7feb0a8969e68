#include "resources/localized_text.h"

#include "resources/string_lookup.h"

#include <QFile>

#include <algorithm>
#include <new>

std::int64_t readResourceBytes(const char16_t *name, std::uint8_t **out, std::int64_t from, std::int64_t to)
{
    *out = nullptr;
    // Qt resolves the "resource:" prefix through the search path of that name.
    QFile file(QStringLiteral("resource:") + QString::fromUtf16(name));
    if (!file.exists() || !file.open(QIODevice::ReadOnly))
        return 0;
    const std::int64_t end = std::min<std::int64_t>(to, file.size());
    if (from >= end)
        return 0;
    // A position the file cannot seek to reads nothing, like a failed read.
    if (from < 0 || !file.seek(from))
        return 0;
    const std::int64_t length = end - from;
    auto *buffer = new (std::nothrow) std::uint8_t[std::size_t(length)];
    if (buffer == nullptr)
        return 0;
    *out = buffer;
    const qint64 count = file.read(reinterpret_cast<char *>(buffer), length);
    file.close();
    return count < 0 ? 0 : count;
}

QString localizedText(std::uint32_t identifier, std::uint32_t language)
{
    if (resourceReader() == nullptr)
        setResourceReader(readResourceBytes);
    const char16_t *text = lookupString(identifier, language);
    return text == nullptr ? QString() : QString::fromUtf16(text);
}
