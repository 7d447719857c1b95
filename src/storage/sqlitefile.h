#pragma once

#include <QString>
#include <QVariant>

#include <atomic>

struct sqlite3;

// A SQLite connection of its own beside the server's one connection: for
// reading a copy or another database file, or for making a copy on a worker
// thread. Used by one thread at a time; closed when it goes.
class SqliteFile
{
public:
    enum Mode {
        ReadOnly,    // the file as it is, journals and locks respected
        Immutable,   // read-only, no locks, no journal: a file nothing else writes
        ReadWrite,   // created when missing
    };

    SqliteFile() = default;
    ~SqliteFile();
    SqliteFile(const SqliteFile &) = delete;
    SqliteFile &operator=(const SqliteFile &) = delete;

    bool open(const QString &path, Mode mode);
    void close();
    bool isOpen() const { return m_db != nullptr; }
    sqlite3 *handle() const { return m_db; }

    // Runs statements that return nothing needed.
    bool exec(const QString &statement);
    // The first column of the first row; invalid on failure (errorCode() set)
    // or when there is no row.
    QVariant scalar(const QString &statement, const QString &bind = QString());

    // Long statements stop with SQLITE_INTERRUPT once *cancel becomes true.
    void setCancelFlag(const std::atomic_bool *cancel);

    // The last failure: SQLite's code and text (for a failed open, the path too).
    int errorCode() const { return m_errorCode; }
    QString errorText() const { return m_errorText; }

private:
    bool fail();

    sqlite3 *m_db = nullptr;
    int m_errorCode = 0;
    QString m_errorText;
};
