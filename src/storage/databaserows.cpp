#include "database.h"

#include "resulttable.h"
#include "sqliterows.h"
#include "zeltoclock.h"
#include "zeltostream.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVector>

ZeltoStatus Database::sqlStatus(const QSqlError &error, const QString &prefix)
{
    // A broken constraint or a trigger's refusal is a conflict with what is
    // stored; a locked file or row is busy. PostgreSQL gives its five-letter
    // SQLSTATE (class 23 constraints, P0001 a trigger's exception, class 40
    // and 55P03 locks), SQLite its result code (19 constraint, 5 and 6 locks).
    const QString native = error.nativeErrorCode();
    ZeltoStatus::Kind kind = ZeltoStatus::Storage;
    if (native.size() == 5) {
        if (native.startsWith(QLatin1String("23")) || native == QLatin1String("P0001"))
            kind = ZeltoStatus::Conflict;
        else if (native.startsWith(QLatin1String("40")) || native == QLatin1String("55P03"))
            kind = ZeltoStatus::Busy;
    } else {
        const int code = native.toInt() & 0xff;
        kind = code == 19 ? ZeltoStatus::Conflict : code == 5 || code == 6 ? ZeltoStatus::Busy : ZeltoStatus::Storage;
        return ZeltoStatus(kind, prefix + error.databaseText());
    }
    // PostgreSQL's text carries "ERROR:" and the code: a trigger's refusal reads as on SQLite.
    return ZeltoStatus(kind, prefix + SqlDialect(SqlDialect::PostgreSQL).errorText(error));
}

ZeltoStatus Database::bind(StatementCache::Lease &lease, const QVariantList &values) const
{
    QSqlQuery &query = lease.query();
    const QVector<bool> &binary = lease.binaryParameters();
    // By position: a statement reused keeps its last values until each is bound anew.
    for (int i = 0; i < values.size(); ++i) {
        const ZeltoResult<QVariant> encodedValue = encodeValue(values.at(i));
        if (!encodedValue.ok())
            return encodedValue.status();
        QVariant stored = encodedValue.value();
        const bool toBytes = i < binary.size() && binary.at(i);
        // PostgreSQL's text holds no zero character (its driver would cut the statement there).
        if (!toBytes && sqlDialect().kind() == SqlDialect::PostgreSQL && stored.userType() == QMetaType::QString
            && stored.toString().contains(QChar(0)))
            return ZeltoStatus::invalid(tr("Текст с символом с кодом 0 не может быть сохранён в БД PostgreSQL"));
        if (toBytes && !stored.isNull() && stored.userType() != QMetaType::QByteArray) {
            // A number or text for a BYTEA column: its stored value format, as DatabaseCopy writes it.
            QByteArray bytes;
            ZeltoStream stream(&bytes, QIODevice::WriteOnly);
            stream.init();
            stream << stored;
            stored = bytes;
        }
        query.bindValue(i, stored);
    }
    return ZeltoStatus();
}

bool Database::runQuery(QSqlQuery &query, const QString &plain)
{
    const auto exec = [&query, &plain]() { return plain.isEmpty() ? query.exec() : query.exec(plain); };
    if (!m_postgres || m_transactionDepth == 0)
        return exec();
    // PostgreSQL's driver reads each result whole (not forward only), so the
    // savepoint's end cannot cut it short.
    QSqlQuery savepoint(db);
    savepoint.exec(QStringLiteral("SAVEPOINT orvex_statement"));
    const bool ok = exec();
    savepoint.exec(ok ? QStringLiteral("RELEASE SAVEPOINT orvex_statement")
                      : QStringLiteral("ROLLBACK TO SAVEPOINT orvex_statement"));
    return ok;
}

ZeltoStatus Database::runPlain(const QString &text)
{
    QSqlQuery query(db);
    if (!runQuery(query, text))
        return sqlStatus(query.lastError());
    return ZeltoStatus();
}

ZeltoStatus Database::exec(StatementCache::Lease &lease, const QVariantList &binds)
{
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared())
        return sqlStatus(query.lastError());
    const ZeltoStatus bound = bind(lease, binds);
    if (!bound.ok())
        return bound;
    if (!runQuery(query))
        return sqlStatus(query.lastError());
    return ZeltoStatus();
}

ZeltoStatus Database::run(const QString &text, const QVariantList &binds)
{
    if (binds.isEmpty() && !sqlDialect().prepares(text))
        return runPlain(text);
    StatementCache::Lease lease = statement(text);
    return exec(lease, binds);
}

ZeltoResult<bool> Database::has(const QString &table, const QString &condition, const QVariantList &binds)
{
    StatementCache::Lease lease = statement(QStringLiteral("SELECT count(*) FROM %1 WHERE %2").arg(table, condition));
    const ZeltoStatus done = exec(lease, binds);
    if (!done.ok())
        return done;
    QSqlQuery &query = lease.query();
    if (!query.next())
        return sqlStatus(query.lastError());
    return query.value(0).toInt() > 0;
}

ZeltoResult<QVariantMap> Database::row(const QString &text, const QVariantList &binds)
{
    StatementCache::Lease lease = statement(text);
    const ZeltoStatus done = exec(lease, binds);
    if (!done.ok())
        return done;
    QSqlQuery &query = lease.query();
    QVariantMap row;
    if (!query.next())
        return row;
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i) {
        const QString name = record.fieldName(i);
        row.insert(name, decodeValue(query.value(i), name).value());
    }
    return row;
}

ZeltoResult<ZeltoTable> Database::rows(const QString &text, const QVariantList &binds)
{
    StatementCache::Lease lease = statement(text);
    const ZeltoStatus done = exec(lease, binds);
    if (!done.ok())
        return done;
    QSqlQuery &query = lease.query();
    if (SqliteRows::reads(query))
        return SqliteRows::read(query);
    return queryToTable(query);
}

ZeltoResult<int> Database::findId(const QString &table, const QString &condition, const QVariantList &binds)
{
    StatementCache::Lease lease = statement(
        QStringLiteral("SELECT %1 FROM %2 WHERE %3").arg(m_postgres ? QStringLiteral("id") : QStringLiteral("rowid"), table, condition));
    const ZeltoStatus done = exec(lease, binds);
    if (!done.ok())
        return done;
    QSqlQuery &query = lease.query();
    return query.next() ? query.value(0).toInt() : -1;
}

ZeltoResult<QVariantList> Database::distinct(const QString &table, const QString &column, const QString &condition,
                                             const QVariantList &binds)
{
    QString text = QStringLiteral("SELECT DISTINCT %1 FROM %2").arg(column, table);
    if (!condition.isEmpty())
        text += QStringLiteral(" WHERE ") + condition;
    // In the values' order: SQLite's DISTINCT happens to give it, PostgreSQL's does not.
    text += QStringLiteral(" ORDER BY 1");
    StatementCache::Lease lease = statement(text);
    const ZeltoStatus done = exec(lease, binds);
    if (!done.ok())
        return done;
    QSqlQuery &query = lease.query();
    // The result column's own name: "nodes.ctime" arrives as "ctime".
    const bool dateTimeColumn = dateTimeColumns().contains(query.record().fieldName(0));
    QVariantList values;
    while (query.next())
        values << decodeStored(query.value(0), dateTimeColumn).value();
    return values;
}

ZeltoResult<QVariantMap> Database::record(const QString &table, int id)
{
    return row(QStringLiteral("SELECT * FROM %1 WHERE id = ?").arg(table), {id});
}

ZeltoTable Database::queryToTable(QSqlQuery &query)
{
    const QSqlRecord record = query.record();
    QStringList names;
    for (int field = 0; field < record.count(); ++field)
        names << record.fieldName(field);
    ResultTable table(names);
    while (query.next()) {
        QVector<QVariant> row = table.newRow();
        for (int field = 0; field < table.fieldCount(); ++field) {
            const QVariant value = query.value(field);
            table.cell(row, field) = table.isDateTime(field) && value.userType() == QMetaType::QString && !value.isNull()
                ? table.dateTime(value.toString())
                : decodeStored(value, table.isDateTime(field)).value();
        }
        table.append(std::move(row));
    }
    return table.take();
}

ZeltoResult<int> Database::save(const QString &table, const QVariantMap &record)
{
    if (record.isEmpty())
        return ZeltoStatus::invalid(QStringLiteral("[%1] %2").arg(table, tr("Сошибка записи: нет данных")));

    const QString idKey = QStringLiteral("id");
    const bool update = record.contains(idKey);
    const QStringList keys = record.keys();
    QVariantList values = record.values();
    QString text;
    if (update) {
        // The id is looked up, not assigned: setting a key, even to itself,
        // makes SQLite look for the rows of every table that refers to it
        // (a scan of the whole journal for a node). Only a map of nothing
        // but "id" writes it into its own column, to be a valid update.
        QStringList assignments;
        assignments.reserve(keys.size());
        const bool idOnly = keys.size() == 1;
        values.clear();
        for (const QString &key : keys) {
            if (key == idKey && !idOnly)
                continue;
            assignments << key + QStringLiteral(" = ?");
            values.append(record.value(key));
        }
        text = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + assignments.join(QStringLiteral(", "))
            + QStringLiteral(" WHERE id = ?");
        values.append(record.value(idKey));
    } else {
        QStringList placeholders;
        placeholders.reserve(keys.size());
        for (int i = 0; i < keys.size(); ++i)
            placeholders << QStringLiteral("?");
        text = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + keys.join(QStringLiteral(", "))
            + QStringLiteral(") VALUES (") + placeholders.join(QStringLiteral(", ")) + QLatin1Char(')')
            + sqlDialect().returningId(table);
    }

    const QString prefix = (update ? QStringLiteral("[*") : QStringLiteral("[+")) + table + QStringLiteral("] ");
    StatementCache::Lease lease = statement(text);
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared())
        return sqlStatus(query.lastError(), prefix);
    const ZeltoStatus bound = bind(lease, values);
    if (!bound.ok())
        return bound;
    if (!runQuery(query))
        return sqlStatus(query.lastError(), prefix);
    if (update)
        return record.value(idKey).toInt();
    // PostgreSQL answers the id in a row of its own; a table without one has none.
    if (m_postgres)
        return query.next() ? query.value(0).toInt() : 0;
    return query.lastInsertId().toInt();
}

ZeltoStatus Database::journal(const QString &level, const QString &message, const QString &objectType, int objectId,
                              int userId)
{
    QVariantMap row;
    row.insert(QStringLiteral("ctime"), m_clock->now());
    if (userId >= 0)
        row.insert(QStringLiteral("user_id"), userId);
    if (!objectType.isEmpty() && objectId >= 0)
        row.insert(objectType + QStringLiteral("_id"), objectId);
    row.insert(QStringLiteral("level"), level);
    row.insert(QStringLiteral("message"), message);
    return save(QStringLiteral("journal"), row).status();
}

ZeltoStatus Database::log(JournalLevel level, const QString &message, const QString &objectType, int objectId)
{
    static const QString names[] = {QStringLiteral("DEBUG"), QStringLiteral("INFO"), QStringLiteral("WARN"),
                                    QStringLiteral("ERROR")};
    return journal(names[level], message, objectType, objectId, -1);
}
