#pragma once

#include "zeltotable.h"

#include <QVariant>
#include <QVector>

#include <vector>

// Sums, means and bitwise unions over one column of an archive table that
// count only readings: finite numbers. Markers (out of range, not delivered),
// NaN, text and empty cells are skipped, and a column without a single
// reading has no aggregate at all (an invalid variant) rather than a 0 that
// a report would show as a measured value. The same over a column's cells
// given alone, as variants or as doubles (NaN where there is no reading).
class ColumnAggregates
{
public:
    static bool isReading(const QVariant &value);

    static QVariant sum(const ZeltoTable &table, const QString &column);
    static QVariant mean(const ZeltoTable &table, const QString &column);
    // Flag words: the union of the bits of the whole-number readings.
    static QVariant bitUnion(const ZeltoTable &table, const QString &column);

    static QVariant sum(const QVector<QVariant> &cells);
    static QVariant mean(const QVector<QVariant> &cells);
    static QVariant bitUnion(const QVector<QVariant> &cells);

    static QVariant sum(const std::vector<double> &cells);
    static QVariant mean(const std::vector<double> &cells);
    static QVariant bitUnion(const std::vector<double> &cells);
};
