#include "session/release_scan.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The names of the three roles, the same role at the same index in both sets:
// the application disk, the operating system, the master data.
const QString kLegacyNames[] = {QStringLiteral("APPSDISK.DAT"), QStringLiteral("GIRVAARM.ROM"),
                                QStringLiteral("MASTER.DAT")};
const QString kCurrentNames[] = {QStringLiteral("TAVIX_APP.DAT"), QStringLiteral("TAVIX_OS.ROM"),
                                 QStringLiteral("TAVIX_MASTER.DAT")};

template <std::size_t N>
bool isOneOf(const QString &upperName, const QString (&names)[N])
{
    for (const QString &name : names) {
        if (upperName == name)
            return true;
    }
    return false;
}

// The plain files of `folder` that the transfer can open, in ascending name
// order with letter case ignored; none for a missing folder.
QFileInfoList listFolderFiles(const QString &folder)
{
    QDir dir(folder);
    if (!dir.exists())
        return {};
    dir.setSorting(QDir::Name | QDir::IgnoreCase);
    QFileInfoList files;
    for (const QFileInfo &entry :
         dir.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort)) {
        if (entry.isDir())
            continue;
        // The transfer opens the backslash form of the path; where '\' is a
        // legal name character (Linux) a path that already holds one would
        // come back as a different file, so such a file is not offered.
        if (entry.absoluteFilePath().contains(QLatin1Char('\\')))
            continue;
        files << entry;
    }
    return files;
}

} // namespace

bool isCurrentSetName(QString name)
{
    return isOneOf(name.toUpper(), kCurrentNames);
}

bool releaseUsesCurrentNames(const QString &folder)
{
    for (const QFileInfo &file : listFolderFiles(folder)) {
        if (isCurrentSetName(file.fileName()))
            return true;
    }
    return false;
}

qint64 firmwareDiskOffset(const QString &upperName)
{
    if (upperName == kLegacyNames[0] || upperName == kCurrentNames[0])
        return 0x500000;
    if (upperName == kLegacyNames[2] || upperName == kCurrentNames[2])
        return 0x100000;
    return 0;
}

QVector<CUpdateFile> listReleaseFiles(const QString &folder, bool useCurrentNames)
{
    QVector<CUpdateFile> release;
    for (const QFileInfo &file : listFolderFiles(folder)) {
        const QString upperName = file.fileName().toUpper();
        if (!isOneOf(upperName, useCurrentNames ? kCurrentNames : kLegacyNames))
            continue;
        CUpdateFile record;
        record.path = file.absoluteFilePath().replace(QLatin1Char('/'), QLatin1Char('\\'));
        record.name = file.fileName();
        record.size = file.size();
        record.diskOffset = firmwareDiskOffset(upperName);
        release.append(record);
    }
    return release;
}

bool isCompleteRelease(const QVector<CUpdateFile> &files)
{
    if (files.size() != 3)
        return false;
    bool seen[3] = {false, false, false};
    const bool current = isCurrentSetName(files.first().name);
    for (const CUpdateFile &file : files) {
        const QString upperName = file.name.toUpper();
        const QString(&names)[3] = current ? kCurrentNames : kLegacyNames;
        int role = 0;
        while (role < 3 && upperName != names[role])
            ++role;
        if (role == 3 || seen[role])
            return false;
        seen[role] = true;
    }
    return true;
}
