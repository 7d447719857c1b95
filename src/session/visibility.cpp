#include "visibility.h"

#include "user.h"

QString Visibility::groupCondition(const char *groupIdColumn, QVariantList &values)
{
    if (User::isUnrestricted())
        return QStringLiteral("1");
    values.append(User::currentUserId());
    return QLatin1String(groupIdColumn)
           + QLatin1String(" IN (SELECT group_id FROM user_groups WHERE user_id = ?)");
}
