#pragma once

#include <QCoreApplication>
#include <QString>

#include <atomic>

// Whether a database file is a whole database of this server, and what it
// holds: the SQLite header, PRAGMA quick_check, the schema version and every
// table of the schema, the number of nodes. The file is read as it lies,
// without locks and without rolling back any journal, and never changed:
// meant for files nothing else writes, such as backup copies.
class DatabaseFileCheck
{
    Q_DECLARE_TR_FUNCTIONS(DatabaseFileCheck)

public:
    // A long check stops, as failed, once *cancel becomes true.
    static DatabaseFileCheck inspect(const QString &path, const std::atomic_bool *cancel = nullptr);

    bool isGood() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }   // why not, for people
    int version() const { return m_version; }   // -1 when not read
    int nodeCount() const { return m_nodeCount; }   // -1 when not read

private:
    QString m_error;
    int m_version = -1;
    int m_nodeCount = -1;
};
