#include "databasebackup.h"

#include "backupfolder.h"
#include "backupjob.h"
#include "database.h"
#include "sqlitefile.h"
#include "zelto.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace {

// Main thread only.
DatabaseBackup *s_running = nullptr;

QString defaultFolder()
{
    return Zelto::moduleDir() + QStringLiteral("/backup");
}

} // namespace

QString DatabaseBackup::folderPath(Database &database)
{
    return database.setting(QStringLiteral("backupDir"), defaultFolder()).valueOr(defaultFolder()).toString();
}

QString DatabaseBackup::folderPathOf(const QString &databaseFile)
{
    SqliteFile db;
    if (!QFileInfo::exists(databaseFile) || !db.open(databaseFile, SqliteFile::ReadOnly))
        return defaultFolder();
    const QVariant stored = db.scalar(QStringLiteral("SELECT value FROM settings WHERE name = ?"),
                                      QStringLiteral("backupDir"));
    const QString folder = Database::decodeValue(stored, QStringLiteral("value")).value().toString();
    return folder.isEmpty() ? defaultFolder() : folder;
}

DatabaseBackup *DatabaseBackup::running()
{
    return s_running;
}

ZeltoResult<DatabaseBackup *> DatabaseBackup::start(Database &database)
{
    if (s_running)
        return ZeltoStatus::busy(tr("Резервное копирование уже выполняется: дождитесь его окончания"));
    // A server's copy of a PostgreSQL database would be neither consistent
    // with its WAL nor restorable by PostgreSQL: its own tools make them.
    if (database.sqlDialect().kind() == SqlDialect::PostgreSQL)
        return ZeltoStatus::failed(tr("БД хранится в PostgreSQL: резервные копии делаются средствами PostgreSQL (pg_dump, "
                                      "базовая копия и архивирование WAL), а не сервером"));
    if (database.filePath().isEmpty())
        return ZeltoStatus::storage(tr("Ошибка резервного копирования") + QStringLiteral(": ")
                                    + tr("база данных не открыта"));
    const QDir dir(folderPath(database));
    if (!dir.exists() && !QDir().mkpath(dir.absolutePath()))
        return ZeltoStatus::storage(tr("Ошибка создания каталога резервных копий") + QStringLiteral(": ")
                                    + dir.absolutePath());
    const int count = qMax(1, database.setting(QStringLiteral("backupCount"), 5).valueOr(5).toInt());
    // Two backups in one second would share a name, and the rename of the
    // second would replace the first: the new copy takes the next free second.
    QDateTime time = database.stampClock()->now();
    while (QFileInfo(dir.filePath(BackupFolder::copyName(time))).isFile())
        time = time.addSecs(1);
    s_running = new DatabaseBackup(database, dir.absolutePath(), BackupFolder::copyName(time), count);
    return s_running;
}

DatabaseBackup::DatabaseBackup(Database &database, const QString &folder, const QString &copyName, int count)
    : m_database(&database), m_job(new BackupJob(database.filePath(), BackupFolder(folder), copyName, count, this))
{
    connect(m_job, &QThread::finished, this, &DatabaseBackup::report);
    m_job->start(QThread::LowPriority);
}

void DatabaseBackup::waitForFinished()
{
    m_job->wait();
    report();
}

void DatabaseBackup::abort()
{
    if (!s_running)
        return;
    s_running->m_job->cancel();
    s_running->waitForFinished();
}

void DatabaseBackup::removeLeftovers(Database &database)
{
    const BackupFolder folder(QDir(folderPath(database)).absolutePath());
    const QStringList removed = folder.removeLeftovers();
    if (!removed.isEmpty())
        ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("Удалены остатки незавершённых резервных копий: %1")
                                                               .arg(removed.join(QStringLiteral(", "))));
}

void DatabaseBackup::report()
{
    if (m_reported)
        return;
    m_reported = true;
    if (s_running == this)
        s_running = nullptr;
    if (!m_job->rotationError().isEmpty() && m_database)
        m_database->log(Database::Error, m_job->rotationError());
    emit finished(m_job->succeeded(), m_job->error());
    deleteLater();
}
