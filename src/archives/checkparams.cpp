#include "checkparams.h"

#include "analizer.h"
#include "archivestore.h"
#include "checklog.h"
#include "database.h"
#include "fieldlimits.h"
#include "nodes.h"
#include "nodevisibility.h"
#include "transactionscope.h"
#include "user.h"
#include "zeltosystem.h"
#include "zeltoclock.h"

#include <QDateTime>
#include <QSet>

namespace {

const QString kNodes = QStringLiteral("nodes");
const QString kCheckParams = QStringLiteral("check_params");

} // namespace

QVariantMap CheckParams::load(int nodeId)
{
    if (!NodeVisibility::isVisible(nodeId))
        return QVariantMap();
    return Database::readData(kNodes, nodeId, kCheckParams).toMap();
}

bool CheckParams::set(int nodeId, const QVariantMap &params)
{
    if (!NodeVisibility::isVisible(nodeId))
        return User::denyAccess();
    if (!FieldLimits::check(FieldLimits::Node, {{kCheckParams, params}}))
        return false;
    TransactionScope scope;
    if (!scope.isActive())
        return false;
    bool done;
    if (params.isEmpty()) {
        // Without parameters their findings and marks mean nothing any more.
        done = CheckLog::clear(nodeId)
               && Database::execute(QStringLiteral("UPDATE nodes_data SET check_params = null WHERE id = ?"), {nodeId});
    } else {
        done = Database::writeData(kNodes, nodeId, kCheckParams, params);
    }
    if (!done || !scope.commit())
        return false;   // the scope has rolled back
    Nodes::changed(nodeId);
    return true;
}

int CheckParams::checkArchives(int nodeId)
{
    const QVariantMap node = NodeVisibility::node(nodeId);
    if (node.isEmpty()) {
        User::denyAccess();
        return -1;
    }
    const QVariantMap params = load(nodeId);
    if (params.isEmpty())
        return 0;

    TransactionScope scope;
    if (!scope.isActive())
        return -1;
    ZeltoTableMap tables;
    for (const QString &archive : ArchiveStore::checkedArchives()) {
        ZeltoTable table;
        if (!ArchiveStore::read(nodeId, archive, table))
            return -1;
        if (table.rowCount() > 0)
            tables.insert(archive, table);
    }

    Analizer analizer(node.value(QStringLiteral("model_code")).toString());
    analizer.setCheckParams(params);
    if (!analizer.checkAll(tables))
        return -1;

    // Rows are marked only together with a finding: an archive without
    // findings is unchanged and is not written again.
    const ZeltoTable findings = analizer.findings();
    QSet<QString> marked;
    for (int row = 0; row < findings.rowCount(); ++row)
        marked.insert(findings.value(row, QStringLiteral("archive")).toString());
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it) {
        if (marked.contains(it.key())
            && !Database::writeData(kNodes, nodeId, it.key(), QVariant::fromValue(it.value())))
            return -1;
    }
    const QDateTime now = Database::clock()->now();
    for (int row = 0; row < findings.rowCount(); ++row) {
        if (!CheckLog::insert(nodeId, now, findings, row))
            return -1;
    }
    if (!scope.commit())
        return -1;
    Nodes::changed(nodeId);
    return analizer.findingCount();
}

namespace {

// The caller's view of the node: not seeing it is a refusal.
ZeltoStatus mustSee(const CommandContext &context, int nodeId)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok())
        return visible.status();
    return visible.value() ? ZeltoStatus() : User::refusal(ZeltoStatus::NotFound);
}

} // namespace

ZeltoResult<QVariantMap> CheckParams::load(const CommandContext &context, int nodeId)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<QVariantMap>(QVariantMap()) : visible.status();
    const ZeltoResult<QVariant> params = context.database()->data(kNodes, nodeId, kCheckParams);
    if (!params.ok())
        return params.status();
    return params.value().toMap();
}

ZeltoStatus CheckParams::set(const CommandContext &context, int nodeId, const QVariantMap &params)
{
    const ZeltoStatus seen = mustSee(context, nodeId);
    if (!seen.ok())
        return seen;
    return zeltoCheck([&] { return set(nodeId, params); });
}

ZeltoResult<int> CheckParams::checkArchives(const CommandContext &context, int nodeId)
{
    const ZeltoStatus seen = mustSee(context, nodeId);
    if (!seen.ok())
        return seen;
    int count = -1;
    const ZeltoStatus checked = zeltoCheck([&] { return (count = checkArchives(nodeId)) >= 0; });
    if (!checked.ok())
        return checked;
    return count;
}
