#pragma once

#include "zeltostatus.h"

#include <QString>
#include <QStringList>
#include <QVariantList>

class Database;
class ZeltoClock;

// What one command works on: who is calling (user id and rights as read at
// login), the database and its clock. The command table builds one per call
// from the caller's session and hands it down with the parameters, so that
// records, archives, transactions and journal entries learn the caller from
// it instead of asking the session store. The server's own work (a poll's
// save, the scheduler, maintenance) runs with server(): user -1, who sees
// everything. A copyable value; the database outlives every context.
class CommandContext
{
public:
    CommandContext(Database *database, int userId, const QStringList &rights);
    static CommandContext server(Database *database);

    // Null only where no database is open (commands that need none).
    Database *database() const { return m_database; }
    ZeltoClock *clock() const;
    int userId() const { return m_userId; }
    const QStringList &rights() const { return m_rights; }

    // The administrator, anonymous callers and the server see every record.
    bool isUnrestricted() const { return m_userId == -1 || m_userId == 0; }
    // The condition on a query's group id column that keeps the caller to
    // their groups ("1" when unrestricted), its value appended to values.
    QString groupCondition(const char *groupIdColumn, QVariantList &values) const;

    // A journal entry in the caller's name (level "INFO", "WARN", "ERROR").
    ZeltoStatus journal(const QString &level, const QString &message, const QString &objectType = QString(),
                        int objectId = -1) const;

    // The failure of work that needs the database when none is open.
    static ZeltoStatus noDatabase();

private:
    Database *m_database;
    int m_userId;
    QStringList m_rights;
};
