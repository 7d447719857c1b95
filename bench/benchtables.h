#pragma once

// Archive tables for the stream and archive benchmarks: five years of
// hourly records of a meter with four heating systems as the device
// polling simulator reports them, and the same shape filled with random
// doubles.

#include "metervalues.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>

#include <cmath>
#include <cstring>

namespace BenchTables {

const int kHours = 5 * 365 * 24;   // 43,800

inline const MeterValues &meter()
{
    static const MeterValues values(20190001);
    return values;
}

inline QList<int> systems()
{
    return {1, 2, 3, 4};
}

inline QDateTime start()
{
    return QDateTime(QDate(2019, 1, 1), QTime(0, 0), Qt::LocalTime);
}

// The hourly archive from start(), made once: the generator takes seconds.
inline const ZeltoTable &fiveYears()
{
    static const ZeltoTable table =
        meter().archive(MeterValues::HourData, MeterValues::columns(MeterValues::HourData, systems()), start(),
                        start().addSecs(3600LL * (kHours - 1)));
    return table;
}

// Rows of a kind from first, count of them, as the meter reports them.
inline ZeltoTable meterArchive(MeterValues::Kind kind, const QDateTime &first, int count)
{
    const QDateTime last = kind == MeterValues::MonthData ? first.addMonths(count - 1)
                           : kind == MeterValues::DayData ? first.addDays(count - 1)
                                                          : first.addSecs(3600LL * (count - 1));
    return meter().archive(kind, MeterValues::columns(kind, systems()), first, last);
}

// Cells of the columns whose first cell is a double.
inline double doubleCells(const ZeltoTable &table)
{
    int columns = 0;
    for (int c = 0; c < table.columnCount() && table.rowCount() > 0; ++c)
        columns += table.value(0, c).userType() == QMetaType::Double ? 1 : 0;
    return double(columns) * table.rowCount();
}

inline quint64 mix(quint64 x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// The columns of the hourly archive, with random bits in every double
// column (NaNs and infinities left out) and the dates and other cells as
// they are.
inline ZeltoTable randomDoubles(const ZeltoTable &archive)
{
    QVector<QVector<QVariant>> rows(archive.rowCount());
    quint64 state = 1;
    for (int r = 0; r < archive.rowCount(); ++r) {
        QVector<QVariant> row = archive.rowCells(r);
        for (QVariant &cell : row) {
            if (cell.userType() != QMetaType::Double)
                continue;
            double d;
            do {
                const quint64 bits = mix(state++);
                std::memcpy(&d, &bits, sizeof d);
            } while (!std::isfinite(d));
            cell = d;
        }
        rows[r] = row;
    }
    ZeltoTable table;
    table.setContent(archive.columnNames(), std::move(rows));
    return table;
}

} // namespace BenchTables
