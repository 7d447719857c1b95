#pragma once

#include <QPointer>

class Database;

// A nesting transaction guard on the default connection. Only the outermost
// scope talks to SQLite: it sends BEGIN on construction and COMMIT or
// ROLLBACK at its end; inner scopes only count. So an inner rollback is not
// remembered, and the outer commit keeps everything done inside it. A scope
// still active when destroyed rolls back.
class TransactionScope
{
public:
    TransactionScope();
    ~TransactionScope();

    TransactionScope(const TransactionScope &) = delete;
    TransactionScope &operator=(const TransactionScope &) = delete;

    // False when the transaction could not be started (already reported).
    bool isActive() const { return m_active; }

    // False for an inactive scope, and when the outermost commit fails (then
    // everything is rolled back and the driver's text is reported).
    bool commit();
    void rollback();

private:
    // The database the scope counts in; a scope outliving it only deactivates.
    QPointer<Database> m_database;
    bool m_active = false;
};
