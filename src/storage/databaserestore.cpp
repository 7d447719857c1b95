#include "databaserestore.h"

#include "filesync.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

namespace {

bool renamePath(const QString &from, const QString &to)
{
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

const QStringList &DatabaseRestore::journalSuffixes()
{
    static const QStringList suffixes{QStringLiteral("-journal"), QStringLiteral("-wal"), QStringLiteral("-shm")};
    return suffixes;
}

bool DatabaseRestore::fail(const QString &reason)
{
    m_error = reason;
    return false;
}

bool DatabaseRestore::restore(const QString &copy, const QString &live, const QDateTime &now)
{
    m_keptAs.clear();
    m_error.clear();
    m_check = DatabaseFileCheck::inspect(copy);
    if (!m_check.isGood())
        return fail(tr("Копия %1 не годится для восстановления: %2").arg(copy, m_check.error()));

    const QFileInfo liveInfo(live);
    const QString folder = liveInfo.absolutePath();
    const QString part = live + QStringLiteral(".restore.part");
    QFile::remove(part);
    QFile source(copy);
    if (!source.copy(part)) {
        QFile::remove(part);
        return fail(tr("Не удалось скопировать %1 в %2: %3").arg(copy, part, source.errorString()));
    }
    if (!FileSync::file(part) || QFileInfo(part).size() != QFileInfo(copy).size()) {
        const QString reason = qt_error_string(errno);
        QFile::remove(part);
        return fail(tr("Не удалось записать %1 на диск: %2").arg(part, reason));
    }

    if (liveInfo.exists()) {
        const QString kept = folder + QLatin1Char('/') + liveInfo.completeBaseName() + QStringLiteral(".replaced-")
            + now.toString(QStringLiteral("yyMMdd_hhmmss")) + QLatin1Char('.') + liveInfo.suffix();
        if (!moveLiveSet(live, kept)) {
            const QString reason = qt_error_string(errno);
            QFile::remove(part);
            return fail(tr("Не удалось отложить текущую БД %1 как %2: %3").arg(live, kept, reason));
        }
        m_keptAs = kept;
    }
    if (!renamePath(part, live)) {
        const QString reason = qt_error_string(errno);
        if (!m_keptAs.isEmpty())
            moveLiveSet(m_keptAs, live);
        m_keptAs.clear();
        QFile::remove(part);
        return fail(tr("Не удалось переименовать %1 в %2: %3").arg(part, live, reason));
    }
    FileSync::folder(folder);
    return true;
}

bool DatabaseRestore::moveLiveSet(const QString &from, const QString &to)
{
    // A journal belongs to its file: it goes along, or neither moves.
    QStringList moved;
    for (const QString &suffix : QStringList{QString()} + journalSuffixes()) {
        if (!QFileInfo::exists(from + suffix))
            continue;
        const bool taken = QFileInfo::exists(to + suffix);
        if (taken || !renamePath(from + suffix, to + suffix)) {
            const int saved = taken ? EEXIST : errno;
            for (const QString &done : moved)
                renamePath(to + done, from + done);
            errno = saved;
            return false;
        }
        moved << suffix;
    }
    return true;
}
