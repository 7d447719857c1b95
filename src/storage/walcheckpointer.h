#pragma once

#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

struct sqlite3;

// Writes SQLite's write-ahead log back into the database file on a thread
// of its own. SQLite would do it in the commit that fills the log, on the
// thread that serves clients: every fourth save of a five-year archive
// then waited for megabytes copied and a second disk sync. The server's
// connection asks for it from its commits (the WAL hook the constructor
// installs, which turns SQLite's own automatic checkpoint off); the checkpoint is a
// passive one on a connection of the thread's own, so it never waits for
// the writer or the readers and copies what it can.
class WalCheckpointer
{
public:
    // Log pages after a commit from which a checkpoint is asked for: SQLite's own default.
    static constexpr int kPages = 1000;
    // From which the committing connection checkpoints itself, as SQLite
    // would: the thread has fallen behind, or cannot open the file.
    static constexpr int kInlinePages = 16000;

    // The counter of checkpoints done on the thread, on the metrics page.
    static const char kMetric[];

    // For the connection on the file at path, whose WAL hook it becomes.
    WalCheckpointer(const QString &path, sqlite3 *connection);
    // Takes the hook off the connection and stops the thread, after the
    // checkpoint it is running; the owner closes the connection after.
    ~WalCheckpointer();
    WalCheckpointer(const WalCheckpointer &) = delete;
    WalCheckpointer &operator=(const WalCheckpointer &) = delete;

private:
    static int onCommit(void *self, sqlite3 *connection, const char *schema, int pages);
    void request();
    void run();

    const QByteArray m_path;
    sqlite3 *const m_connection;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_requested = false;   // guarded by m_mutex
    bool m_stopping = false;    // guarded by m_mutex
    // Started at the first request, by the thread that commits (the owner's).
    std::thread m_thread;
};
