// The release scan: which of a folder's files make up a firmware release, and
// where each goes on the calculator disk.
//
// A release is three files under one of two generations of names, never a
// mixture: the legacy or the current names of session/release_layout.h, in
// any letter case. One file with a current name anywhere in the folder puts
// the current set in force.
#pragma once

#include "session/update_file.h"

#include <QString>
#include <QStringList>
#include <QVector>

// True when the upper-cased name is one of the three current-set names.
bool isCurrentSetName(QString name);

// True when some file of `folder` (directories are not looked at) carries a
// current-set name; false for a missing folder. Looks at the same files as
// listReleaseFiles, so a file that could not be sent cannot decide the set.
bool releaseUsesCurrentNames(const QString &folder);

// The files of `folder` that carry a name of the set in force, in ascending
// name order with letter case ignored. Hidden and system files and
// directories are not listed. A missing folder gives none. A file whose
// absolute path already holds a '\' (a name character on Linux) is left out:
// its backslash form would name some other file.
QVector<CUpdateFile> listReleaseFiles(const QString &folder, bool useCurrentNames);

// True when `files` hold exactly one file for each of the three roles (the
// application disk, the operating system, the master data), all named from
// the same set, and each file is not empty and fits its room (the layout's;
// the application image's is checked against each calculator's disk). Where
// letter case tells names apart, "MASTER.DAT" and "master.dat" are two files
// for one role: such a folder is no release.
bool isCompleteRelease(const QVector<CUpdateFile> &files);

// Why a folder holds no complete release, for the person who chose it.
struct ReleaseShortfall {
    bool noFolder = false;     // there is nothing of that name
    bool notAFolder = false;   // that name is a file, not a folder
    bool unreadable = false;   // the folder exists but cannot be listed
    QStringList missing;       // names (of the set in force) with no file
    QStringList twoSpellings;  // names with more than one file (letter case apart)
    QStringList empty;         // files of 0 bytes, as the folder spells them
    struct Oversized {
        QString name;   // as the folder spells it
        qint64 size;    // its bytes
        qint64 room;    // what its place holds
    };
    QVector<Oversized> tooLarge; // files larger than their place
    bool isEmpty() const
    {
        return !noFolder && !notAFolder && !unreadable && missing.isEmpty() && twoSpellings.isEmpty() && empty.isEmpty() &&
               tooLarge.isEmpty();
    }
};

// What `folder` lacks, with the names of the set in force: empty exactly
// when isCompleteRelease(listReleaseFiles(folder, useCurrentNames)).
ReleaseShortfall releaseShortfall(const QString &folder, bool useCurrentNames);

// True when `path` names something inside `folder` (at any depth), after
// resolving links; a path that does not exist yet is resolved through its
// folder. Letter case is ignored, as on the systems that ignore it: a false
// "inside" refuses an output, a false "outside" would let it overwrite a
// release file. False for a folder that does not exist.
bool folderHolds(const QString &folder, const QString &path);

// True when `a` and `b` name the same file after resolving links (letter
// case ignored as above).
bool sameFile(const QString &a, const QString &b);
