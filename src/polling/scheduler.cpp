#include "scheduler.h"

#include "changeevents.h"
#include "database.h"
#include "nextexecution.h"
#include "taskmanager.h"
#include "zeltosystem.h"
#include "zeltotimer.h"

namespace {

Scheduler *g_instance = nullptr;

} // namespace

Scheduler::Scheduler(Database *database, const Starter &starter, ZeltoClock *clock)
    : m_database(database), m_starter(starter), m_clock(clock), m_pass(new ZeltoTimer(clock, this))
{
    if (!m_starter)
        m_starter = [](int taskId) { TaskManager::startTask(taskId, false); };
    // Every task, whoever could see it: the schedule is the server's own.
    const ZeltoTable ids = m_database ? m_database->rows(QStringLiteral("SELECT id FROM tasks ORDER BY id")).value()
                                      : ZeltoTable();
    for (int row = 0; row < ids.rowCount(); ++row)
        load(ids.value(row, 0).toInt());
    connect(ZeltoSystem::instance(), &ZeltoSystem::notification, this, &Scheduler::onNotification,
            Qt::QueuedConnection);
    checkTimetables();
    connect(m_pass, &ZeltoTimer::timeout, this, [this]() { checkTimetables(); });
    m_pass->start(kPassMs);
}

Scheduler::~Scheduler()
{
    if (g_instance == this)
        g_instance = nullptr;
}

Scheduler *Scheduler::createInstance(Database *database, const Starter &starter, ZeltoClock *clock)
{
    if (!g_instance)
        g_instance = new Scheduler(database, starter, clock);
    return g_instance;
}

void Scheduler::destroyInstance()
{
    delete g_instance;
}

Scheduler *Scheduler::instance()
{
    return g_instance;
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
