#include "database.h"

#include "user.h"
#include "zeltoclock.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVector>

namespace {

bool reportQuery(const QSqlQuery &query)
{
    return ZeltoSystem::instance()->error(query.lastError().databaseText());
}

bool reportQuery(const QSqlQuery &query, const QString &prefix)
{
    return ZeltoSystem::instance()->error(prefix + query.lastError().databaseText());
}

} // namespace

bool Database::bindValues(QSqlQuery &query, const QVariantList &values)
{
    // By position: a statement reused keeps its last values until each is bound anew.
    for (int i = 0; i < values.size(); ++i) {
        const QVariant stored = encodeValue(values.at(i));
        if (!stored.isValid())
            return false;   // the encoder has reported the type
        query.bindValue(i, stored);
    }
    return true;
}

bool Database::inTransaction()
{
    return transactionDepth() > 0;
}

bool Database::execute(const QString &statement, const QVariantList &binds)
{
    StatementCache::Lease lease = Database::statement(statement);
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared())
        return reportQuery(query);
    if (!bindValues(query, binds))
        return false;
    if (!query.exec())
        return reportQuery(query);
    return true;
}

bool Database::exists(const QString &table, const QString &condition, const QVariantList &binds)
{
    StatementCache::Lease lease = statement(QStringLiteral("SELECT count(*) FROM %1 WHERE %2").arg(table, condition));
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared())
        return reportQuery(query);
    if (!bindValues(query, binds))
        return false;
    if (!query.exec() || !query.next())
        return reportQuery(query);
    return query.value(0).toInt() > 0;
}

bool Database::existsId(const QString &table, int id)
{
    return exists(table, QStringLiteral("id = ?"), {id});
}

int Database::findRowId(const QString &table, const QString &condition, const QVariantList &binds)
{
    StatementCache::Lease lease = statement(QStringLiteral("SELECT rowid FROM %1 WHERE %2").arg(table, condition));
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared() || !bindValues(query, binds) || !query.exec() || !query.next())
        return -1;
    return query.value(0).toInt();
}

QStringList Database::selectDistinct(const QString &table, const QString &column)
{
    QStringList values;
    StatementCache::Lease lease = statement(QStringLiteral("SELECT DISTINCT %1 FROM %2").arg(column, table));
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared() || !query.exec())
        return values;
    while (query.next())
        values << query.value(0).toString();
    return values;
}

QVariantList Database::selectDistinctValues(const QString &table, const QString &column, const QString &condition,
                                            const QVariantList &binds)
{
    QVariantList values;
    StatementCache::Lease lease =
        statement(QStringLiteral("SELECT DISTINCT %1 FROM %2 WHERE %3").arg(column, table, condition));
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared() || !bindValues(query, binds) || !query.exec())
        return values;
    // The result column's own name: "nodes.ctime" arrives as "ctime".
    const bool dateTimeColumn = dateTimeColumns().contains(query.record().fieldName(0));
    while (query.next())
        values << decodeStored(query.value(0), dateTimeColumn);
    return values;
}

QVariantMap Database::selectRecord(const QString &statement, const QVariantList &binds)
{
    StatementCache::Lease lease = Database::statement(statement);
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared()) {
        reportQuery(query);
        return QVariantMap();
    }
    if (!bindValues(query, binds))
        return QVariantMap();
    if (!query.exec()) {
        reportQuery(query);
        return QVariantMap();
    }
    QVariantMap row;
    if (!query.next())
        return row;
    const QSqlRecord record = query.record();
    for (int i = 0; i < record.count(); ++i) {
        const QString name = record.fieldName(i);
        row.insert(name, decodeValue(query.value(i), name));
    }
    return row;
}

QVariantMap Database::readRecord(const QString &table, int id)
{
    return selectRecord(QStringLiteral("SELECT * FROM %1 WHERE id = ?").arg(table), {id});
}

ZeltoTable Database::selectTable(const QString &statement, const QVariantList &binds)
{
    StatementCache::Lease lease = Database::statement(statement);
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared()) {
        reportQuery(query);
        return ZeltoTable();
    }
    if (!bindValues(query, binds))
        return ZeltoTable();
    if (!query.exec()) {
        reportQuery(query);
        return ZeltoTable();
    }
    return queryToTable(query);
}

ZeltoTable Database::queryToTable(QSqlQuery &query)
{
    ZeltoTable table;
    const QSqlRecord record = query.record();
    const int fieldCount = record.count();
    if (fieldCount == 0)
        return table;

    // Per column, once: where each field goes (a repeated name shares one
    // column) and whether its text is a date/time.
    QVector<int> columns(fieldCount);
    QVector<bool> dateTime(fieldCount);
    for (int field = 0; field < fieldCount; ++field) {
        const QString name = record.fieldName(field);
        columns[field] = table.appendColumn(name);
        dateTime[field] = dateTimeColumns().contains(name);
    }
    while (query.next()) {
        const int row = table.appendRow();
        for (int field = 0; field < fieldCount; ++field)
            table.setValue(row, columns.at(field), decodeStored(query.value(field), dateTime.at(field)));
    }
    return table;
}

int Database::saveRecord(const QString &table, const QVariantMap &record)
{
    if (record.isEmpty()) {
        ZeltoSystem::instance()->error(QStringLiteral("[%1] %2").arg(table, tr("Сошибка записи: нет данных")));
        return -1;
    }

    const QString idKey = QStringLiteral("id");
    const bool update = record.contains(idKey);
    const QStringList keys = record.keys();
    QVariantList values = record.values();
    QString text;
    if (update) {
        // The id is written into its own column too, so a map of only "id" is a valid update.
        QStringList assignments;
        assignments.reserve(keys.size());
        for (const QString &key : keys)
            assignments << key + QStringLiteral(" = ?");
        text = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ") + assignments.join(QStringLiteral(", "))
            + QStringLiteral(" WHERE id = ?");
        values.append(record.value(idKey));
    } else {
        QStringList placeholders;
        placeholders.reserve(keys.size());
        for (int i = 0; i < keys.size(); ++i)
            placeholders << QStringLiteral("?");
        text = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + keys.join(QStringLiteral(", "))
            + QStringLiteral(") VALUES (") + placeholders.join(QStringLiteral(", ")) + QLatin1Char(')');
    }

    const QString prefix = (update ? QStringLiteral("[*") : QStringLiteral("[+")) + table + QStringLiteral("] ");
    StatementCache::Lease lease = statement(text);
    QSqlQuery &query = lease.query();
    if (!lease.isPrepared()) {
        reportQuery(query, prefix);
        return -1;
    }
    if (!bindValues(query, values))
        return -1;
    if (!query.exec()) {
        reportQuery(query, prefix);
        return -1;
    }
    return update ? record.value(idKey).toInt() : query.lastInsertId().toInt();
}

void Database::writeJournal(const QString &level, const QString &message, const QString &objectType, int objectId)
{
    QVariantMap row;
    row.insert(QStringLiteral("ctime"), clock()->now());
    const int userId = User::currentUserId();
    if (userId >= 0)
        row.insert(QStringLiteral("user_id"), userId);
    if (!objectType.isEmpty() && objectId >= 0)
        row.insert(objectType + QStringLiteral("_id"), objectId);
    row.insert(QStringLiteral("level"), level);
    row.insert(QStringLiteral("message"), message);
    // A failed journal write leaves only its text in the error channel.
    saveRecord(QStringLiteral("journal"), row);
}

void Database::logInfo(const QString &message, const QString &objectType, int objectId)
{
    writeJournal(QStringLiteral("INFO"), message, objectType, objectId);
}

void Database::logWarn(const QString &message, const QString &objectType, int objectId)
{
    writeJournal(QStringLiteral("WARN"), message, objectType, objectId);
}

void Database::logError(const QString &message, const QString &objectType, int objectId)
{
    writeJournal(QStringLiteral("ERROR"), message, objectType, objectId);
}

void Database::logDebug(const QString &message, const QString &objectType, int objectId)
{
    writeJournal(QStringLiteral("DEBUG"), message, objectType, objectId);
}
