#include "columnvalues.h"

#include "database.h"
#include "zeltosystem.h"

#include <QCoreApplication>

#include <utility>

bool ColumnValues::isProtected(const QString &table, const QString &column)
{
    const QString name = column.toLower();
    return name == QLatin1String("id") || name.endsWith(QLatin1String("_id"))
        || (table.toLower() == QLatin1String("users") && name == QLatin1String("password"));
}

QString ColumnValues::schemaTable(const QString &table, bool &ok)
{
    // The database's own tables are not data of ours.
    const ZeltoTable found = Database::selectTable(Database::dialect().findTable(), {table});
    ok = found.columnCount() > 0;   // a failed query has no columns; its error is reported
    return found.isEmpty() ? QString() : found.value(0, 0).toString();
}

QString ColumnValues::schemaColumn(const QString &table, const QString &column, bool &ok)
{
    const ZeltoTable found = Database::selectTable(Database::dialect().findColumn(), {table, column});
    ok = found.columnCount() > 0;
    return found.isEmpty() ? QString() : found.value(0, 0).toString();
}

QString ColumnValues::quoted(const QString &name)
{
    QString text = name;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

bool ColumnValues::distinct(const QString &table, const QString &column, QStringList &values)
{
    values.clear();
    ZeltoSystem *system = ZeltoSystem::instance();
    const QString idRefusal = QCoreApplication::translate("ColumnValues", "Доступ к полям идентификаторов запрещен");
    if (isProtected(table, column))
        return system->error(idRefusal);

    bool ok = true;
    const QString tableName = schemaTable(table, ok);
    if (!ok)
        return false;
    if (tableName.isEmpty())
        return system->error(
            QCoreApplication::translate("ColumnValues", "Таблица «%1» не найдена в базе данных").arg(table));
    const QString columnName = schemaColumn(tableName, column, ok);
    if (!ok)
        return false;
    if (columnName.isEmpty())
        return system->error(
            QCoreApplication::translate("ColumnValues", "Поле «%1» не найдено в таблице «%2»").arg(column, tableName));
    // The schema's spelling, in case a differently written name slipped past.
    if (isProtected(tableName, columnName))
        return system->error(idRefusal);

    // Cast in SQL so that every value arrives as the text SQLite holds,
    // without the decoding of stored dates and streams.
    const ZeltoTable rows = Database::selectTable(
        QStringLiteral("SELECT DISTINCT CAST(%1 AS TEXT) FROM %2").arg(quoted(columnName), quoted(tableName)));
    if (rows.columnCount() == 0)
        return false;
    // NULL is a value without text: empty, and once, even beside an empty text.
    bool hasEmpty = false;
    for (int row = 0; row < rows.rowCount(); ++row) {
        const QVariant value = rows.value(row, 0);
        const QString text = value.isNull() ? QString(QLatin1String("")) : value.toString();
        if (text.isEmpty() && std::exchange(hasEmpty, true))
            continue;
        values.append(text);
    }
    return true;
}
