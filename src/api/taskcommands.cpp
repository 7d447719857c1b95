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
bool visibleTask(int id)
{
    if (!Tasks::get(id).isEmpty())
        return true;
    if (Database::existsId(QStringLiteral("tasks"), id))
        return User::denyAccess();
    return ZeltoSystem::instance()->error(QCoreApplication::translate("TaskCommands", "Задача опроса %1 не найдена").arg(id),
                                          true);
}

} // namespace

namespace TaskCommands {

// getTasks() -> table: the visible tasks, each with the state columns of its live run
QVariant getTasks(const QVariantList &)
{
    ZeltoTable tasks = Tasks::list();
    const ZeltoTable states = TaskManager::stateTable();
    tasks.appendColumns(states.columnNames());
    tasks.update(states, QStringLiteral("id"));
    return CommandResult::table(tasks);
}

QVariant getTask(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getTask"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Tasks::get(id)) : QVariant();
}

QVariant getTaskData(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getTaskData"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Tasks::getData(id)) : QVariant();
}

QVariant getTaskLog(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getTaskLog"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Tasks::log(id)) : QVariant();
}

QVariant saveTask(const QVariantList &params)
{
    CommandParams p(QStringLiteral("saveTask"), params);
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Tasks::save(record)) : QVariant();
}

QVariant setTaskGroup(const QVariantList &params)
{
    CommandParams p(QStringLiteral("setTaskGroup"), params);
    const int id = p.id(0);
    const int flag = p.id(1);
    if (!p.ok())
        return QVariant();
    if (flag != 0 && flag != 1) {
        ZeltoSystem::instance()->error(
            QCoreApplication::translate("CommandParams", "Неверный параметр %1 команды %2: ожидается %3")
                .arg(2)
                .arg(QStringLiteral("setTaskGroup"), QCoreApplication::translate("CommandParams", "0 или 1")),
            true);
        return QVariant();
    }
    // A refused or failed change is a valid false, with the reason in the error channel.
    return QVariant(Tasks::setMain(id, flag));
}

QVariant removeTask(const QVariantList &params)
{
    CommandParams p(QStringLiteral("removeTask"), params);
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Tasks::remove(id), id) : QVariant();
}

// startTask(taskId: int) -> int: the id, once a run is queued or live
QVariant startTask(const QVariantList &params)
{
    CommandParams p(QStringLiteral("startTask"), params);
    const int id = p.id(0);
    if (!p.ok() || !visibleTask(id))
        return QVariant();
    return CommandResult::doneWithId(TaskManager::startTask(id, false), id);
}

// cancelTask(taskId: int) -> bool: true; a task without a live run is left alone
QVariant cancelTask(const QVariantList &params)
{
    CommandParams p(QStringLiteral("cancelTask"), params);
    const int id = p.id(0);
    if (!p.ok() || !visibleTask(id))
        return QVariant();
    TaskManager::cancelTask(id);
    return true;
}

// getTaskState(taskId: int) -> map: the run's state row; null values without a live run
QVariant getTaskState(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getTaskState"), params);
    const int id = p.id(0);
    if (!p.ok())
        return QVariant();
    // A task the user may not see shows no run.
    return Tasks::get(id).isEmpty() ? TaskManager::idleState(id) : TaskManager::taskState(id);
}

}
