#include "sqldialect.h"

QString SqlDialect::insertOrReplace(const QString &table, const QStringList &columns, const QStringList &key) const
{
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    const QString insert =
        QStringLiteral("INTO %1 (%2) VALUES (%3)").arg(table, columns.join(QStringLiteral(", ")), marks.join(QStringLiteral(", ")));
    if (m_kind == SQLite)
        return QStringLiteral("INSERT OR REPLACE ") + insert;
    QStringList updates;
    for (const QString &column : columns) {
        if (!key.contains(column))
            updates << QStringLiteral("%1 = EXCLUDED.%1").arg(column);
    }
    return QStringLiteral("INSERT ") + insert
        + QStringLiteral(" ON CONFLICT (%1) DO ").arg(key.join(QStringLiteral(", ")))
        + (updates.isEmpty() ? QStringLiteral("NOTHING") : QStringLiteral("UPDATE SET ") + updates.join(QStringLiteral(", ")));
}

QString SqlDialect::holdsValue(const QString &column) const
{
    if (m_kind == SQLite)
        return QStringLiteral("typeof(%1) <> 'null'").arg(column);
    return QStringLiteral("%1 IS NOT NULL").arg(column);
}

QString SqlDialect::joined(const QString &expression) const
{
    if (m_kind == SQLite)
        return QStringLiteral("group_concat(%1)").arg(expression);
    return QStringLiteral("string_agg(CAST(%1 AS TEXT), ',')").arg(expression);
}

QString SqlDialect::findTable() const
{
    if (m_kind == SQLite)
        return QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE "
                              "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'");
    return QStringLiteral("SELECT table_name FROM information_schema.tables WHERE table_schema = current_schema() "
                          "AND table_type = 'BASE TABLE' AND lower(table_name) = lower(?)");
}

QString SqlDialect::findColumn() const
{
    if (m_kind == SQLite)
        return QStringLiteral("SELECT name FROM pragma_table_info(?) WHERE name = ? COLLATE NOCASE");
    return QStringLiteral("SELECT column_name FROM information_schema.columns WHERE table_schema = current_schema() "
                          "AND table_name = ? AND lower(column_name) = lower(?)");
}

QString SqlDialect::errorText(const QSqlError &error) const
{
    QString text = error.databaseText();
    if (m_kind == SQLite)
        return text;
    // libpq's message: "ERROR:  <message>\n" and, from the driver, the error code "(P0001)" after it.
    text = text.section(QLatin1Char('\n'), 0, 0);
    if (text.startsWith(QLatin1String("ERROR:")))
        text = text.mid(6);
    return text.trimmed();
}

QString SqlDialect::insertionOrder() const
{
    // PostgreSQL has no row number of its own: the tables read in this order carry one.
    return m_kind == SQLite ? QStringLiteral("rowid") : QStringLiteral("seq");
}
