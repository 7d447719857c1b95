#pragma once

#include <QString>
#include <QStringList>

// The distinct values of one column of a database table, for the filter
// lists of client programs. Table and column names end up in statement text,
// so only names the schema has are accepted, looked up with the name bound
// as a value; identifier columns and the users' passwords are refused.
// Refusals run no statement but the lookups.
class ColumnValues
{
public:
    // False (reported) when the names are refused or the query fails.
    static bool distinct(const QString &table, const QString &column, QStringList &values);

private:
    static bool isProtected(const QString &table, const QString &column);
    // The name as the schema writes it; empty when the schema has none. ok
    // turns false (reported) when the lookup itself fails.
    static QString schemaTable(const QString &table, bool &ok);
    static QString schemaColumn(const QString &table, const QString &column, bool &ok);
    static QString quoted(const QString &name);
};
