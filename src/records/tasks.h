#pragma once

#include "commandcontext.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

// The polling tasks: how and when one node is read (channel, archives,
// timetable) and the bookkeeping of the last run. The row lives in tasks;
// the channel, archive list, timetable and the last run's log are stored
// values in tasks_data. A restricted user sees the tasks of the nodes in
// their groups only.
class Tasks
{
public:
    // The select list every task query begins with: the node's group, name,
    // model and number, the task columns, is_fail and has_log.
    static const QString &columns();

    // The tasks the caller sees, by node name.
    static ZeltoResult<ZeltoTable> list(const CommandContext &context);
    // The task when the caller sees it; empty when not (or when there is none).
    static ZeltoResult<QVariantMap> find(const CommandContext &context, int id);
    // The editable form ("id", "is_main", "mon_interval", "varnel_ip",
    // "varnel_port", "channel", "archives", "timetable") of a visible task;
    // empty for another.
    static ZeltoResult<QVariantMap> data(const CommandContext &context, int id);
    // The log of the last run of a visible task.
    static ZeltoResult<QStringList> log(const CommandContext &context, int id);
    // The node's main task; a refusal for an invisible node, not found for
    // a node without one.
    static ZeltoResult<int> mainTaskOfNode(const CommandContext &context, int nodeId);

    // Saves the editable form. With none of "channel", "archives" and
    // "timetable" only the row is updated (the task manager's bookkeeping);
    // otherwise the row and all three stored values are written in one
    // transaction. The first task of a node becomes its main task. The
    // task's id. The next run shown with the task ("next_exec") counts from
    // now, by default the context's clock.
    static ZeltoResult<int> save(const CommandContext &context, const QVariantMap &input);
    static ZeltoResult<int> save(const CommandContext &context, const QVariantMap &input, const QDateTime &now);
    // Makes the task its node's main task (flag 1; the others lose the flag)
    // or clears the flag (0).
    static ZeltoStatus setMain(const CommandContext &context, int taskId, int flag);
    // Deletes a visible task with its stored values.
    static ZeltoStatus remove(const CommandContext &context, int id);

    // Announces the task as saved, unless a transaction is still open: its
    // owner announces after committing.
    static void changed(const Database &database, int id);

    // The letters of the archive kinds read, in the fixed order М,С,Ч,Ж;
    // empty when none is known.
    static QString archivesSummary(const QStringList &archives);
    // The display name of a timetable mode; null for anything else.
    static QVariant modeTitle(const QString &mode);
};
