#pragma once

#include "zeltoclock.h"

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <functional>

class Database;
class ZeltoTimer;

// Starts polling tasks by their timetables: once at construction and then
// every minute it asks the task manager to run every task that has fallen
// due (NextExecution::isDue). It mirrors each task's timetable and last run,
// and learns of changes (a finished run saves the task) from the change
// events TaskSaved and TaskRemoved. Asking again for a task whose run is
// still live is harmless: the task manager keeps one run per task. The
// minute and the time of each pass come from its clock. Main thread only.
class Scheduler : public QObject
{
    Q_OBJECT

public:
    // Starts a task: the service's task manager's startTask(id, false).
    using Starter = std::function<void(int taskId)>;

    static constexpr int kPassMs = 60000;

    // The timetables and last runs are read from database.
    Scheduler(Database *database, const Starter &starter, ZeltoClock *clock = ZeltoClock::system(),
              QObject *parent = nullptr);

    // One pass, in ascending task id order, at the clock's time.
    void checkTimetables();
    void checkTimetables(const QDateTime &now);

private slots:
    void onNotification(const QString &event, const QVariant &param);

private:
    // Every task's timetable and last run, in one statement.
    void loadAll();
    void load(int taskId);

    QPointer<Database> m_database;
    Starter m_starter;
    ZeltoClock *m_clock;
    ZeltoTimer *m_pass;
    QMap<int, QDateTime> lastExecutions;
    QMap<int, QVariantMap> timetables;
};
