#include "tools/ts_reader.h"

#include <QFile>
#include <QSet>
#include <QXmlStreamReader>

namespace {

class TsParser {
public:
    TsParser(QIODevice *device, TsFile *ts) : xml_(device), ts_(ts) {}
    bool parse(QString *error);

private:
    void readContext();
    void readMessage();
    QString readText();
    void fail(const QString &message, qint64 line = 0);

    QXmlStreamReader xml_;
    TsFile *ts_;
    QSet<std::uint32_t> ids_;
    QString error_;
};

void TsParser::fail(const QString &message, qint64 line)
{
    if (error_.isEmpty())
        error_ = QStringLiteral("line %1: %2").arg(line ? line : xml_.lineNumber()).arg(message);
    xml_.raiseError(message);
}

bool TsParser::parse(QString *error)
{
    if (xml_.readNextStartElement()) {
        if (xml_.name() != QLatin1String("TS")) {
            fail(QStringLiteral("not a Qt Linguist file (root element <%1>)").arg(xml_.name()));
        } else {
            ts_->language = xml_.attributes().value(QLatin1String("language")).toString();
            while (xml_.readNextStartElement()) {
                if (xml_.name() == QLatin1String("context"))
                    readContext();
                else
                    xml_.skipCurrentElement();
            }
        }
    }
    // Read to the end, so that anything malformed after the root is found too.
    while (!xml_.atEnd())
        xml_.readNext();
    if (xml_.hasError() && error_.isEmpty())
        error_ = QStringLiteral("line %1: %2").arg(xml_.lineNumber()).arg(xml_.errorString());
    *error = error_;
    return error_.isEmpty();
}

void TsParser::readContext()
{
    while (xml_.readNextStartElement()) {
        if (xml_.name() == QLatin1String("message"))
            readMessage();
        else
            xml_.skipCurrentElement();
    }
}

void TsParser::readMessage()
{
    const auto line = static_cast<int>(xml_.lineNumber());
    const QXmlStreamAttributes attributes = xml_.attributes();
    if (attributes.value(QLatin1String("numerus")) == QLatin1String("yes"))
        return fail(QStringLiteral("plural (numerus) messages are not supported"));
    if (!attributes.hasAttribute(QLatin1String("id")))
        return fail(QStringLiteral("a message without an id attribute"));
    const QString idText = attributes.value(QLatin1String("id")).toString();
    bool ok = !idText.isEmpty();
    for (QChar c : idText)
        ok = ok && c >= QLatin1Char('0') && c <= QLatin1Char('9');
    const qulonglong id = ok ? idText.toULongLong(&ok) : 0;
    if (!ok || id == 0 || id > 0xFFFFFFFFull)
        return fail(QStringLiteral("message id \"%1\" is not a number from 1 to 4294967295").arg(idText));

    TsMessage message{static_cast<std::uint32_t>(id), QString(), QString(), line};
    bool obsolete = false;
    while (xml_.readNextStartElement()) {
        if (xml_.name() == QLatin1String("source")) {
            message.source = readText();
        } else if (xml_.name() == QLatin1String("translation")) {
            const QStringRef type = xml_.attributes().value(QLatin1String("type"));
            obsolete = type == QLatin1String("obsolete") || type == QLatin1String("vanished");
            message.translation = readText();
        } else {
            xml_.skipCurrentElement();
        }
    }
    if (xml_.hasError() || obsolete)
        return;
    if (ids_.contains(message.id))
        return fail(QStringLiteral("message id %1 appears twice").arg(message.id), line);
    ids_.insert(message.id);
    ts_->messages.push_back(message);
}

// The text of <source> or <translation>, with <byte value="..."/> elements
// turned into the code units they stand for.
QString TsParser::readText()
{
    QString text;
    while (!xml_.atEnd()) {
        switch (xml_.readNext()) {
        case QXmlStreamReader::Characters:
            text += xml_.text();
            break;
        case QXmlStreamReader::StartElement:
            if (xml_.name() == QLatin1String("byte")) {
                const QString value = xml_.attributes().value(QLatin1String("value")).toString();
                bool ok = false;
                const uint unit = value.startsWith(QLatin1Char('x')) ? value.mid(1).toUInt(&ok, 16)
                                                                     : value.toUInt(&ok, 10);
                if (!ok || unit > 0xFFFF) {
                    fail(QStringLiteral("<byte value=\"%1\"/> is not a UTF-16 code unit").arg(value));
                    return text;
                }
                text += QChar(static_cast<ushort>(unit));
            }
            xml_.skipCurrentElement();
            break;
        case QXmlStreamReader::EndElement:
            return text;
        default:
            break;
        }
    }
    return text;
}

} // namespace

bool readTsFile(const QString &path, TsFile *ts, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    *ts = TsFile();
    TsParser parser(&file, ts);
    if (!parser.parse(error)) {
        *error = path + QLatin1Char(':') + *error;
        return false;
    }
    return true;
}
