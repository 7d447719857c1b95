#pragma once

#include "listenerswitch.h"
#include "qtservice.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QObject>

class DataMonitor;
class Database;
class OPCServer;
class QTranslator;
class Scheduler;
class ServerRole;
class TaskManager;
class XmlRpcServer;
class ZeltoClock;
class ZeltoTimer;

// The data server as a service: the start-up sequence that opens the
// database and creates the long-lived objects in a fixed order, the orderly
// shutdown, and the ten-minute maintenance check (backup and journal
// compaction). All of it runs only while the server is the active one of its
// database (ServerRole); a standby waits with none of it.
class Service : public QObject, public QtService<QCoreApplication>
{
    Q_OBJECT

public:
    static const char Name[];   // the service's name, "Orvex Data Server"

    Service(int argc, char **argv);

    // The INI file: ORVEX_CONFIG when set, else the one in the home folder
    // named after the program.
    static QString settingsFilePath();

protected:
    void start() override;
    void stop() override;

private slots:
    void onPropertyChanged(const QString &name, const QVariant &value);
    void onErrorMessage(const QString &message);

private:
    // The active server's work, which ServerRole brings up and takes down:
    // database, tasks, scheduler, monitor, listeners, maintenance. A
    // standby has none of it; stopActive undoes whatever startActive reached.
    bool startActive();
    void stopActive();
    void installTranslators();
    // The stored value, or defaultValue (stored when not null) when it is not set.
    QVariant setting(const QString &name, const QVariant &defaultValue = QVariant()) const;
    void seedSettings();
    // The interface of INI "Server/address" for every listener; all when unset or unreadable.
    QHostAddress listenAddress();
    void openListeners(const QHostAddress &address);
    // The four listeners that follow their port settings, opened as the settings say.
    void followPortSettings();
    // "requestBufferLimit", "connectionsPerAddress" and "allowedHosts" to
    // the listeners; other names are not theirs and change nothing.
    void applyListenerSetting(const QString &name, const QVariant &value);
    void loadMaintenanceState();
    // Every ten minutes, and once at start: a backup and a compaction when due.
    void maintain();
    void backupIfDue(const QDateTime &now);
    void onBackupFinished(const QDateTime &started, bool ok, const QString &error);
    void compactIfDue(const QDateTime &now);

    ServerRole *m_role = nullptr;   // from start to stop
    Database *m_database = nullptr;   // while active: the open database
    // The clock of everything the service creates: the system's.
    ZeltoClock *m_clock;
    ZeltoTimer *m_maintenance;   // active while the service runs
    bool backupEnabled = false;
    QDateTime lastBackup;
    int backupInterval = 24;
    QDateTime lastCompact;
    int compactInterval = 24;
    QList<QTranslator *> m_translators;
    QHostAddress m_address;   // of every listener, from "Server/address"
    QList<ListenerSwitch> m_portListeners;
    OPCServer *m_opcServer = nullptr;   // while active: it publishes the open database
    XmlRpcServer *m_xmlRpc = nullptr;   // while active: follows "xPort"
    // While active: polling, the monitor that asks it for monitor runs and
    // the scheduler that starts its timetabled runs.
    TaskManager *m_polling = nullptr;
    DataMonitor *m_monitor = nullptr;
    Scheduler *m_scheduler = nullptr;
};
