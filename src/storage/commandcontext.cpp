#include "commandcontext.h"

#include "database.h"
#include "visibility.h"
#include "zeltoclock.h"

CommandContext::CommandContext(Database *database, int userId, const QStringList &rights)
    : m_database(database), m_userId(userId), m_rights(rights)
{
}

CommandContext CommandContext::server(Database *database)
{
    return CommandContext(database, -1, QStringList());
}

ZeltoClock *CommandContext::clock() const
{
    return m_database ? m_database->stampClock() : ZeltoClock::system();
}

QString CommandContext::groupCondition(const char *groupIdColumn, QVariantList &values) const
{
    return Visibility::groupCondition(m_userId, groupIdColumn, values);
}

ZeltoStatus CommandContext::journal(const QString &level, const QString &message, const QString &objectType,
                                    int objectId) const
{
    if (!m_database)
        return noDatabase();
    return m_database->journal(level, message, objectType, objectId, m_userId);
}

ZeltoStatus CommandContext::noDatabase()
{
    return ZeltoStatus::storage(Database::tr("База данных не открыта"));
}
