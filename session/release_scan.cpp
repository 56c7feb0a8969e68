#include "session/release_scan.h"

#include "session/release_layout.h"

#include <QDir>
#include <QFileInfo>

namespace {

// The name of `role` in the legacy or the current set.
QLatin1String roleName(const ReleaseRole &role, bool current)
{
    return QLatin1String(current ? role.currentName : role.legacyName);
}

// The index in kReleaseLayout of the role the upper-cased name has in the
// legacy or the current set; -1 when it names none.
int roleOf(const QString &upperName, bool current)
{
    for (std::size_t i = 0; i < kReleaseRoleCount; ++i) {
        if (upperName == roleName(kReleaseLayout[i], current))
            return static_cast<int>(i);
    }
    return -1;
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

// A file of `size` bytes is not empty and fits the place of `role`.
bool fitsRoom(qint64 size, const ReleaseRole &role)
{
    return size > 0 && (role.room == 0 || size <= role.room);
}

// `path` with its links resolved, also when it does not exist yet (then
// its folder's are).
QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists())
        return info.canonicalFilePath();
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? info.absoluteFilePath() : folder + QLatin1Char('/') + info.fileName();
}

} // namespace

bool folderHolds(const QString &folder, const QString &path)
{
    if (folder.isEmpty() || path.isEmpty())
        return false;
    QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        return false;
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    return resolvedPath(path).startsWith(root, Qt::CaseInsensitive);
}

bool sameFile(const QString &a, const QString &b)
{
    return !a.isEmpty() && !b.isEmpty() && resolvedPath(a).compare(resolvedPath(b), Qt::CaseInsensitive) == 0;
}

bool isCurrentSetName(QString name)
{
    return roleOf(name.toUpper(), true) >= 0;
}

bool releaseUsesCurrentNames(const QString &folder)
{
    for (const QFileInfo &file : listFolderFiles(folder)) {
        if (isCurrentSetName(file.fileName()))
            return true;
    }
    return false;
}

QVector<CUpdateFile> listReleaseFiles(const QString &folder, bool useCurrentNames)
{
    QVector<CUpdateFile> release;
    for (const QFileInfo &file : listFolderFiles(folder)) {
        const QString upperName = file.fileName().toUpper();
        const int role = roleOf(upperName, useCurrentNames);
        if (role < 0)
            continue;
        CUpdateFile record;
        record.path = file.absoluteFilePath().replace(QLatin1Char('/'), QLatin1Char('\\'));
        record.name = file.fileName();
        record.size = file.size();
        record.diskOffset = kReleaseLayout[role].diskOffset;
        release.append(record);
    }
    return release;
}

bool isCompleteRelease(const QVector<CUpdateFile> &files)
{
    if (files.size() != static_cast<int>(kReleaseRoleCount))
        return false;
    bool seen[kReleaseRoleCount] = {};
    const bool current = isCurrentSetName(files.first().name);
    for (const CUpdateFile &file : files) {
        const int role = roleOf(file.name.toUpper(), current);
        if (role < 0 || seen[role] || !fitsRoom(file.size, kReleaseLayout[role]))
            return false;
        seen[role] = true;
    }
    return true;
}

ReleaseShortfall releaseShortfall(const QString &folder, bool useCurrentNames)
{
    ReleaseShortfall shortfall;
    const QFileInfo info(folder);
    if (folder.isEmpty() || !info.exists()) {
        shortfall.noFolder = true;
        return shortfall;
    }
    if (!info.isDir()) {
        shortfall.notAFolder = true;
        return shortfall;
    }
    if (!QDir(folder).isReadable()) {
        shortfall.unreadable = true;
        return shortfall;
    }
    int count[kReleaseRoleCount] = {};
    const QVector<CUpdateFile> files = listReleaseFiles(folder, useCurrentNames);
    for (const CUpdateFile &file : files)
        ++count[roleOf(file.name.toUpper(), useCurrentNames)];
    for (std::size_t i = 0; i < kReleaseRoleCount; ++i) {
        const QString name = roleName(kReleaseLayout[i], useCurrentNames);
        if (count[i] == 0)
            shortfall.missing << name;
        else if (count[i] > 1)
            shortfall.twoSpellings << name;
    }
    // The sizes of the files that alone hold their role, in listing order.
    for (const CUpdateFile &file : files) {
        const ReleaseRole &role = kReleaseLayout[roleOf(file.name.toUpper(), useCurrentNames)];
        if (count[&role - kReleaseLayout] != 1 || fitsRoom(file.size, role))
            continue;
        if (file.size <= 0)
            shortfall.empty << file.name;
        else
            shortfall.tooLarge.append({file.name, file.size, role.room});
    }
    return shortfall;
}
