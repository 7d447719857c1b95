#pragma once

#include "commandcontext.h"

#include "zeltoclock.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QVariantMap>

class Database;
class TaskManager;
class User;
class ZeltoTimer;

// Keeps the current values of watched nodes fresh. Every node that has a
// main task has an entry: a one-row table of its latest current values and
// check results. An entry's stored current values are read when the entry is
// first looked at (nodeData, getData, a refresh), not when it is made: reading
// every node's current archive at start took most of a large installation's
// start-up. Users (and the OPC publisher, as nobody) subscribe to
// nodes; a watched node gets a monitor run of its main task through the task
// manager at most once per its task's "mon_interval" seconds, looked at on
// every tick. The run's reading comes back through TaskManager::monitored,
// and refreshed nodes are announced with the signal nodeMonitored (the OPC
// publisher) and the change event NodeMonitored (clients), once per node for
// results that come within kAnnounceDelayMs of each other.
//
// The service creates one after the task manager and hands it to the
// commands and the OPC publisher.
class DataMonitor : public QObject
{
    Q_OBJECT

public:
    static constexpr int kDefaultTickMs = 10000;
    // Refreshed nodes are announced this long after the first of them.
    static constexpr int kAnnounceDelayMs = 200;

    // Reads every main task. It ticks, times the monitor intervals and
    // delays announcements by clock. It asks polling for the monitor runs and
    // takes their readings, and forgets the subscriptions of users whom
    // sessions reports gone (either may be null). Its tasks, nodes and check
    // parameters are read from database as the server's own work.
    DataMonitor(Database *database, int tickMs = kDefaultTickMs, ZeltoClock *clock = ZeltoClock::system(),
                TaskManager *polling = nullptr, User *sessions = nullptr, QObject *parent = nullptr);

    // Subscribes the caller to those of the nodes that have an entry
    // and that the user may see; the others are skipped silently.
    ZeltoStatus append(const CommandContext &context, const QSet<int> &nodeIds);
    void remove(const CommandContext &context, const QSet<int> &nodeIds);
    // Drops everything the user watches (their last client went away).
    void removeUser(int userId);
    QSet<int> subscriptions(int userId) const;
    bool isMonitoredFor(int userId, int nodeId) const;
    // A copy of the node's data table; empty for a node without an entry.
    QVariantMap nodeData(int nodeId);
    // The caller's watched nodes, one row each, by node name, nulls
    // as ZeltoUnused, always with the columns "MON_ERR" and "CHECK_MSG".
    ZeltoTable getData(const CommandContext &context);
    // getData without a monitor: no rows, the columns "MON_ERR" and "CHECK_MSG".
    static ZeltoTable emptyData();

    ~DataMonitor() override;

signals:
    // The node's current values were refreshed.
    void nodeMonitored(int nodeId);

private slots:
    void onNotification(const QString &event, const QVariant &param);
    // A monitor run's reading (TaskManager::monitored).
    void onMonitored(const ZeltoTable &reading);

private:
    struct MonitorEntry
    {
        int taskId = 0;
        int monInterval = 60;
        QDateTime lastRequest;
        QVariantMap data;   // the one row: task and node columns, current values, check results
        QString modelCode;
        bool storedRead = false;   // data holds the stored current values (or newer ones)
    };

    CommandContext serverContext() const;

    void tick();
    // Announces every node refreshed since the last time.
    void announce();
    void addEntry(const QVariantMap &taskRow);
    void removeTask(int taskId);
    void rebuildMonitored();
    // Reads the stored current values into those of the nodes' entries that
    // have not had them yet. Takes the lock itself, not while reading.
    void readStored(const QList<int> &nodeIds);
    // The entry's row takes over the values, adds what is new, runs the
    // node's check script over it and marks the node refreshed. values are
    // the node's whole stored current row when stored is set (no need to
    // read it again).
    void refresh(int nodeId, const QVariantMap &values, bool stored = false);
    QVariantMap lastCurrentRow(int nodeId) const;
    QVariantMap checkResults(const QString &modelCode, const QVariantMap &params, const QVariantMap &row);

    // All members below are guarded by mutex. It is not recursive: nothing
    // that holds it calls a public operation, runs a check script or waits.
    mutable QMutex mutex;
    QMap<int, int> taskNodes;             // main task id -> node id
    QMap<int, MonitorEntry> entries;      // node id -> entry
    QMap<int, QSet<int>> m_subscriptions; // user id -> watched node ids
    QSet<int> monitoredNodes;             // union of all subscriptions
    QSet<int> updatedNodes;               // refreshed since the last tick
    QPointer<Database> m_database;   // set at creation
    QPointer<TaskManager> m_polling;   // set at creation; main thread only
    ZeltoClock *m_clock;
    ZeltoTimer *m_tick;
    ZeltoTimer *m_flush;   // the announcement delay; main thread only
};
