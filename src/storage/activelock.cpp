#include "activelock.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

namespace {

// "ORVX" and the lock's number: no other program's key by chance.
const qint64 LockKey = (qint64(0x4f525658) << 32) | 1;

// How long PostgreSQL keeps the session of a holder it no longer hears from:
// idle seconds, then probes every interval, count of them. 10 + 3 * 5 = 25 s,
// well after the holder's own checks gave the lock up (DatabaseSettings:
// about 5 s), and with the standby's retry inside 30 s of the loss.
const char *const ServerKeepalive[] = {"SET tcp_keepalives_idle = 10", "SET tcp_keepalives_interval = 5",
                                       "SET tcp_keepalives_count = 3"};

int s_connections = 0;

} // namespace

const qint64 ActiveLock::Key = LockKey;

ActiveLock::ActiveLock(const DatabaseSettings &settings, const QString &connectionName, QObject *parent)
    : QObject(parent),
      m_settings(settings),
      m_connectionName(connectionName.isEmpty() ? QStringLiteral("orvex-active-lock-%1").arg(++s_connections)
                                                : connectionName),
      m_timer(new QTimer(this))
{
    QObject::connect(m_timer, &QTimer::timeout, this, &ActiveLock::tick);
}

ActiveLock::~ActiveLock()
{
    release();
}

void ActiveLock::start(int retryMs, int checkMs)
{
    m_retryMs = retryMs;
    m_checkMs = checkMs;
    tick();
}

void ActiveLock::tick()
{
    if (m_active) {
        if (!holds()) {
            // The work on the session stops before the session ends: the
            // server's database may share the connection.
            m_active = false;
            emit lost(m_lastError);
            release();
        }
    } else if (tryAcquire()) {
        emit acquired();
    } else {
        emit refused(m_lastError);
    }
    // A slot of lost() or acquired() may have released or deleted nothing
    // but the lock; the timer goes on with the state it left.
    m_timer->start(m_active ? m_checkMs : m_retryMs);
}

bool ActiveLock::connect()
{
    if (QSqlDatabase::contains(m_connectionName)) {
        if (QSqlDatabase::database(m_connectionName, false).isOpen())
            return true;
        QSqlDatabase::removeDatabase(m_connectionName);
    }
    QSqlDatabase db = m_settings.open(m_connectionName);
    if (!db.isOpen()) {
        m_lastError = db.lastError().text().trimmed();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        return false;
    }
    QString error;
    {
        QSqlQuery query(db);
        for (const char *statement : ServerKeepalive) {
            if (!query.exec(QLatin1String(statement))) {
                error = query.lastError().text().trimmed();
                break;
            }
        }
    }
    if (error.isEmpty())
        return true;
    db = QSqlDatabase();
    release();
    m_lastError = error;
    return false;
}

bool ActiveLock::tryAcquire()
{
    if (m_active)
        return true;
    if (!m_settings.isPostgreSQL()) {
        m_lastError = tr("Блокировка активного сервера есть только у PostgreSQL");
        return false;
    }
    if (!connect())
        return false;
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(?)"));
    query.addBindValue(Key);
    if (!query.exec() || !query.next()) {
        m_lastError = query.lastError().text().trimmed();
        query = QSqlQuery();
        release();
        return false;
    }
    m_active = query.value(0).toBool();
    m_lastError = m_active ? QString() : tr("Блокировку держит другой сервер");
    return m_active;
}

bool ActiveLock::stillHeld()
{
    if (!m_active)
        return false;
    if (holds())
        return true;
    m_active = false;
    const QString reason = m_lastError;
    release();
    m_lastError = reason;
    return false;
}

bool ActiveLock::holds()
{
    // The lock itself, not just the connection: a session that an
    // administrator's pg_advisory_unlock_all left without it has lost it too.
    QSqlQuery query(QSqlDatabase::database(m_connectionName, false));
    query.prepare(QStringLiteral("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted "
                                 "AND pid = pg_backend_pid() AND classid = ? AND objid = ? AND objsubid = 1"));
    query.addBindValue(qint64(quint64(Key) >> 32));
    query.addBindValue(qint64(Key & 0xffffffff));
    if (query.exec() && query.next() && query.value(0).toInt() == 1)
        return true;
    m_lastError = query.lastError().isValid() ? query.lastError().text().trimmed()
                                              : tr("Сеанс больше не держит блокировку");
    return false;
}

void ActiveLock::release()
{
    const bool held = m_active;
    m_active = false;
    if (!QSqlDatabase::contains(m_connectionName))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        // Unlocked before the session ends, so that the lock is free when
        // this returns, not when PostgreSQL gets round to the closed session.
        if (held && db.isOpen()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT pg_advisory_unlock(?)"));
            query.addBindValue(Key);
            query.exec();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}
