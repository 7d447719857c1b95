#pragma once

#include "commandcontext.h"
#include "zeltoclock.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QThreadPool>
#include <QVariantMap>

#include <functional>

class Database;
class Task;
class ZeltoTimer;

// Turns requests to poll a task into runs of a Task on a bounded thread
// pool: a first-in first-out queue, at most "maxRunningTaskCount" runs at
// once and never two on one physical channel, a failed run retried after
// "taskAttemptInterval" minutes while "taskAttemptCount" attempts last, and a
// live table of run states for clients. When a run ends it stores the polled
// archives, the task's last execution and error, the run's log and journal
// entries, and raises the change event TaskStateChanged. Monitor runs read
// current values only and hand them to the data monitor (signal monitored).
// A run that outlasts "taskRunTimeout" minutes (120; 0 for no limit), or
// that its polling server does not end within kCancelGraceMs of a cancel, is
// ended here: its slot and channel are free at once, and what its pool
// thread brings afterwards is dropped. Every time it keeps (its tick each
// second, retry waits, the grace, the time limit, the times it shows and
// stores) comes from its clock.
//
// The service creates one and hands it to what starts runs; everything here
// belongs to the main thread.
class TaskManager : public QObject
{
    Q_OBJECT

public:
    // Where a live run stands. For each state: what holds the run, what it
    // waits for, its Task and channel, and its text in the state table;
    // checkInvariants() asserts all of it after every change in debug builds.
    //
    //   Idle          No live run: in no container, no state row, no Task.
    //   Queued        Once in runQueue, waiting for a slot and a free channel;
    //                 its Task not running; no channel.
    //                 "Ожидание очереди".
    //   Running       Handed to the pool: its channel in runningChannels, its
    //                 start in runStarts, from which "taskRunTimeout" counts.
    //                 "Запуск опроса" ("Мониторинг текущих параметров" for a
    //                 monitor run) until its server tells a state of its own.
    //   Cancelling    Running, and cancelled: an ending without an error in
    //                 endings; ended here kCancelGraceMs later unless its
    //                 server ends it first. Shown as Running.
    //   Overrunning   Running past the time limit, and cancelled: an ending
    //                 with the limit's error, the same grace. Shown as Running.
    //   Finishing     Off the pool, its channel free, in no container: its
    //                 result is being stored, and a check script may turn the
    //                 event loop meanwhile. Shown as Running.
    //   WaitingRetry  Its attempt failed and attempts are left: in retryWaits
    //                 with the time of the failure, queued again
    //                 "taskAttemptInterval" later; its Task (a new one after a
    //                 time limit) not running; no channel.
    //                 "Ожидание повторного опроса".
    //
    // Every state but Idle has a Task of its own and a row in the state
    // table. A Task whose run is gone while it still runs on its pool thread
    // (its task removed, or its run ended here) is a stray until it
    // finishes, and then deleted.
    //
    //   Idle -> Queued -> Running -> Finishing -> Idle
    //   Running -> Cancelling | Overrunning -> Finishing
    //   Finishing -> WaitingRetry -> Queued
    //   Queued, WaitingRetry -> Idle (cancelled or removed)
    //   Running, Cancelling, Overrunning, Finishing -> Idle (removed)
    enum class RunState { Idle, Queued, Running, Cancelling, Overrunning, Finishing, WaitingRetry };
    Q_ENUM(RunState)

    // Makes the Task objects of the runs (tests run fake ones).
    using TaskFactory = std::function<Task *(QObject *parent)>;

    // How long a run waits for its polling server to confirm a cancel
    // before it is ended here.
    static constexpr int kCancelGraceMs = 5000;
    static constexpr int kTickMs = 1000;

    // Its runs' saves and bookkeeping go to database, as the server's own work.
    explicit TaskManager(Database *database, const TaskFactory &factory = TaskFactory(),
                         ZeltoClock *clock = ZeltoClock::system(), QObject *parent = nullptr);

    // Requests one run of the task (a full poll, or with monitor a read of
    // current values). Success when the run is queued or one is live already;
    // a failure for a task, node or driver that does not exist, and then
    // nothing changes. The caller checks whether the user may see the task.
    ZeltoStatus startTask(int taskId, bool monitor);
    // The failure of a start when the server has no task manager.
    static ZeltoStatus notRunning();
    // Cancels a running run (it ends through its server, or here after the
    // grace when the server does not end it), or drops a queued or waiting
    // one at once, noting "Задание отменено".
    void cancelTask(int taskId);
    // The task's row of the state table as a map; without a live run "id"
    // and null state columns.
    QVariantMap taskState(int taskId) const;
    // The map of a task without a live run: "id" and null state columns.
    static QVariantMap idleState(int taskId);
    // Every live run: "id", "node_id", "last_error", "is_run", "started",
    // "elapsed", "remaining", "attempts", "progress", "state".
    ZeltoTable stateTable() const;
    // The state table without runs.
    static ZeltoTable idleTable();
    RunState runState(int taskId) const;
    bool hasTask(int taskId) const;
    // Runs waiting for a pool slot, and runs on the pool.
    int queueLength() const;
    int runningCount() const;

    // Refuses a value of a setting of the task manager that it cannot use;
    // success for other settings.
    static ZeltoStatus checkSetting(const QString &name, const QVariant &value);

    ~TaskManager() override;

signals:
    // A monitor run's reading: one row of the node's newest current values
    // with "task_id", "node_id" and "MON_ERR" (its failure, null when none).
    void monitored(const ZeltoTable &reading);

private slots:
    void onPropertyChanged(const QString &name, const QVariant &value);
    void onNotification(const QString &event, const QVariant &param);
    void onStateChanged(Task *task);
    void onFinished(Task *task);

private:
    struct Run
    {
        RunState state = RunState::Idle;
        Task *task = nullptr;
        bool monitor = false;
        // The polling server's state text of this attempt, once it has told one.
        bool reported = false;
        QString serverState;
    };
    // A run asked to stop: by cancelTask (no error) or by its time limit.
    struct Ending
    {
        qint64 deadlineMs = 0;   // monotonic: ended here if still on the pool then
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

    // The server's own context (user -1) on the database given at creation.
    CommandContext serverContext() const;

    ZeltoStatus start(int taskId, bool monitor);
    void cancel(int taskId);
    // Every second: due retries back to the queue, then the queue to the pool.
    void tick();
    void dispatch(int waiting);
    // The queue goes to the pool at the next turn of the event loop: called
    // when a run is queued or a slot or channel frees, so that a slot never
    // stays empty until the tick. Several calls before that turn make one pass.
    void dispatchSoon();
    Task *makeTask(const QVariantMap &params);
    // Cancels runs past the time limit; ends those whose grace is over.
    void endOverdueRuns();
    // The run's end: a retry, or its record; frees its slot and channel.
    void conclude(int taskId, const RunEnd &end);
    void retry(int taskId, const RunEnd &end, const QVariantMap &row);
    // Forgets a run that is not on the pool; its Task is deleted unless it is a stray.
    void drop(int taskId);
    // A monitor run's reading, or its failure, for the data monitor.
    void reportMonitored(int taskId, Task *task, const RunEnd &end, const QVariantMap &row);
    // Stores the archives read; false with the reason in error.
    bool saveResult(int taskId, Task *task, QString &error);
    // last_exec, last_error and the log of the run's task.
    void recordRun(int taskId, int nodeId, const QString &error, bool polled, const QStringList &log);
    void storeLog(int taskId, const QStringList &log);
    int runOf(const Task *task) const;
    int stateRow(int taskId) const;
    void setState(int taskId, const QVariantMap &values);
    // The run goes to state: the move must be one of the diagram's, and its
    // row shows the state's text.
    void enter(int taskId, RunState state);
    QString stateText(const Run &run) const;
    void checkInvariants() const;
    void announce(int taskId);

    QPointer<Database> m_database;
    TaskFactory m_factory;
    ZeltoClock *m_clock;
    ZeltoTimer *m_tick;
    bool m_dispatchPending = false;
    int maxRunningTaskCount;
    int taskAttemptCount;
    int attemptIntervalSecs;
    QThreadPool pool;
    QMap<int, Run> m_runs;               // every live run, by task id
    ZeltoTable m_stateTable;             // one row per live run
    QList<int> runQueue;                 // Queued, oldest first
    QMap<int, QString> runningChannels;  // on the pool, and their channel keys
    QMap<int, QDateTime> retryWaits;     // WaitingRetry: when the attempt failed
    qint64 m_runTimeoutMs;               // 0: no limit
    QMap<int, qint64> runStarts;         // on the pool: when they were handed to it (monotonic)
    QMap<int, Ending> endings;           // Cancelling and Overrunning
    QSet<Task *> m_strays;               // on a pool thread, their run gone
};
