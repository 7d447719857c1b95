#include "journalcompaction.h"

#include "database.h"
#include "databasebackup.h"
#include "zeltobusyguard.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QTimer>

namespace {

// Main thread only.
JournalCompaction *s_running = nullptr;

} // namespace

JournalCompaction *JournalCompaction::running()
{
    return s_running;
}

ZeltoResult<JournalCompaction *> JournalCompaction::start(Database &database)
{
    return start(database, StepLimits());
}

ZeltoResult<JournalCompaction *> JournalCompaction::start(Database &database, const StepLimits &limits)
{
    if (s_running)
        return ZeltoStatus::failed(tr("Сжатие БД уже выполняется"));
    const bool postgres = database.sqlDialect().kind() == SqlDialect::PostgreSQL;
    if (!database.isOpen())
        return ZeltoStatus::failed(tr("База данных не открыта"));
    // PostgreSQL's journal has no row ids: its clean-up counts old rows instead.
    const ZeltoResult<QVariantMap> last = postgres
        ? ZeltoResult<QVariantMap>(QVariantMap())
        : database.row(QStringLiteral("SELECT coalesce(max(rowid), 0) AS last FROM journal"));
    if (!last.ok())
        return last.status();
    const ZeltoResult<QVariant> days = database.setting(QStringLiteral("journalDayCount"), 7);
    if (!days.ok())
        return days.status();
    auto *job = new JournalCompaction(database, limits);
    job->m_postgres = postgres;
    job->m_lastRowId = last.value().value(QStringLiteral("last")).toLongLong();
    job->m_limit = database.stampClock()->now().addDays(-days.value().toInt());
    s_running = job;
    job->schedule();
    return job;
}

void JournalCompaction::abort()
{
    delete s_running;
}

JournalCompaction::JournalCompaction(Database &database, const StepLimits &limits)
    : m_database(&database), m_limits(limits)
{
    m_limits.rows = qMax(1, m_limits.rows);
    m_limits.pages = qMax(1, m_limits.pages);
}

JournalCompaction::~JournalCompaction()
{
    if (s_running == this)
        s_running = nullptr;
}

void JournalCompaction::schedule()
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QTimer::singleShot(0, this, [this]() {
        m_scheduled = false;
        step();
    });
}

void JournalCompaction::step()
{
    // Not inside a save's open transaction (a check script turns the event loop).
    if (ZeltoBusyGuard::defer(this, [this]() { schedule(); }))
        return;
    // The copy reads the file as it was when it began: the pages moved now
    // would only pile up in the write-ahead log until it ends.
    if (DatabaseBackup *backup = DatabaseBackup::running()) {
        connect(backup, &DatabaseBackup::finished, this, &JournalCompaction::schedule, Qt::UniqueConnection);
        return;
    }
    if (!m_database) {
        finish(false, tr("База данных не открыта"));
        return;
    }
    ZeltoStatus done;
    switch (m_stage) {
    case Stage::Delete:
        done = deleteRows();
        break;
    case Stage::Convert:
        done = convert();
        break;
    case Stage::Free:
        done = freePages();
        break;
    case Stage::Done:
        finish(true, QString());
        return;
    case Stage::Checkpoint:
        done = checkpoint();
        finish(done.ok(), done.message());
        return;
    }
    if (!done.ok()) {
        finish(false, done.message());
        return;
    }
    schedule();
}

ZeltoStatus JournalCompaction::deleteRows()
{
    if (m_postgres)
        return deleteOldRows();
    // A range of row ids, not a number of old rows: each step reads at most
    // that many rows, however few of them are old.
    const qint64 end = m_nextRowId + m_limits.rows;
    // The bound limit is stored text of the same form as ctime, so "<" orders by time.
    // Row ids go as doubles: the stored form of a 64-bit integer is a stream, not a number.
    const ZeltoStatus deleted = m_database->run(
        QStringLiteral("DELETE FROM journal WHERE rowid >= ? AND rowid < ? AND ctime < ?"),
        {double(m_nextRowId), double(end), m_limit});
    if (!deleted.ok())
        return deleted;
    m_nextRowId = end;
    if (m_nextRowId > m_lastRowId)
        m_stage = Stage::Convert;
    return ZeltoStatus();
}

ZeltoStatus JournalCompaction::deleteOldRows()
{
    // At most that many old rows a step. Their space is PostgreSQL's own
    // (autovacuum): nothing follows.
    const ZeltoStatus deleted = m_database->run(
        QStringLiteral("DELETE FROM journal WHERE ctid IN (SELECT ctid FROM journal WHERE ctime < ? LIMIT ?)"),
        {m_limit, m_limits.rows});
    if (!deleted.ok())
        return deleted;
    const ZeltoResult<bool> more = m_database->has(QStringLiteral("journal"), QStringLiteral("ctime < ?"), {m_limit});
    if (!more.ok())
        return more.status();
    if (!more.value())
        m_stage = Stage::Done;
    return ZeltoStatus();
}

ZeltoResult<QVariant> JournalCompaction::pragma(const QString &statement)
{
    const ZeltoResult<QVariantMap> row = m_database->row(statement);
    if (!row.ok())
        return row.status();
    if (row.value().isEmpty())
        return ZeltoStatus::storage(statement);
    return row.value().first();
}

ZeltoStatus JournalCompaction::convert()
{
    const ZeltoResult<QVariant> mode = pragma(QStringLiteral("PRAGMA auto_vacuum"));
    const ZeltoResult<QVariant> pages = pragma(QStringLiteral("PRAGMA page_count"));
    const ZeltoResult<QVariant> free = pragma(QStringLiteral("PRAGMA freelist_count"));
    for (const ZeltoStatus &read : {mode.status(), pages.status(), free.status()}) {
        if (!read.ok())
            return read;
    }
    m_stage = Stage::Free;
    // 2: INCREMENTAL already. 1 (FULL) gives pages back at every commit.
    if (mode.value().toInt() != 0 || free.value().toLongLong() <= pages.value().toLongLong() * kConvertFreeShare)
        return ZeltoStatus();
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                 tr("Сжатие БД: файл переводится на постепенное сжатие (одна полная перестройка)"));
    const ZeltoStatus switched = m_database->run(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL"));
    return switched.ok() ? m_database->run(QStringLiteral("VACUUM")) : switched;
}

ZeltoStatus JournalCompaction::freePages()
{
    const ZeltoResult<QVariant> free = pragma(QStringLiteral("PRAGMA freelist_count"));
    const ZeltoResult<QVariant> mode = pragma(QStringLiteral("PRAGMA auto_vacuum"));
    if (!free.ok())
        return free.status();
    if (!mode.ok())
        return mode.status();
    if (free.value().toLongLong() == 0 || mode.value().toInt() != 2) {
        m_stage = Stage::Checkpoint;
        return ZeltoStatus();
    }
    return m_database->releasePages(m_limits.pages);
}

ZeltoStatus JournalCompaction::checkpoint()
{
    // The freed pages are cut from the file when the log is written back:
    // now, and the log is cut as well, so that the space is given back at once.
    return m_database->truncateLog();
}

void JournalCompaction::finish(bool ok, const QString &error)
{
    if (s_running == this)
        s_running = nullptr;
    emit finished(ok, error);
    deleteLater();
}
