#include "taskcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "tasks.h"

#include <QCoreApplication>

namespace {

// The run state of every task with a live run, as the task manager keeps it.
// No run is live before the task manager exists, so the table has its
// columns and no rows.
ZeltoTable runStates()
{
    return ZeltoTable({QStringLiteral("id"), QStringLiteral("node_id"), QStringLiteral("last_error"),
                       QStringLiteral("is_run"), QStringLiteral("started"), QStringLiteral("elapsed"),
                       QStringLiteral("remaining"), QStringLiteral("attempts"), QStringLiteral("progress"),
                       QStringLiteral("state")});
}

} // namespace

namespace TaskCommands {

// getTasks() -> table of the visible tasks with their run state
QVariant getTasks(CommandParams &)
{
    ZeltoTable tasks = Tasks::list();
    const ZeltoTable states = runStates();
    tasks.appendColumns(states.columnNames());
    tasks.update(states, QStringLiteral("id"));
    return CommandResult::table(tasks);
}

// getTask(id: int) -> record, empty when not visible
QVariant getTask(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? QVariant(Tasks::get(id)) : QVariant();
}

// getTaskData(id: int) -> the task's editable form
QVariant getTaskData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? QVariant(Tasks::getData(id)) : QVariant();
}

// getTaskLog(id: int) -> list of the last run's log lines
QVariant getTaskLog(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? QVariant(Tasks::log(id)) : QVariant();
}

// saveTask(task: record, the editable form) -> id
QVariant saveTask(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Tasks::save(record)) : QVariant();
}

// setTaskGroup(id: int, main: 0|1) -> bool
QVariant setTaskGroup(CommandParams &p)
{
    const int id = p.id(0);
    const int flag = p.id(1);
    if (!p.ok())
        return QVariant();
    if (flag != 0 && flag != 1) {
        p.refuse(1, QCoreApplication::translate("CommandParams", "0 или 1"));
        return QVariant();
    }
    // A refused or failed change is a valid false, with the reason in the error channel.
    return QVariant(Tasks::setMain(id, flag));
}

// removeTask(id: int) -> id
QVariant removeTask(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Tasks::remove(id), id) : QVariant();
}

}
