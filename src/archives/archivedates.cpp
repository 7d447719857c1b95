#include "archivedates.h"

#include "zeltolocaltime.h"
#include "zeltosystem.h"

#include <QHash>

#include <algorithm>
#include <numeric>

namespace {

const QVariant &cellAt(const ZeltoTable &table, int row, int column)
{
    static const QVariant missing;
    const QVector<QVariant> &cells = table.rowCells(row);
    return column < cells.size() ? cells.at(column) : missing;
}

bool isDateTime(const QVariant &cell)
{
    return cell.userType() == QMetaType::QDateTime && cell.toDateTime().isValid();
}

QString describe(const QVariant &cell)
{
    if (cell.isNull())
        return ArchiveDates::tr("пусто");
    // Text is shown as it came: the usual mistake is a date sent as a string.
    if (cell.userType() == QMetaType::QString)
        return QLatin1Char('"') + cell.toString().left(40) + QLatin1Char('"');
    return QString::fromLatin1(cell.typeName());
}

} // namespace

const QString &ArchiveDates::column()
{
    static const QString name = QStringLiteral("date");
    return name;
}

QDateTime ArchiveDates::endOfDay(const QDate &date)
{
    return QDateTime(date, QTime(23, 59, 59), Qt::LocalTime);
}

ZeltoStatus ArchiveDates::validate(const QString &archive, const ZeltoTable &table)
{
    if (table.rowCount() == 0)
        return ZeltoStatus();
    const int c = table.columnIndex(column());
    if (c < 0)
        return ZeltoStatus::invalid(tr("Таблица %1: нет столбца date").arg(archive));
    for (int row = 0; row < table.rowCount(); ++row) {
        const QVariant &cell = cellAt(table, row, c);
        if (!isDateTime(cell))
            return ZeltoStatus::invalid(tr("Таблица %1, строка %2: в столбце date ожидается дата и время, "
                                           "получено: %3")
                                            .arg(archive)
                                            .arg(row + 1)
                                            .arg(describe(cell)));
    }
    return ZeltoStatus();
}

bool ArchiveDates::instants(const ZeltoTable &table, QVector<qint64> &out)
{
    out.clear();
    if (table.rowCount() == 0)
        return true;
    const int c = table.columnIndex(column());
    if (c < 0)
        return false;
    ZeltoLocalTime local;
    out.resize(table.rowCount());
    for (int row = 0; row < out.size(); ++row) {
        const QVariant &cell = cellAt(table, row, c);
        if (cell.userType() != QMetaType::QDateTime)
            return false;
        const QDateTime dateTime = cell.toDateTime();
        if (!dateTime.isValid())
            return false;
        out[row] = dateTime.timeSpec() == Qt::LocalTime ? local.toEpoch(dateTime) : dateTime.toMSecsSinceEpoch();
    }
    return true;
}

void ArchiveDates::sort(ZeltoTable &table)
{
    if (table.rowCount() < 2)
        return;
    QVector<qint64> keys;
    if (!instants(table, keys)) {
        // Rows without a date: the table's own order (nulls first).
        table.sort(column());
        return;
    }
    sortByKeys(table, keys);
}

void ArchiveDates::sortByKeys(ZeltoTable &table, const QVector<qint64> &keys)
{
    if (std::is_sorted(keys.cbegin(), keys.cend()))
        return;
    QVector<int> order(keys.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&keys](int a, int b) { return keys.at(a) < keys.at(b); });
    QVector<QVector<QVariant>> rows;
    rows.reserve(order.size());
    for (int row : qAsConst(order))
        rows.append(table.rowCells(row));
    table.setContent(table.columnNames(), std::move(rows));
}

void ArchiveDates::merge(ZeltoTable &stored, const ZeltoTable &incoming)
{
    if (incoming.rowCount() == 0 || !incoming.containsColumn(column())) {
        sort(stored);   // nothing to merge
        return;
    }
    QVector<qint64> keys;
    QVector<qint64> incomingKeys;
    if (!instants(stored, keys) || !instants(incoming, incomingKeys)) {
        // Some row without a date: the general merge, which keys nulls too.
        stored.merge(incoming, column());
        sort(stored);
        return;
    }

    QVector<int> target(incoming.columnCount());
    for (int c = 0; c < target.size(); ++c)
        target[c] = stored.appendColumn(incoming.columnName(c));

    // The first row of a date takes the new values, as in ZeltoTable::merge.
    // Stored rows are searched by halves when in order (as stored archives
    // are), through a hash otherwise; appended rows through a hash of their own.
    const int storedCount = keys.size();
    const bool ordered = std::is_sorted(keys.cbegin(), keys.cend());
    QHash<qint64, int> storedRowOf;
    if (!ordered) {
        storedRowOf.reserve(storedCount);
        for (int row = storedCount - 1; row >= 0; --row)
            storedRowOf.insert(keys.at(row), row);
    }
    QHash<qint64, int> appendedRowOf;
    auto findRow = [&](qint64 key) {
        if (!ordered)
            return storedRowOf.value(key, -1);
        const auto end = keys.cbegin() + storedCount;
        const auto it = std::lower_bound(keys.cbegin(), end, key);
        return it != end && *it == key ? int(it - keys.cbegin()) : -1;
    };
    for (int r = 0; r < incomingKeys.size(); ++r) {
        const qint64 key = incomingKeys.at(r);
        int row = findRow(key);
        if (row < 0)
            row = appendedRowOf.value(key, -1);
        if (row < 0) {
            row = stored.appendRow();
            appendedRowOf.insert(key, row);
            keys.append(key);
        }
        const QVector<QVariant> &cells = incoming.rowCells(r);
        for (int c = 0; c < target.size(); ++c)
            stored.setValue(row, target.at(c), c < cells.size() ? cells.at(c) : QVariant());
    }
    sortByKeys(stored, keys);
}

ZeltoTable ArchiveDates::range(const ZeltoTable &table, const QDateTime &from, const QDateTime &to)
{
    const int c = table.columnIndex(column());
    bool dated = c >= 0;
    for (int row = 0; dated && row < table.rowCount(); ++row)
        dated = isDateTime(cellAt(table, row, c));
    if (!dated)
        return table.filter(column(), from.isValid() ? QVariant(from) : QVariant(),
                            to.isValid() ? QVariant(to) : QVariant());

    // Binary search, converting only the dates it looks at.
    ZeltoLocalTime local;
    auto instantAt = [&](int row) {
        const QDateTime dateTime = cellAt(table, row, c).toDateTime();
        return dateTime.timeSpec() == Qt::LocalTime ? local.toEpoch(dateTime) : dateTime.toMSecsSinceEpoch();
    };
    QVector<int> rows(table.rowCount());
    std::iota(rows.begin(), rows.end(), 0);
    auto begin = rows.cbegin();
    auto end = rows.cend();
    if (from.isValid()) {
        const qint64 low = from.toMSecsSinceEpoch();
        begin = std::partition_point(rows.cbegin(), rows.cend(), [&](int row) { return instantAt(row) < low; });
    }
    if (to.isValid()) {
        const qint64 high = to.toMSecsSinceEpoch();
        end = std::partition_point(begin, rows.cend(), [&](int row) { return instantAt(row) <= high; });
    }
    if (begin == rows.cbegin() && end == rows.cend())
        return table;   // shares the rows instead of copying them
    QVector<QVector<QVariant>> selected;
    selected.reserve(int(end - begin));
    for (auto it = begin; it < end; ++it)
        selected.append(table.rowCells(*it));
    ZeltoTable result;
    result.setContent(table.columnNames(), std::move(selected));
    return result;
}
