#include "zeltosystem.h"

#include "zelto.h"
#include "zeltoclock.h"
#include "zeltoenvironment.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>

#include <cstdio>
#include <syslog.h>

namespace {

int syslogPriority(int level)
{
    switch (level) {
    case ZeltoSystem::LogError:
        return LOG_ERR;
    case ZeltoSystem::LogWarning:
        return LOG_WARNING;
    case ZeltoSystem::LogInfo:
        return LOG_INFO;
    default:
        return LOG_DEBUG;
    }
}

const char *levelName(int level)
{
    switch (level) {
    case ZeltoSystem::LogError:
        return "ERROR";
    case ZeltoSystem::LogWarning:
        return "WARNING";
    case ZeltoSystem::LogInfo:
        return "INFO";
    default:
        return "DEBUG";
    }
}

} // namespace

ZeltoSystem::ZeltoSystem() : m_logLevel(ZeltoEnvironment::logLevel(LogInfo)) {}

ZeltoSystem *ZeltoSystem::instance()
{
    // Never destroyed: pool threads and static command objects may still use
    // it while the process exits.
    static ZeltoSystem *system = new ZeltoSystem;
    return system;
}

void ZeltoSystem::setProperty(const char *name, const QVariant &value, bool emitChange)
{
    const QString key = QString::fromLatin1(name);
    {
        QMutexLocker locker(&m_mutex);
        m_properties.insert(key, value);
    }
    if (emitChange)
        emit propertyChanged(key, value);
}

QVariant ZeltoSystem::property(const char *name) const
{
    QMutexLocker locker(&m_mutex);
    return m_properties.value(QString::fromLatin1(name));
}

QString ZeltoSystem::settingsPath() const
{
    QMutexLocker locker(&m_mutex);
    return m_settingsPath;
}

void ZeltoSystem::setSettingsPath(const QString &path)
{
    QMutexLocker locker(&m_mutex);
    m_settingsPath = path;
}

void ZeltoSystem::log(int level, const QString &text)
{
    if (level > m_logLevel)
        return;
    const QByteArray line = ZeltoClock::system()->now().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")).toUtf8()
        + ' ' + levelName(level) + ": " + text.toUtf8();
    if (!Zelto::stderrIsJournal()) {
        // One writer at a time keeps lines from different threads whole.
        QMutexLocker locker(&m_mutex);
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
    }
    syslog(syslogPriority(level), "%s", text.toUtf8().constData());
}

void ZeltoSystem::notify(const QString &name, const QVariant &value)
{
    emit notification(name, value);
}
