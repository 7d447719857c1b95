#include "columnaggregates.h"

#include <cmath>

namespace {

const QVariant &cellAt(const QVector<QVariant> &cells, int column)
{
    static const QVariant missing;
    return column < cells.size() ? cells.at(column) : missing;
}

// Calls take(value) for every reading of the column; the number of readings.
template<typename Take>
int forEachReading(const ZeltoTable &table, const QString &column, Take take)
{
    const int c = table.columnIndex(column);
    if (c < 0)
        return 0;
    int count = 0;
    for (int row = 0; row < table.rowCount(); ++row) {
        const QVariant &cell = cellAt(table.rowCells(row), c);
        if (ColumnAggregates::isReading(cell)) {
            take(cell);
            ++count;
        }
    }
    return count;
}

} // namespace

bool ColumnAggregates::isReading(const QVariant &value)
{
    return Zelto::isNumber(value) && std::isfinite(value.toDouble());
}

QVariant ColumnAggregates::sum(const ZeltoTable &table, const QString &column)
{
    double total = 0;
    const int count = forEachReading(table, column, [&](const QVariant &value) { total += value.toDouble(); });
    return count > 0 ? QVariant(total) : QVariant();
}

QVariant ColumnAggregates::mean(const ZeltoTable &table, const QString &column)
{
    double total = 0;
    const int count = forEachReading(table, column, [&](const QVariant &value) { total += value.toDouble(); });
    return count > 0 ? QVariant(total / count) : QVariant();
}

QVariant ColumnAggregates::bitUnion(const ZeltoTable &table, const QString &column)
{
    qlonglong bits = 0;
    int words = 0;
    forEachReading(table, column, [&](const QVariant &value) {
        if (value.userType() == QMetaType::Double || value.userType() == QMetaType::Float) {
            // A flag word with a fraction is no flag word.
            const double number = value.toDouble();
            if (number != std::floor(number) || std::fabs(number) > 9.0e18)
                return;
            bits |= qlonglong(number);
        } else {
            bits |= value.toLongLong();
        }
        ++words;
    });
    return words > 0 ? QVariant(bits) : QVariant();
}
