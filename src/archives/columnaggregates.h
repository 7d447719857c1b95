#pragma once

#include "zeltotable.h"

#include <QVariant>

// Sums, means and bitwise unions over one column of an archive table that
// count only readings: finite numbers. Markers (out of range, not delivered),
// NaN, text and empty cells are skipped, and a column without a single
// reading has no aggregate at all (an invalid variant) rather than a 0 that
// a report would show as a measured value.
class ColumnAggregates
{
public:
    static bool isReading(const QVariant &value);

    static QVariant sum(const ZeltoTable &table, const QString &column);
    static QVariant mean(const ZeltoTable &table, const QString &column);
    // Flag words: the union of the bits of the whole-number readings.
    static QVariant bitUnion(const ZeltoTable &table, const QString &column);
};
