#pragma once

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

    // The visible tasks, by node name.
    static ZeltoTable list();
    // The task when it is visible; empty otherwise.
    static QVariantMap get(int id);
    // The editable form ("id", "is_main", "mon_interval", "varnel_ip",
    // "varnel_port", "channel", "archives", "timetable") of a visible task.
    static QVariantMap getData(int id);
    // The log of the last run of a visible task.
    static QStringList log(int id);
    // The node's main task, or -1 (reported) for an invisible node or a node
    // without one.
    static int mainTaskOfNode(int nodeId);

    // Saves the editable form. With none of "channel", "archives" and
    // "timetable" only the row is updated (the task manager's bookkeeping);
    // otherwise the row and all three stored values are written in one
    // transaction. The first task of a node becomes its main task. The
    // task's id, or -1. The next run shown with the task ("next_exec")
    // counts from now, by default the database's clock.
    static int save(const QVariantMap &input);
    static int save(const QVariantMap &input, const QDateTime &now);
    // Makes the task its node's main task (flag 1; the others lose the flag)
    // or clears the flag (0).
    static bool setMain(int taskId, int flag);
    // Deletes a visible task with its stored values.
    static bool remove(int id);
    // Announces the task as saved, unless a transaction is still open: its
    // owner announces after committing.
    static void changed(int id);

    // The letters of the archive kinds read, in the fixed order М,С,Ч,Ж;
    // empty when none is known.
    static QString archivesSummary(const QStringList &archives);
    // The display name of a timetable mode; null for anything else.
    static QVariant modeTitle(const QString &mode);
};
