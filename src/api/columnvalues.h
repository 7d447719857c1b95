#pragma once

#include "zeltostatus.h"

#include <QString>
#include <QStringList>
#include <QVariantList>

class Database;

// The distinct values of one column of a database table, for the filter
// lists of client programs. Table and column names end up in statement text,
// so only names the schema has are accepted, looked up with the name bound
// as a value; identifier columns and the users' passwords are refused.
// Refusals run no statement but the lookups.
class ColumnValues
{
public:
    explicit ColumnValues(Database *database) : m_database(database) {}

    // The values as text; refused names and failed queries are failures.
    ZeltoResult<QStringList> distinct(const QString &table, const QString &column) const;

private:
    static bool isProtected(const QString &table, const QString &column);
    // The name as the schema writes it; empty when the schema has none.
    ZeltoResult<QString> schemaName(const QString &statement, const QVariantList &binds) const;
    static QString quoted(const QString &name);

    Database *m_database;
};
