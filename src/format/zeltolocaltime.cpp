#include "zeltolocaltime.h"

namespace {

const qint64 MSecsPerDay = 86400000;
const qint64 FastLocalFrom = qint64(365) * MSecsPerDay;          // 1971-01-01
const qint64 FastLocalUntil = qint64(24472) * MSecsPerDay;       // 2037-01-01
const qint64 OffsetReachMs = qint64(26) * 3600 * 1000;
const qint64 EpochJulianDay = 2440588;

// Days since 1970-01-01 of a proleptic Gregorian date.
qint64 daysFromCivil(qint64 y, int m, int d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const qint64 doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

} // namespace

void ZeltoLocalTime::prepare()
{
    if (!m_prepared) {
        tzset();   // localtime_r works with the zone of the last tzset
        m_prepared = true;
    }
}

bool ZeltoLocalTime::steadyOffset(time_t secs, long offset)
{
    const time_t reach = time_t(OffsetReachMs / 1000);
    struct tm before, after;
    const time_t earlier = secs - reach, later = secs + reach;
    return localtime_r(&earlier, &before) && localtime_r(&later, &after) && before.tm_gmtoff == offset
           && after.tm_gmtoff == offset;
}

qint64 ZeltoLocalTime::toEpoch(const QDateTime &dt)
{
    const qint64 wall = (dt.date().toJulianDay() - EpochJulianDay) * MSecsPerDay + dt.time().msecsSinceStartOfDay();
    if (wall >= FastLocalFrom + OffsetReachMs && wall < FastLocalUntil - OffsetReachMs) {
        prepare();
        if (m_haveOffset) {
            // Guess with the previous value's offset, confirm with localtime_r.
            const qint64 ms = wall - m_offsetMs;
            const time_t secs = time_t(ms / 1000);
            struct tm tm;
            if (localtime_r(&secs, &tm) && qint64(tm.tm_gmtoff) * 1000 == m_offsetMs
                && (daysFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday) * 86400 + tm.tm_hour * 3600
                    + tm.tm_min * 60 + tm.tm_sec) * 1000 + ms % 1000 == wall
                && (tm.tm_isdst > 0) == dt.isDaylightTime() && steadyOffset(secs, tm.tm_gmtoff)) {
                return ms;
            }
        }
        const qint64 ms = dt.toMSecsSinceEpoch();
        m_offsetMs = wall - ms;
        m_haveOffset = true;
        return ms;
    }
    return dt.toMSecsSinceEpoch();
}

QDateTime ZeltoLocalTime::fromEpoch(qint64 ms)
{
    if (ms >= FastLocalFrom && ms < FastLocalUntil) {
        prepare();
        const time_t secs = time_t(ms / 1000);
        struct tm tm;
        if (localtime_r(&secs, &tm) && tm.tm_sec < 60) {
            const QDateTime dt(QDate(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday),
                               QTime(tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms % 1000)), Qt::LocalTime);
            if (dt.isValid() && dt.isDaylightTime() == (tm.tm_isdst > 0))
                return dt;
        }
    }
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
}
