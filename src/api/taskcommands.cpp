#include "taskcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "database.h"
#include "taskmanager.h"
#include "tasks.h"
#include "user.h"

#include <QCoreApplication>

namespace {

// Success for a task the calling user may see; otherwise why not.
ZeltoStatus visibleTask(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> task = Tasks::find(context, id);
    if (!task.ok())
        return task.status();
    if (!task.value().isEmpty())
        return ZeltoStatus();
    const ZeltoResult<bool> exists = context.database()->has(QStringLiteral("tasks"), QStringLiteral("id = ?"), {id});
    if (!exists.ok())
        return exists.status();
    if (exists.value())
        return User::refusal(ZeltoStatus::NotFound);
    return ZeltoStatus::notFound(QCoreApplication::translate("TaskCommands", "Задача опроса %1 не найдена").arg(id));
}

} // namespace

namespace TaskCommands {

// getTasks() -> table of the visible tasks, each with the state columns of its live run
CommandReply getTasks(CommandParams &p)
{
    const ZeltoResult<ZeltoTable> list = Tasks::list(p.context());
    if (!list.ok())
        return CommandReply(list.status());
    ZeltoTable tasks = list.value();
    const ZeltoTable states = p.polling() ? p.polling()->stateTable() : TaskManager::idleTable();
    tasks.appendColumns(states.columnNames());
    tasks.update(states, QStringLiteral("id"));
    return CommandResult::table(tasks);
}

// getTask(id: int) -> record, empty when not visible
CommandReply getTask(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Tasks::find(p.context(), id)) : CommandReply(p.refusal());
}

// getTaskData(id: int) -> the task's editable form
CommandReply getTaskData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Tasks::data(p.context(), id)) : CommandReply(p.refusal());
}

// getTaskLog(id: int) -> list of the last run's log lines
CommandReply getTaskLog(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Tasks::log(p.context(), id)) : CommandReply(p.refusal());
}

// saveTask(task: record, the editable form) -> id
CommandReply saveTask(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Tasks::save(p.context(), record)) : CommandReply(p.refusal());
}

// setTaskGroup(id: int, main: 0|1) -> bool
CommandReply setTaskGroup(CommandParams &p)
{
    const int id = p.id(0);
    const int flag = p.id(1);
    if (!p.ok())
        return p.refusal();
    if (flag != 0 && flag != 1) {
        p.refuse(1, QCoreApplication::translate("CommandParams", "0 или 1"));
        return p.refusal();
    }
    // A refused or failed change is a valid false.
    return QVariant(Tasks::setMain(p.context(), id, flag).ok());
}

// removeTask(id: int) -> id
CommandReply removeTask(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Tasks::remove(p.context(), id), id) : CommandReply(p.refusal());
}

// startTask(taskId: int) -> int: the id, once a run is queued or live
CommandReply startTask(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok())
        return p.refusal();
    const ZeltoStatus visible = visibleTask(p.context(), id);
    if (!visible.ok())
        return visible;
    return CommandResult::doneWithId(p.polling() ? p.polling()->startTask(id, false) : TaskManager::notRunning(), id);
}

// cancelTask(taskId: int) -> bool: true; a task without a live run is left alone
CommandReply cancelTask(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok())
        return p.refusal();
    const ZeltoStatus visible = visibleTask(p.context(), id);
    if (!visible.ok())
        return visible;
    if (p.polling())
        p.polling()->cancelTask(id);
    return QVariant(true);
}

// getTaskState(taskId: int) -> map: the run's state row; null values without a live run
CommandReply getTaskState(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok())
        return p.refusal();
    // A task the user may not see shows no run.
    const ZeltoResult<QVariantMap> task = Tasks::find(p.context(), id);
    if (!task.ok())
        return CommandReply(task.status());
    return QVariant(task.value().isEmpty() || !p.polling() ? TaskManager::idleState(id) : p.polling()->taskState(id));
}

}
