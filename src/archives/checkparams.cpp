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

ZeltoResult<QVariantMap> CheckParams::load(const CommandContext &context, int nodeId)
{
    return NodeVisibility::dataMap(context, nodeId, kCheckParams);
}

ZeltoStatus CheckParams::set(const CommandContext &context, int nodeId, const QVariantMap &params)
{
    const ZeltoStatus seen = NodeVisibility::mustSee(context, nodeId);
    if (!seen.ok())
        return seen;
    const ZeltoStatus limited = FieldLimits::check(FieldLimits::Node, {{kCheckParams, params}});
    if (!limited.ok())
        return limited;
    Database &database = *context.database();
    TransactionScope scope(database, QStringLiteral("setCheckParams"));
    if (!scope.isActive())
        return scope.status();
    ZeltoStatus done;
    if (params.isEmpty()) {
        // Without parameters their findings and marks mean nothing any more.
        done = CheckLog::clear(context, nodeId);
        if (done.ok())
            done = database.run(QStringLiteral("UPDATE nodes_data SET check_params = null WHERE id = ?"), {nodeId});
    } else {
        done = database.write(kNodes, nodeId, {{kCheckParams, params}});
    }
    if (done.ok())
        done = scope.finish();
    if (!done.ok())
        return done;   // the scope has rolled back
    Nodes::changed(database, nodeId);
    return ZeltoStatus();
}

ZeltoResult<int> CheckParams::checkArchives(const CommandContext &context, int nodeId)
{
    const ZeltoResult<QVariantMap> node = User::seen(NodeVisibility::find(context, nodeId));
    if (!node.ok())
        return node.status();
    const ZeltoResult<QVariantMap> params = load(context, nodeId);
    if (!params.ok())
        return params.status();
    if (params.value().isEmpty())
        return 0;

    Database &database = *context.database();
    TransactionScope scope(database, QStringLiteral("checkArchives"));
    if (!scope.isActive())
        return scope.status();
    ZeltoTableMap tables;
    for (const QString &archive : ArchiveStore::checkedArchives()) {
        const ZeltoResult<ZeltoTable> table = ArchiveStore::stored(database, nodeId, archive);
        if (!table.ok())
            return table.status();
        if (table.value().rowCount() > 0)
            tables.insert(archive, table.value());
    }

    Analizer analizer(node.value().value(QStringLiteral("model_code")).toString(), &database);
    analizer.setCheckParams(params.value());
    const ZeltoStatus ran = analizer.checkAll(tables);
    if (!ran.ok())
        return ran;

    // Rows are marked only together with a finding: an archive without
    // findings is unchanged and is not written again.
    const ZeltoTable findings = analizer.findings();
    QSet<QString> marked;
    for (int row = 0; row < findings.rowCount(); ++row)
        marked.insert(findings.value(row, QStringLiteral("archive")).toString());
    for (auto it = tables.constBegin(); it != tables.constEnd(); ++it) {
        if (!marked.contains(it.key()))
            continue;
        const ZeltoStatus written = database.write(kNodes, nodeId, {{it.key(), QVariant::fromValue(it.value())}});
        if (!written.ok())
            return written;
    }
    const QDateTime now = database.stampClock()->now();
    for (int row = 0; row < findings.rowCount(); ++row) {
        const ZeltoStatus logged = CheckLog::insert(database, nodeId, now, findings, row);
        if (!logged.ok())
            return logged;
    }
    const ZeltoStatus committed = scope.finish();
    if (!committed.ok())
        return committed;
    Nodes::changed(database, nodeId);
    return analizer.findingCount();
}
