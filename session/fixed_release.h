// A release fixed when it is chosen. Each file is read once, whole, through
// the platform's file calls, hashed (SHA-256) and copied into a folder of the
// user's own; the transfers send the copies. What reaches a calculator is then
// exactly what was checked, whatever happens to the release folder while the
// session runs (someone copies a new release into it). The originals are still
// watched: a release that changed under the session is refused rather than
// reported done, since the person's folder no longer holds what was sent.
#pragma once

#include "session/update_file.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QString>
#include <QTemporaryDir>
#include <QVector>

#include <cstdint>
#include <memory>

class CFixedRelease {
public:
    // Why a release could not be fixed: the file (its name as listed) and
    // what went wrong, with the system's error behind it (0: none given).
    struct Failure {
        enum Kind { Unreadable, Changed, NoCopy };
        Kind kind = Unreadable;
        QString name;
        std::uint32_t systemError = 0;
        QString detail; // NoCopy: the copy's own error text
    };

    // Reads every file of `files` (paths in the scan's backslash form) and
    // keeps its copy. A file that cannot be opened or read whole, or whose
    // size is no longer the listed one, gives no release: null, with *failure.
    static std::shared_ptr<const CFixedRelease> fix(const QVector<CUpdateFile> &files, Failure *failure);

    // The files as the transfers send them: `path` is the private copy,
    // `sourcePath` the original as listed; name, size and offset as listed.
    const QVector<CUpdateFile> &files() const { return files_; }
    // SHA-256 over the files' bytes, one after the other in their order.
    const QByteArray &sha256() const { return releaseHash_; }

    // The name of the first file whose original no longer holds what was
    // fixed; empty when none. Quick: its size, and its bytes (read again and
    // hashed) when its modification time is another. Thorough: its bytes
    // whatever its time says.
    QString changedFile(bool thorough) const;

private:
    struct Original {
        QString nativePath;  // the original, for QFileInfo
        QString sourcePath;  // the original, in the platform's form
        qint64 size = 0;
        QDateTime modified;
        QByteArray sha256;
    };
    CFixedRelease() = default;

    // Mode 0700; removed with the release (a copy that is killed leaves it
    // behind for the system's temporary-file cleaning).
    QTemporaryDir folder_{QDir::tempPath() + QStringLiteral("/tavix-release-XXXXXX")};
    QVector<CUpdateFile> files_;
    QVector<Original> originals_;
    QByteArray releaseHash_;
};
