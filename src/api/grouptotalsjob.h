#pragma once

#include "zeltotable.h"

#include <QDate>
#include <QList>
#include <QObject>

// getGroupTotals over many nodes, a few nodes at a time from the event
// loop, so that the other clients are served between the steps; the
// calling client is answered at the end (ZeltoServer::deferReply), with the
// table one pass over all nodes would give: the nodes in the order asked,
// each once, the columns in the order they first appear. Which nodes the
// caller may see is settled when the command comes; the steps then read
// them as the server's own work. The step grows or shrinks so that it
// takes about kStepMs.
class GroupTotalsJob : public QObject
{
    Q_OBJECT

public:
    static constexpr int kFirstStepNodes = 16;
    static constexpr int kStepMs = 50;

    // The nodes of ids the caller sees, each once, in the order given.
    static QList<int> visibleNodes(const QList<int> &ids);

    // Answers the deferred call `reply` when done; deletes itself then.
    GroupTotalsJob(const QList<int> &nodeIds, const QDate &from, const QDate &to, int reply);

private:
    void schedule();
    void step();
    void append(const ZeltoTable &part);

    QList<int> m_nodeIds;
    int m_next = 0;
    int m_stepNodes = kFirstStepNodes;
    QDate m_from;
    QDate m_to;
    int m_reply;
    ZeltoTable m_result;
};
