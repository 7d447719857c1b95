#include "opcvisibility.h"

#include "database.h"
#include "visibility.h"

#include <QJsonArray>

#include <algorithm>

QJsonObject OpcVisibility::of(Database *database, int userId)
{
    // No such user: nothing. (Id -1 is nobody logged in, who sees everything over RPC.)
    if (userId < 0 || !database)
        return QJsonObject{{QStringLiteral("nodes"), QJsonArray()}};
    // The rule of the user's own requests.
    if (userId == 0)
        return QJsonObject{{QStringLiteral("all"), true}};
    QVariantList values;
    const QString visible = Visibility::groupCondition(userId, "group_id", values);
    QList<int> ids;
    const QVariantList rows =
        database->distinct(QStringLiteral("nodes"), QStringLiteral("id"), visible, values).value();
    for (const QVariant &id : rows)
        ids.append(id.toInt());
    // In order, so that two answers compare equal when they list the same nodes.
    std::sort(ids.begin(), ids.end());
    QJsonArray nodes;
    for (int id : qAsConst(ids))
        nodes.append(id);
    return QJsonObject{{QStringLiteral("nodes"), nodes}};
}
