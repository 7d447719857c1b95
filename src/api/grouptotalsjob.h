#pragma once

#include "zeltotable.h"

#include <QDate>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

// getGroupTotals over many nodes, answered at the end (by the calling
// client's deferred reply) with the table one pass over all nodes would
// give: the nodes in the order asked, each once, the columns in the order
// they first appear. The node list (what the caller sees) is read once, when
// the command comes. Two ways, the other clients served meanwhile:
// - threads (a large job on a SQLite file): GroupTotalsWorkers total parts
//   of the nodes on worker threads with connections of their own, and the
//   command thread appends the parts in order as they come;
// - steps (PostgreSQL, smaller jobs, or when the workers cannot open the
//   file): a few nodes at a time from the event loop; the first step takes
//   one node, each next one as many as the last step's pace fits in kStepMs.
// A job for a client (clientId >= 0) stops, unanswered, when that client
// disconnects: nobody is left to read its table. The job and its callbacks
// belong to the command thread.
class Database;
class GroupTotalsWorkers;
class StoredRangeTotals;

class GroupTotalsJob : public QObject
{
    Q_OBJECT

public:
    // Up to this many nodes the command answers at once.
    static constexpr int kAtOnceNodes = 16;
    // A request that comes during a step is read after it and runs after the
    // step already scheduled: a client waits for up to two steps.
    static constexpr int kStepMs = 25;
    // From this many nodes on a job on a SQLite file runs on threads.
    static constexpr int kThreadedNodes = 256;

    enum class Way {
        Chosen,    // threads or steps, as said above
        Steps,
        Threads,   // whatever the number of nodes, on a SQLite file
    };

    // The ids that have a row in nodes (the node list), each once, in the order given.
    static QList<int> listedOnce(const ZeltoTable &nodes, const QList<int> &ids);

    using Done = std::function<void(const ZeltoTable &totals)>;

    // Hands the table to done at the end, then deletes itself.
    GroupTotalsJob(Database &database, const ZeltoTable &nodes, const QList<int> &nodeIds, const QDate &from, const QDate &to,
                   const Done &done, int clientId = -1, QObject *parent = nullptr, Way way = Way::Chosen);
    ~GroupTotalsJob() override;

    // The rows of a part appended to result, its columns matched by name and
    // those new to result added in the order the part has them: parts in
    // order make the table of one pass.
    static void appendPart(ZeltoTable &result, const ZeltoTable &part);

private:
    // From the constructor: the workers started, or false for steps.
    bool startThreads(Way way);
    void schedule();
    void step();
    // The parts the workers have finished, appended in order; the end when all are.
    void takeParts();
    void finish();

    QPointer<Database> m_database;   // gone: the job ends with what it has
    ZeltoTable m_nodes;
    QHash<int, int> m_nodeRows;   // ArchiveReports::nodeRowsOf(m_nodes), found once
    QList<int> m_nodeIds;
    int m_next = 0;
    int m_stepNodes = 1;
    QDate m_from;
    QDate m_to;
    Done m_done;
    bool m_stopped = false;   // its client has gone
    ZeltoTable m_result;
    std::unique_ptr<StoredRangeTotals> m_totals;   // what the steps share of the nodes' totals
    std::unique_ptr<GroupTotalsWorkers> m_workers;   // the threads' way; stopped before the job goes
};
