// A generated release of the legacy layout for the window's suites: each
// file's bytes say which file they belong to, and no file fills its last
// sector.
#pragma once

#include "support/release_layout.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

namespace testsupport {

// Each file's size.
inline int sizeOf(const ReleaseFile &file)
{
    constexpr int kSizes[] = {70001, 41000, 23333};
    return kSizes[&file - kLegacyRelease];
}

inline QByteArray fileBytes(const QString &name, int size)
{
    QByteArray bytes;
    bytes.reserve(size);
    const QByteArray head = "release file " + name.toUtf8() + "\n";
    while (bytes.size() < size)
        bytes += head + QByteArray::number(bytes.size());
    bytes.truncate(size);
    return bytes;
}

// The release into `folder`, its files named `names` (in the layout's order)
// or with their legacy names.
inline bool writeRelease(const QString &folder, const QStringList &names = {})
{
    if (!QDir().mkpath(folder))
        return false;
    for (const ReleaseFile &file : kLegacyRelease) {
        const QString name = names.isEmpty() ? QString::fromLatin1(file.name) : names.value(int(&file - kLegacyRelease));
        QFile out(folder + "/" + name);
        const QByteArray bytes = fileBytes(QString::fromLatin1(file.name), sizeOf(file));
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size())
            return false;
    }
    return true;
}

} // namespace testsupport
