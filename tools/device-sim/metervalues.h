#pragma once

#include "zeltotable.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// Plausible, deterministic readings of one heat meter, for the device
// polling server simulator and for benchmarks that need realistic archives.
// The same device number gives the same history on every call and in every
// process (of one time zone), so polling twice returns the same values.
//
// What the values follow: supply temperatures of 60-95 °C and return
// temperatures of 35-60 °C that rise in winter and in the early morning;
// pressures around 6 and 3; a nearly constant mass flow per system; energy,
// mass, volume and operating-time counters that only grow, so that an
// interval record is exactly the difference of the counters at its ends
// (before rounding); error flags now and then. Values are rounded to the
// decimals a meter reports: temperatures 0.01, energy, mass, volume,
// pressure and flow 0.001, operating hours 0.01.
//
// Columns are parameter codes: common ones ("DT", "NSD", "Th", ...) and
// system ones with their system number ("S1_t1", "S2_Q"). Counters ("M1",
// "Q", "Th") hold the amount of the interval in interval records. A column
// the generator does not know, or a parameter that a kind of record does not
// carry (temperatures in totals records, the interval amounts "G1".."G3"
// outside interval records, "DT" outside current data), is a null cell: the
// device does not deliver it.
class MeterValues
{
public:
    // Interval records ("date" opens the interval: an hour, a day, a
    // month) hold averages and the amounts of the interval; totals records
    // hold the counters at the end of the interval; current readings hold
    // instant values and the counters at the moment of reading.
    enum Kind { HourData, DayData, MonthData, DayTotals, MonthTotals, CurrentData };

    explicit MeterValues(qint64 deviceNumber);

    qint64 deviceNumber() const { return m_device; }

    // "hour_data", "day_data", "month_data", "day_totals", "month_totals",
    // "current_data"; false for other names.
    static bool kindOf(const QString &archiveName, Kind &kind);
    static QString archiveName(Kind kind);

    // The columns a meter with these heating systems reports in records of
    // the kind, "date" not included.
    static QStringList columns(Kind kind, const QList<int> &systems);
    // Decimals reported for a column; 0 for whole numbers and flags, -1 for
    // columns the generator does not know.
    static int decimals(const QString &column);

    // "date" plus the columns, one row per grid date between from and to,
    // both inclusive, in ascending order: whole hours, midnights or the
    // firsts of months (current data: whole hours, as hourly readings).
    // Whether the interval of the last row has ended is the caller's
    // business. Empty (with the columns) when from is after to or either
    // bound is invalid.
    ZeltoTable archive(Kind kind, const QStringList &columns, const QDateTime &from, const QDateTime &to) const;

    // A number in [0, 1) fixed by the device, a purpose and an index: for
    // choices that must come out the same on every poll (missing records,
    // journal events).
    double chance(quint64 purpose, qint64 index) const;

    // One current reading taken at `at` (server clock) from a device whose
    // clock runs clockOffsetSecs ahead: "date" and "DT" are device time,
    // "sys_date" is `at`.
    ZeltoTable current(const QStringList &columns, const QDateTime &at, qint64 clockOffsetSecs = 0) const;

private:
    struct Column;
    struct Interval;
    // Constants of one heating system (0: the device as a whole), drawn once
    // from the device's seed.
    struct System
    {
        double massFlow;     // t/h in the supply pipe
        double returnShare;  // the return pipe's share of it
        double makeupFlow;   // t/h of make-up water
        double loadShift;    // the system's offset of the heat load
        double dayShift;     // hours the system's daily cycle lags
        double massStart, energyStart, volumeStart;
    };
    enum { MaxSystems = 9 };

    static QList<Column> parse(const QStringList &columns);
    QVariant cell(const Column &column, Kind kind, const Interval &interval) const;
    double counter(int quantity, int system, double hours) const;
    double load(int system, double hours) const;
    double loadIntegral(int system, double hours) const;
    double noise(quint64 stream, qint64 index) const;
    int flags(int system, double from, double to) const;

    qint64 m_device;
    quint64 m_seed;
    double m_zoneHours;   // the local standard offset: daily cycles follow local hours
    System m_systems[MaxSystems + 1];
};
