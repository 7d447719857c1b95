#pragma once

#include "zeltotable.h"

#include <QDate>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>
#include <memory>
#include <vector>

class QThread;
class SqliteDataReader;

// The totalling of a large group total on worker threads, so that the
// command thread stays free for other clients. Each worker reads through a
// read-only connection of its own to the server's SQLite file (the server's
// connection belongs to the command thread) and keeps its own
// StoredRangeTotals; the nodes are cut into parts of a few, which the
// workers take in turn from a shared counter (a worker slowed by the other
// work of the machine takes fewer), each part's rows a table of its own.
// The owner takes the finished parts in the order of the nodes.
// The readers of a job that ran to its end are kept open for the next one
// (its pages are then at hand), as long as the file at the path is the same.
//
// Threads: the object lives on the owner's (command) thread; run() of each
// worker on its own, at a lower priority than the owner's. The node list,
// ids and dates are set before the workers start and only read by them. Deleting the object (or stop()) cancels the
// workers and waits for them, which is soon: the readers refuse to read once
// cancelled and a running statement stops.
class GroupTotalsWorkers : public QObject
{
    Q_OBJECT

public:
    static constexpr int kThreads = 2;

    // nodeRows: ArchiveReports::nodeRowsOf(nodes); nodeIds: each in nodes, once.
    GroupTotalsWorkers(const QString &databaseFile, const ZeltoTable &nodes, const QHash<int, int> &nodeRows,
                       const QList<int> &nodeIds, const QDate &from, const QDate &to, QObject *parent = nullptr);
    ~GroupTotalsWorkers() override;

    // Opens the workers' connections and starts them; false (nothing
    // started) when a connection does not open.
    bool start();
    // Cancels the workers and waits for them to end; no part comes after.
    void stop();

    // The parts finished from the next one not yet taken on, in order
    // (each part's rows are those of its nodes, in order). The owner's thread.
    QList<ZeltoTable> takeParts();
    // Every part taken.
    bool isDone() const;
    int partCount() const { return m_partCount; }

signals:
    // A part is finished (once until the owner takes parts again). Sent
    // from a worker's thread: the owner's slot runs queued on its own.
    void partsReady();

private:
    void run(SqliteDataReader &reader);

    // Only read while the workers run.
    const ZeltoTable m_nodes;
    const QHash<int, int> m_nodeRows;
    const QList<int> m_nodeIds;
    const QDate m_from, m_to;
    const int m_partNodes;
    const int m_partCount;
    const QString m_file;

    std::atomic_int m_nextPart{0};        // the next part a worker takes
    std::atomic_bool m_cancel{false};     // set by stop(): the workers end
    std::atomic_bool m_signalled{false};  // partsReady sent, parts not taken since
    QMutex m_mutex;
    QVector<ZeltoTable> m_parts;          // by part; guarded by m_mutex
    QVector<bool> m_finished;             // by part; guarded by m_mutex
    int m_taken = 0;                      // parts taken by the owner; the owner's thread
    std::vector<std::unique_ptr<SqliteDataReader>> m_readers;   // one per thread, used by it alone
    std::vector<QThread *> m_threads;   // the owner's thread
};
