#include "nodevisibility.h"

#include "database.h"
#include "user.h"

QVariantMap NodeVisibility::node(int nodeId)
{
    if (User::isUnrestricted())
        return Database::selectRecord(QStringLiteral("SELECT nodes.* FROM nodes, nodes_data "
                                                     "WHERE nodes.id = nodes_data.id AND nodes.id = ?"),
                                      {nodeId});
    return Database::selectRecord(QStringLiteral("SELECT nodes.* FROM nodes, nodes_data, groups, user_groups "
                                                 "WHERE nodes.id = nodes_data.id AND nodes.group_id = groups.id "
                                                 "AND groups.id = user_groups.group_id AND user_groups.user_id = ? "
                                                 "AND nodes.id = ?"),
                                  {User::currentUserId(), nodeId});
}

bool NodeVisibility::isVisible(int nodeId)
{
    return !node(nodeId).isEmpty();
}
