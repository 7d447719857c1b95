#include "databasefilecheck.h"

#include "database.h"
#include "schema.h"
#include "sqlitefile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

DatabaseFileCheck DatabaseFileCheck::inspect(const QString &path, const std::atomic_bool *cancel)
{
    DatabaseFileCheck check;
    QFile file(path);
    static const QByteArray header("SQLite format 3", 16);   // with its closing zero byte
    if (!file.open(QIODevice::ReadOnly)) {
        check.m_error = file.errorString();
        return check;
    }
    // 100 bytes: the whole database header.
    if (file.size() < 100 || file.read(header.size()) != header) {
        check.m_error = tr("файл не является базой данных SQLite");
        return check;
    }
    file.close();
    // A journal beside the file means it was being written when it was left:
    // what the file holds alone is not a whole database.
    for (const char *suffix : {"-journal", "-wal"}) {
        if (QFileInfo::exists(path + QLatin1String(suffix))) {
            check.m_error = tr("рядом лежит журнал незавершённой записи %1").arg(path + QLatin1String(suffix));
            return check;
        }
    }

    SqliteFile db;
    if (!db.open(path, SqliteFile::Immutable)) {
        check.m_error = db.errorText();
        return check;
    }
    db.setCancelFlag(cancel);
    const QVariant verdict = db.scalar(QStringLiteral("PRAGMA quick_check"));
    if (verdict.toString() != QLatin1String("ok")) {
        check.m_error = tr("проверка целостности: %1").arg(db.errorCode() != 0 ? db.errorText() : verdict.toString());
        return check;
    }
    check.m_version = db.scalar(QStringLiteral("PRAGMA user_version")).toInt();
    if (check.m_version > Database::supportedVersion()) {
        check.m_error = tr("версия схемы %1 новее поддерживаемой %2").arg(check.m_version).arg(Database::supportedVersion());
        return check;
    }
    QStringList missing;
    for (const QString &table : Schema::tableNames()) {
        if (db.scalar(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?"), table)
                .toInt() != 1)
            missing << table;
    }
    if (!missing.isEmpty()) {
        check.m_error = tr("нет таблиц схемы: %1").arg(missing.join(QStringLiteral(", ")));
        return check;
    }
    const QVariant nodes = db.scalar(QStringLiteral("SELECT count(*) FROM nodes"));
    if (!nodes.isValid()) {
        check.m_error = db.errorText();
        return check;
    }
    check.m_nodeCount = nodes.toInt();
    return check;
}
