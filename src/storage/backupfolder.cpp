#include "backupfolder.h"

#include "databasefilecheck.h"
#include "filesync.h"
#include "sqlitefile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace {

const QString TimeFormat = QStringLiteral("yyMMdd_hhmmss");
const QString CopySuffix = QStringLiteral(".db");
const QString PartSuffix = QStringLiteral(".part");
const QString JournalSuffix = QStringLiteral("-journal");

const QRegularExpression &copyPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{6}_\\d{6}\\.db$"));
    return pattern;
}

// A temporary copy, or a journal SQLite left beside one.
const QRegularExpression &partPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^\\d{6}_\\d{6}\\.db\\.part(-journal|-wal|-shm)?$"));
    return pattern;
}

QStringList plainFiles(const QString &path)
{
    return QDir(path).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

QString BackupFolder::filePath(const QString &name) const
{
    return m_path + QLatin1Char('/') + name;
}

QString BackupFolder::copyName(const QDateTime &time)
{
    return time.toString(TimeFormat) + CopySuffix;
}

bool BackupFolder::isCopyName(const QString &name)
{
    return copyPattern().match(name).hasMatch() && copyTime(name).isValid();
}

QDateTime BackupFolder::copyTime(const QString &name)
{
    if (!copyPattern().match(name).hasMatch())
        return QDateTime();
    // Two-digit years are this century's.
    return QDateTime::fromString(QStringLiteral("20") + name.left(TimeFormat.size()),
                                 QStringLiteral("yyyy") + TimeFormat.mid(2));
}

QString BackupFolder::partName(const QString &copyName)
{
    return copyName + PartSuffix;
}

bool BackupFolder::isLeftoverName(const QString &name)
{
    return partPattern().match(name).hasMatch()
        || (name.endsWith(JournalSuffix) && isCopyName(name.left(name.size() - JournalSuffix.size())));
}

QStringList BackupFolder::copies() const
{
    QStringList names;
    const QStringList files = plainFiles(m_path);
    for (auto it = files.crbegin(); it != files.crend(); ++it) {
        if (isCopyName(*it) && !files.contains(*it + JournalSuffix))
            names << *it;
    }
    return names;
}

QStringList BackupFolder::removeLeftovers() const
{
    QStringList removed;
    for (const QString &name : plainFiles(m_path)) {
        if (partPattern().match(name).hasMatch()) {
            if (QFile::remove(filePath(name)))
                removed << name;
            continue;
        }
        if (!name.endsWith(JournalSuffix))
            continue;
        const QString copy = name.left(name.size() - JournalSuffix.size());
        if (!isCopyName(copy))
            continue;
        if (QFile::exists(filePath(copy))) {
            // Opening for writing rolls the journal back.
            SqliteFile db;
            if (db.open(filePath(copy), SqliteFile::ReadWrite))
                db.exec(QStringLiteral("PRAGMA quick_check"));
            db.close();
            if (QFile::exists(filePath(name)) || !DatabaseFileCheck::inspect(filePath(copy)).isGood()) {
                if (QFile::remove(filePath(copy)))
                    removed << copy;
            }
        }
        if (QFile::exists(filePath(name)) && QFile::remove(filePath(name)))
            removed << name;
    }
    return removed;
}

bool BackupFolder::rotate(int count, const QString &keep, QString *error) const
{
    QStringList older = copies();
    older.removeAll(keep);
    const int room = qMax(1, count) - 1;   // the kept copy takes one place
    while (older.size() > room) {
        const QString oldest = older.takeLast();
        if (!QFile::remove(filePath(oldest))) {
            *error = tr("Ошибка удаления старой резервной копии") + QStringLiteral(": ") + filePath(oldest);
            return false;
        }
    }
    return true;
}

bool BackupFolder::sync() const
{
    return FileSync::folder(m_path);
}
