#include "checklog.h"

#include "archivestore.h"
#include "database.h"
#include "nodes.h"
#include "nodevisibility.h"
#include "transactionscope.h"
#include "zeltosystem.h"

#include <QVariantList>

ZeltoStatus CheckLog::insert(Database &database, int nodeId, const QDateTime &ctime, const ZeltoTable &findings,
                            int row)
{
    // One finding is logged once: a later check only moves its time.
    static const QStringList key = {QStringLiteral("node_id"), QStringLiteral("atime"), QStringLiteral("archive"),
                                    QStringLiteral("message")};
    static const QStringList columns = QStringList{QStringLiteral("node_id"), QStringLiteral("ctime")} + key.mid(1);
    return database.run(database.sqlDialect().insertOrReplace(QStringLiteral("check_log"), columns, key),
                        {nodeId, ctime, findings.value(row, QStringLiteral("atime")),
                         findings.value(row, QStringLiteral("archive")), findings.value(row, QStringLiteral("message"))});
}

ZeltoResult<ZeltoTable> CheckLog::read(const CommandContext &context, int nodeId, const QDateTime &from,
                                       const QDateTime &to)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<ZeltoTable>(ZeltoTable()) : visible.status();
    QString select = QStringLiteral("SELECT * FROM check_log WHERE node_id = ?");
    QVariantList values{nodeId};
    if (from.isValid()) {
        select += QStringLiteral(" AND atime >= ?");
        values.append(from);
    }
    if (to.isValid()) {
        select += QStringLiteral(" AND atime <= ?");
        values.append(to);
    }
    return context.database()->rows(select + QStringLiteral(" ORDER BY atime, archive, message"), values);
}

ZeltoResult<QStringList> CheckLog::errors(const CommandContext &context, int nodeId, const QString &archive,
                                          const QDateTime &atime)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<QStringList>(QStringList()) : visible.status();
    const ZeltoResult<ZeltoTable> found = context.database()->rows(
        QStringLiteral("SELECT DISTINCT message FROM check_log WHERE node_id = ? AND atime = ? AND archive = ?"),
        {nodeId, atime, archive});
    if (!found.ok())
        return found.status();
    QStringList messages;
    messages.reserve(found.value().rowCount());
    for (int row = 0; row < found.value().rowCount(); ++row)
        messages.append(found.value().value(row, QStringLiteral("message")).toString());
    return messages;
}

ZeltoStatus CheckLog::clear(const CommandContext &context, int nodeId)
{
    const ZeltoStatus visible = NodeVisibility::mustSee(context, nodeId);
    if (!visible.ok())
        return visible;
    Database &database = *context.database();
    TransactionScope scope(database, QStringLiteral("clearCheckLog"));
    if (!scope.isActive())
        return scope.status();
    const QString mark = QStringLiteral("CHECK_ERR");
    for (const QString &archive : ArchiveStore::checkedArchives()) {
        ZeltoResult<ZeltoTable> table = ArchiveStore::stored(database, nodeId, archive);
        if (!table.ok())
            return table.status();
        if (table.value().rowCount() == 0 || !table.value().containsColumn(mark))
            continue;
        ZeltoTable unmarked = table.value();
        unmarked.removeColumn(mark);
        const ZeltoStatus written =
            database.write(QStringLiteral("nodes"), nodeId, {{archive, QVariant::fromValue(unmarked)}});
        if (!written.ok())
            return written;
    }
    ZeltoStatus done = database.run(QStringLiteral("DELETE FROM check_log WHERE node_id = ?"), {nodeId});
    if (done.ok())
        done = scope.finish();
    if (!done.ok())
        return done;
    Nodes::changed(database, nodeId);
    return ZeltoStatus();
}
