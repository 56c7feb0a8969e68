#include "session/fixed_release.h"

#include "platform/disk_system.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <vector>

namespace {

constexpr std::uint32_t kReadChunk = 1u << 20;

// The platform's form of a path (every '/' a '\'), and back to Qt's.
QString platformForm(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}
QString qtForm(QString path)
{
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

enum class ReadResult { Whole, Unreadable, OtherSize, CopyFailed };

// Reads the file at `path` (the platform's form) from start to end, into
// `hashes` and `copy` (may be null), and checks that it holds exactly
// `expected` bytes: a file that grows or shrinks while it is read is not
// the file that was listed.
ReadResult readWhole(const QString &path, qint64 expected, std::vector<QCryptographicHash *> hashes, QFile *copy,
                     std::uint32_t *systemError)
{
    *systemError = 0;
    const std::u16string wide = path.toStdU16String();
    platform::Handle file = platform::activeDiskSystem().openFile(wide.c_str());
    if (file == platform::kInvalidHandle) {
        *systemError = platform::lastError();
        return ReadResult::Unreadable;
    }
    std::vector<char> buffer(kReadChunk);
    ReadResult result = file->size() == expected ? ReadResult::Whole : ReadResult::OtherSize;
    qint64 total = 0;
    while (result == ReadResult::Whole) {
        std::uint32_t moved = 0;
        if (!file->read(buffer.data(), kReadChunk, &moved)) {
            *systemError = platform::lastError();
            result = ReadResult::Unreadable;
            break;
        }
        if (moved == 0 || moved > kReadChunk)
            break;
        total += moved;
        if (total > expected) {
            result = ReadResult::OtherSize;
            break;
        }
        for (QCryptographicHash *hash : hashes)
            hash->addData(buffer.data(), int(moved));
        if (copy != nullptr && copy->write(buffer.data(), moved) != qint64(moved)) {
            result = ReadResult::CopyFailed;
            break;
        }
    }
    platform::closeHandle(file);
    if (result == ReadResult::Whole && total != expected)
        result = ReadResult::OtherSize;
    return result;
}

} // namespace

std::shared_ptr<const CFixedRelease> CFixedRelease::fix(const QVector<CUpdateFile> &files, Failure *failure)
{
    std::shared_ptr<CFixedRelease> release(new CFixedRelease);
    Failure why;
    const auto refuse = [&](Failure::Kind kind, const QString &name, std::uint32_t systemError, const QString &detail) {
        why.kind = kind;
        why.name = name;
        why.systemError = systemError;
        why.detail = detail;
        if (failure)
            *failure = why;
        return nullptr;
    };
    QTemporaryDir &folder = release->folder_;
    if (!folder.isValid())
        return refuse(Failure::NoCopy, QString(), 0, folder.errorString());
    // The transfer opens the backslash form; where '\' is a name character
    // a temporary folder holding one would name another file.
    if (QDir::separator() == QLatin1Char('/') && folder.path().contains(QLatin1Char('\\')))
        return refuse(Failure::NoCopy, QString(), 0, QStringLiteral("the temporary folder's path holds a '\\'"));

    QCryptographicHash releaseHash(QCryptographicHash::Sha256);
    for (int i = 0; i < files.size(); ++i) {
        const CUpdateFile &listed = files[i];
        Original original;
        original.sourcePath = listed.path;
        original.nativePath = qtForm(listed.path);
        original.size = listed.size;
        // The time before the read: a change during the read leaves a later one.
        original.modified = QFileInfo(original.nativePath).lastModified();

        CUpdateFile sent = listed;
        sent.sourcePath = listed.path;
        const QString copyPath = folder.filePath(QString::number(i) + QLatin1Char('-') + listed.name);
        QFile copy(copyPath);
        if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return refuse(Failure::NoCopy, listed.name, 0, copy.errorString());
        QCryptographicHash fileHash(QCryptographicHash::Sha256);
        std::uint32_t systemError = 0;
        switch (readWhole(listed.path, listed.size, {&fileHash, &releaseHash}, &copy, &systemError)) {
        case ReadResult::Unreadable:
            return refuse(Failure::Unreadable, listed.name, systemError, QString());
        case ReadResult::OtherSize:
            return refuse(Failure::Changed, listed.name, 0, QString());
        case ReadResult::CopyFailed:
            return refuse(Failure::NoCopy, listed.name, 0, copy.errorString());
        case ReadResult::Whole:
            break;
        }
        if (!copy.flush() || copy.size() != listed.size)
            return refuse(Failure::NoCopy, listed.name, 0, copy.errorString());
        copy.close();
        original.sha256 = fileHash.result();
        sent.path = platformForm(copyPath);
        release->files_.append(sent);
        release->originals_.append(original);
    }
    release->releaseHash_ = releaseHash.result();
    return release;
}

QString CFixedRelease::changedFile(bool thorough) const
{
    for (int i = 0; i < originals_.size(); ++i) {
        const Original &original = originals_[i];
        const QFileInfo now(original.nativePath);
        if (!now.isFile() || now.size() != original.size)
            return files_[i].name;
        // A new time alone may be a copy of the same bytes over it: they decide.
        if (!thorough && now.lastModified() == original.modified)
            continue;
        QCryptographicHash hash(QCryptographicHash::Sha256);
        std::uint32_t systemError = 0;
        if (readWhole(original.sourcePath, original.size, {&hash}, nullptr, &systemError) != ReadResult::Whole ||
            hash.result() != original.sha256)
            return files_[i].name;
    }
    return QString();
}
