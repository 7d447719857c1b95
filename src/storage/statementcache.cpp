#include "statementcache.h"

#include <QSqlResult>

#include <sqlite3.h>

namespace {

// A query that fails or is read only in part leaves its statement where it
// stopped; SQLite's own reset ends it whatever state the driver thinks it is in.
void resetStatement(QSqlQuery &query)
{
    query.finish();
    const QVariant handle = query.result() ? query.result()->handle() : QVariant();
    if (handle.isValid() && qstrcmp(handle.typeName(), "sqlite3_stmt*") == 0) {
        sqlite3_stmt *statement = *static_cast<sqlite3_stmt *const *>(handle.constData());
        if (statement)
            sqlite3_reset(statement);
    }
}

} // namespace

StatementCache::Lease::~Lease()
{
    if (!m_entry)
        return;
    resetStatement(m_entry->query);
    m_entry->lent = false;
}

StatementCache::Lease::Lease(Lease &&other) noexcept : m_entry(std::move(other.m_entry)), m_prepared(other.m_prepared)
{
    other.m_entry.reset();
}

StatementCache::Lease StatementCache::acquire(const QSqlDatabase &db, const SqlDialect &dialect, const QString &statement)
{
    const auto found = m_entries.constFind(statement);
    if (found != m_entries.constEnd() && !found.value()->lent) {
        found.value()->lent = true;
        return Lease(found.value(), true);
    }
    QSharedPointer<Lease::Entry> entry(new Lease::Entry(db));
    // PostgreSQL's driver reads a forward-only result row by row and drops
    // what is left when the connection runs another statement (a nested
    // read, a savepoint): there each result is read whole.
    entry->query.setForwardOnly(db.driverName() != QLatin1String("QPSQL"));
    entry->lent = true;
    if (!entry->query.prepare(statement))
        return Lease(entry, false);
    entry->binaryParameters = dialect.binaryParameters(statement);
    if (found == m_entries.constEnd()) {
        if (m_entries.size() >= Capacity) {
            for (auto it = m_entries.begin(); it != m_entries.end();) {
                if (it.value()->lent)
                    ++it;
                else
                    it = m_entries.erase(it);
            }
        }
        m_entries.insert(statement, entry);
    }
    return Lease(entry, true);
}

void StatementCache::clear()
{
    m_entries.clear();
}
