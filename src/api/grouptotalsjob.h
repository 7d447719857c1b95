#pragma once

#include "commandcontext.h"
#include "zeltostatus.h"
#include "zeltotable.h"

#include <QDate>
#include <QList>
#include <QObject>

#include <functional>

// getGroupTotals over many nodes, a few nodes at a time from the event
// loop, so that the other clients are served between the steps; the
// calling client is answered at the end (by its deferred reply), with the
// table one pass over all nodes would give: the nodes in the order asked,
// each once, the columns in the order they first appear. Which nodes the
// caller may see is settled when the command comes; the steps then read
// them as the server's own work. The first step takes one node; each next
// one as many as the last step's pace fits in kStepMs.
class GroupTotalsJob : public QObject
{
    Q_OBJECT

public:
    // Up to this many nodes the command answers at once.
    static constexpr int kAtOnceNodes = 16;
    static constexpr int kStepMs = 50;

    // The nodes of ids the caller sees, each once, in the order given.
    static ZeltoResult<QList<int>> visibleNodes(const CommandContext &context, const QList<int> &ids);

    using Done = std::function<void(const ZeltoResult<ZeltoTable> &totals)>;

    // Reads with context (the server's own: nodeIds are what the caller
    // sees); hands the table, or the first failure, to done at the end, then
    // deletes itself.
    GroupTotalsJob(const CommandContext &context, const QList<int> &nodeIds, const QDate &from, const QDate &to,
                   const Done &done, QObject *parent = nullptr);

private:
    void schedule();
    void step();
    void append(const ZeltoTable &part);

    CommandContext m_context;
    QList<int> m_nodeIds;
    int m_next = 0;
    int m_stepNodes = 1;
    QDate m_from;
    QDate m_to;
    Done m_done;
    ZeltoTable m_result;
};
