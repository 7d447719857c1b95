#include "tasks.h"

#include "changeevents.h"
#include "database.h"
#include "fieldlimits.h"
#include "nextexecution.h"
#include "nodes.h"
#include "recordfields.h"
#include "taskinput.h"
#include "transactionscope.h"
#include "user.h"
#include "visibility.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QObject>

namespace {

const QString kTasks = QStringLiteral("tasks");
const QString kId = QStringLiteral("id");
const QString kNodeId = QStringLiteral("node_id");
const QString kIsMain = QStringLiteral("is_main");
const QString kLastExec = QStringLiteral("last_exec");
const QString kChannel = QStringLiteral("channel");
const QString kArchives = QStringLiteral("archives");
const QString kTimetable = QStringLiteral("timetable");
const QString kMode = QStringLiteral("mode");
const QString kMainOfNode = QStringLiteral("is_main = 1 AND node_id = ?");

QString taskQuery(const char *from)
{
    return Tasks::columns() + QLatin1String(from);
}

// A channel setting as text, or null when the channel lacks it.
QVariant channelText(const QVariantMap &channel, const QString &key)
{
    const auto it = channel.constFind(key);
    return it == channel.constEnd() ? QVariant() : QVariant(it.value().toString());
}

// The display columns derived from the channel, archives and timetable.
void addDisplayColumns(const QVariantMap &input, QVariantMap &record)
{
    const QVariantMap channel = input.value(kChannel).toMap();
    record.insert(QStringLiteral("channel_code"), channelText(channel, QStringLiteral("code")));
    QVariant phoneOrIp = channelText(channel, QStringLiteral("phoneNumber"));
    if (!channel.contains(QStringLiteral("phoneNumber")))
        phoneOrIp = channelText(channel, QStringLiteral("hostName"));
    record.insert(QStringLiteral("phone_or_ip"), phoneOrIp);
    record.insert(QStringLiteral("device_id"), channelText(channel, QStringLiteral("deviceId")));

    const QString summary = Tasks::archivesSummary(input.value(kArchives).toStringList());
    record.insert(kArchives, summary.isEmpty() ? QVariant() : QVariant(summary));
    record.insert(QStringLiteral("timetable_mode"),
                  Tasks::modeTitle(input.value(kTimetable).toMap().value(kMode).toString()));
}

} // namespace

const QString &Tasks::columns()
{
    static const QString text = QStringLiteral(
        "SELECT nodes.group_id, nodes.name AS node_name     , model_code, model_name, number     , tasks.*"
        ", not last_error is null AS is_fail     , not log is null AS has_log");
    return text;
}

ZeltoTable Tasks::list()
{
    QVariantList values;
    const QString visible = Visibility::groupCondition("nodes.group_id", values);
    return Database::selectTable(taskQuery(" FROM tasks, tasks_data, nodes "
                                           "WHERE tasks.id = tasks_data.id AND tasks.node_id = nodes.id AND ")
                                     + visible + QStringLiteral(" ORDER BY node_name"),
                                 values);
}

QVariantMap Tasks::get(int id)
{
    QVariantList values{id};
    const QString visible = Visibility::groupCondition("nodes.group_id", values);
    return Database::selectRecord(taskQuery(" FROM tasks, tasks_data, nodes "
                                            "WHERE tasks.id = tasks_data.id AND tasks.node_id = nodes.id "
                                            "AND tasks.id = ? AND ")
                                      + visible,
                                  values);
}

QVariantMap Tasks::getData(int id)
{
    const QVariantMap task = get(id);
    if (task.isEmpty())
        return QVariantMap();
    QVariantMap data;
    data.insert(kId, id);
    data.insert(kChannel, Database::readData(kTasks, id, kChannel).toMap());
    data.insert(kArchives, Database::readData(kTasks, id, kArchives).toStringList());
    data.insert(kTimetable, Database::readData(kTasks, id, kTimetable).toMap());
    for (const char *key : {"is_main", "mon_interval", "varnel_ip", "varnel_port"})
        data.insert(QLatin1String(key), task.value(QLatin1String(key)));
    return data;
}

QStringList Tasks::log(int id)
{
    if (get(id).isEmpty())
        return QStringList();
    return Database::readData(kTasks, id, QStringLiteral("log")).toStringList();
}

int Tasks::mainTaskOfNode(int nodeId)
{
    if (Nodes::get(nodeId).isEmpty()) {
        User::denyAccess();
        return -1;
    }
    const QVariantList ids = Database::selectDistinctValues(kTasks, kId, kMainOfNode, {nodeId});
    if (ids.isEmpty()) {
        ZeltoSystem::instance()->error(QObject::tr("Задача опроса не найдена"));
        return -1;
    }
    return ids.first().toInt();
}

int Tasks::save(const QVariantMap &sent)
{
    return save(sent, Database::clock()->now());
}

int Tasks::save(const QVariantMap &sent, const QDateTime &now)
{
    QVariantMap input;
    if (!TaskInput::read(sent, input))
        return -1;

    QVariantMap record;
    if (!RecordFields::copyVisibleId(input, record, [](int id) { return !get(id).isEmpty(); }))
        return -1;
    for (const char *key : {"node_id", "is_main", "mon_interval", "last_exec", "last_error"}) {
        const QString name = QLatin1String(key);
        if (input.contains(name))
            record.insert(name, input.value(name));
    }

    const bool isNew = !record.contains(kId);
    const int id = record.value(kId).toInt();
    if (isNew) {
        // The first task of a node becomes its main task, later ones do not.
        if (record.value(kIsMain).isNull())
            record.insert(kIsMain, 1);
        if (record.contains(kNodeId) && record.value(kIsMain).toInt() == 1
            && Database::exists(kTasks, kMainOfNode, {record.value(kNodeId)}))
            record.insert(kIsMain, 0);
    }

    QVariantMap timetable;
    if (input.contains(kTimetable))
        timetable = input.value(kTimetable).toMap();
    else if (!isNew)
        timetable = Database::readData(kTasks, id, kTimetable).toMap();

    // A new timetable clears the last run, so the scheduler starts the task
    // at its next pass.
    if (!input.value(kTimetable).toMap().value(kMode).toString().isEmpty())
        record.insert(kLastExec, QVariant());

    QDateTime lastExec;
    if (record.contains(kLastExec))
        lastExec = record.value(kLastExec).toDateTime();
    else if (!isNew)
        lastExec = Database::selectRecord(QStringLiteral("SELECT last_exec FROM tasks WHERE id = ?"), {id})
                       .value(kLastExec)
                       .toDateTime();
    const QDateTime nextExec = NextExecution::compute(timetable, lastExec, now);
    record.insert(QStringLiteral("next_exec"), nextExec.isValid() ? QVariant(nextExec) : QVariant());

    const bool fullForm = input.contains(kChannel) || input.contains(kArchives) || input.contains(kTimetable);
    if (fullForm) {
        for (const char *key : {"mon_interval", "varnel_ip", "varnel_port"}) {
            const QString name = QLatin1String(key);
            if (input.contains(name))
                record.insert(name, input.value(name));
        }
        addDisplayColumns(input, record);
    }
    // The stored maps as sent, the columns as written.
    if (!FieldLimits::check(FieldLimits::Task, input) || !FieldLimits::check(FieldLimits::Task, record))
        return -1;
    if (!fullForm) {
        // One statement: the task manager's bookkeeping after every run.
        const int saved = Database::saveRecord(kTasks, record);
        if (saved == -1)
            return -1;
        changed(saved);
        if (input.contains(kNodeId))
            Nodes::changed(input.value(kNodeId).toInt());
        return saved;
    }

    TransactionScope scope;
    if (!scope.isActive())
        return -1;
    const int saved = Database::saveRecord(kTasks, record);
    if (saved == -1)
        return -1;
    if (!Database::writeData(kTasks, saved, kChannel, input.value(kChannel).toMap())
        || !Database::writeData(kTasks, saved, kArchives, input.value(kArchives).toStringList())
        || !Database::writeData(kTasks, saved, kTimetable, input.value(kTimetable).toMap()) || !scope.commit())
        return -1;
    changed(saved);
    if (input.contains(kNodeId))
        Nodes::changed(input.value(kNodeId).toInt());
    return saved;
}

bool Tasks::setMain(int taskId, int flag)
{
    const QVariantMap task = get(taskId);
    if (task.isEmpty())
        return User::denyAccess();
    int previous = -1;
    if (flag == 1) {
        const QVariantList ids =
            Database::selectDistinctValues(kTasks, kId, kMainOfNode, {task.value(kNodeId).toInt()});
        if (!ids.isEmpty()) {
            if (ids.first().toInt() == taskId)
                return true;
            previous = ids.first().toInt();
        }
    }
    // With flag 1 the database clears the flag of the node's other tasks.
    if (!Database::execute(QStringLiteral("UPDATE tasks SET is_main = ? WHERE id = ?"), {flag, taskId}))
        return false;
    changed(previous);
    changed(taskId);
    return true;
}

bool Tasks::remove(int id)
{
    const QVariantMap task = get(id);
    if (task.isEmpty())
        return User::denyAccess();
    const int nodeId = task.value(kNodeId).toInt();
    if (!Database::removeRecord(kTasks, id))
        return false;
    ZeltoSystem::instance()->notify(ChangeEvents::TaskRemoved, id);
    Database::logInfo(QObject::tr("Удаление задачи"), QStringLiteral("node"), nodeId);
    return true;
}

void Tasks::changed(int id)
{
    if (id != -1 && !Database::inTransaction())
        ZeltoSystem::instance()->notify(ChangeEvents::TaskSaved, id);
}

QString Tasks::archivesSummary(const QStringList &archives)
{
    static const struct {
        const char *name;
        const char *letter;
    } kinds[] = {{"monthData", "М"}, {"dayData", "С"}, {"hourData", "Ч"}, {"journalData", "Ж"}};
    QStringList letters;
    for (const auto &kind : kinds) {
        if (archives.contains(QLatin1String(kind.name)))
            letters.append(QString::fromUtf8(kind.letter));
    }
    return letters.join(QLatin1Char(','));
}

QVariant Tasks::modeTitle(const QString &mode)
{
    if (mode == QLatin1String("hourly"))
        return QObject::tr("Ежечасно");
    if (mode == QLatin1String("daily"))
        return QObject::tr("Ежедневно");
    if (mode == QLatin1String("weekly"))
        return QObject::tr("Еженедельно");
    if (mode == QLatin1String("monthly"))
        return QObject::tr("Ежемесячно");
    return QVariant();
}
