#include "sqliterows.h"

#include "database.h"
#include "resulttable.h"

#include <QSqlError>
#include <QSqlResult>
#include <QVector>

#include <sqlite3.h>

namespace {

sqlite3_stmt *statementOf(const QSqlQuery &query)
{
    const QVariant handle = query.result() ? query.result()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3_stmt*") != 0)
        return nullptr;
    return *static_cast<sqlite3_stmt *const *>(handle.constData());
}

QString textOf(sqlite3_stmt *statement, int field)
{
    // UTF-16 as the driver reads it, so that text SQLite holds in another
    // form converts the same way.
    const void *text = sqlite3_column_text16(statement, field);
    return QString(static_cast<const QChar *>(text), sqlite3_column_bytes16(statement, field) / int(sizeof(QChar)));
}

// A step that failed, of the kind any other failed statement has.
ZeltoStatus stepFailed(sqlite3_stmt *statement, int stepped)
{
    const ZeltoStatus failed = Database::sqlStatus(
        QSqlError(QString(), QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(statement))), QSqlError::StatementError,
                  QString::number(stepped)),
        QString());
    sqlite3_reset(statement);
    return failed;
}

} // namespace

bool SqliteRows::reads(const QSqlQuery &query)
{
    return statementOf(query) != nullptr;
}

ZeltoResult<ZeltoTable> SqliteRows::read(QSqlQuery &query)
{
    sqlite3_stmt *statement = statementOf(query);
    if (!statement)
        return ZeltoTable();
    QStringList names;
    for (int field = 0; field < sqlite3_column_count(statement); ++field) {
        // Without quotes, as the driver names the fields.
        names << QString::fromUtf8(sqlite3_column_name(statement, field)).remove(QLatin1Char('"'));
    }
    ResultTable table(names);
    // The driver has stepped to the first row when it ran the statement, and
    // reset it when there was none.
    int stepped = table.fieldCount() > 0 && sqlite3_stmt_busy(statement) ? SQLITE_ROW : SQLITE_DONE;
    while (stepped == SQLITE_ROW) {
        QVector<QVariant> row = table.newRow();
        for (int field = 0; field < table.fieldCount(); ++field) {
            QVariant &cell = table.cell(row, field);
            switch (sqlite3_column_type(statement, field)) {
            case SQLITE_INTEGER:
                // As the driver's 64-bit integer is cut to the server's int.
                cell = QVariant(int(sqlite3_column_int64(statement, field)));
                break;
            case SQLITE_FLOAT:
                cell = QVariant(sqlite3_column_double(statement, field));
                break;
            case SQLITE_NULL:
                cell = QVariant(QVariant::Int);
                break;
            case SQLITE_BLOB: {
                const int size = sqlite3_column_bytes(statement, field);
                const QByteArray bytes(static_cast<const char *>(sqlite3_column_blob(statement, field)), size);
                cell = Database::decodeValue(bytes, table.isDateTime(field) ? table.columnName(field) : QString())
                           .value();
                break;
            }
            default: {
                const QString text = textOf(statement, field);
                cell = text.isNull() ? QVariant(QVariant::Int)
                       : table.isDateTime(field) ? table.dateTime(text)
                                                 : QVariant(text);
                break;
            }
            }
        }
        table.append(std::move(row));
        stepped = sqlite3_step(statement);
    }
    if (stepped != SQLITE_DONE)
        return stepFailed(statement, stepped);
    return table.take();
}

ZeltoStatus SqliteRows::each(QSqlQuery &query, const std::function<void(const QVector<QVariant> &cells)> &each)
{
    sqlite3_stmt *statement = statementOf(query);
    if (!statement)
        return ZeltoStatus();
    // The driver has stepped to the first row when it ran the statement.
    return eachFrom(statement,
                    sqlite3_column_count(statement) > 0 && sqlite3_stmt_busy(statement) ? SQLITE_ROW : SQLITE_DONE,
                    each);
}

ZeltoStatus SqliteRows::each(sqlite3_stmt *statement, const std::function<void(const QVector<QVariant> &cells)> &each)
{
    const ZeltoStatus read = eachFrom(statement, sqlite3_step(statement), each);
    sqlite3_reset(statement);
    return read;
}

ZeltoStatus SqliteRows::failure(sqlite3 *connection, const QString &prefix)
{
    return Database::sqlStatus(QSqlError(QString(), QString::fromUtf8(sqlite3_errmsg(connection)),
                                         QSqlError::StatementError, QString::number(sqlite3_errcode(connection))),
                               prefix);
}

ZeltoStatus SqliteRows::eachFrom(sqlite3_stmt *statement, int stepped,
                                 const std::function<void(const QVector<QVariant> &cells)> &each)
{
    const int fields = sqlite3_column_count(statement);
    QVector<QVariant> cells(fields);
    while (stepped == SQLITE_ROW) {
        for (int field = 0; field < fields; ++field) {
            QVariant &cell = cells[field];
            switch (sqlite3_column_type(statement, field)) {
            case SQLITE_INTEGER:
                cell = QVariant(qlonglong(sqlite3_column_int64(statement, field)));
                break;
            case SQLITE_FLOAT:
                cell = QVariant(sqlite3_column_double(statement, field));
                break;
            case SQLITE_NULL:
                // As Qt's SQLite driver gives it.
                cell = QVariant(QVariant::String);
                break;
            case SQLITE_BLOB:
                // The archives are most of what is read: their bytes stay where SQLite has them.
                cell = QVariant(QByteArray::fromRawData(static_cast<const char *>(sqlite3_column_blob(statement, field)),
                                                        sqlite3_column_bytes(statement, field)));
                break;
            default:
                cell = QVariant(textOf(statement, field));
                break;
            }
        }
        each(cells);
        // Nothing keeps pointing at the bytes the step below releases.
        for (QVariant &cell : cells)
            cell = QVariant();
        stepped = sqlite3_step(statement);
    }
    if (stepped != SQLITE_DONE)
        return stepFailed(statement, stepped);
    return ZeltoStatus();
}
