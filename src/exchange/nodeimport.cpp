#include "nodeimport.h"

#include "archivecells.h"
#include "archivestore.h"
#include "changeevents.h"
#include "checkparams.h"
#include "database.h"
#include "fieldlimits.h"
#include "groups.h"
#include "legacypackage.h"
#include "metadatacatalogue.h"
#include "nodes.h"
#include "nodevisibility.h"
#include "recordfields.h"
#include "tasks.h"
#include "transactionscope.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QDateTime>

namespace {

const QString kInfo = QStringLiteral("info");
const QString kId = QStringLiteral("id");
const QString kModelCode = QStringLiteral("model_code");
const QString kModelName = QStringLiteral("model_name");
const QString kNumber = QStringLiteral("number");
const QString kName = QStringLiteral("name");

void textAgain(QVariantMap &map, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        const auto it = map.find(QLatin1String(key));
        if (it != map.end() && Zelto::isNumber(*it))
            *it = it->toString();
    }
}

QString textOf(const QVariantMap &info, const QString &key)
{
    return info.value(key).toString();
}

} // namespace

ZeltoStatus NodeImport::readPackage(const QVariant &package, ZeltoTableMap &tables)
{
    const int tableMap = qMetaTypeId<ZeltoTableMap>();
    const int table = qMetaTypeId<ZeltoTable>();
    if (package.userType() == tableMap) {
        tables = package.value<ZeltoTableMap>();
        return ZeltoStatus();
    }
    if (package.userType() == QMetaType::QVariantMap) {
        const QVariantMap map = package.toMap();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            if (it.value().userType() != table)
                return ZeltoStatus::invalid(tr("Неверный пакет узла: %1 не является таблицей").arg(it.key().left(40)));
        }
        tables = package.value<ZeltoTableMap>();
        return ZeltoStatus();
    }
    return ZeltoStatus::invalid(tr("Неверный пакет узла: ожидается набор таблиц"));
}

ZeltoResult<int> NodeImport::groupId(const CommandContext &context, const ZeltoTableMap &tables)
{
    const QVariant name = tables.value(QStringLiteral("group")).value(0, kName);
    if (name.isNull())
        return 0;
    const ZeltoResult<int> existing =
        context.database()->findId(QStringLiteral("groups"), QStringLiteral("name = ?"), {name.toString()});
    if (!existing.ok() || existing.value() != -1)
        return existing;
    // Found or made whatever groups the caller sees: the package names it.
    return Groups::save(CommandContext::server(context.database()), {{kName, name.toString()}});
}

QVariantMap NodeImport::nodeRow(const QVariantMap &info, const QString &modelCode, const QVariant &number, int groupId)
{
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    QVariantMap row;
    row.insert(kModelCode, modelCode);
    row.insert(kNumber, number);
    row.insert(QStringLiteral("group_id"), groupId);
    QString modelName;
    if (info.contains(QStringLiteral("modelName"))) {
        modelName = textOf(info, QStringLiteral("modelName"));
        if (modelName.isEmpty())
            modelName = catalogue.modelName(modelCode);
        row.insert(kModelName, modelName);
    } else if (info.contains(kModelName)) {
        modelName = textOf(info, kModelName);
        row.insert(kModelName, modelName);
    }
    QString name = textOf(info, kName);
    if (name.trimmed().isEmpty())
        name = Nodes::defaultName(modelName.isEmpty() ? catalogue.modelName(modelCode) : modelName,
                                  number.toLongLong(), modelCode);
    row.insert(kName, name);
    // A value the package leaves null stays null: a node moved to
    // another server keeps its version unknown rather than 0.
    for (const char *key : {"version", "firmware"}) {
        const QVariant value = info.value(QLatin1String(key));
        if (!value.isNull())
            row.insert(QLatin1String(key), value.toUInt());
    }
    QStringList texts = {QStringLiteral("consumer"), QStringLiteral("provider"), QStringLiteral("note"),
                         QStringLiteral("address"), QStringLiteral("contract")};
    for (int i = 1; i <= catalogue.maxSystemCount(); ++i)
        texts.append(QStringLiteral("s%1_type").arg(i));
    for (int i = 1; i <= 24; ++i)
        texts.append(QStringLiteral("param%1").arg(i));
    for (const QString &key : texts) {
        const QVariant value = info.value(key);
        if (!value.isNull())
            row.insert(key, value.toString());
    }
    const QVariant checking = info.value(QStringLiteral("checking"));
    if (!checking.isNull())
        row.insert(QStringLiteral("checking"), checking.toDateTime());
    return row;
}

ZeltoStatus NodeImport::saveTask(const CommandContext &context, QVariantMap task, int nodeId, QVariantList &taskIds)
{
    // An id in a package would name a task of this server: the row is
    // always a new task of the node.
    task.remove(kId);
    task.insert(QStringLiteral("node_id"), nodeId);
    // The exchange format gives text that looks like a number back as one:
    // what is text to the task and its channel becomes text again.
    textAgain(task, {"varnel_ip", "last_error"});
    // The last run's error is the other server's bookkeeping, as long as it once was.
    const auto lastError = task.find(QStringLiteral("last_error"));
    if (lastError != task.end() && lastError->userType() == QMetaType::QString)
        *lastError = FieldLimits::cut(FieldLimits::Task, lastError.key(), lastError->toString());
    QVariantMap channel = task.value(QStringLiteral("channel")).toMap();
    if (!channel.isEmpty()) {
        textAgain(channel, {"code", "phoneNumber", "hostName", "deviceId"});
        task.insert(QStringLiteral("channel"), channel);
    }
    const ZeltoResult<int> id = Tasks::save(CommandContext::server(context.database()), task);
    if (!id.ok())
        return id.status();
    // A task that comes with a timetable counts as just run, so that the
    // import does not start every imported poll at once.
    if (!task.value(QStringLiteral("timetable")).toMap().isEmpty()) {
        const ZeltoStatus stamped = context.database()->run(QStringLiteral("UPDATE tasks SET last_exec = ? WHERE id = ?"),
                                                            {context.clock()->now(), id.value()});
        if (!stamped.ok())
            return stamped;
    }
    taskIds.append(id.value());
    return ZeltoStatus();
}

ZeltoStatus NodeImport::saveTasks(const CommandContext &context, const ZeltoTableMap &tables, const QVariantMap &info,
                                  const QString &modelCode, int nodeId, QVariantList &taskIds)
{
    const auto tasks = tables.constFind(QStringLiteral("tasks"));
    if (tasks != tables.constEnd()) {
        for (int row = 0; row < tasks->rowCount(); ++row) {
            const ZeltoStatus saved = saveTask(context, tasks->toMap(row), nodeId, taskIds);
            if (!saved.ok())
                return saved;
        }
        return ZeltoStatus();
    }
    const QVariantMap legacy = LegacyPackage::task(info, modelCode);
    return legacy.isEmpty() ? ZeltoStatus() : saveTask(context, legacy, nodeId, taskIds);
}

ZeltoResult<int> NodeImport::importNode(const CommandContext &context, const QVariant &package)
{
    // Everything that can be told from the package alone is checked before
    // the transaction begins.
    ZeltoTableMap tables;
    const ZeltoStatus read = readPackage(package, tables);
    if (!read.ok())
        return read;
    QVariantMap checkParams = LegacyPackage::takeCheckParams(tables);
    const auto infoTable = tables.constFind(kInfo);
    if (infoTable == tables.constEnd() || infoTable->rowCount() == 0)
        return ZeltoStatus::invalid(tr("В пакете узла нет таблицы info"));
    const QVariantMap info = infoTable->toMap(0);
    const auto checkParamsValue = info.constFind(QStringLiteral("check_params"));
    if (checkParamsValue != info.constEnd())
        checkParams = checkParamsValue->toMap();
    const QString modelCode = info.contains(QStringLiteral("model")) ? textOf(info, QStringLiteral("model"))
                                                                     : textOf(info, kModelCode);
    if (!MetadataCatalogue::instance().models().contains(modelCode))
        return ZeltoStatus::invalid(tr("Неизвестная модель прибора: %1").arg(modelCode.left(40)));
    int number = 0;
    if (!RecordFields::toInt(info.value(kNumber), number) || number < 0)
        return ZeltoStatus::invalid(tr("Неверный номер прибора: %1").arg(textOf(info, kNumber).left(40)));
    LegacyPackage::convertTables(tables);
    LegacyPackage::fillPowerUnit(tables, modelCode);
    // The node's row as a new node would get it, its group and its check
    // parameters are bounded like those a client saves.
    ZeltoStatus bounded = ArchiveCells::check(tables);
    if (bounded.ok())
        bounded = FieldLimits::check(FieldLimits::Node, nodeRow(info, modelCode, number, 0));
    if (bounded.ok())
        bounded = FieldLimits::check(FieldLimits::Node, {{QStringLiteral("check_params"), checkParams}});
    if (bounded.ok())
        bounded = FieldLimits::check(FieldLimits::Group, tables.value(QStringLiteral("group")).toMap(0));
    if (!bounded.ok())
        return bounded;

    if (!context.database())
        return CommandContext::noDatabase();
    TransactionScope scope(*context.database(), QStringLiteral("importNode"));
    if (!scope.isActive())
        return scope.status();
    const ZeltoResult<QVariantMap> known = context.database()->row(
        QStringLiteral("SELECT id FROM nodes WHERE model_code = ? AND number = ?"), {modelCode, number});
    if (!known.ok())
        return known.status();
    int id = known.value().isEmpty() ? -1 : known.value().value(kId).toInt();
    QVariantList taskIds;
    if (id == -1) {
        const ZeltoResult<int> group = groupId(context, tables);
        if (!group.ok())
            return group;
        const ZeltoResult<int> saved = Nodes::save(context, nodeRow(info, modelCode, number, group.value()));
        if (!saved.ok())
            return saved;
        id = saved.value();
        const ZeltoStatus checks = checkParams.isEmpty() ? ZeltoStatus() : CheckParams::set(context, id, checkParams);
        if (!checks.ok())
            return checks;
        const ZeltoStatus tasks = saveTasks(context, tables, info, modelCode, id, taskIds);
        if (!tasks.ok())
            return tasks;
    } else {
        const ZeltoStatus visible = NodeVisibility::mustSee(context, id);
        if (!visible.ok())
            return visible;
    }

    // A node already known keeps its row: only what identifies it goes
    // along with the archives.
    ZeltoTable nodeInfo;
    nodeInfo.appendRow(QVariantMap{{kId, id}, {kModelCode, modelCode}, {kNumber, number}});
    tables.insert(kInfo, nodeInfo);
    tables.remove(QStringLiteral("group"));
    tables.remove(QStringLiteral("tasks"));
    ZeltoStatus stored = ArchiveStore::save(context, tables, false);
    if (stored.ok())
        stored = scope.finish();
    if (!stored.ok())
        return stored;

    ZeltoSystem::instance()->notify(ChangeEvents::ArchivesSaved, id);
    ZeltoSystem::instance()->notify(ChangeEvents::NodeSaved, id);
    for (const QVariant &taskId : qAsConst(taskIds))
        ZeltoSystem::instance()->notify(ChangeEvents::TaskSaved, taskId.toInt());
    context.journal(QStringLiteral("INFO"), tr("Импорт данных"), QStringLiteral("node"), id);
    return id;
}
