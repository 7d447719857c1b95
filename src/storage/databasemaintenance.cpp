#include "database.h"

#include "zelto.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfoList>
#include <QSqlDriver>

#include <sqlite3.h>

namespace {

bool backupFailure(const QString &reason)
{
    return ZeltoSystem::instance()->error(Database::tr("Ошибка резервного копирования") + QStringLiteral(": ") + reason,
                                          true);
}

} // namespace

bool Database::backup()
{
    const QString folder =
        getSetting(QStringLiteral("backupDir"), Zelto::moduleDir() + QStringLiteral("/backup")).toString();
    QDir dir(folder);
    if (!dir.exists() && !QDir().mkpath(dir.absolutePath()))
        return ZeltoSystem::instance()->error(
            tr("Ошибка создания каталога резервных копий") + QStringLiteral(": ") + dir.absolutePath(), true);

    const int count = qMax(1, getSetting(QStringLiteral("backupCount"), 5).toInt());

    // Every plain file takes part, whatever its name; newest first, so the
    // oldest are at the end of the list.
    QFileInfoList files = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::Time);
    while (!files.isEmpty() && files.size() > count - 1) {
        if (!QFile::remove(files.last().absoluteFilePath()))
            return ZeltoSystem::instance()->error(
                tr("Ошибка удаления старой резервной копии") + QStringLiteral(": ") + dir.absolutePath(), true);
        files.removeLast();
    }

    const QString target = folder + QDir::separator()
        + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmss")) + QStringLiteral(".db");

    const QVariant handle = connection().driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return backupFailure(tr("нулевой дескриптор драйвера БД"));
    sqlite3 *source = *static_cast<sqlite3 *const *>(handle.constData());
    if (!source)
        return backupFailure(tr("нулевой дескриптор БД"));

    sqlite3 *copy = nullptr;
    const int openCode = sqlite3_open(target.toUtf8().constData(), &copy);
    if (openCode != SQLITE_OK) {
        sqlite3_close(copy);
        return backupFailure(QString::number(openCode));
    }
    // All pages in one step: a consistent copy of the live file.
    if (sqlite3_backup *job = sqlite3_backup_init(copy, "main", source, "main")) {
        sqlite3_backup_step(job, -1);
        sqlite3_backup_finish(job);
    }
    const int code = sqlite3_errcode(copy);
    sqlite3_close(copy);
    if (code != SQLITE_OK)
        return backupFailure(QString::number(code));
    return true;
}

bool Database::cleanJournal()
{
    const int days = getSetting(QStringLiteral("journalDayCount"), 7).toInt();
    const QDateTime limit = QDateTime::currentDateTime().addDays(-days);
    // The bound limit is stored text of the same form as ctime, so "<" orders by time.
    if (!execute(QStringLiteral("DELETE FROM journal WHERE ctime < ?"), {limit}))
        return false;
    return execute(QStringLiteral("VACUUM"));
}
