// A CSV reader written from the format's rules (RFC 4180: records end with
// CRLF, fields are separated by commas, a field may be enclosed in double
// quotes, inside which a comma, a line break or a doubled quote stands for
// itself), independent of the report's writer, for the suites that read the
// report back.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

// The records of UTF-8 `bytes`, or an empty list when the text breaks the rules.
inline QList<QStringList> readCsv(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes);
    QList<QStringList> records;
    QStringList record;
    QString field;
    int i = 0;
    bool fieldStarted = false;
    while (i < text.size()) {
        const QChar c = text[i];
        if (!fieldStarted && c == '"') {
            // A quoted field: up to the lone closing quote.
            ++i;
            for (;;) {
                if (i >= text.size())
                    return {};
                if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                    field += '"';
                    i += 2;
                } else if (text[i] == '"') {
                    ++i;
                    break;
                } else {
                    field += text[i++];
                }
            }
            fieldStarted = true;
            if (i < text.size() && text[i] != ',' && text[i] != '\r')
                return {};
            continue;
        }
        if (c == ',') {
            record << field;
            field.clear();
            fieldStarted = false;
            ++i;
        } else if (c == '\r') {
            if (i + 1 >= text.size() || text[i + 1] != '\n')
                return {};
            record << field;
            records << record;
            record.clear();
            field.clear();
            fieldStarted = false;
            i += 2;
        } else if (c == '"' || c == '\n') {
            return {}; // a quote or a bare line break inside an unquoted field
        } else {
            field += c;
            fieldStarted = true;
            ++i;
        }
    }
    return fieldStarted || !record.isEmpty() ? QList<QStringList>{} : records;
}

} // namespace testsupport
