#include "grouptotalsjob.h"

#include "archivereports.h"
#include "database.h"
#include "grouptotalsworkers.h"
#include "storedrangetotals.h"
#include "zeltobusyguard.h"
#include "zeltoserver.h"

#include <QElapsedTimer>
#include <QFileInfo>
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
                               const QDate &from, const QDate &to, const Done &done, int clientId, QObject *parent,
                               Way way)
    : QObject(parent), m_database(&database), m_nodes(nodes), m_nodeRows(ArchiveReports::nodeRowsOf(nodes)),
      m_nodeIds(nodeIds), m_from(from), m_to(to), m_done(done)
{
    if (clientId >= 0) {
        connect(ZeltoServer::global(), &ZeltoServer::disconnected, this, [this, clientId](int gone) {
            if (gone != clientId)
                return;
            m_stopped = true;
            // The workers stop now, not when the event loop gets to the deletion.
            m_workers.reset();
            deleteLater();
        });
    }
    if (startThreads(way))
        return;
    m_totals.reset(new StoredRangeTotals(from, to, ArchiveReports::dimensionColumns()));
    schedule();
}

GroupTotalsJob::~GroupTotalsJob()
{
    // Before the job's own signals and events go: the workers signal it.
    m_workers.reset();
}

bool GroupTotalsJob::startThreads(Way way)
{
    if (way == Way::Steps || (way == Way::Chosen && m_nodeIds.size() < kThreadedNodes) || m_nodeIds.isEmpty())
        return false;
    // The workers open the file read-only beside the server's connection: SQLite only.
    const QString file = m_database->isPostgreSQL() ? QString() : m_database->filePath();
    // A database only in memory has no file for them.
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return false;
    m_workers.reset(new GroupTotalsWorkers(file, m_nodes, m_nodeRows, m_nodeIds, m_from, m_to));
    // Before they start: a part may be finished at once, and its signal is sent once.
    connect(m_workers.get(), &GroupTotalsWorkers::partsReady, this, &GroupTotalsJob::takeParts);
    if (!m_workers->start()) {
        m_workers.reset();
        return false;
    }
    return true;
}

void GroupTotalsJob::appendPart(ZeltoTable &result, const ZeltoTable &part)
{
    QVector<int> columns(part.columnCount());
    bool same = true;
    for (int c = 0; c < part.columnCount(); ++c) {
        columns[c] = result.appendColumn(part.columnName(c));
        same = same && columns.at(c) == c;
    }
    for (int row = 0; row < part.rowCount(); ++row) {
        const QVector<QVariant> &cells = part.rowCells(row);
        if (same) {
            // The part's columns lead the result's: the row as it is (shared, not copied).
            result.appendRow(QVector<QVariant>(cells));
            continue;
        }
        QVector<QVariant> placed(result.columnCount());
        for (int c = 0; c < cells.size(); ++c)
            placed[columns.at(c)] = cells.at(c);
        result.appendRow(std::move(placed));
    }
}

void GroupTotalsJob::takeParts()
{
    if (m_stopped || !m_workers)
        return;
    // Not inside a save that runs a check script: the reply waits for it to end.
    if (ZeltoBusyGuard::defer(this, [this]() { takeParts(); }))
        return;
    const QList<ZeltoTable> parts = m_workers->takeParts();
    for (const ZeltoTable &part : parts)
        appendPart(m_result, part);
    if (m_workers->isDone())
        finish();
}

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
    finish();
}

void GroupTotalsJob::finish()
{
    m_stopped = true;
    m_workers.reset();
    m_done(m_result);
    deleteLater();
}
