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

template<typename Take>
int forEachReading(const QVector<QVariant> &cells, Take take)
{
    int count = 0;
    for (const QVariant &cell : cells) {
        if (ColumnAggregates::isReading(cell)) {
            take(cell);
            ++count;
        }
    }
    return count;
}

template<typename Take>
int forEachReading(const std::vector<double> &cells, Take take)
{
    int count = 0;
    for (const double cell : cells) {
        if (std::isfinite(cell)) {
            take(cell);
            ++count;
        }
    }
    return count;
}

double toDouble(const QVariant &value)
{
    return value.toDouble();
}

double toDouble(double value)
{
    return value;
}

// Adds a flag word's bits; false for a number that is no flag word.
bool addBits(double number, qlonglong &bits)
{
    // A flag word with a fraction is no flag word.
    if (number != std::floor(number) || std::fabs(number) > 9.0e18)
        return false;
    bits |= qlonglong(number);
    return true;
}

bool addBits(const QVariant &value, qlonglong &bits)
{
    if (value.userType() == QMetaType::Double || value.userType() == QMetaType::Float)
        return addBits(value.toDouble(), bits);
    bits |= value.toLongLong();
    return true;
}

// The sum, mean and union over the readings that forEach gives.
template<typename ForEach>
QVariant sumOf(ForEach forEach)
{
    double total = 0;
    const int count = forEach([&](const auto &value) { total += toDouble(value); });
    return count > 0 ? QVariant(total) : QVariant();
}

template<typename ForEach>
QVariant meanOf(ForEach forEach)
{
    double total = 0;
    const int count = forEach([&](const auto &value) { total += toDouble(value); });
    return count > 0 ? QVariant(total / count) : QVariant();
}

template<typename ForEach>
QVariant unionOf(ForEach forEach)
{
    qlonglong bits = 0;
    int words = 0;
    forEach([&](const auto &value) { words += addBits(value, bits) ? 1 : 0; });
    return words > 0 ? QVariant(bits) : QVariant();
}

} // namespace

bool ColumnAggregates::isReading(const QVariant &value)
{
    return Zelto::isNumber(value) && std::isfinite(value.toDouble());
}

QVariant ColumnAggregates::sum(const ZeltoTable &table, const QString &column)
{
    return sumOf([&](auto take) { return forEachReading(table, column, take); });
}

QVariant ColumnAggregates::mean(const ZeltoTable &table, const QString &column)
{
    return meanOf([&](auto take) { return forEachReading(table, column, take); });
}

QVariant ColumnAggregates::bitUnion(const ZeltoTable &table, const QString &column)
{
    return unionOf([&](auto take) { return forEachReading(table, column, take); });
}

QVariant ColumnAggregates::sum(const QVector<QVariant> &cells)
{
    return sumOf([&](auto take) { return forEachReading(cells, take); });
}

QVariant ColumnAggregates::mean(const QVector<QVariant> &cells)
{
    return meanOf([&](auto take) { return forEachReading(cells, take); });
}

QVariant ColumnAggregates::bitUnion(const QVector<QVariant> &cells)
{
    return unionOf([&](auto take) { return forEachReading(cells, take); });
}

QVariant ColumnAggregates::sum(const std::vector<double> &cells)
{
    return sumOf([&](auto take) { return forEachReading(cells, take); });
}

QVariant ColumnAggregates::mean(const std::vector<double> &cells)
{
    return meanOf([&](auto take) { return forEachReading(cells, take); });
}

QVariant ColumnAggregates::bitUnion(const std::vector<double> &cells)
{
    return unionOf([&](auto take) { return forEachReading(cells, take); });
}
