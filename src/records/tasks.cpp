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

ZeltoResult<ZeltoTable> Tasks::list(const CommandContext &context)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString visible = context.groupCondition("nodes.group_id", values);
    return context.database()->rows(taskQuery(" FROM tasks, tasks_data, nodes "
                                              "WHERE tasks.id = tasks_data.id AND tasks.node_id = nodes.id AND ")
                                        + visible + QStringLiteral(" ORDER BY node_name, tasks.id"),
                                    values);
}

ZeltoResult<QVariantMap> Tasks::find(const CommandContext &context, int id)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values{id};
    const QString visible = context.groupCondition("nodes.group_id", values);
    return context.database()->row(taskQuery(" FROM tasks, tasks_data, nodes "
                                             "WHERE tasks.id = tasks_data.id AND tasks.node_id = nodes.id "
                                             "AND tasks.id = ? AND ")
                                       + visible,
                                   values);
}

ZeltoResult<QVariantMap> Tasks::data(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> task = find(context, id);
    if (!task.ok() || task.value().isEmpty())
        return task;
    Database &database = *context.database();
    QVariantMap data;
    data.insert(kId, id);
    for (const QString &column : {kChannel, kArchives, kTimetable}) {
        const ZeltoResult<QVariant> value = database.data(kTasks, id, column);
        if (!value.ok())
            return value.status();
        data.insert(column, value.value());
    }
    data.insert(kChannel, data.value(kChannel).toMap());
    data.insert(kArchives, data.value(kArchives).toStringList());
    data.insert(kTimetable, data.value(kTimetable).toMap());
    for (const char *key : {"is_main", "mon_interval", "varnel_ip", "varnel_port"})
        data.insert(QLatin1String(key), task.value().value(QLatin1String(key)));
    return data;
}

ZeltoResult<QStringList> Tasks::log(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> task = find(context, id);
    if (!task.ok())
        return task.status();
    if (task.value().isEmpty())
        return QStringList();
    const ZeltoResult<QVariant> lines = context.database()->data(kTasks, id, QStringLiteral("log"));
    if (!lines.ok())
        return lines.status();
    return lines.value().toStringList();
}

ZeltoResult<int> Tasks::mainTaskOfNode(const CommandContext &context, int nodeId)
{
    const ZeltoResult<QVariantMap> node = User::seen(Nodes::find(context, nodeId));
    if (!node.ok())
        return node.status();
    const ZeltoResult<QVariantMap> main =
        context.database()->row(QStringLiteral("SELECT id FROM tasks WHERE ") + kMainOfNode, {nodeId});
    if (!main.ok())
        return main.status();
    if (main.value().isEmpty())
        return ZeltoStatus::notFound(QObject::tr("Задача опроса не найдена"));
    return main.value().value(kId).toInt();
}

ZeltoResult<int> Tasks::save(const CommandContext &context, const QVariantMap &sent)
{
    return save(context, sent, context.clock()->now());
}

ZeltoResult<int> Tasks::save(const CommandContext &context, const QVariantMap &sent, const QDateTime &now)
{
    if (!context.database())
        return CommandContext::noDatabase();
    Database &database = *context.database();
    QVariantMap input;
    ZeltoStatus checked = TaskInput::read(sent, input);
    if (!checked.ok())
        return checked;

    QVariantMap record;
    // A query that fails while the id is checked is that failure, not a refusal.
    const auto visible = [&](int id) -> ZeltoResult<bool> {
        const ZeltoResult<QVariantMap> task = find(context, id);
        if (!task.ok())
            return task.status();
        return !task.value().isEmpty();
    };
    if (!(checked = RecordFields::copyVisibleId(input, record, visible)).ok())
        return checked;
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
        if (record.contains(kNodeId) && record.value(kIsMain).toInt() == 1) {
            const ZeltoResult<bool> hasMain = database.has(kTasks, kMainOfNode, {record.value(kNodeId)});
            if (!hasMain.ok())
                return hasMain.status();
            if (hasMain.value())
                record.insert(kIsMain, 0);
        }
    }

    QVariantMap timetable;
    if (input.contains(kTimetable)) {
        timetable = input.value(kTimetable).toMap();
    } else if (!isNew) {
        const ZeltoResult<QVariant> stored = database.data(kTasks, id, kTimetable);
        if (!stored.ok())
            return stored.status();
        timetable = stored.value().toMap();
    }

    // A new timetable clears the last run, so the scheduler starts the task
    // at its next pass.
    if (!input.value(kTimetable).toMap().value(kMode).toString().isEmpty())
        record.insert(kLastExec, QVariant());

    QDateTime lastExec;
    if (record.contains(kLastExec)) {
        lastExec = record.value(kLastExec).toDateTime();
    } else if (!isNew) {
        const ZeltoResult<QVariantMap> row = database.row(QStringLiteral("SELECT last_exec FROM tasks WHERE id = ?"), {id});
        if (!row.ok())
            return row.status();
        lastExec = row.value().value(kLastExec).toDateTime();
    }
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
    if (!(checked = FieldLimits::check(FieldLimits::Task, input)).ok()
        || !(checked = FieldLimits::check(FieldLimits::Task, record)).ok())
        return checked;
    if (!fullForm) {
        // One statement: the task manager's bookkeeping after every run.
        const ZeltoResult<int> saved = database.save(kTasks, record);
        if (!saved.ok())
            return saved;
        changed(database, saved.value());
        if (input.contains(kNodeId))
            Nodes::changed(database, input.value(kNodeId).toInt());
        return saved;
    }

    TransactionScope scope(database, QStringLiteral("saveTask"));
    if (!scope.isActive())
        return scope.status();
    const ZeltoResult<int> saved = database.save(kTasks, record);
    if (!saved.ok())
        return saved;
    const QVariantList values{input.value(kChannel).toMap(), input.value(kArchives).toStringList(),
                              input.value(kTimetable).toMap()};
    const QString statement = QStringLiteral("UPDATE tasks_data SET channel = ?, archives = ?, timetable = ? WHERE id = ?");
    const ZeltoStatus written = database.run(statement, values + QVariantList{saved.value()});
    if (!written.ok())
        return written.withMessage(QStringLiteral("[*tasks] ") + written.message());
    const ZeltoStatus committed = scope.finish();
    if (!committed.ok())
        return committed;
    changed(database, saved.value());
    if (input.contains(kNodeId))
        Nodes::changed(database, input.value(kNodeId).toInt());
    return saved;
}

ZeltoStatus Tasks::setMain(const CommandContext &context, int taskId, int flag)
{
    const ZeltoResult<QVariantMap> task = User::seen(find(context, taskId));
    if (!task.ok())
        return task.status();
    Database &database = *context.database();
    int previous = -1;
    if (flag == 1) {
        const ZeltoResult<QVariantMap> main = database.row(QStringLiteral("SELECT id FROM tasks WHERE ") + kMainOfNode,
                                                           {task.value().value(kNodeId).toInt()});
        if (!main.ok())
            return main.status();
        if (!main.value().isEmpty()) {
            if (main.value().value(kId).toInt() == taskId)
                return ZeltoStatus();
            previous = main.value().value(kId).toInt();
        }
    }
    // With flag 1 the database clears the flag of the node's other tasks.
    const ZeltoStatus set = database.run(QStringLiteral("UPDATE tasks SET is_main = ? WHERE id = ?"), {flag, taskId});
    if (!set.ok())
        return set;
    changed(database, previous);
    changed(database, taskId);
    return ZeltoStatus();
}

ZeltoStatus Tasks::remove(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> task = User::seen(find(context, id));
    if (!task.ok())
        return task.status();
    const int nodeId = task.value().value(kNodeId).toInt();
    const ZeltoStatus removed = context.database()->run(QStringLiteral("DELETE FROM tasks WHERE id = ?"), {id});
    if (!removed.ok())
        return removed.withMessage(QStringLiteral("[-tasks] ") + removed.message());
    ZeltoSystem::instance()->notify(ChangeEvents::TaskRemoved, id);
    context.journal(QStringLiteral("INFO"), QObject::tr("Удаление задачи"), QStringLiteral("node"), nodeId);
    return ZeltoStatus();
}


void Tasks::changed(const Database &database, int id)
{
    if (id != -1 && database.openScopes() == 0)
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
