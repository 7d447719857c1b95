#pragma once

#include "zeltostatus.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>

// Where the columns of <table>_data rows are read as stored: the server's
// Database on the command thread, or a read-only connection that a worker
// thread opens for itself (SqliteDataReader). Readers of archives take this,
// so that the same code totals on either.
class StoredDataReader
{
public:
    virtual ~StoredDataReader() = default;

    // A column of a <table>_data row as stored; a missing row is not found.
    virtual ZeltoResult<QVariant> storedData(const QString &table, int id, const QString &column) = 0;
    // Each <table>_data row of ids with its id and the columns as stored, in
    // no particular order (ids without a row give none). On SQLite a BLOB's
    // bytes are valid only until `each` returns.
    virtual ZeltoStatus storedRows(const QString &table, const QList<int> &ids, const QStringList &columns,
                                   const std::function<void(int id, const QVector<QVariant> &values)> &each) = 0;

protected:
    // How every reader reads rows by id: one statement text whatever the
    // number of ids, prepared once, for this many ids at a time; the last
    // chunk repeats its first id in the places left.
    static constexpr int kIdsPerStatement = 64;
    static QString storedRowsText(const QString &table, const QStringList &columns);
    // The id bound in place (0-based) of the chunk that starts at first.
    static int boundId(const QList<int> &ids, int first, int place)
    {
        return first + place < ids.size() ? ids.at(first + place) : ids.at(first);
    }
    // A row of storedRowsText (its id, then the columns) handed to each as the columns alone.
    static void handOn(const QVector<QVariant> &cells, QVector<QVariant> &values,
                       const std::function<void(int id, const QVector<QVariant> &values)> &each);
    // What a failure to read <table>_data starts with.
    static QString failurePrefix(const QString &table);
};
