#include "grouptotalsworkers.h"

#include "archivereports.h"
#include "sqlitedatareader.h"
#include "storedrangetotals.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

// Readers of finished jobs, kept open for the next: a new connection starts
// with an empty page cache and maps the file's pages again. Command thread only.
std::vector<std::unique_ptr<SqliteDataReader>> &idleReaders()
{
    static std::vector<std::unique_ptr<SqliteDataReader>> readers;
    return readers;
}

// Nodes per part: parts small enough that both workers have some of a
// small job and end together, large enough that a part's rows are read in
// one statement (of 64 ids).
int partNodesFor(int nodes)
{
    return qBound(4, nodes / 64, 64);
}

} // namespace

GroupTotalsWorkers::GroupTotalsWorkers(const QString &databaseFile, const ZeltoTable &nodes,
                                       const QHash<int, int> &nodeRows, const QList<int> &nodeIds, const QDate &from,
                                       const QDate &to, QObject *parent)
    : QObject(parent), m_nodes(nodes), m_nodeRows(nodeRows), m_nodeIds(nodeIds), m_from(from), m_to(to),
      m_partNodes(partNodesFor(nodeIds.size())), m_partCount((nodeIds.size() + m_partNodes - 1) / m_partNodes),
      m_file(databaseFile), m_parts(m_partCount), m_finished(m_partCount)
{
    // No worker may outlive the objects of the process that it reads.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &GroupTotalsWorkers::stop);
}

GroupTotalsWorkers::~GroupTotalsWorkers()
{
    stop();
}

bool GroupTotalsWorkers::start()
{
    if (!m_threads.empty())
        return true;
    auto &idle = idleReaders();
    for (int i = 0; i < kThreads; ++i) {
        std::unique_ptr<SqliteDataReader> reader;
        while (!reader && !idle.empty()) {
            reader = std::move(idle.back());
            idle.pop_back();
            if (!reader->readsFile(m_file))
                reader.reset();
        }
        if (!reader) {
            reader.reset(new SqliteDataReader);
            if (!reader->open(m_file)) {
                m_readers.clear();
                return false;
            }
        }
        reader->setCancelFlag(&m_cancel);
        m_readers.push_back(std::move(reader));
    }
    for (const auto &reader : m_readers) {
        SqliteDataReader *own = reader.get();
        QThread *thread = QThread::create([this, own]() { run(*own); });
        thread->setObjectName(QStringLiteral("group totals"));
        m_threads.push_back(thread);
        thread->start();
    }
    return true;
}

void GroupTotalsWorkers::stop()
{
    // Readers of a job that ran to its end are kept for the next; a
    // cancelled one may have left a statement interrupted.
    const bool whole = !m_cancel.exchange(true) && isDone();
    for (QThread *thread : m_threads) {
        thread->wait();
        delete thread;
    }
    m_threads.clear();
    auto &idle = idleReaders();
    for (auto &reader : m_readers) {
        reader->setCancelFlag(nullptr);
        if (whole && idle.size() < size_t(kThreads))
            idle.push_back(std::move(reader));
    }
    m_readers.clear();
}

void GroupTotalsWorkers::run(SqliteDataReader &reader)
{
#ifdef Q_OS_LINUX
    // Below the command thread (a nice value is a thread's own on Linux): when
    // the cores are busy, another client's request goes first.
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 5);
#endif
    // What the nodes share and the buffers they are read with: this worker's own.
    StoredRangeTotals totals(m_from, m_to, ArchiveReports::dimensionColumns());
    for (;;) {
        if (m_cancel)
            return;
        const int part = m_nextPart++;
        if (part >= m_partCount)
            return;
        ZeltoTable rows;
        ArchiveReports::appendGroupTotals(rows, reader, m_nodes, m_nodeIds.mid(part * m_partNodes, m_partNodes), m_from,
                                          m_to, nullptr, &m_nodeRows, &totals);
        if (m_cancel)
            return;
        {
            QMutexLocker locker(&m_mutex);
            m_parts[part] = std::move(rows);
            m_finished[part] = true;
        }
        // One signal until the owner takes parts: a slow owner is not flooded.
        if (!m_signalled.exchange(true))
            emit partsReady();
    }
}

QList<ZeltoTable> GroupTotalsWorkers::takeParts()
{
    m_signalled = false;
    QList<ZeltoTable> parts;
    QMutexLocker locker(&m_mutex);
    while (m_taken < m_partCount && m_finished.at(m_taken)) {
        parts.append(std::move(m_parts[m_taken]));
        m_parts[m_taken] = ZeltoTable();
        ++m_taken;
    }
    return parts;
}

bool GroupTotalsWorkers::isDone() const
{
    return m_taken == m_partCount;
}
