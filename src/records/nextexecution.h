#pragma once

#include <QDateTime>
#include <QList>
#include <QTime>
#include <QVariant>
#include <QVariantMap>

// When a task runs by its timetable: the scheduler's due rule and the next
// run shown to clients with the task. Pure functions of the timetable, the
// last run and the current time (all local time), so the task save and the
// scheduler read timetables alike.
//
// Timetable keys: "mode" ("hourly", "daily", "weekly", "monthly"; empty for
// no schedule), "minute" (hourly), "times" (times of day, in stored order),
// "dayMask" (weekly: bit 0 = Monday .. bit 6 = Sunday; monthly: bit 0 = the
// 1st .. bit 30 = the 31st).
class NextExecution
{
public:
    // Null without a mode; now + 60 s for a task that has never run (the
    // scheduler starts it at its next pass); otherwise the next slot of the
    // mode, or null when the timetable gives none.
    static QDateTime compute(const QVariantMap &timetable, const QDateTime &lastExec, const QDateTime &now);

    // Whether the scheduler starts the task now: never without a mode;
    // always when it has never run; otherwise at most once per clock hour,
    // when a slot of the mode (the hourly minute, a time of day on an
    // allowed day) lies after the last run and is not after now. A time
    // missed while the server was down is caught up the same day. On the
    // last day of a month a monthly task also runs for the days the month
    // lacks.
    static bool isDue(const QVariantMap &timetable, const QDateTime &lastExec, const QDateTime &now);

    // The elements of "times" that are times of day (time values or ISO 8601
    // text such as "08:30"), in stored order; the others never fall due.
    static QList<QTime> timesOfDay(const QVariant &times);
};
