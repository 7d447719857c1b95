#include "zelto.h"

#include "zeltoenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <cstring>

namespace Zelto {

QString fromUtf8(const char *data, int size)
{
    // Every leading mark is kept, and what follows them starts with none.
    int marks = 0;
    while (size - 3 * marks >= 3 && std::memcmp(data + 3 * marks, "\xEF\xBB\xBF", 3) == 0)
        ++marks;
    if (marks == 0)
        return QString::fromUtf8(data, size);
    return QString(marks, QChar(0xFEFF)) + QString::fromUtf8(data + 3 * marks, size - 3 * marks);
}

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
