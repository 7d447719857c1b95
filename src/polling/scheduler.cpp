#include "scheduler.h"

#include "changeevents.h"
#include "database.h"
#include "nextexecution.h"
#include "zeltosystem.h"
#include "zeltotimer.h"

Scheduler::Scheduler(Database *database, const Starter &starter, ZeltoClock *clock, QObject *parent)
    : QObject(parent), m_database(database), m_starter(starter), m_clock(clock), m_pass(new ZeltoTimer(clock, this))
{
    loadAll();
    connect(ZeltoSystem::instance(), &ZeltoSystem::notification, this, &Scheduler::onNotification,
            Qt::QueuedConnection);
    checkTimetables();
    connect(m_pass, &ZeltoTimer::timeout, this, [this]() { checkTimetables(); });
    m_pass->start(kPassMs);
}

void Scheduler::loadAll()
{
    if (!m_database)
        return;
    // Every task, whoever could see it: the schedule is the server's own.
    // One statement, not two per task: tens of thousands of those took a
    // large installation's start-up a tenth of a second.
    const ZeltoTable tasks =
        m_database
            ->rows(QStringLiteral("SELECT tasks.id, tasks.last_exec, tasks_data.timetable FROM tasks LEFT JOIN "
                                  "tasks_data ON tasks_data.id = tasks.id ORDER BY tasks.id"))
            .value();
    for (int row = 0; row < tasks.rowCount(); ++row) {
        const int taskId = tasks.value(row, 0).toInt();
        lastExecutions.insert(taskId, tasks.value(row, 1).toDateTime());
        timetables.insert(taskId, tasks.value(row, 2).toMap());
    }
}

// A task that cannot be read gets no schedule.
void Scheduler::load(int taskId)
{
    if (!m_database)
        return;
    const QVariantMap row =
        m_database->row(QStringLiteral("SELECT last_exec FROM tasks WHERE id = ?"), {taskId}).value();
    lastExecutions.insert(taskId, row.value(QStringLiteral("last_exec")).toDateTime());
    timetables.insert(taskId,
                      m_database->data(QStringLiteral("tasks"), taskId, QStringLiteral("timetable")).value().toMap());
}

void Scheduler::checkTimetables()
{
    checkTimetables(m_clock->now());
}

void Scheduler::checkTimetables(const QDateTime &now)
{
    for (auto it = timetables.constBegin(); it != timetables.constEnd(); ++it) {
        if (NextExecution::isDue(it.value(), lastExecutions.value(it.key()), now))
            m_starter(it.key());
    }
}

void Scheduler::onNotification(const QString &event, const QVariant &param)
{
    if (event == ChangeEvents::TaskSaved) {
        load(param.toInt());
    } else if (event == ChangeEvents::TaskRemoved) {
        lastExecutions.remove(param.toInt());
        timetables.remove(param.toInt());
    }
}
