#include "zelto.h"

#include "zeltoenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

namespace Zelto {

void sleep(int ms)
{
    if (ms > 0)
        QThread::msleep(ulong(ms));
}

void pinTimeZone()
{
    if (!ZeltoEnvironment::timeZoneSet() && QFileInfo::exists(QStringLiteral("/etc/localtime")))
        qputenv("TZ", ":/etc/localtime");
}

QString moduleDir()
{
    const QString home = ZeltoEnvironment::home();
    if (!home.isEmpty())
        return QDir(home).absolutePath();
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    // Before the application object exists: the executable's own folder.
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2);
}

bool stderrIsJournal()
{
    return ZeltoEnvironment::stderrIsJournal();
}

QString dataDir()
{
    const QString data = ZeltoEnvironment::dataDir();
    if (!data.isEmpty())
        return QDir(data).absolutePath();
    const QString home = moduleDir();
    if (QFileInfo(home + QStringLiteral("/metadata")).isDir())
        return home;
    const QString executableDir =
        QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2);
    const QString installed = QDir::cleanPath(executableDir + QStringLiteral("/../share/orvex"));
    return QFileInfo(installed).isDir() ? installed : home;
}

}
