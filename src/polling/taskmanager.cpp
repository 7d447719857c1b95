#include "taskmanager.h"

#include "archivestore.h"
#include "changeevents.h"
#include "database.h"
#include "fieldlimits.h"
#include "metadatacatalogue.h"
#include "nodes.h"
#include "recordfields.h"
#include "task.h"
#include "taskparams.h"
#include "tasks.h"
#include "transactionscope.h"
#include "zeltobusyguard.h"
#include "zeltometrics.h"
#include "zeltosystem.h"
#include "zeltotimer.h"

#include <QPointer>

#include <cmath>

namespace {

const QString kId = QStringLiteral("id");
const QString kNodeId = QStringLiteral("node_id");
const QString kLastError = QStringLiteral("last_error");
const QString kStarted = QStringLiteral("started");
const QString kElapsed = QStringLiteral("elapsed");
const QString kRemaining = QStringLiteral("remaining");
const QString kAttempts = QStringLiteral("attempts");
const QString kProgress = QStringLiteral("progress");
const QString kState = QStringLiteral("state");
const QString kTask = QStringLiteral("task");

const QStringList &stateColumns()
{
    static const QStringList columns = {kId,       kNodeId,   kLastError, QStringLiteral("is_run"), kStarted,
                                        kElapsed,  kRemaining, kAttempts, kProgress,               kState};
    return columns;
}

QString tr(const char *text)
{
    return TaskManager::tr(text);
}

QString cancelledText()
{
    return tr("Задание отменено");
}

using RunState = TaskManager::RunState;

bool onThePool(RunState state)
{
    return state == RunState::Running || state == RunState::Cancelling || state == RunState::Overrunning;
}

// The moves of the state diagram in taskmanager.h.
bool allowed(RunState from, RunState to)
{
    switch (from) {
    case RunState::Idle:
        return to == RunState::Queued;
    case RunState::Queued:
        return to == RunState::Running || to == RunState::Idle;
    case RunState::Running:
        return to == RunState::Cancelling || to == RunState::Overrunning || to == RunState::Finishing
            || to == RunState::Idle;
    case RunState::Cancelling:
    case RunState::Overrunning:
        return to == RunState::Finishing || to == RunState::Idle;
    case RunState::Finishing:
        return to == RunState::WaitingRetry || to == RunState::Idle;
    case RunState::WaitingRetry:
        return to == RunState::Queued || to == RunState::Idle;
    }
    return false;
}

// A setting's value, stored when it was not set; its default when it cannot be read.
QVariant setting(Database *database, const QString &name, const QVariant &defaultValue = QVariant())
{
    return database ? database->setting(name, defaultValue).valueOr(defaultValue) : defaultValue;
}

// The polling figures of the operators' metrics page (monitor runs are not
// counted). Every attempt handed to the pool counts as started; it then
// ends as succeeded, failed (its last attempt), retried or cancelled.
const QByteArray kRunsStarted = "orvex_runs_started_total";
const QByteArray kRunsSucceeded = "orvex_runs_succeeded_total";
const QByteArray kRunsFailed = "orvex_runs_failed_total";
const QByteArray kRunsRetried = "orvex_run_retries_total";
const QByteArray kRunsCancelled = "orvex_runs_cancelled_total";
const QByteArray kSaveSeconds = "orvex_archive_save_duration_seconds";

// The gauges read the task manager while it lives; the registry outlives it.
void describeMetrics(TaskManager *polling)
{
    const QPointer<TaskManager> live(polling);
    ZeltoMetrics *metrics = ZeltoMetrics::instance();
    metrics->describe(kRunsStarted, ZeltoMetrics::Counter, "Polling attempts handed to the pool.");
    metrics->describe(kRunsSucceeded, ZeltoMetrics::Counter, "Polling runs whose data was read and stored.");
    metrics->describe(kRunsFailed, ZeltoMetrics::Counter,
                      "Polling runs that failed on their last attempt, or whose data could not be stored.");
    metrics->describe(kRunsRetried, ZeltoMetrics::Counter, "Failed polling attempts that wait to be tried again.");
    metrics->describe(kRunsCancelled, ZeltoMetrics::Counter, "Polling runs cancelled while on the pool.");
    metrics->describe(kSaveSeconds, ZeltoMetrics::Histogram, "Time taken to store the archives of one polling run.",
                      {0.01, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30});
    metrics->describeGauge("orvex_run_queue_length", "Polling and monitor runs waiting for a pool slot.", [live]() {
        return live ? double(live->queueLength()) : 0.0;
    });
    metrics->describeGauge("orvex_runs_running", "Polling and monitor runs on the pool now.", [live]() {
        return live ? double(live->runningCount()) : 0.0;
    });
}

// Minutes as seconds; more than a year between attempts is taken as a year.
int intervalSecs(int minutes)
{
    return qBound(0, minutes, 366 * 24 * 60) * 60;
}

const QString kRunTimeout = QStringLiteral("taskRunTimeout");
const double kDefaultRunTimeoutMinutes = 120;
const double kMaxRunTimeoutMinutes = 366 * 24 * 60;

// "taskRunTimeout": minutes as a number or numeric text, fractions allowed,
// 0 for no limit; false for anything else.
bool readRunTimeout(const QVariant &value, qint64 &ms)
{
    bool ok = false;
    double minutes = 0;
    switch (value.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        minutes = value.toDouble();
        ok = true;
        break;
    case QMetaType::QString:
        minutes = value.toString().trimmed().toDouble(&ok);
        break;
    default:
        break;
    }
    if (!ok || !std::isfinite(minutes) || minutes < 0 || minutes > kMaxRunTimeoutMinutes)
        return false;
    ms = qint64(std::llround(minutes * 60000));
    return true;
}

// The limit in milliseconds (0: none); a stored value that is not one
// keeps the default.
qint64 runTimeoutMs(const QVariant &value)
{
    qint64 ms = 0;
    return readRunTimeout(value, ms) ? ms : qint64(kDefaultRunTimeoutMinutes * 60000);
}

} // namespace

TaskManager::TaskManager(Database *database, const TaskFactory &factory, ZeltoClock *clock, QObject *parent)
    : QObject(parent),
      m_database(database),
      m_factory(factory),
      m_clock(clock),
      m_tick(new ZeltoTimer(clock, this)),
      maxRunningTaskCount(qMax(1, setting(database, QStringLiteral("maxRunningTaskCount"), 10).toInt())),
      taskAttemptCount(qMax(1, setting(database, QStringLiteral("taskAttemptCount"), 3).toInt())),
      attemptIntervalSecs(intervalSecs(setting(database, QStringLiteral("taskAttemptInterval"), 10).toInt())),
      m_stateTable(stateColumns()),
      m_runTimeoutMs(runTimeoutMs(setting(database, kRunTimeout)))
{
    if (!m_factory)
        m_factory = [](QObject *parent) { return new Task(parent); };
    describeMetrics(this);
    pool.setMaxThreadCount(maxRunningTaskCount);
    connect(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged, this, &TaskManager::onPropertyChanged,
            Qt::QueuedConnection);
    connect(ZeltoSystem::instance(), &ZeltoSystem::notification, this, &TaskManager::onNotification,
            Qt::QueuedConnection);
    connect(m_tick, &ZeltoTimer::timeout, this, &TaskManager::tick);
    m_tick->start(kTickMs);
}

TaskManager::~TaskManager()
{
    m_tick->stop();
    QList<Task *> live = m_strays.values();
    for (const Run &run : qAsConst(m_runs))
        live.append(run.task);
    for (Task *task : qAsConst(live))
        task->cancel();
    // A run that is cancelled ends through its server within a state poll;
    // one whose server does not answer is given up on after a while.
    if (!pool.waitForDone(3000)) {
        for (Task *task : qAsConst(live))
            task->abort();
        pool.waitForDone();
    }
}

ZeltoStatus TaskManager::startTask(int taskId, bool monitor)
{
    const ZeltoStatus started = start(taskId, monitor);
    checkInvariants();
    return started;
}

ZeltoStatus TaskManager::notRunning()
{
    return ZeltoStatus::unavailable(tr("Опрос приборов не запущен"));
}

void TaskManager::cancelTask(int taskId)
{
    cancel(taskId);
    checkInvariants();
}

ZeltoStatus TaskManager::checkSetting(const QString &name, const QVariant &value)
{
    qint64 ms = 0;
    if (name != kRunTimeout || readRunTimeout(value, ms))
        return ZeltoStatus();
    return ZeltoStatus::invalid(
        tr("Неверное значение настройки %1: ожидается число минут от 0 (без ограничения) до %2")
            .arg(name)
            .arg(kMaxRunTimeoutMinutes));
}

QVariantMap TaskManager::taskState(int taskId) const
{
    const int row = stateRow(taskId);
    return row >= 0 ? m_stateTable.toMap(row) : idleState(taskId);
}

QVariantMap TaskManager::idleState(int taskId)
{
    QVariantMap state;
    for (const QString &column : stateColumns())
        state.insert(column, QVariant());
    state.remove(kNodeId);
    state.remove(kLastError);
    state.insert(kId, taskId);
    return state;
}

ZeltoTable TaskManager::stateTable() const
{
    return m_stateTable;
}

ZeltoTable TaskManager::idleTable()
{
    return ZeltoTable(stateColumns());
}

TaskManager::RunState TaskManager::runState(int taskId) const
{
    return m_runs.value(taskId).state;
}

bool TaskManager::hasTask(int taskId) const
{
    return m_runs.contains(taskId);
}

int TaskManager::queueLength() const
{
    return runQueue.size();
}

int TaskManager::runningCount() const
{
    return runningChannels.size();
}

int TaskManager::runOf(const Task *task) const
{
    for (auto it = m_runs.constBegin(); it != m_runs.constEnd(); ++it) {
        if (it->task == task)
            return it.key();
    }
    return -1;
}

int TaskManager::stateRow(int taskId) const
{
    return m_stateTable.findRow(kId, taskId);
}

void TaskManager::setState(int taskId, const QVariantMap &values)
{
    const int row = stateRow(taskId);
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        m_stateTable.setValue(row, it.key(), it.value());
}

QString TaskManager::stateText(const Run &run) const
{
    switch (run.state) {
    case RunState::Queued:
        return tr("Ожидание очереди");
    case RunState::WaitingRetry:
        return tr("Ожидание повторного опроса");
    case RunState::Running:
    case RunState::Cancelling:
    case RunState::Overrunning:
    case RunState::Finishing:
        // The polling server tells what its job does; until it has, the run's kind.
        if (run.reported)
            return run.serverState;
        return run.monitor ? tr("Мониторинг текущих параметров") : tr("Запуск опроса");
    case RunState::Idle:
        break;
    }
    return QString();
}

void TaskManager::enter(int taskId, RunState state)
{
    Run &run = m_runs[taskId];
    Q_ASSERT_X(allowed(run.state, state), "TaskManager::enter", "a move the state diagram does not have");
    run.state = state;
    if (state == RunState::Idle) {
        m_runs.remove(taskId);
        m_stateTable.removeRow(stateRow(taskId));
        return;
    }
    if (stateRow(taskId) < 0)
        m_stateTable.appendRow(QVariantMap{{kId, taskId}});
    setState(taskId, {{kState, stateText(run)}});
}

// What each state asserts in taskmanager.h; the containers hold no run in
// another state, and no run twice.
void TaskManager::checkInvariants() const
{
#ifndef QT_NO_DEBUG
    const auto stateOf = [this](int taskId) { return m_runs.value(taskId).state; };
    for (const int taskId : runQueue)
        Q_ASSERT_X(stateOf(taskId) == RunState::Queued, "TaskManager", "a run in the queue is not Queued");
    Q_ASSERT_X(QSet<int>(runQueue.cbegin(), runQueue.cend()).size() == runQueue.size(), "TaskManager",
               "a run queued twice");
    for (auto it = runningChannels.cbegin(); it != runningChannels.cend(); ++it)
        Q_ASSERT_X(onThePool(stateOf(it.key())), "TaskManager", "a channel held by a run off the pool");
    for (auto it = runStarts.cbegin(); it != runStarts.cend(); ++it)
        Q_ASSERT_X(onThePool(stateOf(it.key())), "TaskManager", "a run start of a run off the pool");
    for (auto it = endings.cbegin(); it != endings.cend(); ++it) {
        const RunState state = stateOf(it.key());
        Q_ASSERT_X(it->error.isEmpty() ? state == RunState::Cancelling : state == RunState::Overrunning,
                   "TaskManager", "an ending of a run neither Cancelling nor Overrunning");
    }
    for (auto it = retryWaits.cbegin(); it != retryWaits.cend(); ++it)
        Q_ASSERT_X(stateOf(it.key()) == RunState::WaitingRetry, "TaskManager", "a retry wait of a run not waiting");
    Q_ASSERT_X(m_stateTable.rowCount() == m_runs.size(), "TaskManager", "state rows and live runs differ");

    for (auto it = m_runs.cbegin(); it != m_runs.cend(); ++it) {
        const int taskId = it.key();
        const Run &run = it.value();
        Q_ASSERT_X(run.state != RunState::Idle && run.task && !m_strays.contains(run.task), "TaskManager",
                   "a live run without a Task of its own");
        const int row = stateRow(taskId);
        Q_ASSERT_X(row >= 0 && m_stateTable.value(row, kState).toString() == stateText(run), "TaskManager",
                   "a run's row does not show its state");
        const bool pooled = onThePool(run.state);
        Q_ASSERT_X(runQueue.contains(taskId) == (run.state == RunState::Queued), "TaskManager",
                   "Queued and in the queue differ");
        Q_ASSERT_X(runningChannels.contains(taskId) == pooled && runStarts.contains(taskId) == pooled,
                   "TaskManager", "on the pool and holding a channel differ");
        Q_ASSERT_X(endings.contains(taskId)
                       == (run.state == RunState::Cancelling || run.state == RunState::Overrunning),
                   "TaskManager", "asked to stop and holding an ending differ");
        Q_ASSERT_X(retryWaits.contains(taskId) == (run.state == RunState::WaitingRetry), "TaskManager",
                   "waiting to retry and holding a retry wait differ");
        if (run.state == RunState::Queued || run.state == RunState::WaitingRetry)
            Q_ASSERT_X(!run.task->isRunning(), "TaskManager", "a run off the pool whose Task runs");
        if (run.monitor)
            Q_ASSERT_X(run.state != RunState::WaitingRetry, "TaskManager", "a monitor run waiting to retry");
    }
#endif
}

void TaskManager::announce(int taskId)
{
    ZeltoSystem::instance()->notify(ChangeEvents::TaskStateChanged, taskId);
}

ZeltoStatus TaskManager::start(int taskId, bool monitor)
{
    if (m_runs.contains(taskId)) {
        // A live full run, or a monitor run past the queue, serves the
        // request; a queued monitor run gives way to a full poll.
        const Run &run = m_runs[taskId];
        if (monitor || !run.monitor || run.state != RunState::Queued)
            return ZeltoStatus();
        drop(taskId);
    }

    // Internal work: the rows are read whoever asks; the commands check
    // what their user may see.
    if (!m_database)
        return CommandContext::noDatabase();
    const ZeltoResult<QVariantMap> task = m_database->row(QStringLiteral("SELECT * FROM tasks WHERE id = ?"), {taskId});
    if (!task.ok() || task.value().isEmpty())
        return task.ok() ? ZeltoStatus::notFound(tr("Задача опроса не найдена")) : task.status();
    const QVariantMap &taskRow = task.value();
    const ZeltoResult<QVariant> channel = m_database->data(QStringLiteral("tasks"), taskId, QStringLiteral("channel"));
    if (!channel.ok())
        return channel.status();
    const ZeltoResult<QVariant> archives = m_database->data(QStringLiteral("tasks"), taskId, QStringLiteral("archives"));
    if (!archives.ok())
        return archives.status();
    const int nodeId = taskRow.value(kNodeId).toInt();
    const ZeltoResult<QVariantMap> node = m_database->row(QStringLiteral("SELECT * FROM nodes WHERE id = ?"), {nodeId});
    if (!node.ok() || node.value().isEmpty())
        return node.ok() ? ZeltoStatus::notFound(tr("Узел задачи опроса %1 не найден").arg(taskId)) : node.status();
    const QVariantMap &nodeRow = node.value();
    const QString model = nodeRow.value(QStringLiteral("model_code")).toString();
    const QString driver = MetadataCatalogue::instance().modelDriver(model);
    if (driver.isEmpty())
        return ZeltoStatus::invalid(tr("Для прибора %1 не найден драйвер опроса").arg(model));

    const QVariantMap params =
        TaskParams::build(taskRow, channel.value().toMap(), archives.value().toStringList(), nodeRow, driver, monitor);
    Run &run = m_runs[taskId];
    run.task = makeTask(params);
    run.monitor = monitor;
    runQueue.append(taskId);
    enter(taskId, RunState::Queued);
    setState(taskId, {{kNodeId, nodeId},
                      {QStringLiteral("is_run"), true},
                      {kStarted, m_clock->now()},
                      {kAttempts, taskAttemptCount}});
    announce(taskId);
    dispatchSoon();
    return ZeltoStatus();
}

Task *TaskManager::makeTask(const QVariantMap &params)
{
    Task *task = m_factory(this);
    task->setParams(params);
    connect(task, &Task::stateChanged, this, &TaskManager::onStateChanged, Qt::QueuedConnection);
    connect(task, &Task::finished, this, &TaskManager::onFinished, Qt::QueuedConnection);
    return task;
}

void TaskManager::drop(int taskId)
{
    Task *task = m_runs.value(taskId).task;
    if (!m_strays.contains(task))
        task->deleteLater();
    runQueue.removeAll(taskId);
    retryWaits.remove(taskId);
    enter(taskId, RunState::Idle);
}

void TaskManager::cancel(int taskId)
{
    if (!m_runs.contains(taskId))
        return;
    const Run run = m_runs.value(taskId);
    switch (run.state) {
    case RunState::Running:
        // The polling server is asked to cancel the job; one that never
        // confirms must not keep the slot.
        run.task->cancel();
        endings.insert(taskId, {m_clock->monotonicMs() + kCancelGraceMs, QString()});
        enter(taskId, RunState::Cancelling);
        return;
    case RunState::Cancelling:
    case RunState::Overrunning:
        run.task->cancel();
        return;
    case RunState::Finishing:   // ends by itself this moment
    case RunState::Idle:
        return;
    case RunState::Queued:
    case RunState::WaitingRetry:
        break;
    }
    drop(taskId);
    if (!run.monitor) {
        const CommandContext context = serverContext();
        const QVariantMap record{{kId, taskId}, {QStringLiteral("last_exec"), m_clock->now()}, {kLastError, cancelledText()}};
        const ZeltoStatus saved = Tasks::save(context, record, m_clock->now()).status();
        if (!saved.ok())
            context.journal(QStringLiteral("ERROR"), saved.message(), kTask, taskId);
    }
    announce(taskId);
}

void TaskManager::tick()
{
    // Ending a run writes its record: not in the middle of a save.
    if (!ZeltoBusyGuard::isBusy())
        endOverdueRuns();
    const int waiting = runQueue.size();
    const QDateTime now = m_clock->now();
    for (auto it = retryWaits.begin(); it != retryWaits.end();) {
        if (it.value().secsTo(now) < attemptIntervalSecs) {
            ++it;
            continue;
        }
        const int taskId = it.key();
        it = retryWaits.erase(it);
        runQueue.append(taskId);
        enter(taskId, RunState::Queued);
        setState(taskId, {{kStarted, now}});
        announce(taskId);
    }
    dispatch(waiting);
    // Those queued by this tick's retries go at the next turn of the event loop.
    if (!runQueue.isEmpty())
        dispatchSoon();
    checkInvariants();
}

void TaskManager::dispatchSoon()
{
    if (m_dispatchPending)
        return;
    m_dispatchPending = true;
    QMetaObject::invokeMethod(
        this,
        [this]() {
            m_dispatchPending = false;
            dispatch(runQueue.size());
            checkInvariants();
        },
        Qt::QueuedConnection);
}

void TaskManager::dispatch(int waiting)
{
    // Runs whose channel is busy go to the back of the queue.
    while (waiting > 0 && runningChannels.size() < maxRunningTaskCount) {
        --waiting;
        const int taskId = runQueue.takeFirst();
        Run &run = m_runs[taskId];
        const QString key = TaskParams::channelKey(run.task->params().value(QStringLiteral("channel")).toMap());
        if (std::find(runningChannels.cbegin(), runningChannels.cend(), key) != runningChannels.cend()) {
            runQueue.append(taskId);
            continue;
        }
        runningChannels.insert(taskId, key);
        runStarts.insert(taskId, m_clock->monotonicMs());
        run.reported = false;
        run.serverState.clear();
        enter(taskId, RunState::Running);
        setState(taskId, {{kStarted, m_clock->now()}});
        pool.start(run.task, 0);
        if (!run.monitor)
            ZeltoMetrics::instance()->add(kRunsStarted);
        announce(taskId);
    }
}

void TaskManager::onStateChanged(Task *task)
{
    const int taskId = runOf(task);
    if (taskId < 0)
        return;
    Run &run = m_runs[taskId];
    // Monitor runs publish no progress; a report that comes after its run
    // left the pool tells nothing any more.
    if (run.monitor || !onThePool(run.state))
        return;
    const int row = stateRow(taskId);
    const int progress = task->progress();
    const qint64 elapsed = m_stateTable.value(row, kStarted).toDateTime().secsTo(m_clock->now());
    m_stateTable.setValue(row, kElapsed, elapsed);
    if (progress > 0)
        m_stateTable.setValue(row, kRemaining, qint64(std::trunc(double(elapsed) / progress * (100 - progress))));
    const QString shown = stateText(run);
    run.reported = true;
    run.serverState = task->state();
    if (m_stateTable.value(row, kProgress) != QVariant(progress) || stateText(run) != shown)
        announce(taskId);
    m_stateTable.setValue(row, kProgress, progress);
    setState(taskId, {{kState, stateText(run)}});
    checkInvariants();
}

void TaskManager::onFinished(Task *task)
{
    // A run that ends while a save runs a check script waits for that save
    // to end: two saves must never nest in one transaction.
    const QPointer<Task> guarded(task);
    if (ZeltoBusyGuard::defer(this, [this, guarded]() {
            if (guarded)
                onFinished(guarded);
        }))
        return;
    ZeltoBusyGuard busy;

    const int taskId = runOf(task);
    if (taskId < 0) {
        // Its task was removed, or its run ended here, while it ran.
        Q_ASSERT_X(m_strays.contains(task), "TaskManager::onFinished", "a Task of no run that was no stray");
        m_strays.remove(task);
        task->deleteLater();
        return;
    }
    RunEnd end{task->isCanceled(), task->isFailed(), task->errorString(), task->log(), false, false};
    const QString limit = endings.value(taskId).error;
    if (!limit.isEmpty()) {
        // Cancelled for running too long: the polling server confirmed in time.
        end = {true, true, limit, end.log << limit, true, false};
    }
    conclude(taskId, end);
    checkInvariants();
}

void TaskManager::endOverdueRuns()
{
    const qint64 now = m_clock->monotonicMs();
    if (m_runTimeoutMs > 0) {
        for (auto it = runStarts.cbegin(); it != runStarts.cend(); ++it) {
            const int taskId = it.key();
            if (now - it.value() < m_runTimeoutMs || endings.contains(taskId))
                continue;
            // Asked to cancel first, so that the polling server frees the
            // device; ended here after the grace if it does not.
            m_runs.value(taskId).task->cancel();
            endings.insert(taskId, {now + kCancelGraceMs,
                                    tr("Опрос прерван: он длился дольше %1 мин. (настройка taskRunTimeout)")
                                        .arg(m_runTimeoutMs / 60000.0)});
            enter(taskId, RunState::Overrunning);
        }
    }
    QList<int> overdue;
    for (auto it = endings.cbegin(); it != endings.cend(); ++it) {
        if (it.value().deadlineMs <= now)
            overdue.append(it.key());
    }
    for (const int taskId : qAsConst(overdue)) {
        Task *task = m_runs.value(taskId).task;
        const Ending ending = endings.value(taskId);
        // Its pool thread stops waiting on the polling server; whatever it
        // brings afterwards is dropped (onFinished of a stray).
        task->abort();
        QStringList log = task->log();
        if (ending.error.isEmpty()) {
            log << tr("Сервер опроса не подтвердил отмену за %1 с: опрос прекращён сервером данных")
                       .arg(kCancelGraceMs / 1000.0);
            conclude(taskId, {true, false, QString(), log, false, true});
        } else {
            conclude(taskId, {true, true, ending.error, log << ending.error, true, true});
        }
    }
}

void TaskManager::conclude(int taskId, const RunEnd &end)
{
    const Run run = m_runs.value(taskId);
    const QVariantMap row = m_stateTable.toMap(stateRow(taskId));
    runningChannels.remove(taskId);
    runStarts.remove(taskId);
    endings.remove(taskId);
    dispatchSoon();   // the slot and the channel are free now, before the result is stored
    // A run ended here still runs on its pool thread for a moment: it is
    // deleted when it finishes.
    if (end.endedHere)
        m_strays.insert(run.task);
    enter(taskId, RunState::Finishing);
    announce(taskId);

    if (run.monitor) {
        reportMonitored(taskId, run.task, end, row);
        drop(taskId);
        return;
    }
    // A failed run is retried while attempts last, cancelled or not; a
    // run that was only cancelled ends here.
    QString error;
    bool polled = false;
    if (!end.cancelled && !end.failed) {
        polled = saveResult(taskId, run.task, error);
        if (m_runs.value(taskId).task != run.task) {
            // Its task was removed while a check script of the save ran.
            run.task->deleteLater();
            return;
        }
    } else if (end.failed && row.value(kAttempts).toInt() > 1) {
        retry(taskId, end, row);
        return;
    }
    if (end.failed)
        error = end.error;
    else if (end.cancelled)
        error = cancelledText();
    ZeltoMetrics::instance()->add(polled ? kRunsSucceeded : end.cancelled && !end.failed ? kRunsCancelled
                                                                                        : kRunsFailed);
    recordRun(taskId, row.value(kNodeId).toInt(), error, polled, end.log);
    drop(taskId);
}

void TaskManager::retry(int taskId, const RunEnd &end, const QVariantMap &row)
{
    ZeltoMetrics::instance()->add(kRunsRetried);
    Run &run = m_runs[taskId];
    // A run cancelled by its time limit would end again at once: the retry
    // takes a new one.
    if (end.timedOut) {
        Task *old = run.task;
        run.task = makeTask(old->params());
        if (!end.endedHere)
            old->deleteLater();
    }
    const QDateTime now = m_clock->now();
    retryWaits.insert(taskId, now);
    enter(taskId, RunState::WaitingRetry);
    setState(taskId, {{kLastError, FieldLimits::cut(FieldLimits::Task, kLastError, end.error)},
                      {kStarted, now},
                      {kElapsed, QVariant()},
                      {kRemaining, QVariant()},
                      {kAttempts, row.value(kAttempts).toInt() - 1},
                      {kProgress, QVariant()}});
    storeLog(taskId, end.log);
}

void TaskManager::reportMonitored(int taskId, Task *task, const RunEnd &end, const QVariantMap &row)
{
    // The newest reading, or an empty row that carries the failure.
    ZeltoTable table;
    if (!end.cancelled) {
        const ZeltoTable polled = task->result().value(QStringLiteral("current_data"));
        if (polled.rowCount() > 0)
            table.appendRow(polled.toMap(polled.rowCount() - 1));
    }
    if (table.rowCount() == 0)
        table.appendRow();
    QVariant monitorError;
    if (end.failed)
        monitorError = end.error;
    else if (end.cancelled)
        monitorError = cancelledText();
    table.setValue(0, QStringLiteral("task_id"), taskId);
    table.setValue(0, kNodeId, row.value(kNodeId));
    table.setValue(0, QStringLiteral("MON_ERR"), monitorError);
    emit monitored(table);
}

bool TaskManager::saveResult(int taskId, Task *task, QString &error)
{
    const int nodeId = m_stateTable.value(stateRow(taskId), kNodeId).toInt();
    ZeltoTableMap result = task->result();
    // Of the node's row, the device tells only what it knows of itself: the
    // polling server must not rename the node or move it to another group.
    static const QStringList reported = {QStringLiteral("model_code"), QStringLiteral("model_name"),
                                         QStringLiteral("number"),     QStringLiteral("version"),
                                         QStringLiteral("firmware"),   QStringLiteral("warning")};
    const ZeltoTable polledInfo = result.value(QStringLiteral("info"));
    QVariantMap info{{kId, nodeId}};
    for (const QString &column : reported) {
        const QVariant value = polledInfo.value(0, column);
        if (polledInfo.containsColumn(column) && RecordFields::isPlain(value))
            info.insert(column, value);
    }
    ZeltoTable infoTable;
    infoTable.appendRow(info);
    result.insert(QStringLiteral("info"), infoTable);
    // The metric is of real time, whatever clock the runs keep.
    const qint64 began = ZeltoClock::system()->monotonicMs();
    // A poll's save is the server's own work: user -1, every node visible.
    const ZeltoStatus saved = ArchiveStore::save(serverContext(), result, true);
    ZeltoMetrics::instance()->observe(kSaveSeconds, (ZeltoClock::system()->monotonicMs() - began) / 1e3);
    if (saved.ok())
        return true;
    error = saved.message();
    return false;
}

// The run's bookkeeping (the journal entry of a poll, last_exec and
// last_error, the log) in one transaction: one disk sync per run, not one
// per row.
void TaskManager::recordRun(int taskId, int nodeId, const QString &error, bool polled, const QStringList &log)
{
    // The error may be the polling server's text, of any length.
    const QString kept = FieldLimits::cut(FieldLimits::Task, kLastError, error);
    const QVariantMap record{{kId, taskId},
                             {kNodeId, nodeId},
                             {QStringLiteral("last_exec"), m_clock->now()},
                             {kLastError, kept.isEmpty() ? QVariant() : QVariant(kept)}};
    const CommandContext context = serverContext();
    if (!context.database()) {
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, CommandContext::noDatabase().message());
        return;
    }
    TransactionScope scope(*context.database(), QStringLiteral("recordRun"));
    ZeltoStatus done = scope.status();
    if (done.ok() && polled)
        done = context.journal(QStringLiteral("INFO"), tr("Опрос прибора"), QStringLiteral("node"), nodeId);
    if (done.ok())
        done = Tasks::save(context, record, m_clock->now()).status();
    if (done.ok())
        done = context.database()->write(QStringLiteral("tasks"), taskId, {{QStringLiteral("log"), log}});
    if (done.ok())
        done = scope.finish();
    if (!done.ok()) {
        scope.rollback();
        context.journal(QStringLiteral("ERROR"), done.message(), kTask, taskId);
        return;
    }
    // The saves hold their announcements back inside the transaction.
    Tasks::changed(*context.database(), taskId);
    Nodes::changed(*context.database(), nodeId);
}

CommandContext TaskManager::serverContext() const
{
    return CommandContext::server(m_database.data());
}

void TaskManager::storeLog(int taskId, const QStringList &log)
{
    const CommandContext context = serverContext();
    const ZeltoStatus stored = context.database()
        ? context.database()->write(QStringLiteral("tasks"), taskId, {{QStringLiteral("log"), log}})
        : CommandContext::noDatabase();
    if (!stored.ok())
        context.journal(QStringLiteral("ERROR"), stored.message(), kTask, taskId);
}

void TaskManager::onNotification(const QString &event, const QVariant &param)
{
    if (event != ChangeEvents::TaskRemoved)
        return;
    const int taskId = param.toInt();
    const Run run = m_runs.value(taskId);
    switch (run.state) {
    case RunState::Idle:
        return;
    case RunState::Running:
    case RunState::Cancelling:
    case RunState::Overrunning:
        // Deleted when it finishes.
        run.task->cancel();
        m_strays.insert(run.task);
        runningChannels.remove(taskId);
        runStarts.remove(taskId);
        endings.remove(taskId);
        dispatchSoon();
        break;
    case RunState::Finishing:
        // Its save is under way; the end of the save lets the Task go.
        runQueue.removeAll(taskId);
        enter(taskId, RunState::Idle);
        checkInvariants();
        return;
    case RunState::Queued:
    case RunState::WaitingRetry:
        break;
    }
    drop(taskId);
    checkInvariants();
}

void TaskManager::onPropertyChanged(const QString &name, const QVariant &value)
{
    if (name == QLatin1String("maxRunningTaskCount")) {
        maxRunningTaskCount = qMax(1, value.toInt());
        pool.setMaxThreadCount(maxRunningTaskCount);
        dispatchSoon();
    }
    else if (name == QLatin1String("taskAttemptCount"))
        taskAttemptCount = qMax(1, value.toInt());
    else if (name == QLatin1String("taskAttemptInterval"))
        attemptIntervalSecs = intervalSecs(value.toInt());
    else if (name == kRunTimeout)
        m_runTimeoutMs = runTimeoutMs(value);
}
