#include "ui/suite_settings.h"

#include "resources/language.h"
#include "ui/update_dialog.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>
#include <QSettings>
#include <QStandardPaths>

namespace {
const char kOrganization[] = "XQ";
const char kOrganizationDomain[] = "xq-instruments.example";
const char kApplication[] = "XQ Tarnlink"; // also the name of its work folder
} // namespace

void installSearchPaths()
{
    const QString base = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    QDir::setSearchPaths(QStringLiteral("icons"), {base + QStringLiteral("icons")});
    QDir::setSearchPaths(QStringLiteral("resource"), {base + QStringLiteral("resource")});
}

std::uint32_t languageFromSetting(const QVariant &stored, const QString &systemLocaleName)
{
    const std::int32_t value = stored.isValid()
                                   ? stored.toInt()
                                   : std::int32_t(languageFromLocale(systemLocaleName.toStdString()));
    std::uint32_t language = 0;
    checkLanguage(&language, value);
    return language;
}

QString defaultWorkFolder()
{
    const QStringList documents = QStandardPaths::standardLocations(QStandardPaths::DocumentsLocation);
    // A system that names no documents folder: the home folder stands in.
    const QString base = documents.isEmpty() ? QDir::homePath() : documents.first();
    return base + QLatin1Char('/') + QString::fromLatin1(kApplication);
}

void readSuiteSettings(CCalcFWUpdateMSDialog *dialog)
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(kOrganization));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(kOrganizationDomain));
    QCoreApplication::setApplicationName(QString::fromLatin1(kApplication));

    const QSettings settings;
    dialog->languageIndex = languageFromSetting(settings.value(QStringLiteral("Language")), QLocale::system().name());
    dialog->firmwareFolder = settings.value(QStringLiteral("WorkFolder"), defaultWorkFolder()).toString();
    dialog->firmwareFolder.replace(QLatin1Char('\\'), QLatin1Char('/'));
}
