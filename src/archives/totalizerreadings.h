#pragma once

#include "zeltotable.h"

#include <QDateTime>
#include <QVariantMap>

#include <functional>

class MetadataCatalogue;

// Totalizer readings (the running counters of heat, mass, volume and time a
// meter keeps) at a given midnight, for the start and the end of a report
// range. They come from an archive that records the counters, or from the
// newest current reading, and are carried from the moment they were taken
// to the midnight asked for with the daily values in between. A reading
// holds the accumulating parameters only, each a number; a parameter that
// cannot be carried because a day in between has no value for it is left
// out rather than guessed. A counter never runs below zero: a carried or
// derived reading that the rounding of the daily values takes below zero is 0.
class TotalizerReadings
{
public:
    // How far one record of a readings archive reaches: its values are the
    // counters at the end of its day (day_totals) or of its month
    // (month_totals, and month_data of devices that keep their counters
    // there).
    enum Period { Day, Month };

    // The node's daily rows dated from..to (both inclusive), sorted by date:
    // only the days a reading is carried across are asked for.
    using DayRows = std::function<ZeltoTable(const QDateTime &from, const QDateTime &to)>;

    TotalizerReadings(const DayRows &days, const MetadataCatalogue &catalogue);

    // Where a node's readings come from, by the archives it holds: a totals
    // archive (day_totals, else month_totals) alone; devices without one
    // keep their counters in the monthly records (month_data), or show them
    // only in the current reading, which then fills what the records lack.
    struct Source
    {
        QString records;            // the records archive; empty: none
        Period period = Month;
        bool fromCurrent = false;   // the current reading when the records give nothing

        static Source of(bool hasDayTotals, bool hasMonthTotals, bool hasMonthData, bool hasCurrentData);
    };

    // The reading at the midnight at from the records: the record that ends
    // there, or else the nearer of the records around it carried there
    // (parameters it cannot give taken from the other one). Empty when the
    // records give nothing. carried, when given, tells whether the reading
    // was carried rather than read from a record of that midnight.
    QVariantMap fromRecords(const ZeltoTable &records, Period period, const QDateTime &at,
                            bool *carried = nullptr) const;

    // The counters at the start of the day of the newest current reading:
    // its values less the hourly values of that day. The day is taken two
    // hours before the reading, so that shortly after midnight, before the
    // meter has closed the first hour, the previous whole day is used. False
    // when there is no current reading or no hourly row of that day.
    bool fromCurrent(const ZeltoTable &current, const ZeltoTable &hours, QDateTime &anchor, QVariantMap &values) const;
    // The day whose hourly rows fromCurrent uses (invalid without a
    // current reading): the only hours it needs read.
    static QDate currentDay(const ZeltoTable &current);

    // The midnight at which a record dated date took its counters: the end
    // of its day or of its month.
    static QDateTime recordEnd(const QDateTime &date, Period period);

    // values, the counters at the midnight anchor, carried to the midnight at.
    QVariantMap carry(const QVariantMap &values, const QDateTime &anchor, const QDateTime &at) const;

    // A node's counters derived from its current reading (fromCurrent), worked
    // out on first use and carried to each midnight asked for.
    class CurrentCarry
    {
    public:
        // The counters at the midnight at into values; false, values
        // untouched, when the current reading gives none. readCurrent gives
        // the node's current data, readHours the hourly rows of a day; each
        // is called once at most.
        bool at(const TotalizerReadings &readings, const QDateTime &at, const std::function<ZeltoTable()> &readCurrent,
                const std::function<ZeltoTable(const QDate &day)> &readHours, QVariantMap &values);

    private:
        bool m_read = false;
        bool m_has = false;
        QDateTime m_anchor;
        QVariantMap m_values;
    };

private:
    // The accumulating parameters of one row that are readings.
    QVariantMap counters(const ZeltoTable &table, int row) const;

    DayRows m_days;
    const MetadataCatalogue &m_catalogue;
};
