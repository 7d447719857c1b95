#include "grouptotalsjob.h"

#include "archivereports.h"
#include "database.h"
#include "storedrangetotals.h"
#include "zeltobusyguard.h"
#include "zeltoserver.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

QList<int> GroupTotalsJob::listedOnce(const ZeltoTable &nodes, const QList<int> &ids)
{
    QSet<int> listed;
    const int idColumn = nodes.columnIndex(QStringLiteral("id"));
    for (int row = 0; row < nodes.rowCount(); ++row)
        listed.insert(nodes.value(row, idColumn).toInt());
    QList<int> once;
    for (const int id : ids) {
        // Taken out of the set once used: each node once.
        if (listed.remove(id))
            once.append(id);
    }
    return once;
}

GroupTotalsJob::GroupTotalsJob(Database &database, const ZeltoTable &nodes, const QList<int> &nodeIds,
                               const QDate &from, const QDate &to, const Done &done, int clientId, QObject *parent)
    : QObject(parent), m_database(&database), m_nodes(nodes), m_nodeRows(ArchiveReports::nodeRowsOf(nodes)),
      m_nodeIds(nodeIds), m_from(from), m_to(to), m_done(done),
      m_totals(new StoredRangeTotals(from, to, ArchiveReports::dimensionColumns()))
{
    if (clientId >= 0) {
        connect(ZeltoServer::global(), &ZeltoServer::disconnected, this, [this, clientId](int gone) {
            if (gone != clientId)
                return;
            m_stopped = true;
            deleteLater();
        });
    }
    schedule();
}

GroupTotalsJob::~GroupTotalsJob() = default;

void GroupTotalsJob::schedule()
{
    QTimer::singleShot(0, this, &GroupTotalsJob::step);
}

void GroupTotalsJob::step()
{
    if (m_stopped)
        return;
    // Not inside a save that runs a check script: its rows are not committed.
    if (ZeltoBusyGuard::defer(this, [this]() { step(); }))
        return;
    QElapsedTimer timer;
    timer.start();
    const QList<int> part = m_nodeIds.mid(m_next, m_stepNodes);
    m_next += part.size();
    if (m_database)
        // Straight into the job's table: a part's rows are not built twice.
        ArchiveReports::appendGroupTotals(m_result, *m_database, m_nodes, part, m_from, m_to, nullptr, &m_nodeRows,
                                          m_totals.get());
    else
        m_next = m_nodeIds.size();
    // At most twice as many as the last time: one fast node says little.
    const double ms = timer.nsecsElapsed() / 1e6;
    const int fitting = ms > 0 ? int(m_stepNodes * kStepMs / ms) : m_stepNodes * 2;
    m_stepNodes = qBound(1, qMin(fitting, m_stepNodes * 2), 4096);
    if (m_next < m_nodeIds.size()) {
        schedule();
        return;
    }
    m_done(m_result);
    deleteLater();
}
