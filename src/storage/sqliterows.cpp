#include "sqliterows.h"

#include "database.h"

#include <QDateTime>
#include <QHash>
#include <QSqlError>
#include <QSqlResult>
#include <QVector>

#include <sqlite3.h>

namespace {

// Dates of one result kept parsed, at most.
const int kDateCacheSize = 4096;

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

} // namespace

bool SqliteRows::reads(const QSqlQuery &query)
{
    return statementOf(query) != nullptr;
}

ZeltoResult<ZeltoTable> SqliteRows::read(QSqlQuery &query)
{
    sqlite3_stmt *statement = statementOf(query);
    ZeltoTable table;
    if (!statement)
        return table;
    const int fieldCount = sqlite3_column_count(statement);
    if (fieldCount == 0)
        return table;

    // Per column, once: where each field goes (a repeated name shares one
    // column, the later field's value kept) and whether its text is a date/time.
    QVector<int> columns(fieldCount);
    QVector<bool> dateTime(fieldCount);
    for (int field = 0; field < fieldCount; ++field) {
        // Without quotes, as the driver names the fields.
        const QString name = QString::fromUtf8(sqlite3_column_name(statement, field)).remove(QLatin1Char('"'));
        columns[field] = table.appendColumn(name);
        dateTime[field] = Database::dateTimeColumns().contains(name);
    }
    const int columnCount = table.columnCount();
    QVector<QVector<QVariant>> rows;
    // Many rows share a date (a day of polls): each date's text is parsed once.
    QHash<QString, QVariant> dates;
    // The driver has stepped to the first row when it ran the statement, and
    // reset it when there was none.
    int stepped = sqlite3_stmt_busy(statement) ? SQLITE_ROW : SQLITE_DONE;
    while (stepped == SQLITE_ROW) {
        QVector<QVariant> cells(columnCount);
        for (int field = 0; field < fieldCount; ++field) {
            QVariant &cell = cells[columns.at(field)];
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
                cell = Database::decodeValue(bytes, dateTime.at(field) ? table.columnName(columns.at(field))
                                                                      : QString())
                           .value();
                break;
            }
            default: {
                const QString text = textOf(statement, field);
                if (text.isNull()) {
                    cell = QVariant(QVariant::Int);
                } else if (!dateTime.at(field)) {
                    cell = text;
                } else {
                    const auto known = dates.constFind(text);
                    if (known != dates.constEnd()) {
                        cell = known.value();
                        break;
                    }
                    cell = QVariant(QVariant(text).toDateTime());
                    if (dates.size() >= kDateCacheSize)
                        dates.clear();
                    dates.insert(text, cell);
                }
                break;
            }
            }
        }
        rows.append(std::move(cells));
        stepped = sqlite3_step(statement);
    }
    if (stepped != SQLITE_DONE) {
        // The kind as for any other failed statement, from SQLite's result code.
        const ZeltoStatus failed = Database::sqlStatus(
            QSqlError(QString(), QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(statement))),
                      QSqlError::StatementError, QString::number(stepped)),
            QString());
        sqlite3_reset(statement);
        return failed;
    }
    table.setContent(table.columnNames(), std::move(rows));
    return table;
}
