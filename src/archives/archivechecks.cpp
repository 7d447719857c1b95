#include "archivechecks.h"

#include "database.h"
#include "zeltosystem.h"

#include <QDateTime>
#include <QVector>

#include <cmath>
#include <limits>

#include <time.h>

namespace {

const QString kDate = QStringLiteral("date");
const qint64 kDaySeconds = 86400;
const qint64 kHourMs = 3600 * 1000;
const qint64 kNoInstant = std::numeric_limits<qint64>::min();
const int kNoMonth = std::numeric_limits<int>::min();

QDateTime cellDate(const ZeltoTable &table, int row, int column)
{
    if (column < 0 || row < 0 || row >= table.rowCount())
        return QDateTime();
    const QVector<QVariant> &cells = table.rowCells(row);
    return column < cells.size() ? cells.at(column).toDateTime() : QDateTime();
}

int monthIndex(const QDate &date)
{
    return date.isValid() ? date.year() * 12 + date.month() - 1 : kNoMonth;
}

// The rows' dates as instants, converted once: the scans compare every
// slot with the current row, and a local-time conversion per comparison
// would dominate the scan of a long hourly archive.
QVector<qint64> rowInstants(const ZeltoTable &table, int column)
{
    QVector<qint64> instants(table.rowCount(), kNoInstant);
    for (int row = 0; row < instants.size(); ++row) {
        const QDateTime date = cellDate(table, row, column);
        if (date.isValid())
            instants[row] = date.toMSecsSinceEpoch();
    }
    return instants;
}

QVector<int> rowMonths(const ZeltoTable &table, int column)
{
    QVector<int> months(table.rowCount(), kNoMonth);
    for (int row = 0; row < months.size(); ++row)
        months[row] = monthIndex(cellDate(table, row, column).date());
    return months;
}

// The record pointer moves only when the current row meets the slot; a row
// off the expected slots therefore stays current and the slots after it
// count as gaps. Day and hour scans end once the slot reaches or passes
// lastDate, so that rows off the grid cannot keep them going.

QVariantList monthGaps(const QDateTime &first, const QDateTime &last, const QVector<int> &rows)
{
    QVariantList gaps;
    const int lastMonth = monthIndex(last.date());
    int record = 0;
    QDateTime slot = first;
    while (slot.isValid() && gaps.size() < ArchiveChecks::kMaxGaps) {
        const int slotMonth = monthIndex(slot.date());
        if (slotMonth >= lastMonth)
            break;
        if (record < rows.size() && rows.at(record) == slotMonth)
            ++record;
        else
            gaps.append(slot);
        slot = slot.addMonths(1);
    }
    return gaps;
}

// Days since 1970-01-01 of the civil date libc gives.
qint64 civilDays(const struct tm &tm)
{
    const qint64 y = tm.tm_year + 1900 - (tm.tm_mon < 2 ? 1 : 0);
    const int m = tm.tm_mon + 1;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const qint64 yoe = y - era * 400;
    const qint64 doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

// The local time of slotMs when it is a local midnight that localtime_r
// settles: between 1971 and 2037, where Qt too goes by libc, and a whole
// second.
const qint64 kFastFrom = qint64(365) * 86400000;     // 1971-01-01
const qint64 kFastUntil = qint64(24472) * 86400000;  // 2037-01-01

bool localMidnight(qint64 slotMs, struct tm &day)
{
    const time_t slot = time_t(slotMs / 1000);
    return slotMs >= kFastFrom && slotMs < kFastUntil && slotMs % 1000 == 0 && localtime_r(&slot, &day) && !day.tm_hour
           && !day.tm_min && !day.tm_sec;
}

// The local midnight after the local midnight at slotMs, whose local time
// `day` holds (localMidnight()), from localtime_r alone: Qt's local-time
// arithmetic asks libc to read the zone again on every call, which for five
// years of daily records costs milliseconds a save. One libc call a day
// unless a clock changes that day; `day` becomes the new midnight's local
// time. 0 where that does not settle it (a zone whose clocks change at
// midnight): Qt decides then.
qint64 nextLocalMidnight(qint64 slotMs, struct tm &day)
{
    // A day later, give or take the hour a clock change adds or takes.
    time_t next = time_t(slotMs / 1000) + time_t(kDaySeconds);
    struct tm at;
    if (!localtime_r(&next, &at))
        return 0;
    const int intoDay = at.tm_hour * 3600 + at.tm_min * 60 + at.tm_sec;
    if (intoDay != 0) {
        next = intoDay < kDaySeconds / 2 ? next - intoDay : next + (kDaySeconds - intoDay);
        if (!localtime_r(&next, &at) || at.tm_hour || at.tm_min || at.tm_sec)
            return 0;
    }
    if (civilDays(at) != civilDays(day) + 1)
        return 0;
    day = at;
    return qint64(next) * 1000;
}

// The month index of an instant: from localtime_r where Qt too goes by
// libc (a QDateTime per row would ask libc to read the zone each time).
int monthOf(qint64 ms, Qt::TimeSpec timeSpec)
{
    if (timeSpec == Qt::LocalTime && ms >= kFastFrom && ms < kFastUntil) {
        const time_t secs = time_t(ms / 1000);
        struct tm local;
        if (localtime_r(&secs, &local))
            return (local.tm_year + 1900) * 12 + local.tm_mon;
    }
    return monthIndex(QDateTime::fromMSecsSinceEpoch(ms, timeSpec).date());
}

QVariantList dayGaps(const QDateTime &first, const QDateTime &last, const QVector<qint64> &rows)
{
    QVariantList gaps;
    const qint64 lastMs = last.toMSecsSinceEpoch();
    const bool local = first.timeSpec() == Qt::LocalTime;
    if (local)
        tzset();   // localtime_r goes by the zone of the last tzset
    int record = 0;
    QDateTime slot = first;
    qint64 slotMs = slot.toMSecsSinceEpoch();
    // The local time of slotMs while the slots go by libc.
    struct tm day;
    bool dayKnown = false;
    while (slotMs < lastMs && gaps.size() < ArchiveChecks::kMaxGaps) {
        const bool met = record < rows.size() && rows.at(record) == slotMs;
        if (met)
            ++record;
        if (local && !dayKnown)
            dayKnown = localMidnight(slotMs, day);
        const qint64 fastMs = dayKnown ? nextLocalMidnight(slotMs, day) : 0;
        if (fastMs != 0) {
            if (!met)
                gaps.append(QDateTime::fromMSecsSinceEpoch(slotMs, Qt::LocalTime));
            slotMs = fastMs;
            dayKnown = slotMs < kFastUntil;
            continue;
        }
        dayKnown = false;
        if (local)
            slot = QDateTime::fromMSecsSinceEpoch(slotMs, Qt::LocalTime);
        if (!met)
            gaps.append(slot);
        // The next midnight: the extra hour carries a 23-hour day (the
        // spring daylight-saving change) past midnight too.
        slot = slot.addDays(1).addSecs(3600);
        slot.setTime(QTime(0, 0));
        const qint64 nextMs = slot.toMSecsSinceEpoch();
        if (!slot.isValid() || nextMs <= slotMs)
            break;
        slotMs = nextMs;
    }
    return gaps;
}

QVariantList hourGaps(const QDateTime &first, const QDateTime &last, const QVector<qint64> &rows)
{
    QVariantList gaps;
    const qint64 firstMs = first.toMSecsSinceEpoch();
    const qint64 lastMs = last.toMSecsSinceEpoch();
    const qint64 *const row = rows.constData();
    const int rowCount = rows.size();
    int record = 0;
    qint64 slotMs = firstMs;
    while (slotMs < lastMs && gaps.size() < ArchiveChecks::kMaxGaps) {
        // Years of records on the grid are one run, in a loop of their own:
        // each save scans the whole archive.
        while (record < rowCount && row[record] == slotMs && slotMs < lastMs) {
            ++record;
            slotMs += kHourMs;
        }
        if (slotMs >= lastMs)
            break;
        gaps.append(first.addMSecs(slotMs - firstMs));   // keeps the first row's kind of time
        slotMs += kHourMs;
    }
    return gaps;
}

} // namespace

ZeltoStatus ArchiveChecks::checkCurrentData(Database &database, const ZeltoTable &stored, const ZeltoTable &incoming)
{
    const ZeltoResult<QVariant> dateReset = database.setting(QStringLiteral("checkDateReset"));
    const ZeltoResult<QVariant> timeDeviation = database.setting(QStringLiteral("checkTimeDeviation"));
    const ZeltoResult<QVariant> maxDeviation = database.setting(QStringLiteral("maxTimeDeviation"));
    for (const ZeltoStatus &read : {dateReset.status(), timeDeviation.status(), maxDeviation.status()}) {
        if (!read.ok())
            return read;
    }
    if (dateReset.value().toBool()
        && stored.rowCount() > 0 && incoming.rowCount() > 0) {
        const QDateTime newFirst = cellDate(incoming, 0, incoming.columnIndex(kDate));
        const QDateTime storedLast = cellDate(stored, stored.rowCount() - 1, stored.columnIndex(kDate));
        // Re-reading up to a day of overlap is normal; data starting earlier
        // than that means the device's clock was set back.
        if (newFirst.isValid() && storedLast.isValid() && newFirst.secsTo(storedLast) > kDaySeconds) {
            return ZeltoStatus::conflict(
                tr("Обнаружен сброс даты и времени на %1").arg(newFirst.toString(QStringLiteral("dd.MM.yy hh:mm:ss"))));
        }
    }

    if (timeDeviation.value().toBool() && incoming.rowCount() > 0) {
        const QDateTime deviceTime = cellDate(incoming, 0, incoming.columnIndex(kDate));
        const QDateTime serverTime = cellDate(incoming, 0, incoming.columnIndex(QStringLiteral("sys_date")));
        if (deviceTime.isValid() && serverTime.isValid()) {
            const int limit = maxDeviation.value().toInt();
            const double minutes = std::fabs(double(deviceTime.secsTo(serverTime))) / 60.0;
            if (minutes > limit) {
                return ZeltoStatus::conflict(
                    tr("Время в приборе отличается от системного более чем на %1 мин.").arg(limit));
            }
        }
    }
    return ZeltoStatus();
}

QVariantMap ArchiveChecks::fillEntry(const QString &archiveName, const ZeltoTable &table)
{
    const int dateColumn = table.columnIndex(kDate);
    return entry(archiveName, table.rowCount(), cellDate(table, 0, dateColumn),
                 cellDate(table, table.rowCount() - 1, dateColumn), [&] { return rowMonths(table, dateColumn); },
                 [&] { return rowInstants(table, dateColumn); });
}

QVariantMap ArchiveChecks::fillEntry(const QString &archiveName, const QVector<qint64> &instants, Qt::TimeSpec timeSpec)
{
    auto dateAt = [&](int row) {
        return row >= 0 && row < instants.size() ? QDateTime::fromMSecsSinceEpoch(instants.at(row), timeSpec)
                                                 : QDateTime();
    };
    return entry(archiveName, instants.size(), dateAt(0), dateAt(instants.size() - 1),
                 [&] {
                     QVector<int> months(instants.size());
                     if (timeSpec == Qt::LocalTime)
                         tzset();   // localtime_r goes by the zone of the last tzset
                     for (int row = 0; row < months.size(); ++row)
                         months[row] = monthOf(instants.at(row), timeSpec);
                     return months;
                 },
                 [&] { return instants; });
}

QVariantMap ArchiveChecks::entry(const QString &archiveName, int size, const QDateTime &firstDate,
                                 const QDateTime &lastDate, const std::function<QVector<int>()> &months,
                                 const std::function<QVector<qint64>()> &instants)
{
    QVariantList gaps;
    if (firstDate.isValid() && lastDate.isValid()) {
        if (archiveName.startsWith(QLatin1String("month")))
            gaps = monthGaps(firstDate, lastDate, months());
        else if (archiveName.startsWith(QLatin1String("day")))
            gaps = dayGaps(firstDate, lastDate, instants());
        else if (archiveName.startsWith(QLatin1String("hour")))
            gaps = hourGaps(firstDate, lastDate, instants());
    }

    QVariantMap result;
    result.insert(QStringLiteral("firstDate"), firstDate.isValid() ? QVariant(firstDate) : QVariant());
    result.insert(QStringLiteral("lastDate"), lastDate.isValid() ? QVariant(lastDate) : QVariant());
    result.insert(QStringLiteral("size"), size);
    result.insert(QStringLiteral("gapCount"), gaps.size());
    result.insert(QStringLiteral("gaps"), gaps);
    return result;
}
