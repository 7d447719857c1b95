#include "taskcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "tasks.h"
#include "zeltosystem.h"

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

QVariant getTasks(const QVariantList &)
{
    ZeltoTable tasks = Tasks::list();
    const ZeltoTable states = runStates();
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

}
