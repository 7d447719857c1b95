#include "transactionscope.h"

#include "database.h"
#include "zeltosystem.h"

#include <QSqlError>

TransactionScope::TransactionScope() : m_database(Database::instance())
{
    if (!m_database) {
        ZeltoSystem::instance()->error(Database::tr("База данных не открыта"));
        return;
    }
    if (m_database->m_transactionDepth == 0 && !m_database->db.transaction()) {
        ZeltoSystem::instance()->error(m_database->db.lastError().databaseText());
        return;
    }
    ++m_database->m_transactionDepth;
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
    if (!m_database) {
        m_active = false;
        return ZeltoSystem::instance()->error(Database::tr("База данных не открыта"));
    }
    if (m_database->m_transactionDepth == 1 && !m_database->db.commit()) {
        const QString text = m_database->db.lastError().databaseText();
        rollback();
        return ZeltoSystem::instance()->error(text);
    }
    --m_database->m_transactionDepth;
    m_active = false;
    return true;
}

void TransactionScope::rollback()
{
    if (!m_active)
        return;
    m_active = false;
    if (!m_database)
        return;   // closing the connection has ended the transaction already
    if (m_database->m_transactionDepth == 1 && !m_database->db.rollback()) {
        ZeltoSystem::instance()->error(m_database->db.lastError().databaseText());
        // A connection that cannot roll back is in an unknown state: start over.
        m_database->reopen();
    }
    --m_database->m_transactionDepth;
}
