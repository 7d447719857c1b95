#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QSqlQuery>
#include <QVector>

#include <functional>

struct sqlite3;
struct sqlite3_stmt;

// The rows of a query that Qt's SQLite driver has run, read straight from
// SQLite's statement into a table: the driver would make a variant of every
// cell first, which is most of the cost of reading a long list. Cells come
// out as Database::decodeValue gives them on either driver: SQL NULL a null
// int, integers int, reals double, text a string (a date/time in the
// columns Database::dateTimeColumns names), a blob its decoded value.
class SqliteRows
{
public:
    // Whether query runs on SQLite's own statement (false elsewhere: read it
    // through the driver).
    static bool reads(const QSqlQuery &query);
    // The rows from the statement's current one on (the driver has stepped
    // it to the first when it ran it), to the end. A step that fails is a
    // storage failure, not a shorter table.
    static ZeltoResult<ZeltoTable> read(QSqlQuery &query);
    // The same rows each handed to `each` with its cells as the driver's
    // QSqlQuery::value() holds them (an integer a qlonglong, SQL NULL a
    // null string), except that a BLOB's bytes are SQLite's own, not
    // copied: they are valid only until `each` returns.
    static ZeltoStatus each(QSqlQuery &query, const std::function<void(const QVector<QVariant> &cells)> &each);
    // The same of a statement bound but not yet stepped, on a connection of
    // the caller's own (SqliteFile); it is reset at the end.
    static ZeltoStatus each(sqlite3_stmt *statement, const std::function<void(const QVector<QVariant> &cells)> &each);
    // A failed call on a connection as a status, of the kind the server's connection gives.
    static ZeltoStatus failure(sqlite3 *connection, const QString &prefix = QString());

private:
    // The rows from the one the statement stands on (stepped: what its last step gave) to the end.
    static ZeltoStatus eachFrom(sqlite3_stmt *statement, int stepped,
                                const std::function<void(const QVector<QVariant> &cells)> &each);
};
