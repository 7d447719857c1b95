#include "visibility.h"


QString Visibility::groupCondition(int userId, const char *groupIdColumn, QVariantList &values)
{
    if (userId == -1 || userId == 0)
        return QStringLiteral("1 = 1");   // a truth both databases take
    values.append(userId);
    return QLatin1String(groupIdColumn)
           + QLatin1String(" IN (SELECT group_id FROM user_groups WHERE user_id = ?)");
}
