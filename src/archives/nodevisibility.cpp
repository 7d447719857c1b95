#include "nodevisibility.h"

#include "database.h"
#include "visibility.h"

QVariantMap NodeVisibility::node(int nodeId)
{
    QVariantList values{nodeId};
    const QString visible = Visibility::groupCondition("nodes.group_id", values);
    return Database::selectRecord(QStringLiteral("SELECT nodes.* FROM nodes, nodes_data "
                                                 "WHERE nodes.id = nodes_data.id AND nodes.id = ? AND ")
                                      + visible,
                                  values);
}

bool NodeVisibility::isVisible(int nodeId)
{
    return !node(nodeId).isEmpty();
}
