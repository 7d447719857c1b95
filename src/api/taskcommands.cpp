#include "taskcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "database.h"
#include "taskmanager.h"
#include "tasks.h"
#include "user.h"
#include "zeltosystem.h"

#include <QCoreApplication>

namespace {

// A task the calling user may see; otherwise the reason is reported.
bool visibleTask(const CommandContext &context, int id)
{
    const ZeltoResult<QVariantMap> task = Tasks::find(context, id);
    if (!task.ok())
        return zeltoReport(task.status());
    if (!task.value().isEmpty())
        return true;
    const ZeltoResult<bool> exists = context.database()->has(QStringLiteral("tasks"), QStringLiteral("id = ?"), {id});
    if (!exists.ok())
        return zeltoReport(exists.status());
    if (exists.value())
        return zeltoReport(User::refusal(ZeltoStatus::NotFound));
    return zeltoReport(ZeltoStatus::notFound(
        QCoreApplication::translate("TaskCommands", "Задача опроса %1 не найдена").arg(id)));
}

} // namespace

namespace TaskCommands {

// getTasks() -> table of the visible tasks, each with the state columns of its live run
QVariant getTasks(CommandParams &p)
{
    const ZeltoResult<ZeltoTable> list = Tasks::list(p.context());
    if (!list.ok())
        return CommandResult::failure(list.status());
    ZeltoTable tasks = list.value();
    const ZeltoTable states = TaskManager::stateTable();
    tasks.appendColumns(states.columnNames());
    tasks.update(states, QStringLiteral("id"));
    return CommandResult::table(tasks);
}

// getTask(id: int) -> record, empty when not visible
QVariant getTask(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Tasks::find(p.context(), id)) : QVariant();
}

// getTaskData(id: int) -> the task's editable form
QVariant getTaskData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Tasks::data(p.context(), id)) : QVariant();
}

// getTaskLog(id: int) -> list of the last run's log lines
QVariant getTaskLog(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Tasks::log(p.context(), id)) : QVariant();
}

// saveTask(task: record, the editable form) -> id
QVariant saveTask(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Tasks::save(p.context(), record)) : QVariant();
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
    return QVariant(zeltoReport(Tasks::setMain(p.context(), id, flag)));
}

// removeTask(id: int) -> id
QVariant removeTask(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Tasks::remove(p.context(), id), id) : QVariant();
}

// startTask(taskId: int) -> int: the id, once a run is queued or live
QVariant startTask(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok() || !visibleTask(p.context(), id))
        return QVariant();
    return CommandResult::doneWithId(TaskManager::startTask(id, false), id);
}

// cancelTask(taskId: int) -> bool: true; a task without a live run is left alone
QVariant cancelTask(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok() || !visibleTask(p.context(), id))
        return QVariant();
    TaskManager::cancelTask(id);
    return true;
}

// getTaskState(taskId: int) -> map: the run's state row; null values without a live run
QVariant getTaskState(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok())
        return QVariant();
    // A task the user may not see shows no run.
    const ZeltoResult<QVariantMap> task = Tasks::find(p.context(), id);
    if (!task.ok())
        return CommandResult::failure(task.status());
    return task.value().isEmpty() ? TaskManager::idleState(id) : TaskManager::taskState(id);
}

}
