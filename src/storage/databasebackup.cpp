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

QString DatabaseBackup::folderPath()
{
    return Database::getSetting(QStringLiteral("backupDir"), defaultFolder()).toString();
}

QString DatabaseBackup::folderPathOf(const QString &databaseFile)
{
    SqliteFile db;
    if (!QFileInfo::exists(databaseFile) || !db.open(databaseFile, SqliteFile::ReadOnly))
        return defaultFolder();
    const QVariant stored = db.scalar(QStringLiteral("SELECT value FROM settings WHERE name = ?"),
                                      QStringLiteral("backupDir"));
    const QString folder = Database::decodeValue(stored, QStringLiteral("value")).toString();
    return folder.isEmpty() ? defaultFolder() : folder;
}

DatabaseBackup *DatabaseBackup::running()
{
    return s_running;
}

DatabaseBackup *DatabaseBackup::start()
{
    if (s_running) {
        ZeltoSystem::instance()->fail(ZeltoStatus::busy(tr("Резервное копирование уже выполняется: дождитесь его окончания")));
        return nullptr;
    }
    // A server's copy of a PostgreSQL database would be neither consistent
    // with its WAL nor restorable by PostgreSQL: its own tools make them.
    if (Database::isPostgreSQL()) {
        ZeltoSystem::instance()->fail(ZeltoStatus::failed(
            tr("БД хранится в PostgreSQL: резервные копии делаются средствами PostgreSQL (pg_dump, "
               "базовая копия и архивирование WAL), а не сервером")));
        return nullptr;
    }
    const QString source = Database::openFileName();
    if (source.isEmpty()) {
        ZeltoSystem::instance()->fail(ZeltoStatus::storage(tr("Ошибка резервного копирования") + QStringLiteral(": ")
                                           + tr("база данных не открыта")));
        return nullptr;
    }
    const QDir dir(folderPath());
    if (!dir.exists() && !QDir().mkpath(dir.absolutePath())) {
        ZeltoSystem::instance()->fail(ZeltoStatus::storage(
            tr("Ошибка создания каталога резервных копий") + QStringLiteral(": ") + dir.absolutePath()));
        return nullptr;
    }
    const int count = qMax(1, Database::getSetting(QStringLiteral("backupCount"), 5).toInt());
    // Two backups in one second would share a name, and the rename of the
    // second would replace the first: the new copy takes the next free second.
    QDateTime time = Database::clock()->now();
    while (QFileInfo(dir.filePath(BackupFolder::copyName(time))).isFile())
        time = time.addSecs(1);
    s_running = new DatabaseBackup(source, dir.absolutePath(), BackupFolder::copyName(time), count);
    return s_running;
}

DatabaseBackup::DatabaseBackup(const QString &source, const QString &folder, const QString &copyName, int count)
    : m_job(new BackupJob(source, BackupFolder(folder), copyName, count, this))
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

void DatabaseBackup::removeLeftovers()
{
    const BackupFolder folder(QDir(folderPath()).absolutePath());
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
    if (!m_job->rotationError().isEmpty())
        Database::logError(m_job->rotationError());
    emit finished(m_job->succeeded(), m_job->error());
    deleteLater();
}
