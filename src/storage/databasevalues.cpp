#include "database.h"

#include "encodedvalue.h"
#include "sqliterows.h"

#include "zeltostream.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

namespace {

ZeltoStatus decodingFailure(const char *typeName)
{
    return ZeltoStatus::storage(
        Database::tr("Ошибка декодирования: неподдерживаемый тип [%1]").arg(QLatin1String(typeName)));
}

// A BLOB of a row by rowid, read into bytes; an empty one as the driver
// gives it, a null array.
ZeltoStatus readBlob(sqlite3 *sqlite, const QString &table, const QString &column, qint64 rowid, QByteArray &bytes)
{
    sqlite3_blob *blob = nullptr;
    int code = sqlite3_blob_open(sqlite, "main", table.toUtf8().constData(), column.toUtf8().constData(), rowid, 0,
                                 &blob);
    if (code == SQLITE_OK) {
        const int size = sqlite3_blob_bytes(blob);
        bytes = size > 0 ? QByteArray(size, Qt::Uninitialized) : QByteArray();
        if (size > 0)
            code = sqlite3_blob_read(blob, bytes.data(), size, 0);
    }
    const ZeltoStatus read =
        code == SQLITE_OK ? ZeltoStatus() : ZeltoStatus::storage(QString::fromUtf8(sqlite3_errmsg(sqlite)));
    sqlite3_blob_close(blob);
    return read;
}

} // namespace

const QStringList &Database::dateTimeColumns()
{
    // Any column or setting of these names holds a date/time, whatever the table.
    static const QStringList columns = {QStringLiteral("checking"),  QStringLiteral("ctime"),
                                        QStringLiteral("next_exec"), QStringLiteral("last_exec"),
                                        QStringLiteral("atime"),     QStringLiteral("last_day"),
                                        QStringLiteral("first_day"), QStringLiteral("last_update")};
    return columns;
}

ZeltoResult<QVariant> Database::encodeValue(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<EncodedValue>())
        return QVariant(value.value<EncodedValue>().bytes);
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QVariant(QVariant::Int);   // binds NULL
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Double:
    case QMetaType::QString:
        return value;
    case QMetaType::QByteArray:
        // The variant's own string conversion: UTF-8 up to the first zero byte.
        return QVariant(value.toString());
    case QMetaType::QDateTime: {
        // Always ".000": stored times compare as text in time order.
        const QDateTime dateTime = value.toDateTime();
        return QVariant(dateTime.date().toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('T')
                        + dateTime.time().toString(QStringLiteral("hh:mm:ss")) + QStringLiteral(".000"));
    }
    default:
        break;
    }

    QByteArray bytes;
    ZeltoStream stream(&bytes, QIODevice::WriteOnly);
    stream.init();
    stream << value;
    if (stream.status() != ZeltoStream::Ok)
        return ZeltoStatus::invalid(tr("Ошибка кодирования: неподдерживаемый тип [%1]").arg(QLatin1String(value.typeName())));
    return QVariant(bytes);
}

ZeltoResult<QVariant> Database::decodeValue(const QVariant &value, const QString &column)
{
    const bool dateTimeColumn = (value.userType() == QMetaType::QString || value.userType() == QMetaType::QByteArray)
        && dateTimeColumns().contains(column);
    return decodeStored(value, dateTimeColumn);
}

ZeltoResult<QVariant> Database::decodeStored(const QVariant &value, bool dateTimeColumn)
{
    // SQLite's driver gives SQL NULL as a null string, PostgreSQL's as a null of the column's type.
    if (value.isNull())
        return QVariant(QVariant::Int);
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QVariant(QVariant::Int);
    case QMetaType::LongLong:
        return QVariant(value.toInt());
    case QMetaType::Bool:
        // PostgreSQL's truth values read as SQLite's 0 and 1.
        return QVariant(value.toBool() ? 1 : 0);
    case QMetaType::ULongLong:
        return QVariant(value.toUInt());
    case QMetaType::QString:
        // The SQLite driver delivers SQL NULL as a null string.
        if (value.isNull())
            return QVariant(QVariant::Int);
        return dateTimeColumn ? QVariant(value.toDateTime()) : value;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Double:
    case QMetaType::QDateTime:
        return value;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        if (bytes.isEmpty())
            return QVariant(QVariant::Int);
        ZeltoStream stream(bytes);
        QVariant decoded;
        if (stream.init())
            stream >> decoded;
        if (stream.status() != ZeltoStream::Ok)
            return decodingFailure("QByteArray");
        // A date/time setting's text in a BYTEA column (PostgreSQL).
        if (dateTimeColumn && decoded.userType() == QMetaType::QString)
            return QVariant(decoded.toDateTime());
        return decoded;
    }
    default:
        return decodingFailure(value.typeName());
    }
}

ZeltoResult<QVariant> Database::setting(const QString &name)
{
    StatementCache::Lease lease = statement(QStringLiteral("SELECT value FROM settings WHERE name = ?"));
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared())
        return sqlStatus(query.lastError());
    query.bindValue(0, name);
    if (!runQuery(query))
        return sqlStatus(query.lastError());
    if (!query.next())
        return QVariant();
    return decodeValue(query.value(0), name);
}

ZeltoResult<QVariant> Database::setting(const QString &name, const QVariant &defaultValue)
{
    const ZeltoResult<QVariant> stored = setting(name);
    if (!stored.ok() || stored.value().isValid())
        return stored;
    if (!defaultValue.isNull()) {
        const ZeltoStatus put = putSetting(name, defaultValue);
        if (!put.ok())
            return put;
    }
    return defaultValue;
}

ZeltoStatus Database::putSetting(const QString &name, const QVariant &value)
{
    {
        StatementCache::Lease lease = statement(sqlDialect().insertOrReplace(
            QStringLiteral("settings"), {QStringLiteral("name"), QStringLiteral("value")}, {QStringLiteral("name")}));
        // A value without a stored form is neither written nor published.
        const ZeltoStatus done = exec(lease, {name, value});
        if (!done.ok())
            return done;
    }
    // The system object's properties are the process's one view of the
    // settings, which the listeners and timers follow.
    ZeltoSystem::instance()->setProperty(name.toLatin1().constData(), value, true);
    return ZeltoStatus();
}

ZeltoResult<QVariantMap> Database::settings()
{
    StatementCache::Lease lease = statement(QStringLiteral("SELECT name, value FROM settings"));
    const ZeltoStatus done = exec(lease, {});
    if (!done.ok())
        return done;
    QSqlQuery &query = lease.query();
    QVariantMap settings;
    while (query.next()) {
        const QString name = query.value(0).toString();
        settings.insert(name, decodeValue(query.value(1), name).value());
    }
    return settings;
}

ZeltoResult<QVariantMap> Database::storedRow(const QString &table, int id, const QStringList &columns)
{
    // On SQLite a BLOB is read straight into its array (incremental I/O)
    // instead of into SQLite's copy of it first and then the driver's: a
    // long archive is copied once, not twice. The statement gives the row's
    // rowid, which values are BLOBs and the others' values.
    sqlite3 *sqlite = sqliteHandle();
    QStringList fields;
    if (sqlite) {
        fields << QStringLiteral("rowid");
        for (const QString &column : columns)
            fields << QStringLiteral("typeof(%1) = 'blob'").arg(column)
                   << QStringLiteral("CASE WHEN typeof(%1) = 'blob' THEN NULL ELSE %1 END").arg(column);
    } else {
        fields = columns;
    }
    StatementCache::Lease lease =
        statement(QStringLiteral("SELECT %2 FROM %1_data WHERE id = ?").arg(table, fields.join(QStringLiteral(", "))));
    QSqlQuery &query = lease.query();
    const QString prefix = failurePrefix(table);
    if (!lease.isPrepared())
        return sqlStatus(query.lastError(), prefix);
    query.bindValue(0, id);
    if (!runQuery(query))
        return sqlStatus(query.lastError(), prefix);
    // With no row the driver has no text: the prefix alone names the table.
    if (!query.next())
        return ZeltoStatus::notFound(prefix);
    QVariantMap row;
    for (int i = 0; i < columns.size(); ++i) {
        if (!sqlite) {
            row.insert(columns.at(i), query.value(i));
        } else if (!query.value(1 + 2 * i).toBool()) {
            row.insert(columns.at(i), query.value(2 + 2 * i));
        } else {
            QByteArray bytes;
            const ZeltoStatus read = readBlob(sqlite, table + QStringLiteral("_data"), columns.at(i),
                                              query.value(0).toLongLong(), bytes);
            if (!read.ok())
                return ZeltoStatus(read.kind(), prefix + read.message());
            row.insert(columns.at(i), bytes);
        }
    }
    return row;
}

ZeltoResult<QVariant> Database::storedData(const QString &table, int id, const QString &column)
{
    const ZeltoResult<QVariantMap> row = storedRow(table, id, {column});
    if (!row.ok())
        return row.status();
    return row.value().value(column);
}

ZeltoStatus Database::storedRows(const QString &table, const QList<int> &ids, const QStringList &columns,
                                 const std::function<void(int id, const QVector<QVariant> &values)> &each)
{
    const QString text = storedRowsText(table, columns);
    const QString prefix = failurePrefix(table);
    for (int first = 0; first < ids.size(); first += kIdsPerStatement) {
        QVariantList binds;
        for (int i = 0; i < kIdsPerStatement; ++i)
            binds << boundId(ids, first, i);
        StatementCache::Lease lease = statement(text);
        const ZeltoStatus done = exec(lease, binds);
        if (!done.ok())
            return done;
        QSqlQuery &query = lease.query();
        QVector<QVariant> values(columns.size());
        if (SqliteRows::reads(query)) {
            const ZeltoStatus read
                = SqliteRows::each(query, [&](const QVector<QVariant> &cells) { handOn(cells, values, each); });
            values.fill(QVariant());
            if (!read.ok())
                return ZeltoStatus(read.kind(), prefix + read.message());
            continue;
        }
        while (query.next()) {
            for (int i = 0; i < columns.size(); ++i)
                values[i] = query.value(i + 1);
            each(query.value(0).toInt(), values);
        }
        if (query.lastError().isValid())
            return sqlStatus(query.lastError(), prefix);
    }
    return ZeltoStatus();
}

ZeltoResult<QVariant> Database::data(const QString &table, int id, const QString &column)
{
    const ZeltoResult<QVariant> stored = storedData(table, id, column);
    if (!stored.ok())
        return stored;
    return decodeValue(stored.value(), column);
}

ZeltoStatus Database::write(const QString &table, int id, const QVariantMap &columns)
{
    // The id is only looked up, never assigned: an update that sets a key
    // column makes SQLite keep a statement journal of every page the row
    // covers, in case the key check fails halfway.
    QStringList assignments;
    for (auto it = columns.constBegin(); it != columns.constEnd(); ++it)
        assignments << it.key() + QStringLiteral(" = ?");
    StatementCache::Lease lease = statement(QStringLiteral("UPDATE %1_data SET %2 WHERE id = ?")
                                                .arg(table, assignments.join(QStringLiteral(", "))));
    QSqlQuery &query = lease.query();
    const QString prefix = QStringLiteral("[*") + table + QStringLiteral("] ");
    if (!lease.isPrepared())
        return sqlStatus(query.lastError(), prefix);
    // A value that cannot be encoded is refused rather than stored as NULL.
    const ZeltoStatus bound = bind(lease, columns.values() + QVariantList{id});
    if (!bound.ok())
        return bound;
    if (!runQuery(query))
        return sqlStatus(query.lastError(), prefix);
    return ZeltoStatus();
}

ZeltoStatus Database::remove(const QString &table, int id)
{
    StatementCache::Lease lease = statement(QStringLiteral("DELETE FROM %1 WHERE id = ?").arg(table));
    const ZeltoStatus done = exec(lease, {id});
    return done.ok() ? done : ZeltoStatus(done.kind(), QStringLiteral("[-") + table + QStringLiteral("] ") + done.message());
}
