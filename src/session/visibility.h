#pragma once

#include <QString>
#include <QVariantList>

// Which records the caller may see. A restricted user sees the groups
// listed for them in user_groups, with the nodes and tasks of those groups;
// the administrator, anonymous clients and the server's own work see
// everything. Every query of groups, nodes or tasks takes its restriction
// from here, as a condition on the group id it reads.
class Visibility
{
public:
    // "<groupIdColumn> IN (SELECT group_id FROM user_groups WHERE user_id = ?)"
    // with the caller's id appended to values, or "1" (no restriction: the
    // administrator 0 and -1, anonymous or the server).
    // groupIdColumn is the query's own text, never a client's.
    static QString groupCondition(int userId, const char *groupIdColumn, QVariantList &values);
};
