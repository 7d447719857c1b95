#include "serverrole.h"

#include "activelock.h"
#include "database.h"
#include "zeltosystem.h"

#include <utility>

namespace {

void log(ZeltoSystem::LogLevel level, const QString &message)
{
    ZeltoSystem::instance()->log(level, message);
}

} // namespace

ServerRole::ServerRole(const DatabaseSettings &settings, Start start, Stop stop, QObject *parent,
                       const QString &connectionName)
    : QObject(parent),
      m_settings(settings),
      m_connectionName(connectionName.isEmpty() ? Database::connectionName() : connectionName),
      m_start(std::move(start)),
      m_stop(std::move(stop))
{
}

ServerRole::~ServerRole()
{
    end();
}

void ServerRole::begin(int retryMs, int checkMs)
{
    if (!m_settings.isPostgreSQL()) {
        m_active = m_start();
        if (!m_active)
            m_stop();
        return;
    }
    m_lock = new ActiveLock(m_settings, m_connectionName, this);
    connect(m_lock, &ActiveLock::acquired, this, &ServerRole::onAcquired);
    connect(m_lock, &ActiveLock::lost, this, &ServerRole::onLost);
    connect(m_lock, &ActiveLock::refused, this, &ServerRole::onRefused);
    log(ZeltoSystem::LogInfo, tr("Резервный сервер: ждёт, пока БД %1 освободит активный сервер").arg(m_settings.describe()));
    m_lock->start(retryMs, checkMs);
}

void ServerRole::end()
{
    if (m_active) {
        m_active = false;
        m_stop();
    }
    delete m_lock;   // its session ends, and the lock with it
    m_lock = nullptr;
}

void ServerRole::onAcquired()
{
    m_lastWaitReason.clear();
    log(ZeltoSystem::LogInfo, tr("Сервер стал активным: блокировка БД %1 получена").arg(m_settings.describe()));
    if (m_start()) {
        m_active = true;
        return;
    }
    // What could not start must not hold the role another server could fill.
    m_stop();
    m_lock->release();
    log(ZeltoSystem::LogError, tr("Активный сервер не запустился: блокировка освобождена, сервер снова резервный"));
}

void ServerRole::onLost(const QString &reason)
{
    // The lock is gone already: another server may take over in seconds.
    // Nothing of this one's may go on meanwhile.
    if (m_active) {
        m_active = false;
        m_stop();
    }
    log(ZeltoSystem::LogWarning,
        tr("Сервер потерял блокировку БД (%1): клиенты отключены, опрос остановлен, сервер снова резервный")
            .arg(reason));
}

void ServerRole::onRefused(const QString &reason)
{
    if (reason == m_lastWaitReason)
        return;
    m_lastWaitReason = reason;
    log(ZeltoSystem::LogInfo, tr("Резервный сервер: %1").arg(reason));
}
