#include "nodevisibility.h"

#include "database.h"
#include "visibility.h"
#include "zeltosystem.h"

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

QVariantMap NodeVisibility::node(int nodeId)
{
    QVariantList values{nodeId};
    const QString visible = Visibility::groupCondition("nodes.group_id", values);
    return Database::selectRecord(kSelect + visible, values);
}

bool NodeVisibility::isVisible(int nodeId)
{
    return !node(nodeId).isEmpty();
}
