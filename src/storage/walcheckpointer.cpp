#include "walcheckpointer.h"

#include "zeltometrics.h"

#include <QFile>

#include <sqlite3.h>

const char WalCheckpointer::kMetric[] = "orvex_wal_checkpoints_total";

WalCheckpointer::WalCheckpointer(const QString &path, sqlite3 *connection)
    : m_path(QFile::encodeName(path)), m_connection(connection)
{
    ZeltoMetrics::instance()->describe(kMetric, ZeltoMetrics::Counter,
                                       "Checkpoints of the database's write-ahead log done off the command thread.");
    sqlite3_wal_hook(m_connection, &WalCheckpointer::onCommit, this);
}

WalCheckpointer::~WalCheckpointer()
{
    sqlite3_wal_hook(m_connection, nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

int WalCheckpointer::onCommit(void *self, sqlite3 *connection, const char *schema, int pages)
{
    if (pages >= kInlinePages)
        sqlite3_wal_checkpoint_v2(connection, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    else if (pages >= kPages)
        static_cast<WalCheckpointer *>(self)->request();
    return SQLITE_OK;
}

void WalCheckpointer::request()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requested = true;
    }
    if (!m_thread.joinable())
        m_thread = std::thread(&WalCheckpointer::run, this);
    m_wake.notify_one();
}

void WalCheckpointer::run()
{
    sqlite3 *connection = nullptr;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_requested || m_stopping; });
        if (m_stopping)
            break;
        m_requested = false;
        lock.unlock();
        // Opened once, at the first checkpoint; one that cannot be opened is
        // tried again at the next, and until then the commits do it past
        // kInlinePages. A new connection knows the file is in WAL mode only
        // once it has read it: until then a checkpoint does nothing and says OK.
        if (!connection
            && (sqlite3_open_v2(m_path.constData(), &connection, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr)
                    != SQLITE_OK
                || sqlite3_exec(connection, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr)
                       != SQLITE_OK)) {
            sqlite3_close(connection);
            connection = nullptr;
        }
        int logFrames = -1;
        if (connection
            && sqlite3_wal_checkpoint_v2(connection, "main", SQLITE_CHECKPOINT_PASSIVE, &logFrames, nullptr) == SQLITE_OK
            && logFrames >= 0)
            ZeltoMetrics::instance()->add(kMetric);
        lock.lock();
    }
    lock.unlock();
    sqlite3_close(connection);
}
