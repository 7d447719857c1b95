#include "database.h"

#include "zeltoclock.h"

#include <QDateTime>

bool Database::cleanJournal()
{
    const int days = getSetting(QStringLiteral("journalDayCount"), 7).toInt();
    const QDateTime limit = clock()->now().addDays(-days);
    // The bound limit is stored text of the same form as ctime, so "<" orders by time.
    if (!execute(QStringLiteral("DELETE FROM journal WHERE ctime < ?"), {limit}))
        return false;
    if (!execute(QStringLiteral("VACUUM")))
        return false;
    // VACUUM wrote the whole file into the write-ahead log: move it back now
    // and cut the log, so that the space is given back at once.
    return execute(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}
