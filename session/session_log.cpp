#include "session/session_log.h"

#include <QDateTime>

bool CSessionLog::open(const QString &path, QString *error)
{
    std::lock_guard<std::mutex> hold(lock_);
    file_.setFileName(path);
    if (file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return true;
    *error = QStringLiteral("%1: %2").arg(path, file_.errorString());
    return false;
}

void CSessionLog::write(const QString &line)
{
    QString text = line;
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray bytes = (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
                              QStringLiteral("  ") + text + QLatin1Char('\n'))
                                 .toUtf8();
    std::lock_guard<std::mutex> hold(lock_);
    if (!file_.isOpen())
        return;
    if (file_.write(bytes) != bytes.size() || !file_.flush())
        failed_.store(true);
}
