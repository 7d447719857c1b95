#pragma once

#include "sqlitefile.h"
#include "storeddatareader.h"

#include <QCoreApplication>
#include <QHash>

#include <atomic>

struct sqlite3_stmt;

// The server's SQLite file read through a read-only connection of its own,
// for a worker thread that reads stored values beside the command thread's
// connection (which no other thread may use). In WAL mode it sees committed
// rows only, never those of a transaction the server has open. Its
// statements are prepared once and kept for the connection's life. Used by
// one thread at a time: opened on one and handed over is fine.
class SqliteDataReader : public StoredDataReader
{
    Q_DECLARE_TR_FUNCTIONS(SqliteDataReader)

public:
    SqliteDataReader() = default;
    ~SqliteDataReader() override;
    SqliteDataReader(const SqliteDataReader &) = delete;
    SqliteDataReader &operator=(const SqliteDataReader &) = delete;

    // False with errorText() when the file does not open read-only.
    bool open(const QString &path);
    QString errorText() const { return m_file.errorText(); }
    // Opened on path, and path is still the same file (a restore or a
    // compaction puts another file in its place): the reader may be used again.
    bool readsFile(const QString &path) const;
    // Once *cancel is true, every read fails at once and a statement
    // running stops soon: a worker whose result nobody waits for any more.
    void setCancelFlag(const std::atomic_bool *cancel);

    ZeltoResult<QVariant> storedData(const QString &table, int id, const QString &column) override;
    ZeltoStatus storedRows(const QString &table, const QList<int> &ids, const QStringList &columns,
                           const std::function<void(int id, const QVector<QVariant> &values)> &each) override;

private:
    // The statement of text prepared on the connection, or null with status
    // set; kept for the next use, unless own: the caller finalizes it.
    sqlite3_stmt *statement(const QString &text, ZeltoStatus &status, bool &own);
    bool cancelled() const { return m_cancel && m_cancel->load(); }
    // A read refused once cancelled.
    static ZeltoStatus cancelledStatus(const QString &table);

    SqliteFile m_file;
    QString m_path;                  // as opened
    quint64 m_device = 0, m_inode = 0;   // of the file opened
    QHash<QString, sqlite3_stmt *> m_statements;   // finalized before the connection closes
    const std::atomic_bool *m_cancel = nullptr;
};
