#pragma once

#include "databasesettings.h"

#include <QObject>
#include <QString>

#include <functional>

class ActiveLock;

// The server's role among the servers that share one database: active (it
// serves clients, polls, keeps the database) or standby (running, its client
// ports closed, waiting). A SQLite database has one server, always active.
// On PostgreSQL the active one is the holder of the database's ActiveLock:
// a standby becomes active when it gets the lock, and an active server that
// loses it stops at once and waits again, so that a standby taking over never
// finds it still at work. The log says each change.
class ServerRole : public QObject
{
    Q_OBJECT

public:
    // start: brings the active server's work up, false when it cannot (it
    // logged why); stop: takes it down again, whatever start reached.
    using Start = std::function<bool()>;
    using Stop = std::function<void()>;

    // connectionName: the connection the lock is held on, the server's
    // database's by default (Database adopts it): see ActiveLock.
    ServerRole(const DatabaseSettings &settings, Start start, Stop stop, QObject *parent = nullptr,
               const QString &connectionName = QString());
    ~ServerRole() override;

    // SQLite: starts at once. PostgreSQL: waits for the lock, trying every
    // retryMs, and checks it every checkMs while active.
    void begin(int retryMs, int checkMs);
    // The service stops: the work stops and the lock goes.
    void end();
    bool isActive() const { return m_active; }

private:
    void onAcquired();
    void onLost(const QString &reason);
    void onRefused(const QString &reason);

    DatabaseSettings m_settings;
    QString m_connectionName;
    Start m_start;
    Stop m_stop;
    ActiveLock *m_lock = nullptr;
    bool m_active = false;      // the work is up (m_start succeeded)
    QString m_lastWaitReason;   // logged once, not at every attempt
};
