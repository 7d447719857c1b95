#include "backupjob.h"

#include "databasefilecheck.h"
#include "filesync.h"
#include "sqlitefile.h"
#include "zeltoenvironment.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <sqlite3.h>

namespace {

// One step copies about this much and then looks at the cancel flag.
const qint64 StepBytes = 1 << 20;
// Written data is flushed every so often: a backup that leaves gigabytes to
// the kernel's write-back makes every commit of the server wait behind them.
const qint64 FlushBytes = 8 << 20;
const int BusyWaitMs = 10;
const int BusyWaitsMax = 6000;   // a minute

QString sqliteText(int code)
{
    return QStringLiteral("%1 (%2)").arg(code).arg(QString::fromUtf8(sqlite3_errstr(code)));
}

} // namespace

BackupJob::BackupJob(const QString &source, const BackupFolder &folder, const QString &copyName, int count,
                     QObject *parent)
    : QThread(parent), m_source(source), m_folder(folder), m_copyName(copyName), m_count(count),
      // Lets a loaded machine (or a test that interrupts copies) slow the copy down.
      m_pauseMs(ZeltoEnvironment::backupStepPauseMs())
{
}

void BackupJob::run()
{
    m_folder.removeLeftovers();
    const QString part = m_folder.filePath(BackupFolder::partName(m_copyName));
    if (!copyInto(part) || !seal(part) || !place(part)) {
        removePart(part);
        return;
    }
    if (!m_folder.rotate(m_count, m_copyName, &m_rotationError))
        return;
    m_folder.sync();
}

bool BackupJob::fail(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = tr("Ошибка резервного копирования") + QStringLiteral(": ") + reason;
    return false;
}

bool BackupJob::cancelled()
{
    if (!m_cancel)
        return false;
    fail(tr("прервано"));
    return true;
}

bool BackupJob::copyInto(const QString &part)
{
    SqliteFile source;
    if (!source.open(m_source, SqliteFile::ReadOnly))
        return fail(source.errorText());
    // One read transaction for the whole copy: the copy is the file as it
    // was at its start, and no write of the server makes it start over.
    const QVariant version = source.exec(QStringLiteral("BEGIN")) ? source.scalar(QStringLiteral("PRAGMA user_version"))
                                                                    : QVariant();
    if (!version.isValid())
        return fail(source.errorText());
    m_sourceVersion = version.toInt();
    const int pageSize = qMax(512, source.scalar(QStringLiteral("PRAGMA page_size")).toInt());

    QFile file(part);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(tr("не удалось создать файл %1: %2").arg(part, file.errorString()));
    file.close();
    SqliteFile target;
    // A temporary file needs no journal: if it breaks, it is thrown away.
    if (!target.open(part, SqliteFile::ReadWrite)
        || !target.exec(QStringLiteral("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF")))
        return fail(target.errorText());
    sqlite3_backup *backup = sqlite3_backup_init(target.handle(), "main", source.handle(), "main");
    if (!backup)
        return fail(target.errorText());

    const int pagesPerStep = int(qMax<qint64>(1, StepBytes / pageSize));
    qint64 written = 0;
    qint64 flushed = 0;
    int code = SQLITE_OK;
    int busyWaits = 0;
    while (!m_cancel) {
        code = sqlite3_backup_step(backup, pagesPerStep);
        if (code == SQLITE_DONE)
            break;
        // A lock held elsewhere: wait for it, but not for ever, or no later
        // backup could start.
        if ((code == SQLITE_BUSY || code == SQLITE_LOCKED) && ++busyWaits < BusyWaitsMax) {
            QThread::msleep(BusyWaitMs);
            continue;
        }
        if (code != SQLITE_OK)
            break;
        busyWaits = 0;
        written += qint64(pagesPerStep) * pageSize;
        if (written - flushed >= FlushBytes) {
            FileSync::file(part, true);
            flushed = written;
        }
        if (m_pauseMs > 0)
            QThread::msleep(m_pauseMs);
    }
    const int finishCode = sqlite3_backup_finish(backup);
    if (cancelled())
        return false;
    if (code != SQLITE_DONE)
        return fail(sqliteText(code));
    if (finishCode != SQLITE_OK)
        return fail(sqliteText(finishCode));
    target.close();
    source.exec(QStringLiteral("COMMIT"));
    return true;
}

bool BackupJob::seal(const QString &part)
{
    {
        // The copied header still asks for a write-ahead log; a copy in the
        // plain journal mode can be read anywhere, read-only media included.
        SqliteFile copy;
        if (!copy.open(part, SqliteFile::ReadWrite) || !copy.exec(QStringLiteral("PRAGMA journal_mode = DELETE")))
            return fail(copy.errorText());
    }
    if (!FileSync::file(part))
        return fail(tr("не удалось записать копию %1 на диск: %2").arg(part, qt_error_string(errno)));
    if (cancelled())
        return false;
    const DatabaseFileCheck check = DatabaseFileCheck::inspect(part, &m_cancel);
    if (cancelled())
        return false;
    if (!check.isGood())
        return fail(tr("копия %1 не прошла проверку: %2").arg(part, check.error()));
    if (check.version() != m_sourceVersion)
        return fail(tr("версия схемы копии %1, а у БД %2").arg(check.version()).arg(m_sourceVersion));
    return true;
}

bool BackupJob::place(const QString &part)
{
    const QString path = m_folder.filePath(m_copyName);
    if (::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) != 0)
        return fail(tr("не удалось переименовать %1 в %2: %3").arg(part, path, qt_error_string(errno)));
    if (!m_folder.sync())
        return fail(tr("не удалось записать на диск каталог %1: %2").arg(m_folder.path(), qt_error_string(errno)));
    return true;
}

void BackupJob::removePart(const QString &part) const
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(part + QLatin1String(suffix));
}
