#pragma once

#include "zeltostatus.h"

#include <QPointer>
#include <QString>

class Database;

// A nesting transaction guard on a database. Only the outermost scope talks
// to SQLite: it sends BEGIN on construction and COMMIT or ROLLBACK at its
// end; inner scopes only count. So an inner rollback is not remembered, and
// the outer commit keeps everything done inside it. A scope still active
// when destroyed rolls back. Its name (the work it guards) goes into the
// log when SQLite refuses to begin, commit or roll back.
class TransactionScope
{
public:
    TransactionScope(Database &database, const QString &name);
    ~TransactionScope();

    TransactionScope(const TransactionScope &) = delete;
    TransactionScope &operator=(const TransactionScope &) = delete;

    // False when the transaction could not be started; status() says why.
    bool isActive() const { return m_active; }
    ZeltoStatus status() const { return m_status; }

    // Fails for an inactive scope, and when the outermost commit fails
    // (then everything is rolled back).
    ZeltoStatus finish();
    // Fails when SQLite refuses the outermost ROLLBACK (the connection is
    // then opened again); an inactive scope has nothing to undo.
    ZeltoStatus rollback();

private:
    void begin();
    void logFailure(const char *step, const QString &text) const;

    // The database the scope counts in; a scope outliving it only deactivates.
    QPointer<Database> m_database;
    QString m_name;
    bool m_active = false;
    ZeltoStatus m_status;
};
