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
bool readTasks(const CommandContext &context, int nodeId, ZeltoTable &tasks)
{
    const QVariantList ids = Database::selectDistinctValues(QStringLiteral("tasks"), kId,
                                                            QStringLiteral("node_id = ?"), {nodeId});
    for (const QVariant &id : ids) {
        QVariantMap row = Database::readRecord(QStringLiteral("tasks"), id.toInt());
        const QVariantMap data = zeltoReport(Tasks::data(CommandContext::server(context.database()), id.toInt()), QVariantMap());
        if (row.isEmpty() || data.isEmpty())
            return false;
        for (const char *key : {"channel", "archives", "timetable"})
            row.insert(QLatin1String(key), data.value(QLatin1String(key)));
        tasks.appendRow(row);
    }
    tasks.removeColumn(kId);
    return true;
}

} // namespace

QVariant NodeExport::exportNode(const CommandContext &context, int nodeId)
{
    if (!context.database()) {
        zeltoReport(CommandContext::noDatabase());
        return QVariant();
    }
    const ZeltoResult<bool> exists = context.database()->has(QStringLiteral("nodes"), QStringLiteral("id = ?"), {nodeId});
    if (!exists.ok() || !exists.value()) {
        zeltoReport(exists.ok() ? ZeltoStatus::notFound(tr("Узел не найден")) : exists.status());
        return QVariant();
    }
    const ZeltoStatus visible = NodeVisibility::mustSee(context, nodeId);
    if (!visible.ok()) {
        zeltoReport(visible);
        return QVariant();
    }
    QVariantMap info = Database::selectRecord(QLatin1String(kNodeRow), {nodeId});
    if (info.isEmpty())
        return QVariant();
    const int groupId = info.value(kGroupId).toInt();
    info.remove(kId);
    info.remove(kGroupId);
    const ZeltoResult<QVariantMap> checkParams = CheckParams::load(context, nodeId);
    if (!zeltoReport(checkParams.status()))
        return QVariant();
    if (!checkParams.value().isEmpty())
        info.insert(QStringLiteral("check_params"), checkParams.value());

    ZeltoTableMap package;
    package.insert(QStringLiteral("info"), oneRow(info));

    QVariantMap group = Database::readRecord(QStringLiteral("groups"), groupId);
    if (group.isEmpty()) {
        ZeltoSystem::instance()->fail(ZeltoStatus::notFound(tr("Группа узла %1 не найдена").arg(nodeId)));
        return QVariant();
    }
    group.remove(kId);
    package.insert(QStringLiteral("group"), oneRow(group));

    ZeltoTable tasks;
    if (!readTasks(context, nodeId, tasks))
        return QVariant();
    if (tasks.rowCount() > 0)
        package.insert(QStringLiteral("tasks"), tasks);

    const ZeltoResult<ZeltoTable> settings = ArchiveStore::settingData(context, nodeId);
    const ZeltoResult<ZeltoTable> journal = ArchiveStore::journalData(context, nodeId, QDateTime(), QDateTime());
    if (!zeltoReport(settings.status()) || !zeltoReport(journal.status()))
        return QVariant();
    if (settings.value().rowCount() > 0)
        package.insert(QStringLiteral("setting_data"), settings.value());
    if (journal.value().rowCount() > 0)
        package.insert(QStringLiteral("journal_data"), journal.value());

    for (const QString &archive : ArchiveStore::archiveNames()) {
        const ZeltoResult<ZeltoTable> read = ArchiveStore::stored(*context.database(), nodeId, archive);
        if (!zeltoReport(read.status()))
            return QVariant();
        ZeltoTable table = read.value();
        if (table.rowCount() == 0)
            continue;
        table.removeColumn(QStringLiteral("CHECK_ERR"));
        package.insert(archive, table);
    }
    return QVariant::fromValue(package);
}
