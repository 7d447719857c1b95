#pragma once

#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVector>

// What differs in SQL between the databases the server keeps its data in
// (SQLite, PostgreSQL): the statements the layers above would otherwise
// write in one database's words. Everything else they write is SQL both
// understand alike. Database::sqlDialect() is a database's own.
class SqlDialect
{
public:
    enum Kind { SQLite, PostgreSQL };

    explicit SqlDialect(Kind kind) : m_kind(kind) {}
    Kind kind() const { return m_kind; }

    // An INSERT of the columns, bound in their order, that takes the place of
    // a row with the same values in the key columns (a unique key of the
    // table): that row's other columns get the new values; when all columns
    // are key columns it stays as it was.
    QString insertOrReplace(const QString &table, const QStringList &columns, const QStringList &key) const;
    // A condition true when the column holds a value, answered without
    // reading the value itself (archives are megabytes: SQLite's IS NULL
    // loads them, its typeof() reads only the row's header).
    QString holdsValue(const QString &column) const;
    // An aggregate: the values of expression that are not null, joined with commas.
    QString joined(const QString &expression) const;
    // A SELECT of the name of one of the data's tables (not the database's
    // own), found by its name in any case; binds: the name.
    QString findTable() const;
    // A SELECT of the name of a table's column, found by its name in any
    // case; binds: the table's name as stored, the column's name.
    QString findColumn() const;
    // The column that orders a table's rows as they were inserted.
    QString insertionOrder() const;
    // An ORDER BY term that keeps rows of one time in the order they were written, for a table
    // rows are only added to and deleted from (the journal): SQLite's rowid, PostgreSQL's row address.
    QString rowOrder(const QString &table) const;
    // What the database said, as a person reads it: a trigger's refusal is its message alone.
    QString errorText(const QSqlError &error) const;
    // An ORDER BY term of a column that may hold nulls: the nulls first, as SQLite puts them.
    QString ascending(const QString &column) const;

    // Statements the storage layer alone runs differently -----------------------
    // False for a statement the database will not prepare (PostgreSQL prepares
    // only SELECT, INSERT, UPDATE, DELETE, VALUES and WITH): it runs as it is.
    bool prepares(const QString &statement) const;
    // What follows an INSERT into table so that it answers the new row's id
    // (PostgreSQL, a table with an id column); empty when the driver's own
    // last insert id does.
    QString returningId(const QString &table) const;
    // Per placeholder of an INSERT or UPDATE, in order: true when it fills a
    // BLOB column of the schema. PostgreSQL's BYTEA keeps only bytes, so a
    // number or text bound there goes in the stored value format (the form
    // DatabaseCopy gives such values); SQLite keeps them as they are, and its
    // vector is empty.
    QVector<bool> binaryParameters(const QString &statement) const;
    // The schema version: the number of the data's tables (0 for a new
    // database), and the statements that read and write the version.
    QString countTables() const;
    QString readVersion() const;
    QString writeVersion(int version) const;

private:
    Kind m_kind;
};
