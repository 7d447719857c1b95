#include "totalizerreadings.h"

#include "archivedates.h"
#include "archivenames.h"
#include "columnaggregates.h"
#include "metadatacatalogue.h"

namespace {

const int kCurrentDayLagSecs = 2 * 3600;

QDateTime midnight(const QDate &date)
{
    return QDateTime(date, QTime(0, 0), Qt::LocalTime);
}

// Daily values are rounded by the meter, so their sum may exceed what the
// counter grew by: a counter carried back to its start comes out as -0.001.
double notBelowZero(double counter)
{
    return counter < 0 ? 0.0 : counter;
}

} // namespace

TotalizerReadings::TotalizerReadings(const DayRows &days, const MetadataCatalogue &catalogue)
    : m_days(days), m_catalogue(catalogue)
{
}

TotalizerReadings::Source TotalizerReadings::Source::of(bool hasDayTotals, bool hasMonthTotals, bool hasMonthData,
                                                       bool hasCurrentData)
{
    if (hasDayTotals)
        return {ArchiveNames::dayTotals, Day, false};
    if (hasMonthTotals)
        return {ArchiveNames::monthTotals, Month, false};
    return {hasMonthData ? ArchiveNames::monthData : QString(), Month, hasCurrentData};
}

QDateTime TotalizerReadings::recordEnd(const QDateTime &date, Period period)
{
    if (period == Day)
        return midnight(date.date().addDays(1));
    return midnight(QDate(date.date().year(), date.date().month(), 1).addMonths(1));
}

QVariantMap TotalizerReadings::counters(const ZeltoTable &table, int row) const
{
    QVariantMap values;
    const QVector<QVariant> &cells = table.rowCells(row);
    for (int c = 0; c < cells.size(); ++c) {
        const QString code = table.columnName(c);
        if (ColumnAggregates::isReading(cells.at(c)) && m_catalogue.isCumulative(code))
            values.insert(code, cells.at(c).toDouble());
    }
    return values;
}

QVariantMap TotalizerReadings::fromRecords(const ZeltoTable &records, Period period, const QDateTime &at,
                                           bool *carried) const
{
    if (carried)
        *carried = false;
    const int dateColumn = records.columnIndex(ArchiveDates::column());
    if (dateColumn < 0 || !at.isValid())
        return QVariantMap();
    // The records that end last before at and first after it.
    int before = -1, after = -1;
    QDateTime beforeEnd, afterEnd;
    for (int row = 0; row < records.rowCount(); ++row) {
        const QDateTime date = records.value(row, dateColumn).toDateTime();
        if (!date.isValid())
            continue;
        const QDateTime end = recordEnd(date, period);
        if (end == at) {
            const QVariantMap values = counters(records, row);
            if (!values.isEmpty())
                return values;
        } else if (end < at && (before < 0 || end >= beforeEnd)) {
            before = row;
            beforeEnd = end;
        } else if (end > at && (after < 0 || end < afterEnd)) {
            after = row;
            afterEnd = end;
        }
    }
    QVariantMap fromBefore, fromAfter;
    if (before >= 0)
        fromBefore = carry(counters(records, before), beforeEnd, at);
    if (after >= 0)
        fromAfter = carry(counters(records, after), afterEnd, at);
    const bool beforeIsNearer = after < 0 || (before >= 0 && beforeEnd.secsTo(at) <= at.secsTo(afterEnd));
    QVariantMap values = beforeIsNearer ? fromBefore : fromAfter;
    const QVariantMap &other = beforeIsNearer ? fromAfter : fromBefore;
    for (auto it = other.constBegin(); it != other.constEnd(); ++it) {
        if (!values.contains(it.key()))
            values.insert(it.key(), it.value());
    }
    if (carried)
        *carried = !values.isEmpty();
    return values;
}

bool TotalizerReadings::fromCurrent(const ZeltoTable &current, const ZeltoTable &hours, QDateTime &anchor,
                                    QVariantMap &values) const
{
    if (hours.rowCount() == 0)
        return false;
    const QDate day = currentDay(current);
    if (!day.isValid())
        return false;
    const int newest = current.rowCount() - 1;
    const ZeltoTable dayHours = ArchiveDates::range(hours, midnight(day), ArchiveDates::endOfDay(day));
    if (dayHours.rowCount() == 0)
        return false;
    values.clear();
    const QVariantMap now = counters(current, newest);
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        const QVariant used = ColumnAggregates::sum(dayHours, it.key());
        if (used.isValid())
            values.insert(it.key(), notBelowZero(it.value().toDouble() - used.toDouble()));
    }
    anchor = midnight(day);
    return !values.isEmpty();
}

QDate TotalizerReadings::currentDay(const ZeltoTable &current)
{
    if (current.rowCount() == 0)
        return QDate();
    const QDateTime readAt = current.value(current.rowCount() - 1, ArchiveDates::column()).toDateTime();
    return readAt.isValid() ? readAt.addSecs(-kCurrentDayLagSecs).date() : QDate();
}

QVariantMap TotalizerReadings::carry(const QVariantMap &values, const QDateTime &anchor, const QDateTime &at) const
{
    if (anchor == at)
        return values;
    const bool forward = anchor < at;
    const QDateTime low = forward ? anchor : at;
    const QDateTime high = forward ? at : anchor;
    const qint64 dayCount = low.date().daysTo(high.date());
    const ZeltoTable between = m_days(low, high.addMSecs(-1));
    QVariantMap carried;
    for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
        // Every day in between must have its value, or the reading would be off by the missing days.
        int readings = 0;
        double used = 0;
        const int c = between.columnIndex(it.key());
        for (int row = 0; c >= 0 && row < between.rowCount(); ++row) {
            const QVariant cell = between.value(row, c);
            if (ColumnAggregates::isReading(cell)) {
                used += cell.toDouble();
                ++readings;
            }
        }
        if (readings == dayCount)
            carried.insert(it.key(), notBelowZero(it.value().toDouble() + (forward ? used : -used)));
    }
    return carried;
}

bool TotalizerReadings::CurrentCarry::at(const TotalizerReadings &readings, const QDateTime &at,
                                         const std::function<ZeltoTable()> &readCurrent,
                                         const std::function<ZeltoTable(const QDate &day)> &readHours,
                                         QVariantMap &values)
{
    if (!m_read) {
        m_read = true;
        // Of the hourly archive, the largest, only the current reading's day is needed.
        const ZeltoTable current = readCurrent();
        const QDate day = currentDay(current);
        m_has = readings.fromCurrent(current, day.isValid() ? readHours(day) : ZeltoTable(), m_anchor, m_values);
    }
    if (m_has)
        values = readings.carry(m_values, m_anchor, at);
    return m_has;
}
