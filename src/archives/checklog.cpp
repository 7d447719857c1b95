#include "checklog.h"

#include "archivestore.h"
#include "database.h"
#include "nodes.h"
#include "nodevisibility.h"
#include "transactionscope.h"
#include "user.h"
#include "zeltosystem.h"

#include <QVariantList>

bool CheckLog::insert(int nodeId, const QDateTime &ctime, const ZeltoTable &findings, int row)
{
    // One finding is logged once: a later check only moves its time.
    static const QStringList key = {QStringLiteral("node_id"), QStringLiteral("atime"), QStringLiteral("archive"),
                                    QStringLiteral("message")};
    static const QStringList columns = QStringList{QStringLiteral("node_id"), QStringLiteral("ctime")} + key.mid(1);
    return Database::execute(Database::dialect().insertOrReplace(QStringLiteral("check_log"), columns, key),
                             {nodeId, ctime, findings.value(row, QStringLiteral("atime")),
                              findings.value(row, QStringLiteral("archive")),
                              findings.value(row, QStringLiteral("message"))});
}

ZeltoTable CheckLog::read(int nodeId, const QDateTime &from, const QDateTime &to)
{
    if (!NodeVisibility::isVisible(nodeId))
        return ZeltoTable();
    const QString select = QStringLiteral("SELECT * FROM check_log WHERE node_id = ?");
    const QString order = QStringLiteral(" ORDER BY atime, archive, message");
    if (from.isValid() && to.isValid())
        return Database::selectTable(select + QStringLiteral(" AND (atime BETWEEN ? AND ?)") + order, {nodeId, from, to});
    if (from.isValid())
        return Database::selectTable(select + QStringLiteral(" AND atime >= ?") + order, {nodeId, from});
    if (to.isValid())
        return Database::selectTable(select + QStringLiteral(" AND atime <= ?") + order, {nodeId, to});
    return Database::selectTable(select + order, {nodeId});
}

QStringList CheckLog::errors(int nodeId, const QString &archive, const QDateTime &atime)
{
    if (!NodeVisibility::isVisible(nodeId))
        return QStringList();
    const QVariantList values = Database::selectDistinctValues(
        QStringLiteral("check_log"), QStringLiteral("message"), QStringLiteral("node_id = ? AND atime = ? AND archive = ?"),
        {nodeId, atime, archive});
    QStringList messages;
    messages.reserve(values.size());
    for (const QVariant &value : values)
        messages.append(value.toString());
    return messages;
}

bool CheckLog::clear(int nodeId)
{
    if (!NodeVisibility::isVisible(nodeId))
        return User::denyAccess();
    TransactionScope scope;
    if (!scope.isActive())
        return false;
    const QString mark = QStringLiteral("CHECK_ERR");
    for (const QString &archive : ArchiveStore::checkedArchives()) {
        ZeltoTable table;
        if (!ArchiveStore::read(nodeId, archive, table))
            return false;
        if (table.rowCount() == 0 || !table.containsColumn(mark))
            continue;
        table.removeColumn(mark);
        if (!Database::writeData(QStringLiteral("nodes"), nodeId, archive, QVariant::fromValue(table)))
            return false;
    }
    if (!Database::execute(QStringLiteral("DELETE FROM check_log WHERE node_id = ?"), {nodeId}) || !scope.commit())
        return false;
    Nodes::changed(nodeId);
    return true;
}

ZeltoResult<ZeltoTable> CheckLog::read(const CommandContext &context, int nodeId, const QDateTime &from,
                                       const QDateTime &to)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<ZeltoTable>(ZeltoTable()) : visible.status();
    return zeltoCapture([&] { return read(nodeId, from, to); });
}

ZeltoResult<QStringList> CheckLog::errors(const CommandContext &context, int nodeId, const QString &archive,
                                          const QDateTime &atime)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<QStringList>(QStringList()) : visible.status();
    return zeltoCapture([&] { return errors(nodeId, archive, atime); });
}

ZeltoStatus CheckLog::clear(const CommandContext &context, int nodeId)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok())
        return visible.status();
    if (!visible.value())
        return User::refusal(ZeltoStatus::NotFound);
    return zeltoCheck([&] { return clear(nodeId); });
}
