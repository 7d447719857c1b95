#include "nextexecution.h"

#include <QDate>
#include <QString>

namespace {

const int kNeverRunDelaySecs = 60;
const int kWeekDays = 7;
const int kMonthScanDays = 31;

enum class Period { Week, Month };

// Today's first stored time still ahead of now, or dt left at the last one.
void toFirstTimeAfter(QDateTime &dt, const QList<QTime> &times, const QDateTime &now)
{
    for (const QTime &time : times) {
        dt.setTime(time);
        if (dt > now)
            return;
    }
}

QDateTime hourly(const QVariant &minuteValue, const QDateTime &now)
{
    const int minute = minuteValue.toInt();
    if (minute < 0 || minute > 59)
        return QDateTime();
    QDateTime dt = now;
    if (minute < now.time().minute())
        dt = dt.addSecs(3600);
    dt.setTime(QTime(dt.time().hour(), minute, 0, 0));
    return dt;
}

QDateTime daily(const QList<QTime> &times, const QDateTime &now)
{
    QDateTime dt = now;
    toFirstTimeAfter(dt, times, now);
    if (!(dt > now)) {
        dt.setTime(times.first());
        dt = dt.addDays(1);
    }
    return dt;
}

// The allowed days from today on; when only today is allowed and its times
// have passed, the first time one period later.
QDateTime byDayMask(const QList<QTime> &times, quint32 mask, Period period, const QDateTime &now)
{
    const int days = period == Period::Week ? kWeekDays : kMonthScanDays;
    QDateTime dt;
    for (int i = 0; i < days; ++i) {
        const QDateTime day = now.addDays(i);
        const int bit = (period == Period::Week ? day.date().dayOfWeek() : day.date().day()) - 1;
        if (!((mask >> bit) & 1u))
            continue;
        dt = day;
        toFirstTimeAfter(dt, times, now);
        if (dt > now)
            return dt;
    }
    if (!dt.isValid())
        return QDateTime();
    dt.setTime(times.first());
    return period == Period::Week ? dt.addDays(kWeekDays) : dt.addMonths(1);
}

// A time of day today that lies after the last run and is not after now.
bool dueByTimes(const QDateTime &last, const QList<QTime> &times, const QDateTime &now)
{
    for (const QTime &time : times) {
        const QDateTime slot(now.date(), time);
        if (last < slot && !(now < slot))
            return true;
    }
    return false;
}

} // namespace

bool NextExecution::isDue(const QVariantMap &timetable, const QDateTime &lastExec, const QDateTime &now)
{
    const QString mode = timetable.value(QStringLiteral("mode")).toString();
    if (mode.isEmpty())
        return false;
    if (!lastExec.isValid())
        return true;
    if (lastExec.date() == now.date() && lastExec.time().hour() == now.time().hour())
        return false;
    const QVariant times = timetable.value(QStringLiteral("times"));
    const quint32 mask = quint32(timetable.value(QStringLiteral("dayMask")).toLongLong());
    if (mode == QLatin1String("hourly")) {
        const QDateTime slot(now.date(), QTime(now.time().hour(), timetable.value(QStringLiteral("minute")).toInt(), 0));
        return slot.isValid() && lastExec < slot && !(now < slot);
    }
    if (mode == QLatin1String("daily"))
        return dueByTimes(lastExec, timesOfDay(times), now);
    if (mode == QLatin1String("weekly"))
        return ((mask & 0xFFu) >> (now.date().dayOfWeek() - 1) & 1u) && dueByTimes(lastExec, timesOfDay(times), now);
    if (mode == QLatin1String("monthly")) {
        const QDate today = now.date();
        quint32 bit = 1u << (today.day() - 1);
        // The last day of a month stands in for the days it lacks.
        if (today.day() == today.daysInMonth())
            bit |= quint32(quint64(0xFFFF) << today.day());
        return (mask & bit) && dueByTimes(lastExec, timesOfDay(times), now);
    }
    return false;
}

QList<QTime> NextExecution::timesOfDay(const QVariant &times)
{
    QList<QTime> result;
    const QVariantList items = times.toList();
    for (const QVariant &item : items) {
        const QTime time = item.toTime();
        if (time.isValid())
            result.append(time);
    }
    return result;
}

QDateTime NextExecution::compute(const QVariantMap &timetable, const QDateTime &lastExec, const QDateTime &now)
{
    const QString mode = timetable.value(QStringLiteral("mode")).toString();
    if (mode.isEmpty())
        return QDateTime();
    if (!lastExec.isValid())
        return now.addSecs(kNeverRunDelaySecs);

    if (mode == QLatin1String("hourly"))
        return hourly(timetable.value(QStringLiteral("minute")), now);

    const bool byWeek = mode == QLatin1String("weekly");
    const bool byMonth = mode == QLatin1String("monthly");
    if (!byWeek && !byMonth && mode != QLatin1String("daily"))
        return QDateTime();
    const QList<QTime> times = timesOfDay(timetable.value(QStringLiteral("times")));
    if (times.isEmpty())
        return QDateTime();
    if (!byWeek && !byMonth)
        return daily(times, now);

    const quint32 mask = quint32(timetable.value(QStringLiteral("dayMask")).toLongLong());
    if (mask == 0)
        return QDateTime();
    return byDayMask(times, mask, byWeek ? Period::Week : Period::Month, now);
}
