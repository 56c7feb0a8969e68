// Reading a Qt Linguist .ts file whose messages carry numeric identifiers:
// <message id="622"><source>...</source><translation>...</translation></message>.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

struct TsMessage {
    std::uint32_t id;     // the message's id attribute, 1 to 2^32 - 1
    QString source;       // the English text
    QString translation;  // empty when not translated; unfinished translations count
    int line;             // where the message starts, for messages about it
};

struct TsFile {
    QString language;                // the TS element's language attribute, such as "de_DE"
    std::vector<TsMessage> messages; // in file order; obsolete and vanished ones left out
};

// Reads `path`. Characters that XML cannot carry may be written as
// <byte value="x1b"/> (hex) or <byte value="27"/>, as Qt Linguist does.
// Fails (false, one-line *error with the line) on unreadable or malformed XML,
// a root other than TS, a message without a numeric id, a duplicate id, or
// plural (numerus) messages.
bool readTsFile(const QString &path, TsFile *ts, QString *error);
