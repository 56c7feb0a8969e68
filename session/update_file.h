// CUpdateFile: one firmware file of a release, as the release scan found it.
#pragma once

#include <QString>

struct CUpdateFile {
    QString path;        // absolute path, every '/' written as '\' (the form the transfer opens)
    QString name;        // the file name as listed, in its own letter case
    qint64 size = 0;     // bytes, at scan time
    qint64 diskOffset = 0; // where its first byte goes on the calculator disk
    QString sourcePath;  // a private copy's original, in the same form; empty when `path` is the original

    // The file the person chose: the original of a private copy.
    const QString &chosenPath() const { return sourcePath.isEmpty() ? path : sourcePath; }
};
