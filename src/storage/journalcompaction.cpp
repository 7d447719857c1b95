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

JournalCompaction *JournalCompaction::start()
{
    return start(StepLimits());
}

JournalCompaction *JournalCompaction::start(const StepLimits &limits)
{
    if (s_running) {
        ZeltoSystem::instance()->error(tr("Сжатие БД уже выполняется"));
        return nullptr;
    }
    if (!Database::isOpen()) {
        ZeltoSystem::instance()->error(tr("База данных не открыта"));
        return nullptr;
    }
    auto *job = new JournalCompaction(limits);
    if (!Database::isPostgreSQL()) {
        const QVariantMap last = Database::selectRecord(QStringLiteral("SELECT coalesce(max(rowid), 0) AS last FROM journal"));
        if (last.isEmpty()) {
            delete job;
            return nullptr;
        }
        job->m_lastRowId = last.value(QStringLiteral("last")).toLongLong();
    }
    const int days = Database::getSetting(QStringLiteral("journalDayCount"), 7).toInt();
    job->m_limit = Database::clock()->now().addDays(-days);
    s_running = job;
    job->schedule();
    return job;
}

void JournalCompaction::abort()
{
    delete s_running;
}

JournalCompaction::JournalCompaction(const StepLimits &limits) : m_limits(limits)
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
    bool ok = true;
    switch (m_stage) {
    case Stage::Delete:
        ok = deleteRows();
        break;
    case Stage::Convert:
        ok = convert();
        break;
    case Stage::Free:
        ok = freePages();
        break;
    case Stage::Done:
        finish(true, QString());
        return;
    case Stage::Checkpoint:
        if (checkpoint())
            finish(true, QString());
        else
            finish(false, ZeltoSystem::instance()->lastError());
        return;
    }
    if (!ok) {
        finish(false, ZeltoSystem::instance()->lastError());
        return;
    }
    schedule();
}

bool JournalCompaction::deleteRows()
{
    if (Database::isPostgreSQL())
        return deleteOldRows();
    // A range of row ids, not a number of old rows: each step reads at most
    // that many rows, however few of them are old.
    const qint64 end = m_nextRowId + m_limits.rows;
    // The bound limit is stored text of the same form as ctime, so "<" orders by time.
    // Row ids go as doubles: the stored form of a 64-bit integer is a stream, not a number.
    if (!Database::execute(QStringLiteral("DELETE FROM journal WHERE rowid >= ? AND rowid < ? AND ctime < ?"),
                           {double(m_nextRowId), double(end), m_limit}))
        return false;
    m_nextRowId = end;
    if (m_nextRowId > m_lastRowId)
        m_stage = Stage::Convert;
    return true;
}

bool JournalCompaction::deleteOldRows()
{
    // PostgreSQL's journal has no row ids: a step deletes at most that many
    // old rows. Its space is PostgreSQL's own (autovacuum): nothing follows.
    if (!Database::execute(QStringLiteral("DELETE FROM journal WHERE ctid IN "
                                          "(SELECT ctid FROM journal WHERE ctime < ? LIMIT ?)"),
                           {m_limit, m_limits.rows}))
        return false;
    const ZeltoResult<bool> more =
        Database::instance()->has(QStringLiteral("journal"), QStringLiteral("ctime < ?"), {m_limit});
    if (!more.ok())
        return ZeltoSystem::instance()->fail(more.status());
    if (!more.value())
        m_stage = Stage::Done;
    return true;
}

bool JournalCompaction::convert()
{
    const QVariantMap mode = Database::selectRecord(QStringLiteral("PRAGMA auto_vacuum"));
    const QVariantMap pages = Database::selectRecord(QStringLiteral("PRAGMA page_count"));
    const QVariantMap free = Database::selectRecord(QStringLiteral("PRAGMA freelist_count"));
    if (mode.isEmpty() || pages.isEmpty() || free.isEmpty())
        return false;
    m_stage = Stage::Free;
    // 2: INCREMENTAL already. 1 (FULL) gives pages back at every commit.
    if (mode.first().toInt() != 0
        || free.first().toLongLong() <= pages.first().toLongLong() * kConvertFreeShare)
        return true;
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                 tr("Сжатие БД: файл переводится на постепенное сжатие (одна полная перестройка)"));
    return Database::execute(QStringLiteral("PRAGMA auto_vacuum = INCREMENTAL")) && Database::execute(QStringLiteral("VACUUM"));
}

bool JournalCompaction::freePages()
{
    const QVariantMap free = Database::selectRecord(QStringLiteral("PRAGMA freelist_count"));
    const QVariantMap mode = Database::selectRecord(QStringLiteral("PRAGMA auto_vacuum"));
    if (free.isEmpty() || mode.isEmpty())
        return false;
    if (free.first().toLongLong() == 0 || mode.first().toInt() != 2) {
        m_stage = Stage::Checkpoint;
        return true;
    }
    return Database::freePages(m_limits.pages);
}

bool JournalCompaction::checkpoint()
{
    // The freed pages are cut from the file when the log is written back:
    // now, and the log is cut as well, so that the space is given back at once.
    return Database::execute(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}

void JournalCompaction::finish(bool ok, const QString &error)
{
    if (s_running == this)
        s_running = nullptr;
    emit finished(ok, error);
    deleteLater();
}
