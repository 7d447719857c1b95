#include "nodevisibility.h"

#include "database.h"
#include "user.h"

namespace {

const QString kTables = QStringLiteral("nodes, nodes_data");

// The condition that picks node nodeId when the context's user sees it; values: what it binds.
QString visibleNode(const CommandContext &context, int nodeId, QVariantList &values)
{
    values = {nodeId};
    return QStringLiteral("nodes.id = nodes_data.id AND nodes.id = ? AND ")
        + context.groupCondition("nodes.group_id", values);
}

} // namespace

ZeltoResult<QVariantMap> NodeVisibility::find(const CommandContext &context, int nodeId)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString visible = visibleNode(context, nodeId, values);
    return context.database()->row(QStringLiteral("SELECT nodes.* FROM ") + kTables + QStringLiteral(" WHERE ") + visible,
                                   values);
}

ZeltoResult<bool> NodeVisibility::sees(const CommandContext &context, int nodeId)
{
    if (!context.database())
        return CommandContext::noDatabase();
    // Whether there is such a row is all that is asked: the node's fifty
    // columns are not read into a record for it.
    QVariantList values;
    const QString visible = visibleNode(context, nodeId, values);
    return context.database()->has(kTables, visible, values);
}

ZeltoStatus NodeVisibility::mustSee(const CommandContext &context, int nodeId)
{
    const ZeltoResult<bool> visible = sees(context, nodeId);
    if (!visible.ok())
        return visible.status();
    return visible.value() ? ZeltoStatus() : User::refusal(ZeltoStatus::NotFound);
}

ZeltoResult<QVariantMap> NodeVisibility::dataMap(const CommandContext &context, int nodeId, const QString &column)
{
    const ZeltoResult<bool> visible = sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<QVariantMap>(QVariantMap()) : visible.status();
    const ZeltoResult<QVariant> value = context.database()->data(QStringLiteral("nodes"), nodeId, column);
    if (!value.ok())
        return value.status();
    return value.value().toMap();
}
