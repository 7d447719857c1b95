#include "transactionscope.h"

#include "database.h"
#include "zeltosystem.h"

#include <QSqlError>

TransactionScope::TransactionScope()
{
    Database *database = Database::instance();
    if (!database) {
        ZeltoSystem::instance()->error(Database::tr("База данных не открыта"), true);
        return;
    }
    if (database->m_transactionDepth == 0 && !database->db.transaction()) {
        ZeltoSystem::instance()->error(database->db.lastError().databaseText(), true);
        return;
    }
    ++database->m_transactionDepth;
    m_active = true;
}

TransactionScope::~TransactionScope()
{
    if (m_active)
        rollback();
}

bool TransactionScope::commit()
{
    if (!m_active)
        return false;
    Database *database = Database::instance();
    if (!database) {
        // The database went away under an open scope; nothing left to commit.
        m_active = false;
        return ZeltoSystem::instance()->error(Database::tr("База данных не открыта"), true);
    }
    if (database->m_transactionDepth == 1 && !database->db.commit()) {
        const QString text = database->db.lastError().databaseText();
        rollback();
        return ZeltoSystem::instance()->error(text, true);
    }
    --database->m_transactionDepth;
    m_active = false;
    return true;
}

void TransactionScope::rollback()
{
    if (!m_active)
        return;
    m_active = false;
    Database *database = Database::instance();
    if (!database)
        return;
    if (database->m_transactionDepth == 1 && !database->db.rollback()) {
        ZeltoSystem::instance()->error(database->db.lastError().databaseText(), true);
        // A connection that cannot roll back is in an unknown state: start over.
        database->reopen();
    }
    --database->m_transactionDepth;
}
