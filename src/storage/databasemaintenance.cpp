#include "database.h"
#include "walcheckpointer.h"

#include <QSqlDriver>

#include <sqlite3.h>

sqlite3 *Database::sqliteHandle() const
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    return handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3 *const *>(handle.data())
                                                                          : nullptr;
}

ZeltoStatus Database::releasePages(int count)
{
    // The pragma frees one page each time it is stepped, and the Qt driver
    // steps a statement without result columns only once: stepped here to its end.
    sqlite3 *db = sqliteHandle();
    if (!db)
        return ZeltoStatus::unavailable(tr("База данных не открыта"));
    const QByteArray statement = "PRAGMA incremental_vacuum(" + QByteArray::number(qMax(1, count)) + ')';
    sqlite3_stmt *query = nullptr;
    int code = sqlite3_prepare_v2(db, statement.constData(), -1, &query, nullptr);
    while (code == SQLITE_OK || code == SQLITE_ROW)
        code = sqlite3_step(query);
    sqlite3_finalize(query);
    if (code != SQLITE_DONE)
        return ZeltoStatus::storage(QString::fromUtf8(sqlite3_errmsg(db)));
    return ZeltoStatus();
}

ZeltoStatus Database::truncateLog()
{
    const bool checkpointing = bool(m_checkpointer);
    m_checkpointer.reset();
    const ZeltoStatus done = run(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    if (checkpointing)
        attachCheckpointer();
    return done;
}
