#include "datamonitor.h"

#include "analizer.h"
#include "archivestore.h"
#include "changeevents.h"
#include "checkparams.h"
#include "database.h"
#include "taskmanager.h"
#include "tasks.h"
#include "user.h"
#include "visibility.h"
#include "zeltobusyguard.h"
#include "zeltomarkers.h"
#include "zeltosystem.h"
#include "zeltotimer.h"

#include <QMutexLocker>

namespace {

// The monitor whose subscriptions the session store's event filter reads:
// the store takes a plain function. Set and cleared by the monitor itself.
DataMonitor *g_filtering = nullptr;

bool filterEvents(int userId, int nodeId)
{
    return g_filtering && g_filtering->isMonitoredFor(userId, nodeId);
}

const QString kNodeId = QStringLiteral("node_id");
const QString kNodeName = QStringLiteral("node_name");
const QString kMonError = QStringLiteral("MON_ERR");
const QString kCheckError = QStringLiteral("CHECK_ERR");
const QString kCheckMessage = QStringLiteral("CHECK_MSG");
const QString kCurrentData = QStringLiteral("current_data");

// The columns of the task list row that every entry's row carries.
const QStringList &taskColumns()
{
    static const QStringList columns = {QStringLiteral("task_id"), kNodeId,
                                        kNodeName, QStringLiteral("model_code"),
                                        QStringLiteral("model_name"), QStringLiteral("number")};
    return columns;
}

// The nodes the current user may see; all of them for the unrestricted.
ZeltoResult<QSet<int>> visibleNodes(const CommandContext &context)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString condition = context.groupCondition("group_id", values);
    const ZeltoResult<ZeltoTable> table =
        context.database()->rows(QStringLiteral("SELECT id FROM nodes WHERE ") + condition, values);
    if (!table.ok())
        return table.status();
    QSet<int> ids;
    for (int row = 0; row < table.value().rowCount(); ++row)
        ids.insert(table.value().value(row, 0).toInt());
    return ids;
}

} // namespace

DataMonitor::DataMonitor(Database *database, int tickMs, ZeltoClock *clock, TaskManager *polling, User *sessions,
                         QObject *parent)
    : QObject(parent), m_database(database), m_polling(polling), m_clock(clock), m_tick(new ZeltoTimer(clock, this)), m_flush(new ZeltoTimer(clock, this))
{
    // The main tasks with the columns an entry takes (those of the task
    // list, in its order), not the whole list: its channels, timetables and
    // logs are no concern of the monitor.
    const ZeltoTable tasks =
        m_database ? m_database
                         ->rows(QStringLiteral("SELECT tasks.id, node_id, mon_interval, nodes.name AS node_name, "
                                               "model_code, model_name, number FROM tasks, nodes WHERE "
                                               "tasks.node_id = nodes.id AND is_main = 1 ORDER BY node_name, tasks.id"))
                         .valueOr(ZeltoTable())
                   : ZeltoTable();
    for (int row = 0; row < tasks.rowCount(); ++row)
        addEntry(tasks.toMap(row));
    connect(ZeltoSystem::instance(), &ZeltoSystem::notification, this, &DataMonitor::onNotification,
            Qt::QueuedConnection);
    if (polling)
        connect(polling, &TaskManager::monitored, this, &DataMonitor::onMonitored, Qt::QueuedConnection);
    if (sessions)
        connect(sessions, &User::userLeft, this, [this](int userId) { removeUser(userId); });
    g_filtering = this;
    User::setMonitorFilter(&filterEvents);
    connect(m_tick, &ZeltoTimer::timeout, this, &DataMonitor::tick);
    m_tick->start(qMax(1, tickMs));
    connect(m_flush, &ZeltoTimer::timeout, this, &DataMonitor::announce);
}

CommandContext DataMonitor::serverContext() const
{
    return CommandContext::server(m_database.data());
}

DataMonitor::~DataMonitor()
{
    if (g_filtering == this) {
        User::setMonitorFilter(nullptr);
        g_filtering = nullptr;
    }
}

ZeltoStatus DataMonitor::append(const CommandContext &context, const QSet<int> &nodeIds)
{
    const int userId = context.userId();
    const bool everything = context.isUnrestricted();
    // Read before taking the lock: the database is no business of the mutex.
    const ZeltoResult<QSet<int>> visible = everything ? ZeltoResult<QSet<int>>(QSet<int>()) : visibleNodes(context);
    if (!visible.ok())
        return visible.status();
    QMutexLocker lock(&mutex);
    QSet<int> &watched = m_subscriptions[userId];
    for (int nodeId : nodeIds) {
        if (!entries.contains(nodeId))
            continue;
        if (!everything && !visible.value().contains(nodeId))
            continue;
        watched.insert(nodeId);
        monitoredNodes.insert(nodeId);
    }
    return ZeltoStatus();
}

void DataMonitor::remove(const CommandContext &context, const QSet<int> &nodeIds)
{
    QMutexLocker lock(&mutex);
    m_subscriptions[context.userId()].subtract(nodeIds);
    rebuildMonitored();
}

void DataMonitor::removeUser(int userId)
{
    QMutexLocker lock(&mutex);
    m_subscriptions.remove(userId);
    rebuildMonitored();
}

QSet<int> DataMonitor::subscriptions(int userId) const
{
    QMutexLocker lock(&mutex);
    return m_subscriptions.value(userId);
}

bool DataMonitor::isMonitoredFor(int userId, int nodeId) const
{
    QMutexLocker lock(&mutex);
    return m_subscriptions.value(userId).contains(nodeId);
}

QVariantMap DataMonitor::nodeData(int nodeId)
{
    readStored({nodeId});
    QMutexLocker lock(&mutex);
    return entries.value(nodeId).data;
}

ZeltoTable DataMonitor::getData(const CommandContext &context)
{
    readStored(subscriptions(context.userId()).values());
    ZeltoTable table;
    {
        QMutexLocker lock(&mutex);
        for (int nodeId : m_subscriptions.value(context.userId())) {
            const auto entry = entries.constFind(nodeId);
            if (entry == entries.constEnd() || entry->data.isEmpty())
                continue;
            QVariantMap row;
            for (auto it = entry->data.constBegin(); it != entry->data.constEnd(); ++it) {
                if (it.value().isValid())
                    row.insert(it.key(), it.value());
            }
            table.appendRow(row);
        }
    }
    table.sort(kNodeName);
    const QVariant unused = QVariant::fromValue(ZeltoUnused());
    for (int row = 0; row < table.rowCount(); ++row) {
        for (int column = 0; column < table.columnCount(); ++column) {
            if (table.value(row, column).isNull())
                table.setValue(row, column, unused);
        }
    }
    table.appendColumns({kMonError, kCheckMessage});
    return table;
}

ZeltoTable DataMonitor::emptyData()
{
    return ZeltoTable({kMonError, kCheckMessage});
}

void DataMonitor::announce()
{
    if (ZeltoBusyGuard::defer(this, [this]() { announce(); }))
        return;
    QMutexLocker lock(&mutex);
    for (int nodeId : qAsConst(updatedNodes)) {
        emit nodeMonitored(nodeId);
        ZeltoSystem::instance()->notify(ChangeEvents::NodeMonitored, nodeId);
    }
    updatedNodes.clear();
}

void DataMonitor::tick()
{
    // Not inside a save that is running a check script: the task manager's
    // queue and the notifications wait for it to end.
    if (ZeltoBusyGuard::defer(this, [this]() { tick(); }))
        return;
    QMutexLocker lock(&mutex);
    const QDateTime now = m_clock->now();
    for (int nodeId : qAsConst(monitoredNodes)) {
        const auto entry = entries.find(nodeId);
        if (entry == entries.end())
            continue;
        if (!m_polling || m_polling->hasTask(entry->taskId))
            continue;
        if (!entry->lastRequest.isNull() && now < entry->lastRequest.addSecs(entry->monInterval))
            continue;
        // A refused request (the task's channel or driver is gone) is not
        // asked again before the interval has passed.
        m_polling->startTask(entry->taskId, true);
        entry->lastRequest = now;
    }
    lock.unlock();
    announce();
}

void DataMonitor::onNotification(const QString &event, const QVariant &param)
{
    if (event != ChangeEvents::ArchivesSaved && event != ChangeEvents::TaskSaved && event != ChangeEvents::TaskRemoved)
        return;
    if (ZeltoBusyGuard::defer(this, [this, event, param]() { onNotification(event, param); }))
        return;
    if (event == ChangeEvents::ArchivesSaved) {
        const int nodeId = param.toInt();
        QVariantMap current = lastCurrentRow(nodeId);
        // A poll that was saved has reached the device: an earlier monitor
        // run's failure no longer holds.
        current.insert(kMonError, QVariant());
        refresh(nodeId, current, true);
    } else if (event == ChangeEvents::TaskSaved) {
        const int taskId = param.toInt();
        const QVariantMap row = Tasks::find(serverContext(), taskId).value();
        const bool isMain = row.value(QStringLiteral("is_main")).toInt() == 1;
        QMutexLocker lock(&mutex);
        if (taskNodes.contains(taskId)) {
            if (isMain)
                entries[taskNodes.value(taskId)].monInterval = row.value(QStringLiteral("mon_interval")).toInt();
            else
                removeTask(taskId);
        } else if (isMain) {
            lock.unlock();   // addEntry reads the database and takes the lock itself
            addEntry(row);
        }
    } else {
        QMutexLocker lock(&mutex);
        removeTask(param.toInt());
    }
}

void DataMonitor::onMonitored(const ZeltoTable &reading)
{
    if (ZeltoBusyGuard::defer(this, [this, reading]() { onMonitored(reading); }))
        return;
    if (reading.rowCount() > 0)
        refresh(reading.value(0, kNodeId).toInt(), reading.toMap(0));
}

void DataMonitor::addEntry(const QVariantMap &taskRow)
{
    const int taskId = taskRow.value(QStringLiteral("id")).toInt();
    const int nodeId = taskRow.value(kNodeId).toInt();
    MonitorEntry entry;
    entry.taskId = taskId;
    entry.monInterval = taskRow.value(QStringLiteral("mon_interval")).toInt();
    entry.modelCode = taskRow.value(QStringLiteral("model_code")).toString();
    for (const QString &column : taskColumns())
        entry.data.insert(column, column == QLatin1String("task_id") ? QVariant(taskId) : taskRow.value(column));
    entry.data.insert(kMonError, QVariant());
    entry.data.insert(kCheckError, false);
    entry.data.insert(kCheckMessage, QVariant());

    QMutexLocker lock(&mutex);
    // A node whose main task moved keeps one entry, under the new task.
    if (entries.contains(nodeId))
        taskNodes.remove(entries.value(nodeId).taskId);
    entries.insert(nodeId, entry);
    taskNodes.insert(taskId, nodeId);
}

void DataMonitor::removeTask(int taskId)
{
    const auto it = taskNodes.find(taskId);
    if (it == taskNodes.end())
        return;
    const int nodeId = it.value();
    taskNodes.erase(it);
    entries.remove(nodeId);
    for (QSet<int> &watched : m_subscriptions)
        watched.remove(nodeId);
    monitoredNodes.remove(nodeId);
    updatedNodes.remove(nodeId);
}

void DataMonitor::rebuildMonitored()
{
    monitoredNodes.clear();
    for (const QSet<int> &watched : qAsConst(m_subscriptions))
        monitoredNodes.unite(watched);
}

void DataMonitor::readStored(const QList<int> &nodeIds)
{
    QList<int> unread;
    {
        QMutexLocker lock(&mutex);
        for (int nodeId : nodeIds) {
            const auto entry = entries.constFind(nodeId);
            if (entry != entries.constEnd() && !entry->storedRead)
                unread.append(nodeId);
        }
    }
    for (int nodeId : qAsConst(unread)) {
        const QVariantMap current = lastCurrentRow(nodeId);
        QMutexLocker lock(&mutex);
        const auto entry = entries.find(nodeId);
        if (entry == entries.end() || entry->storedRead)
            continue;
        // Over the task's columns, under the monitor's own results.
        for (auto it = current.constBegin(); it != current.constEnd(); ++it) {
            if (it.key() != kMonError && it.key() != kCheckError && it.key() != kCheckMessage)
                entry->data.insert(it.key(), it.value());
        }
        entry->storedRead = true;
    }
}

void DataMonitor::refresh(int nodeId, const QVariantMap &values, bool stored)
{
    if (!stored)
        readStored({nodeId});
    QVariantMap row;
    QString modelCode;
    {
        QMutexLocker lock(&mutex);
        const auto entry = entries.constFind(nodeId);
        if (entry == entries.constEnd())
            return;
        row = entry->data;
        modelCode = entry->modelCode;
    }
    // Read at each refresh: a client may have changed them since.
    const QVariantMap params = CheckParams::load(serverContext(), nodeId).value();
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        row.insert(it.key(), it.value());
    // The script runs without the lock: it turns the event loop, and the
    // guard it runs under holds back everything that would come in meanwhile.
    const QVariantMap checks = checkResults(modelCode, params, row);
    for (auto it = checks.constBegin(); it != checks.constEnd(); ++it)
        row.insert(it.key(), it.value());

    QMutexLocker lock(&mutex);
    const auto entry = entries.find(nodeId);
    if (entry == entries.end())
        return;
    entry->data = row;
    entry->storedRead = true;
    updatedNodes.insert(nodeId);
    // Announced soon, not only at the next tick: OPC clients want fresh
    // values within a second or two. Results that come together still make
    // one announcement per node.
    if (!m_flush->isActive())
        m_flush->startOnce(kAnnounceDelayMs);
}

QVariantMap DataMonitor::lastCurrentRow(int nodeId) const
{
    if (!m_database)
        return QVariantMap();
    const ZeltoTable newest = ArchiveStore::newestStored(*m_database, nodeId, kCurrentData).valueOr(ZeltoTable());
    return newest.rowCount() > 0 ? newest.toMap(0) : QVariantMap();
}

QVariantMap DataMonitor::checkResults(const QString &modelCode, const QVariantMap &params, const QVariantMap &row)
{
    QVariantMap results{{kCheckError, false}, {kCheckMessage, QVariant()}};
    if (params.isEmpty())
        return results;
    ZeltoBusyGuard busy;
    Analizer analizer(modelCode, m_database.data());
    analizer.setCheckParams(params);
    ZeltoTable table;
    table.appendRow(row);
    // A script that fails is reported like a finding, so the operator sees it.
    QStringList messages;
    const ZeltoStatus checked = analizer.check(table, kCurrentData);
    if (!checked.ok())
        messages.append(checked.message());
    const ZeltoTable findings = analizer.findings();
    for (int i = 0; i < findings.rowCount(); ++i)
        messages.append(findings.value(i, QStringLiteral("message")).toString());
    messages.removeAll(QString());
    if (!messages.isEmpty()) {
        results.insert(kCheckError, true);
        results.insert(kCheckMessage, messages.join(QLatin1Char('\n')));
    }
    return results;
}
