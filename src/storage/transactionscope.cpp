#include "transactionscope.h"

#include "database.h"
#include "zeltosystem.h"

#include <QSqlError>
#include <QSqlQuery>

TransactionScope::TransactionScope(Database &database, const QString &name) : m_database(&database), m_name(name)
{
    begin();
}

void TransactionScope::begin()
{
    if (!m_database) {
        m_status = ZeltoStatus::storage(Database::tr("База данных не открыта"));
        return;
    }
    if (m_database->m_transactionDepth == 0 && !m_database->db.transaction()) {
        m_status = Database::sqlStatus(m_database->db.lastError());
        logFailure("BEGIN", m_status.message());
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

void TransactionScope::logFailure(const char *step, const QString &text) const
{
    if (!m_name.isEmpty())
        ZeltoSystem::instance()->log(ZeltoSystem::LogWarning,
                                     QStringLiteral("%1 (%2): %3").arg(QLatin1String(step), m_name, text));
}

ZeltoStatus TransactionScope::finish()
{
    if (!m_active)
        return m_status.ok() ? ZeltoStatus::failed(QString()) : m_status;
    if (!m_database) {
        m_active = false;
        return ZeltoStatus::storage(Database::tr("База данных не открыта"));
    }
    // COMMIT as a statement, not QSqlDatabase::commit(): the driver's own
    // commit drops SQLite's result code, which tells a deferred constraint
    // (a conflict) from a storage failure.
    QSqlQuery commit(m_database->db);
    if (m_database->m_transactionDepth == 1 && !commit.exec(QStringLiteral("COMMIT"))) {
        const ZeltoStatus failed = Database::sqlStatus(commit.lastError());
        logFailure("COMMIT", failed.message());
        rollback();
        return failed;
    }
    --m_database->m_transactionDepth;
    m_active = false;
    return ZeltoStatus();
}

ZeltoStatus TransactionScope::rollback()
{
    if (!m_active)
        return ZeltoStatus();
    m_active = false;
    if (!m_database)
        return ZeltoStatus();   // closing the connection has ended the transaction already
    ZeltoStatus done;
    if (m_database->m_transactionDepth == 1 && !m_database->db.rollback()) {
        done = Database::sqlStatus(m_database->db.lastError());
        logFailure("ROLLBACK", done.message());
        // A connection that cannot roll back is in an unknown state: start over.
        m_database->reopen();
    }
    --m_database->m_transactionDepth;
    return done;
}
