#include "storedrangetotals.h"

#include "archivedates.h"
#include "columnaggregates.h"
#include "metadatacatalogue.h"
#include "totalizerreadings.h"
#include "zeltotablesplice.h"

#include <algorithm>
#include <vector>

namespace {

const QString kDayData = QStringLiteral("day_data");
const QString kDayTotals = QStringLiteral("day_totals");
const QString kMonthTotals = QStringLiteral("month_totals");
const QString kMonthData = QStringLiteral("month_data");
const QString kCurrentData = QStringLiteral("current_data");

QDateTime midnight(const QDate &date)
{
    return QDateTime(date, QTime(0, 0), Qt::LocalTime);
}

bool hasArchive(const QVariantMap &node, const QString &archive)
{
    return node.value(QStringLiteral("has_") + archive).toBool();
}

// Bytes that the general path reads as an archive without rows.
bool holdsNothing(const QVariant &bytes)
{
    return bytes.isNull() || (bytes.userType() == QMetaType::QByteArray && bytes.toByteArray().isEmpty());
}

// A stored archive opened in place, with the instants of its rows' dates;
// false when it is not in the current format with a date on every row in
// date order (the general path decodes such an archive whole).
bool openSorted(const QVariant &bytes, ZeltoTableSplice &table, QVector<qint64> &instants, Qt::TimeSpec &timeSpec)
{
    return bytes.userType() == QMetaType::QByteArray && table.open(bytes.toByteArray())
        && table.instants(table.columnNames().indexOf(ArchiveDates::column()), instants, timeSpec)
        && !instants.isEmpty() && std::is_sorted(instants.cbegin(), instants.cend());
}

// The counters of a node at chosen midnights, where they are a record of
// that very midnight: the records archive chosen as the general path
// chooses it. Anything else (carried, derived) it leaves to that path.
class RecordReadings
{
public:
    RecordReadings(const QVariantMap &node, const QVariantMap &stored)
        : m_readings([](const QDateTime &, const QDateTime &) { return ZeltoTable(); }, MetadataCatalogue::instance())
    {
        if (hasArchive(node, kDayTotals)) {
            m_records = kDayTotals;
            m_period = TotalizerReadings::Day;
            m_totalsOnly = true;
        } else if (hasArchive(node, kMonthTotals)) {
            m_records = kMonthTotals;
            m_totalsOnly = true;
        } else {
            if (hasArchive(node, kMonthData))
                m_records = kMonthData;
            m_fromCurrent = hasArchive(node, kCurrentData);
        }
        if (m_records.isEmpty())
            return;
        const QVariant bytes = stored.value(m_records);
        m_empty = holdsNothing(bytes);
        m_readable = m_empty || openSorted(bytes, m_table, m_instants, m_timeSpec);
    }

    // The reading at the midnight moment into values (empty: none at all);
    // false when the general path must find it.
    bool at(const QDateTime &moment, QVariantMap &values)
    {
        values.clear();
        // Without records only the current reading could give one.
        if (m_records.isEmpty() || m_empty)
            return m_totalsOnly || !m_fromCurrent;
        if (!m_readable)
            return false;
        // A record of the moment is dated within its day or month before it:
        // only those near it are looked at, in stored order.
        const qint64 reach = qint64(m_period == TotalizerReadings::Day ? 2 : 33) * 86400000;
        const qint64 at = moment.toMSecsSinceEpoch();
        const auto first = std::lower_bound(m_instants.cbegin(), m_instants.cend(), at - reach);
        const auto last = std::upper_bound(first, m_instants.cend(), at + reach);
        for (auto it = first; it != last; ++it) {
            const QDateTime date = QDateTime::fromMSecsSinceEpoch(*it, m_timeSpec);
            if (TotalizerReadings::recordEnd(date, m_period) != moment)
                continue;
            // One record whose end is the moment: its counters, if it has any.
            ZeltoTable record;
            const int row = int(it - m_instants.cbegin());
            if (!m_table.readRows(row, row + 1, record))
                return false;
            values = m_readings.fromRecords(record, m_period, moment);
            if (!values.isEmpty())
                return true;
        }
        return false;
    }

private:
    TotalizerReadings m_readings;
    QString m_records;
    TotalizerReadings::Period m_period = TotalizerReadings::Month;
    bool m_totalsOnly = false;
    bool m_fromCurrent = false;
    bool m_empty = true;
    bool m_readable = false;
    ZeltoTableSplice m_table;
    QVector<qint64> m_instants;
    Qt::TimeSpec m_timeSpec = Qt::LocalTime;
};

// One column's cells over the range: doubles where the column holds plain
// numbers, else the decoded variants.
struct RangeCells
{
    bool numeric = false;
    std::vector<double> numbers;
    QVector<QVariant> variants;

    bool read(ZeltoTableSplice &table, int column, int from, int to)
    {
        numeric = table.readNumbers(column, from, to, numbers);
        return numeric || table.readCells(column, from, to, variants);
    }
    QVariant sum() const { return numeric ? ColumnAggregates::sum(numbers) : ColumnAggregates::sum(variants); }
    QVariant mean() const { return numeric ? ColumnAggregates::mean(numbers) : ColumnAggregates::mean(variants); }
    QVariant bitUnion() const
    {
        return numeric ? ColumnAggregates::bitUnion(numbers) : ColumnAggregates::bitUnion(variants);
    }
};

// Sets a cell of the row: a new column at the end, a known one in place;
// no value, no cell (as the general path's summary row does).
void setCell(QVector<QPair<QString, QVariant>> &cells, const QString &column, const QVariant &value)
{
    if (!value.isValid())
        return;
    for (auto &cell : cells) {
        if (cell.first == column) {
            cell.second = value;
            return;
        }
    }
    cells.append({column, value});
}

} // namespace

const QStringList &StoredRangeTotals::archives()
{
    static const QStringList names = {kDayData, kDayTotals, kMonthTotals, kMonthData};
    return names;
}

StoredRangeTotals::Outcome StoredRangeTotals::compute(const QVariantMap &node, const QVariantMap &stored,
                                                      const QDate &from, const QDate &to,
                                                      const QStringList &dimensionColumns, Totals &out)
{
    if (!from.isValid() || !to.isValid() || node.value(QStringLiteral("model_code")).toString() == QLatin1String("RNH7"))
        return Declined;
    const QVariant dayBytes = stored.value(kDayData);
    if (holdsNothing(dayBytes))
        return NoRow;
    ZeltoTableSplice days;
    QVector<qint64> keys;
    Qt::TimeSpec timeSpec = Qt::LocalTime;
    if (!openSorted(dayBytes, days, keys, timeSpec))
        return Declined;
    const int dateColumn = days.columnNames().indexOf(ArchiveDates::column());
    // The rows of the range, found as a range read finds them.
    const QDateTime low = midnight(from);
    const QDateTime high = midnight(to);
    const auto begin = low.isValid() ? std::lower_bound(keys.cbegin(), keys.cend(), low.toMSecsSinceEpoch())
                                     : keys.cbegin();
    const auto end = high.isValid() ? std::upper_bound(begin, keys.cend(), high.toMSecsSinceEpoch()) : keys.cend();
    const int first = int(begin - keys.cbegin());
    const int last = int(end - keys.cbegin());
    if (last <= first)
        return NoRow;
    const int newest = last - 1;
    QVector<QVariant> firstDate, lastDate;
    if (!days.readCells(dateColumn, first, first + 1, firstDate) || !days.readCells(dateColumn, newest, last, lastDate))
        return Declined;

    // The parameters the newest row has, with the range's cells of each.
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    const QStringList &names = days.columnNames();
    QStringList codes;
    QVector<RangeCells> ranges;
    for (int c = 0; c < names.size(); ++c) {
        if (c == dateColumn || !catalogue.isParam(names.at(c)))
            continue;
        RangeCells range;
        if (!range.read(days, c, first, last))
            return Declined;
        // A number in a typed column is never null: the column's bitmap tells.
        bool present = false;
        if (!range.numeric)
            present = !range.variants.constLast().isNull();
        else if (!days.typedPresence(c, newest, present))
            return Declined;
        if (!present)
            continue;
        codes.append(names.at(c));
        ranges.append(range);
    }

    // Both ends have a record of their own, or neither has a reading (no
    // records, and none derived): the general path's start from zero and
    // its end at the last day read then give the sums of the days, as here.
    RecordReadings readings(node, stored);
    QVariantMap start, finish;
    if (!readings.at(midnight(from), start) || !readings.at(midnight(to.addDays(1)), finish))
        return Declined;

    out = Totals();
    out.firstDate = firstDate.constFirst();
    out.lastDate = lastDate.constFirst();
    for (int i = 0; i < codes.size(); ++i) {
        const QString &code = codes.at(i);
        const RangeCells &range = ranges.at(i);
        if (catalogue.isFlags(code)) {
            setCell(out.cells, code, range.bitUnion());
        } else if (catalogue.isAveraged(code)) {
            setCell(out.cells, code, range.mean());
        } else if (catalogue.isCumulative(code)) {
            const QVariant opening = start.value(code);
            const QVariant closing = finish.value(code);
            setCell(out.cells, code, opening.isValid() && closing.isValid()
                                         ? QVariant(closing.toDouble() - opening.toDouble()) : range.sum());
        }
    }
    for (const QString &column : dimensionColumns) {
        const int c = names.indexOf(column);
        QVector<QVariant> value;
        if (c < 0)
            continue;
        if (!days.readCells(c, newest, last, value))
            return Declined;
        setCell(out.cells, column, value.constFirst());
    }
    return Done;
}
