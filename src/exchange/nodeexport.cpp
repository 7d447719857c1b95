#include "nodeexport.h"

#include "archivestore.h"
#include "checkparams.h"
#include "database.h"
#include "nodevisibility.h"
#include "tasks.h"
#include "zeltosystem.h"
#include "zeltotable.h"

namespace {

const QString kId = QStringLiteral("id");
const QString kGroupId = QStringLiteral("group_id");

// The node columns a package carries: param16 to param24 stay behind, as
// packages of earlier releases have them.
const char *const kNodeRow =
    "SELECT group_id, name, model_code, model_name, number     , version, firmware, consumer, provider, note, "
    "checking     , address, contract, s1_type, s2_type, s3_type, s4_type     , s5_type, s6_type, s7_type, "
    "s8_type     , param1, param2, param3, param4, param5     , param6, param7, param8, param9, param10     , "
    "param11, param12, param13, param14, param15 FROM nodes WHERE id = ?";

ZeltoTable oneRow(const QVariantMap &row)
{
    ZeltoTable table;
    table.appendRow(row);
    return table;
}

// Every task of the node: its row with the stored channel, archive list
// and timetable; the ids mean nothing on another server.
ZeltoStatus readTasks(const CommandContext &context, int nodeId, ZeltoTable &tasks)
{
    Database *database = context.database();
    const ZeltoResult<QVariantList> ids =
        database->distinct(QStringLiteral("tasks"), kId, QStringLiteral("node_id = ?"), {nodeId});
    if (!ids.ok())
        return ids.status();
    for (const QVariant &id : ids.value()) {
        const ZeltoResult<QVariantMap> read = database->record(QStringLiteral("tasks"), id.toInt());
        if (!read.ok())
            return read.status();
        const ZeltoResult<QVariantMap> data = Tasks::data(CommandContext::server(database), id.toInt());
        if (!data.ok())
            return data.status();
        QVariantMap row = read.value();
        if (row.isEmpty() || data.value().isEmpty())
            return ZeltoStatus::failed(QString());
        for (const char *key : {"channel", "archives", "timetable"})
            row.insert(QLatin1String(key), data.value().value(QLatin1String(key)));
        tasks.appendRow(row);
    }
    tasks.removeColumn(kId);
    return ZeltoStatus();
}

} // namespace

ZeltoResult<ZeltoTableMap> NodeExport::exportNode(const CommandContext &context, int nodeId)
{
    if (!context.database())
        return CommandContext::noDatabase();
    const ZeltoResult<bool> exists = context.database()->has(QStringLiteral("nodes"), QStringLiteral("id = ?"), {nodeId});
    if (!exists.ok())
        return exists.status();
    if (!exists.value())
        return ZeltoStatus::notFound(tr("Узел не найден"));
    const ZeltoStatus visible = NodeVisibility::mustSee(context, nodeId);
    if (!visible.ok())
        return visible;
    const ZeltoResult<QVariantMap> node = context.database()->row(QLatin1String(kNodeRow), {nodeId});
    if (!node.ok())
        return node.status();
    if (node.value().isEmpty())
        return ZeltoStatus::notFound(tr("Узел не найден"));
    QVariantMap info = node.value();
    const int groupId = info.value(kGroupId).toInt();
    info.remove(kId);
    info.remove(kGroupId);
    const ZeltoResult<QVariantMap> checkParams = CheckParams::load(context, nodeId);
    if (!checkParams.ok())
        return checkParams.status();
    if (!checkParams.value().isEmpty())
        info.insert(QStringLiteral("check_params"), checkParams.value());

    ZeltoTableMap package;
    package.insert(QStringLiteral("info"), oneRow(info));

    const ZeltoResult<QVariantMap> group = context.database()->record(QStringLiteral("groups"), groupId);
    if (!group.ok())
        return group.status();
    if (group.value().isEmpty())
        return ZeltoStatus::notFound(tr("Группа узла %1 не найдена").arg(nodeId));
    QVariantMap groupRow = group.value();
    groupRow.remove(kId);
    package.insert(QStringLiteral("group"), oneRow(groupRow));

    ZeltoTable tasks;
    const ZeltoStatus read = readTasks(context, nodeId, tasks);
    if (!read.ok())
        return read;
    if (tasks.rowCount() > 0)
        package.insert(QStringLiteral("tasks"), tasks);

    const ZeltoResult<ZeltoTable> settings = ArchiveStore::settingData(context, nodeId);
    if (!settings.ok())
        return settings.status();
    const ZeltoResult<ZeltoTable> journal = ArchiveStore::journalData(context, nodeId, QDateTime(), QDateTime());
    if (!journal.ok())
        return journal.status();
    if (settings.value().rowCount() > 0)
        package.insert(QStringLiteral("setting_data"), settings.value());
    if (journal.value().rowCount() > 0)
        package.insert(QStringLiteral("journal_data"), journal.value());

    for (const QString &archive : ArchiveStore::archiveNames()) {
        const ZeltoResult<ZeltoTable> read = ArchiveStore::stored(*context.database(), nodeId, archive);
        if (!read.ok())
            return read.status();
        ZeltoTable table = read.value();
        if (table.rowCount() == 0)
            continue;
        table.removeColumn(QStringLiteral("CHECK_ERR"));
        package.insert(archive, table);
    }
    return package;
}
