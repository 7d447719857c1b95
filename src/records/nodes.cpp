#include "nodes.h"

#include "changeevents.h"
#include "database.h"
#include "fieldlimits.h"
#include "groups.h"
#include "metadatacatalogue.h"
#include "recordfields.h"
#include "user.h"
#include "visibility.h"
#include "zeltosystem.h"

#include <QObject>

namespace {

const QString kId = QStringLiteral("id");
const QString kGroupId = QStringLiteral("group_id");
const QString kName = QStringLiteral("name");
const QString kModelCode = QStringLiteral("model_code");
const QString kModelName = QStringLiteral("model_name");
const QString kNumber = QStringLiteral("number");

const int kParamCount = 24;

QString nodeQuery(const Database &database, const char *from)
{
    return Nodes::columns(database.sqlDialect()) + QLatin1String(from);
}

} // namespace

namespace {

// The nodes columns (own), then whether each archive is there, asked
// without reading it (holdsValue).
QString nodeAndArchiveColumns(const SqlDialect &sql, const QString &own = QStringLiteral("nodes.*"))
{
    const auto held = [&sql](const char *column) { return sql.holdsValue(QLatin1String(column)); };
    return QStringLiteral("SELECT ") + own
        + QStringLiteral("      , %1 AS has_current_data"
                         "      , %2 AS has_month_data"
                         "      , %3 AS has_month_totals"
                         "      , %4 AS has_day_data"
                         "      , %5 AS has_day_totals"
                         "      , %6 AS has_hour_data"
                         "      , %1 OR %2 OR %3 OR %4 OR %5 OR %6 AS has_archives"
                         "      , %1 AND %4 AS has_report_data"
                         "      , %7 AS has_check_params")
              .arg(held("current_data"), held("month_data"), held("month_totals"), held("day_data"),
                   held("day_totals"), held("hour_data"), held("check_params"));
}

} // namespace

QString Nodes::columns(const SqlDialect &sql)
{
    // One node's counts, each by the index on node_id (tasks_node_id,
    // check_log_node_ctime and the UNIQUE ones).
    return nodeAndArchiveColumns(sql)
        + QStringLiteral("      , (SELECT count(*) FROM setting_data WHERE node_id = nodes.id) AS has_setting_data"
                         "      , (SELECT count(*) FROM journal_data WHERE node_id = nodes.id) AS has_journal_data"
                         "      , (SELECT count(*) FROM check_log WHERE node_id = nodes.id) AS has_check_log"
                         "      , (SELECT %1 FROM tasks WHERE node_id = nodes.id) AS read_error"
                         "      , (SELECT count(*) FROM check_log"
                         "         WHERE node_id = nodes.id AND ctime = last_update) AS check_fails")
              .arg(sql.joined(QStringLiteral("last_error")));
}

QString Nodes::listQuery(const SqlDialect &sql)
{
    // The same columns as columns() for every node at once: each count in one
    // grouped pass over its table, joined by node, instead of five index
    // lookups a node. A node without rows there counts 0, as the lookups do.
    return nodeAndArchiveColumns(sql)
        + QStringLiteral("      , coalesce(settings.n, 0) AS has_setting_data"
                         "      , coalesce(changes.n, 0) AS has_journal_data"
                         "      , coalesce(checks.n, 0) AS has_check_log"
                         "      , errors.joined AS read_error"
                         "      , coalesce(checks.fails, 0) AS check_fails"
                         " FROM nodes JOIN nodes_data ON nodes_data.id = nodes.id"
                         " JOIN groups ON groups.id = nodes.group_id"
                         " LEFT JOIN (SELECT node_id, count(*) AS n FROM setting_data GROUP BY node_id) AS settings"
                         "   ON settings.node_id = nodes.id"
                         " LEFT JOIN (SELECT node_id, count(*) AS n FROM journal_data GROUP BY node_id) AS changes"
                         "   ON changes.node_id = nodes.id"
                         " LEFT JOIN (SELECT check_log.node_id, count(*) AS n,"
                         "            sum(CASE WHEN check_log.ctime = logged.last_update THEN 1 ELSE 0 END) AS fails"
                         "            FROM check_log JOIN nodes AS logged ON logged.id = check_log.node_id"
                         "            GROUP BY check_log.node_id) AS checks"
                         "   ON checks.node_id = nodes.id"
                         " LEFT JOIN (SELECT node_id, %1 AS joined FROM tasks GROUP BY node_id) AS errors"
                         "   ON errors.node_id = nodes.id")
              .arg(sql.joined(QStringLiteral("last_error")));
}

ZeltoResult<ZeltoTable> Nodes::list(const CommandContext &context)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString visible = context.groupCondition("nodes.group_id", values);
    return context.database()->rows(listQuery(context.database()->sqlDialect()) + QStringLiteral(" WHERE ") + visible
                                        + QStringLiteral(" ORDER BY groups.name, nodes.name"),
                                    values);
}

ZeltoResult<ZeltoTable> Nodes::archiveHolders(const CommandContext &context)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString visible = context.groupCondition("nodes.group_id", values);
    // Only the archives whose rows the totals may use are asked after: each
    // question is a look at a column of every node. Joined with groups as
    // list() is: the same nodes.
    const SqlDialect &sql = context.database()->sqlDialect();
    const auto held = [&sql](const char *column) { return sql.holdsValue(QLatin1String(column)); };
    return context.database()->rows(QStringLiteral("SELECT nodes.id, nodes.model_code, nodes.model_name, nodes.number"
                                                   "      , %1 AS has_current_data"
                                                   "      , %2 AS has_month_data"
                                                   "      , %3 AS has_month_totals"
                                                   "      , %4 AS has_day_totals")
                                            .arg(held("current_data"), held("month_data"), held("month_totals"),
                                                 held("day_totals"))
                                        + QStringLiteral(" FROM nodes JOIN nodes_data ON nodes_data.id = nodes.id"
                                                         " JOIN groups ON groups.id = nodes.group_id WHERE ")
                                        + visible,
                                    values);
}

ZeltoResult<QVariantMap> Nodes::find(const CommandContext &context, int id)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values{id};
    const QString visible = context.groupCondition("nodes.group_id", values);
    return context.database()->row(
        nodeQuery(*context.database(), " FROM nodes, nodes_data WHERE nodes.id = nodes_data.id AND nodes.id = ? AND ") + visible, values);
}

QString Nodes::defaultName(const QString &modelName, qlonglong number, const QString &modelCode)
{
    return modelName + QStringLiteral(" №") + MetadataCatalogue::instance().formatNumber(number, modelCode);
}

ZeltoResult<int> Nodes::save(const CommandContext &context, const QVariantMap &input)
{
    if (!context.database())
        return CommandContext::noDatabase();
    Database &database = *context.database();
    QVariantMap record;
    // A query that fails while the id is checked is that failure, not a refusal.
    const auto visible = [&](int id) -> ZeltoResult<bool> {
        const ZeltoResult<QVariantMap> node = find(context, id);
        if (!node.ok())
            return node.status();
        return !node.value().isEmpty();
    };
    ZeltoStatus checked = RecordFields::copyVisibleId(input, record, visible);
    if (!checked.ok())
        return checked;
    QStringList keys{kGroupId, kName, kModelCode, kModelName, kNumber, QStringLiteral("version"),
                     QStringLiteral("firmware"), QStringLiteral("consumer"), QStringLiteral("provider"),
                     QStringLiteral("note"), QStringLiteral("checking"), QStringLiteral("address"),
                     QStringLiteral("contract")};
    const int systems = MetadataCatalogue::instance().maxSystemCount();
    for (int i = 1; i <= systems; ++i)
        keys.append(QStringLiteral("s%1_type").arg(i));
    for (int i = 1; i <= kParamCount; ++i)
        keys.append(QStringLiteral("param%1").arg(i));
    if (!(checked = RecordFields::copy(input, record, keys)).ok()
        || !(checked = RecordFields::checkWholeNumbers(record, {kNumber, QStringLiteral("version"),
                                                                QStringLiteral("firmware")})).ok()
        || !(checked = FieldLimits::check(FieldLimits::Node, record)).ok())
        return checked;
    if (record.contains(kGroupId)) {
        int groupId = 0;
        if (!(checked = RecordFields::readId(input, kGroupId, groupId)).ok())
            return checked;
        record.insert(kGroupId, groupId);
    }

    if (!record.contains(kId)) {
        // A device already known by model and number is updated, never doubled.
        const ZeltoResult<QVariantMap> known =
            database.row(QStringLiteral("SELECT id FROM nodes WHERE model_code = ? AND number = ?"),
                         {record.value(kModelCode), record.value(kNumber)});
        if (!known.ok())
            return known.status();
        if (!known.value().isEmpty()) {
            record.insert(kId, known.value().value(kId).toInt());
        } else {
            if (!record.contains(kGroupId))
                record.insert(kGroupId, 0);
            if (!record.contains(kName))
                record.insert(kName, defaultName(record.value(kModelName).toString(),
                                                 record.value(kNumber).toLongLong(),
                                                 record.value(kModelCode).toString()));
        }
    }
    const ZeltoResult<int> id = database.save(QStringLiteral("nodes"), record);
    if (id.ok())
        changed(database, id.value());
    return id;
}

void Nodes::changed(const Database &database, int id)
{
    if (id != -1 && database.openScopes() == 0)
        ZeltoSystem::instance()->notify(ChangeEvents::NodeSaved, id);
}

ZeltoStatus Nodes::setGroup(const CommandContext &context, int nodeId, int groupId)
{
    const ZeltoResult<QVariantMap> node = User::seen(find(context, nodeId));
    if (!node.ok())
        return node.status();
    const ZeltoResult<QVariantMap> group = User::seen(Groups::find(context, groupId));
    if (!group.ok())
        return group.status();
    const ZeltoStatus moved =
        context.database()->run(QStringLiteral("UPDATE nodes SET group_id = ? WHERE id = ?"), {groupId, nodeId});
    if (moved.ok())
        changed(*context.database(), nodeId);
    return moved;
}

ZeltoStatus Nodes::remove(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> node = User::seen(find(context, id));
    if (!node.ok())
        return node.status();
    Database &database = *context.database();
    // The node's journal entries go with it, so the removal is noted
    // against its former group.
    const int groupId = node.value().value(kGroupId).toInt();
    const ZeltoResult<ZeltoTable> tasks = database.rows(QStringLiteral("SELECT id FROM tasks WHERE node_id = ?"), {id});
    if (!tasks.ok())
        return tasks.status();
    const ZeltoStatus removed = database.run(QStringLiteral("DELETE FROM nodes WHERE id = ?"), {id});
    if (!removed.ok())
        return removed.withMessage(QStringLiteral("[-nodes] ") + removed.message());
    for (int row = 0; row < tasks.value().rowCount(); ++row)
        ZeltoSystem::instance()->notify(ChangeEvents::TaskRemoved, tasks.value().value(row, 0).toInt());
    ZeltoSystem::instance()->notify(ChangeEvents::NodeRemoved, id);
    context.journal(QStringLiteral("INFO"), QObject::tr("Удаление узла"), QStringLiteral("group"), groupId);
    return ZeltoStatus();
}

