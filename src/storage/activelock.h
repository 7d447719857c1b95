#pragma once

#include "databasesettings.h"

#include <QObject>
#include <QString>

class QTimer;

// Which one of the servers sharing a PostgreSQL database is the active one:
// the one holding the session advisory lock ActiveLock::Key. PostgreSQL frees
// the lock when that session ends (the server killed, its machine gone, the
// network cut, an administrator's pg_terminate_backend), so exactly one holds
// it, and another can take it once the holder is gone. The server's own
// connection is the lock's (ServerRole names it): its statements run only in
// the session that holds the lock, and a session ended takes the lock and
// the server's work with it at once, not at the next check.
//
// Not holding the lock, it tries every retry interval; holding it, it makes
// sure every check interval that it still does, and on the first failure
// (the connection lost, the session ended) gives it up and says so at once:
// the connection's timeouts (DatabaseSettings) end a check on a silent
// network within seconds, before PostgreSQL's own keepalives
// (set on the session) let another server take the lock.
// Main thread only.
class ActiveLock : public QObject
{
    Q_OBJECT

public:
    // The lock's key in PostgreSQL's advisory lock space of the database.
    static const qint64 Key;
    static const int DefaultRetryMs = 3000;
    static const int DefaultCheckMs = 1000;

    // connectionName: the connection the lock is held on (QSqlDatabase's
    // name); empty: one of its own.
    explicit ActiveLock(const DatabaseSettings &settings, const QString &connectionName = QString(),
                        QObject *parent = nullptr);
    ~ActiveLock() override;   // gives the lock up

    // Tries at once and then on the timers: acquired() or refused(), later lost().
    void start(int retryMs = DefaultRetryMs, int checkMs = DefaultCheckMs);
    // One attempt now: true when this object holds the lock (it did already, or got it).
    bool tryAcquire();
    // While held: true when the session still holds it; false gives it up (no signal).
    bool stillHeld();
    // Gives the lock up (free for another server when this returns) and ends the session.
    void release();

    bool isActive() const { return m_active; }
    // Why the last attempt or check failed; empty when it did not.
    const QString &lastError() const { return m_lastError; }

signals:
    void acquired();
    // An attempt on the timers that did not get the lock, and why.
    void refused(const QString &reason);
    void lost(const QString &reason);

private:
    void tick();
    bool connect();
    // While held: true when the session still holds it (lastError() says why not); changes nothing.
    bool holds();

    DatabaseSettings m_settings;
    QString m_connectionName;
    QTimer *m_timer;
    int m_retryMs = DefaultRetryMs;
    int m_checkMs = DefaultCheckMs;
    bool m_active = false;
    QString m_lastError;
};
