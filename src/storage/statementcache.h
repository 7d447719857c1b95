#pragma once

#include "sqldialect.h"

#include <QHash>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// The prepared statements of the server's connection, kept by their text:
// a statement run again is bound and executed without being parsed and
// planned again. Lives as long as the connection (the owner clears it before
// closing). Main thread only, like the connection.
//
// A statement is lent to one user at a time; its text asked for again while
// lent (a caller's own nested use) gets a statement of its own, used once.
// Ending a loan resets the statement, so that no statement holds a read
// transaction open between commands (that would keep VACUUM and checkpoints
// from their work). What binding needs to know of the text (which
// placeholders fill BLOB columns) is worked out once, when it is prepared.
class StatementCache
{
public:
    // Beyond this many texts the idle ones are dropped: texts made from
    // names a caller chose must not fill the memory.
    static const int Capacity = 256;

    class Lease
    {
    public:
        ~Lease();
        Lease(Lease &&other) noexcept;
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Lease &operator=(Lease &&) = delete;

        // False when the text did not prepare: query().lastError() says why.
        bool isPrepared() const { return m_prepared; }
        QSqlQuery &query() { return m_entry->query; }
        // SqlDialect::binaryParameters of the text.
        const QVector<bool> &binaryParameters() const { return m_entry->binaryParameters; }

    private:
        friend class StatementCache;
        struct Entry
        {
            explicit Entry(const QSqlDatabase &db) : query(db) {}
            QSqlQuery query;
            QVector<bool> binaryParameters;
            bool lent = false;
        };
        explicit Lease(const QSharedPointer<Entry> &entry, bool prepared) : m_entry(entry), m_prepared(prepared) {}

        QSharedPointer<Entry> m_entry;
        bool m_prepared;
    };

    // The statement prepared on db (forward only on SQLite), a statement in
    // dialect's words; its bound values are those of its last use until the
    // caller binds its own.
    Lease acquire(const QSqlDatabase &db, const SqlDialect &dialect, const QString &statement);
    // Forgets every statement; those lent stay usable until given back.
    void clear();
    int size() const { return m_entries.size(); }

private:
    QHash<QString, QSharedPointer<Lease::Entry>> m_entries;
};
