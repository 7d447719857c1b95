#include "opcvisibility.h"

#include "database.h"
#include "sessionscope.h"
#include "user.h"
#include "visibility.h"

#include <QJsonArray>

#include <algorithm>

QJsonObject OpcVisibility::of(int userId)
{
    // No such user: nothing. (Id -1 is nobody logged in, who sees everything over RPC.)
    if (userId < 0)
        return QJsonObject{{QStringLiteral("nodes"), QJsonArray()}};
    // Asked as that user: the rule is the one of the user's own requests.
    SessionScope scope{QString()};
    scope.session().userId = userId;
    if (User::isUnrestricted())
        return QJsonObject{{QStringLiteral("all"), true}};
    QVariantList values;
    const QString visible = Visibility::groupCondition("group_id", values);
    QList<int> ids;
    const QVariantList rows =
        Database::selectDistinctValues(QStringLiteral("nodes"), QStringLiteral("id"), visible, values);
    for (const QVariant &id : rows)
        ids.append(id.toInt());
    // In order, so that two answers compare equal when they list the same nodes.
    std::sort(ids.begin(), ids.end());
    QJsonArray nodes;
    for (int id : qAsConst(ids))
        nodes.append(id);
    return QJsonObject{{QStringLiteral("nodes"), nodes}};
}
