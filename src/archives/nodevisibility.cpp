#include "nodevisibility.h"

#include "database.h"
#include "user.h"

namespace {

const QString kSelect = QStringLiteral("SELECT nodes.* FROM nodes, nodes_data WHERE nodes.id = nodes_data.id AND nodes.id = ? AND ");

} // namespace

ZeltoResult<QVariantMap> NodeVisibility::find(const CommandContext &context, int nodeId)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values{nodeId};
    const QString visible = context.groupCondition("nodes.group_id", values);
    return context.database()->row(kSelect + visible, values);
}

ZeltoResult<bool> NodeVisibility::sees(const CommandContext &context, int nodeId)
{
    if (!context.database())
        return CommandContext::noDatabase();
    // Whether there is such a row is all that is asked: the node's fifty
    // columns are not read into a record for it.
    QVariantList values{nodeId};
    const QString visible = context.groupCondition("nodes.group_id", values);
    return context.database()->has(QStringLiteral("nodes, nodes_data"),
                                   QStringLiteral("nodes.id = nodes_data.id AND nodes.id = ? AND ") + visible, values);
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
