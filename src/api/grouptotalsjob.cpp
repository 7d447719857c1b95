#include "grouptotalsjob.h"

#include "archivereports.h"
#include "database.h"
#include "zeltobusyguard.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

ZeltoResult<QList<int>> GroupTotalsJob::visibleNodes(const CommandContext &context, const QList<int> &ids)
{
    if (!context.database())
        return CommandContext::noDatabase();
    QVariantList values;
    const QString visible = context.groupCondition("group_id", values);
    const ZeltoResult<ZeltoTable> rows = context.database()->rows(QStringLiteral("SELECT id FROM nodes WHERE ") + visible, values);
    if (!rows.ok())
        return rows.status();
    QSet<int> seen;
    for (int row = 0; row < rows.value().rowCount(); ++row)
        seen.insert(rows.value().value(row, 0).toInt());
    QList<int> nodes;
    for (const int id : ids) {
        // Taken out of the set once used: each node once.
        if (seen.remove(id))
            nodes.append(id);
    }
    return nodes;
}

GroupTotalsJob::GroupTotalsJob(const CommandContext &context, const QList<int> &nodeIds, const QDate &from,
                               const QDate &to, const Done &done, QObject *parent)
    : QObject(parent), m_context(context), m_nodeIds(nodeIds), m_from(from), m_to(to), m_done(done)
{
    schedule();
}

void GroupTotalsJob::schedule()
{
    QTimer::singleShot(0, this, &GroupTotalsJob::step);
}

void GroupTotalsJob::step()
{
    // Not inside a save that runs a check script: its rows are not committed.
    if (ZeltoBusyGuard::defer(this, [this]() { step(); }))
        return;
    QElapsedTimer timer;
    timer.start();
    const QList<int> part = m_nodeIds.mid(m_next, m_stepNodes);
    m_next += part.size();
    const ZeltoResult<ZeltoTable> totals = ArchiveReports::groupTotals(m_context, part, m_from, m_to);
    if (!totals.ok()) {
        m_done(totals.status());
        deleteLater();
        return;
    }
    append(totals.value());
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

void GroupTotalsJob::append(const ZeltoTable &part)
{
    if (m_result.columnCount() == 0)
        m_result = ZeltoTable(part.columnNames());
    // setValue adds the columns a part brings, in the order they come.
    for (int row = 0; row < part.rowCount(); ++row) {
        const int target = m_result.appendRow();
        for (int column = 0; column < part.columnCount(); ++column)
            m_result.setValue(target, part.columnName(column), part.value(row, column));
    }
}
