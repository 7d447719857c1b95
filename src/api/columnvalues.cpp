#include "columnvalues.h"

#include "commandcontext.h"
#include "database.h"

#include <QCoreApplication>

#include <utility>

bool ColumnValues::isProtected(const QString &table, const QString &column)
{
    const QString name = column.toLower();
    return name == QLatin1String("id") || name.endsWith(QLatin1String("_id"))
        || (table.toLower() == QLatin1String("users") && name == QLatin1String("password"));
}

ZeltoResult<QString> ColumnValues::schemaName(const QString &statement, const QVariantList &binds) const
{
    const ZeltoResult<ZeltoTable> found = m_database->rows(statement, binds);
    if (!found.ok())
        return found.status();
    return found.value().isEmpty() ? QString() : found.value().value(0, 0).toString();
}

QString ColumnValues::quoted(const QString &name)
{
    QString text = name;
    return QLatin1Char('"') + text.replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

ZeltoResult<QStringList> ColumnValues::distinct(const QString &table, const QString &column) const
{
    const ZeltoStatus idRefusal = ZeltoStatus::noRight(
        QCoreApplication::translate("ColumnValues", "Доступ к полям идентификаторов запрещен"));
    if (isProtected(table, column))
        return idRefusal;
    if (!m_database)
        return CommandContext::noDatabase();

    // The database's own tables are not data of ours.
    const ZeltoResult<QString> tableName = schemaName(m_database->sqlDialect().findTable(), {table});
    if (!tableName.ok())
        return tableName.status();
    if (tableName.value().isEmpty())
        return ZeltoStatus::invalid(
            QCoreApplication::translate("ColumnValues", "Таблица «%1» не найдена в базе данных").arg(table));
    const ZeltoResult<QString> columnName =
        schemaName(m_database->sqlDialect().findColumn(), {tableName.value(), column});
    if (!columnName.ok())
        return columnName.status();
    if (columnName.value().isEmpty())
        return ZeltoStatus::invalid(QCoreApplication::translate("ColumnValues", "Поле «%1» не найдено в таблице «%2»")
                                        .arg(column, tableName.value()));
    // The schema's spelling, in case a differently written name slipped past.
    if (isProtected(tableName.value(), columnName.value()))
        return idRefusal;

    // Cast in SQL so that every value arrives as the text SQLite holds,
    // without the decoding of stored dates and streams.
    const ZeltoResult<ZeltoTable> rows = m_database->rows(QStringLiteral("SELECT DISTINCT CAST(%1 AS TEXT) FROM %2")
                                                              .arg(quoted(columnName.value()), quoted(tableName.value())));
    if (!rows.ok())
        return rows.status();
    // NULL is a value without text: empty, and once, even beside an empty text.
    QStringList values;
    bool hasEmpty = false;
    for (int row = 0; row < rows.value().rowCount(); ++row) {
        const QVariant value = rows.value().value(row, 0);
        const QString text = value.isNull() ? QString(QLatin1String("")) : value.toString();
        if (text.isEmpty() && std::exchange(hasEmpty, true))
            continue;
        values.append(text);
    }
    return values;
}
