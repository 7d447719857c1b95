#pragma once

#include "zeltotable.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QThreadPool>
#include <QVariantMap>

#include <functional>

class Task;

// Turns requests to poll a task into runs of a Task on a bounded thread
// pool: a first-in first-out queue, at most "maxRunningTaskCount" runs at
// once and never two on one physical channel, a failed run retried after
// "taskAttemptInterval" minutes while "taskAttemptCount" attempts last, and a
// live table of run states for clients. When a run ends it stores the polled
// archives, the task's last execution and error, the run's log and journal
// entries, and raises the change event TaskStateChanged. Monitor runs read
// current values only and hand them to the data monitor (signal monitored).
// A run that outlasts "taskRunTimeout" minutes (120; 0 for no limit), or
// that its polling server does not end within a few seconds of a cancel, is
// ended here: its slot and channel are free at once, and what its pool
// thread brings afterwards is dropped.
//
// One instance per process, created and destroyed by the service; the static
// operations work on it and, like everything here, belong to the main thread.
class TaskManager : public QObject
{
    Q_OBJECT

public:
    // Makes the Task objects of the runs (tests run fake ones).
    using TaskFactory = std::function<Task *(QObject *parent)>;

    // Creates the instance unless one exists; returns it.
    static TaskManager *createInstance(const TaskFactory &factory = TaskFactory());
    // Cancels every run, waits for the pool and deletes the instance.
    static void destroyInstance();
    static TaskManager *instance();

    // Requests one run of the task (a full poll, or with monitor a read of
    // current values). True when the run is queued or one is live already;
    // false with the reason in the error channel for a task, node or driver
    // that does not exist, and then nothing changes. The caller checks
    // whether the user may see the task.
    static bool startTask(int taskId, bool monitor);
    // Cancels a running run (it ends through its server, or here after a
    // grace of 5 s when the server does not end it), or drops a queued or
    // waiting one at once, noting "Задание отменено".
    static void cancelTask(int taskId);
    // The task's row of the state table as a map; without a live run "id"
    // and null state columns.
    static QVariantMap taskState(int taskId);
    // The map of a task without a live run: "id" and null state columns.
    static QVariantMap idleState(int taskId);
    // Every live run: "id", "node_id", "last_error", "is_run", "started",
    // "elapsed", "remaining", "attempts", "progress", "state".
    static ZeltoTable stateTable();
    static bool hasTask(int taskId);
    // Runs waiting for a pool slot, and runs on the pool.
    static int queueLength();
    static int runningCount();

    // False (reported) for a value of a setting of the task manager that it
    // cannot use; true for other settings.
    static bool checkSetting(const QString &name, const QVariant &value);
    // The grace after a cancel, in milliseconds; tests shorten it.
    static void setCancelGrace(int ms);

    ~TaskManager() override;

signals:
    // A monitor run's reading: one row of the node's newest current values
    // with "task_id", "node_id" and "MON_ERR" (its failure, null when none).
    void monitored(const ZeltoTable &reading);

protected:
    void timerEvent(QTimerEvent *event) override;

private slots:
    void onPropertyChanged(const QString &name, const QVariant &value);
    void onNotification(const QString &event, const QVariant &param);
    void onStateChanged(Task *task);
    void onFinished(Task *task);

private:
    // A run asked to stop: by cancelTask (no error) or by its time limit.
    struct Ending
    {
        qint64 deadlineMs = 0;   // on m_clock: ended here if still on the pool then
        QString error;
    };
    // How a run on the pool ended, by itself or here.
    struct RunEnd
    {
        bool cancelled;
        bool failed;
        QString error;
        QStringList log;
        bool timedOut;    // cancelled for its time limit: a retry needs a new Task
        bool endedHere;   // its Task still runs on its pool thread
    };

    explicit TaskManager(const TaskFactory &factory);

    bool start(int taskId, bool monitor);
    void cancel(int taskId);
    void dispatch();
    Task *makeTask(const QVariantMap &params);
    // Cancels runs past the time limit; ends those whose grace is over.
    void endOverdueRuns();
    // The run's end: a retry, or its record; frees its slot and channel.
    void conclude(int taskId, Task *task, const RunEnd &end);
    // Forgets a live run that has not reached the pool.
    void drop(int taskId);
    // A monitor run's reading, or its failure, for the data monitor.
    void reportMonitored(int taskId, Task *task, const RunEnd &end, const QVariantMap &row);
    // Stores the archives read; false with the reason in error.
    bool saveResult(int taskId, Task *task, QString &error);
    // last_exec, last_error and the log of the run's task.
    void recordRun(int taskId, int nodeId, const QString &error, bool polled, const QStringList &log);
    void storeLog(int taskId, const QStringList &log);
    int stateRow(int taskId) const;
    void setState(int taskId, const QVariantMap &values);
    void announce(int taskId);

    TaskFactory m_factory;
    int maxRunningTaskCount;
    int taskAttemptCount;
    int attemptIntervalSecs;
    QThreadPool pool;
    QMap<int, Task *> tasks;             // every live run: queued, on the pool, or waiting to retry
    ZeltoTable m_stateTable;
    QList<int> runQueue;                 // waiting for a pool slot, oldest first
    QMap<int, QString> runningChannels;  // runs on the pool and their channel keys
    QMap<int, QDateTime> retryWaits;     // when each waiting run's attempt failed
    QSet<int> monitorRuns;
    qint64 m_runTimeoutMs;               // 0: no limit
    QElapsedTimer m_clock;               // run times, unmoved by changes of the wall clock
    QMap<int, qint64> runStarts;         // runs on the pool: when they were handed to it
    QMap<int, Ending> endings;           // runs on the pool asked to stop
    int m_timerId = 0;
};
