#pragma once

#include "databasesettings.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVector>

// Copies the server's database into an empty one, SQLite or PostgreSQL in
// either direction, and checks the copy row for row before keeping it.
//
// The source is only read, inside one read transaction (a snapshot: a server
// still writing to it does not tear the copy). The target gets the schema of
// the source's version, then every table's rows with their ids, in one
// transaction that also holds the check: a failure anywhere rolls all of it
// back, so the target is empty again and the copy can simply be run anew.
// Rows are streamed one at a time (the tables with archives row by row by
// their key), so memory stays at the largest single row.
//
// Values move as they are, except where SQLite's typing is looser than
// PostgreSQL's: a number or text that SQLite keeps in a BLOB column (a
// setting's value) goes into BYTEA as the stored value format of an int,
// uint, double or string (tags 0x02, 0x03, 0x06, 0x07), which the server
// never writes as a BLOB of its own; on the way back such a stream becomes
// the plain value again. setting_data's insertion order (SQLite's rowid,
// PostgreSQL's seq) is carried over, and PostgreSQL's sequence continues
// after it.
class DatabaseCopy
{
    Q_DECLARE_TR_FUNCTIONS(DatabaseCopy)

public:
    struct TableCount
    {
        QString table;
        qint64 rows = 0;
        qint64 bytes = 0;   // of the BLOB/BYTEA values
    };

    DatabaseCopy(const DatabaseSettings &source, const DatabaseSettings &target);
    ~DatabaseCopy();

    // False with error() saying why; the target is then as it was before.
    bool run();
    const QString &error() const { return m_error; }
    // What was copied and checked, per table in copy order.
    const QVector<TableCount> &counts() const { return m_counts; }
    int version() const { return m_version; }

private:
    // A table's columns as the copy and the check read them: the target's,
    // less its insertion-order column, then the order columns of both sides
    // when the source keeps one.
    struct Columns {
        QStringList data;       // the columns both sides have
        QVector<bool> blob;     // per data column: BYTEA/BLOB in the target
        QStringList source;     // data, then the source's order column
        QStringList target;     // data, then the target's order column
    };
    Columns columnsOf(const QString &table, const QSqlRecord &targetRecord) const;

    bool fail(const QString &text);
    bool openSource();
    bool openTarget();
    bool createSchema();
    bool setTriggers(bool enabled);
    bool copyTable(const QString &table);
    bool copyGroupParents();
    bool continueSequences();
    bool checkTable(const QString &table, TableCount *count);
    void close();

    DatabaseSettings m_sourceSettings;
    DatabaseSettings m_targetSettings;
    QSqlDatabase m_source;
    QSqlDatabase m_target;
    bool m_writing = false;          // the target's transaction is open
    bool m_targetFileMade = false;   // a SQLite target file this copy created (removed when it fails)
    QStringList m_triggers;          // SQLite target: the schema's triggers, dropped while rows go in
    QVector<TableCount> m_counts;
    int m_version = -1;
    QString m_error;
};
