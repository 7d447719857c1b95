#include "storedrangetotals.h"

#include "archivedates.h"
#include "archivenames.h"
#include "archivestore.h"
#include "columnaggregates.h"
#include "database.h"
#include "storeddatareader.h"
#include "metadatacatalogue.h"
#include "totalizerreadings.h"
#include "zeltolocaltime.h"
#include "zeltotablesplice.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace {

// Bytes that the general path reads as an archive without rows.
bool holdsNothing(const QVariant &bytes)
{
    return bytes.isNull() || (bytes.userType() == QMetaType::QByteArray && bytes.toByteArray().isEmpty());
}


// How the totals row sums up a parameter.
enum class Kind { None, Flags, Averaged, Cumulative };

Kind kindOf(const MetadataCatalogue &catalogue, const QString &code)
{
    if (!catalogue.isParam(code))
        return Kind::None;
    if (catalogue.isFlags(code))
        return Kind::Flags;
    if (catalogue.isAveraged(code))
        return Kind::Averaged;
    return catalogue.isCumulative(code) ? Kind::Cumulative : Kind::None;
}

// What the catalogue says of each column of a table: how the totals sum it
// up, and whether it is a counter; and where its date and dimension columns
// are. The archives of one kind of meter share their column names (one
// list, as ZeltoTableSplice::open gives them, compared by its shared data
// first): they are looked at again only when the names change.
class ColumnKinds
{
public:
    // id: the number of a column name among those of the job's totals;
    // dimensions: the dimension columns wanted, with their ids.
    const ColumnKinds &of(const QStringList &names, const std::function<int(const QString &)> &id,
                          const QVector<QPair<QString, int>> &dimensions)
    {
        if (m_names != names || m_kinds.size() != names.size()) {
            const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
            m_names = names;
            m_kinds.clear();
            m_counters.clear();
            m_ids.clear();
            m_dimensions.clear();
            for (const QString &name : names) {
                m_kinds.append(kindOf(catalogue, name));
                m_counters.append(catalogue.isCumulative(name));
                m_ids.append(id(name));
            }
            m_dateColumn = names.indexOf(ArchiveDates::column());
            for (const auto &dimension : dimensions) {
                const int c = names.indexOf(dimension.first);
                if (c >= 0)
                    m_dimensions.append({c, dimension.second});
            }
        }
        return *this;
    }

    Kind kind(int column) const { return m_kinds.at(column); }
    bool isCounter(int column) const { return m_counters.at(column); }
    int id(int column) const { return m_ids.at(column); }
    int dateColumn() const { return m_dateColumn; }
    // The dimension columns the table has, in the order wanted: column, id.
    const QVector<QPair<int, int>> &dimensions() const { return m_dimensions; }

private:
    QStringList m_names;
    QVector<Kind> m_kinds;
    QVector<bool> m_counters;
    QVector<int> m_ids;
    int m_dateColumn = -1;
    QVector<QPair<int, int>> m_dimensions;
};

// Where each of some names is in another list (-1: not there). The tables
// of one kind of meter share their column lists: worked out again only
// when either list changes.
class ColumnsIn
{
public:
    const QVector<int> &of(const QStringList &names, const QStringList &into)
    {
        if (m_names != names || m_into != into || m_columns.size() != names.size()) {
            m_names = names;
            m_into = into;
            m_columns.clear();
            for (const QString &name : names)
                m_columns.append(into.indexOf(name));
        }
        return m_columns;
    }

private:
    QStringList m_names, m_into;
    QVector<int> m_columns;
};

// The counters of a node at one moment. Read in place they are one value per
// column of its records archive (NaN where a column has none), so that no map
// is built per node; else they are by name, as TotalizerReadings gives them.
class Reading
{
public:
    void clear()
    {
        m_columns = nullptr;
        m_count = 0;
        m_byName.clear();
    }

    // Read in place: the columns of the records archive, none of them set yet.
    void inPlace(const QStringList &columns)
    {
        m_columns = &columns;
        m_byColumn.assign(size_t(columns.size()), std::numeric_limits<double>::quiet_NaN());
        m_count = 0;
        m_byName.clear();
    }

    void set(int column, double value)
    {
        m_byColumn[size_t(column)] = value;
        ++m_count;
    }

    void setByName(const QVariantMap &values)
    {
        clear();
        m_byName = values;
    }

    bool isEmpty() const { return m_columns ? m_count == 0 : m_byName.isEmpty(); }

    // The columns read in place, null when the reading is by name.
    const QStringList *columns() const { return m_columns; }

    // The reading of a parameter; column is its index in columns() (-1:
    // none), used when read in place.
    bool find(const QString &code, int column, double &value) const
    {
        if (m_columns) {
            if (column < 0 || !std::isfinite(m_byColumn[size_t(column)]))
                return false;
            value = m_byColumn[size_t(column)];
            return true;
        }
        const auto found = m_byName.constFind(code);
        if (found == m_byName.constEnd())
            return false;
        value = found.value().toDouble();
        return true;
    }

private:
    const QStringList *m_columns = nullptr;
    std::vector<double> m_byColumn;
    int m_count = 0;
    QVariantMap m_byName;
};

} // namespace

// What a group total's nodes share, and the tables and buffers each is read
// with in turn. Caches of what many nodes share are bounded: a long job
// over odd dates cannot grow them without end.
struct StoredRangeTotals::State
{
    State(const QDate &from, const QDate &to, const QStringList &dimensionColumns)
        : from(from), to(to)
    {
        for (const QString &name : dimensionColumns)
            this->dimensionColumns.append({name, columnId(name)});
    }

    State(const State &) = delete;
    State &operator=(const State &) = delete;

    // The midnight starting a date, and its instant in ms (a local time
    // converted once per date, not once per node).
    struct Midnight
    {
        QDateTime moment;
        qint64 ms = 0;
    };
    Midnight midnight(const QDate &date)
    {
        const auto found = midnights.constFind(date.toJulianDay());
        if (found != midnights.constEnd())
            return found.value();
        if (midnights.size() > 1000)
            midnights.clear();
        const QDateTime moment(date, QTime(0, 0), Qt::LocalTime);
        return midnights.insert(date.toJulianDay(), {moment, moment.toMSecsSinceEpoch()}).value();
    }

    // The cell of a date-time column at an instant, as the stored table reads
    // it; the days of many nodes share their dates.
    QVariant dateCell(qint64 ms, Qt::TimeSpec timeSpec)
    {
        QHash<qint64, QVariant> &known = dateCells[timeSpec == Qt::UTC];
        const auto found = known.constFind(ms);
        if (found != known.constEnd())
            return found.value();
        if (known.size() > 10000)
            known.clear();
        const QVariant cell(timeSpec == Qt::UTC ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC) : localTime.fromEpoch(ms));
        known.insert(ms, cell);
        return cell;
    }

    // The number of a column name among the job's.
    int columnId(const QString &name)
    {
        const auto found = columnIds.constFind(name);
        if (found != columnIds.constEnd())
            return found.value();
        columns.append(name);
        columnIds.insert(name, columns.size() - 1);
        return columns.size() - 1;
    }

    // The instant at which the record of a date took its counters; the
    // records of many nodes share their dates.
    qint64 recordEnd(qint64 date, TotalizerReadings::Period period, Qt::TimeSpec timeSpec)
    {
        QHash<qint64, qint64> &known = recordEnds[period == TotalizerReadings::Day][timeSpec == Qt::UTC];
        const auto found = known.constFind(date);
        if (found != known.constEnd())
            return found.value();
        if (known.size() > 100000)
            known.clear();
        const qint64 end
            = TotalizerReadings::recordEnd(QDateTime::fromMSecsSinceEpoch(date, timeSpec), period).toMSecsSinceEpoch();
        known.insert(date, end);
        return end;
    }

    // What the catalogue says of the columns of a table opened in one of the splices.
    const ColumnKinds &kindsOf(const ZeltoTableSplice &table, ColumnKinds &kinds)
    {
        return kinds.of(table.columnNames(), idOf, dimensionColumns);
    }

    // A stored archive opened in place, with the instants of its rows' dates;
    // false when it is not in the current format with a date on every row in
    // date order (the general path decodes such an archive whole).
    bool openSorted(const QVariant &bytes, ZeltoTableSplice &table, ColumnKinds &kinds, QVector<qint64> &instants,
                    Qt::TimeSpec &timeSpec)
    {
        return bytes.userType() == QMetaType::QByteArray && table.open(bytes.toByteArray())
            && table.instants(kindsOf(table, kinds).dateColumn(), instants, timeSpec) && !instants.isEmpty()
            && std::is_sorted(instants.cbegin(), instants.cend());
    }

    const QDate from, to;
    QVector<QPair<QString, int>> dimensionColumns;   // with their ids
    QStringList columns;                          // the column names of the totals, by id
    QHash<QString, int> columnIds;
    const std::function<int(const QString &)> idOf = [this](const QString &name) { return columnId(name); };
    QHash<qint64, Midnight> midnights;            // by Julian day
    QHash<qint64, qint64> recordEnds[2][2];       // [daily records][UTC dates]: record date -> end, ms
    QHash<qint64, QVariant> dateCells[2];         // [UTC]: by instant, ms
    ZeltoLocalTime localTime;
    ColumnKinds dayKinds, recordKinds;            // of the daily rows, of the records archive
    ColumnsIn startColumns, finishColumns;        // the daily columns in the readings at the range's ends
    // The node's two tables; open only during compute(), as its bytes may not outlive the call.
    ZeltoTableSplice days, records;
    QVector<qint64> dayKeys, recordInstants;      // the instants of their rows' dates
    Reading start, finish;                        // the counters at the range's ends
    std::vector<double> numbers;                  // a column's cells read as doubles
    QVector<QVariant> cells;                      // cells read as they are
};

namespace {

// The counters of a node at chosen midnights from the source the general
// path takes them from: a record of that very midnight read in place, else
// the records decoded whole and carried by TotalizerReadings with the node's
// daily rows read in place, else (without a totals archive) the current
// reading, less the hours of its day, carried the same way.
class RecordReadings
{
public:
    RecordReadings(StoredDataReader &database, const StoredRangeTotals::Node &node, StoredRangeTotals::State &state)
        : m_database(database), m_node(node), m_state(state),
          m_readings([this](const QDateTime &low, const QDateTime &high) { return dayRows(low, high); },
                     MetadataCatalogue::instance()),
          m_source(TotalizerReadings::Source::of(node.hasDayTotals, node.hasMonthTotals, node.hasMonthData,
                                                 node.hasCurrentData)),
          m_table(state.records)
    {
        if (m_source.records.isEmpty())
            return;
        m_bytes = m_source.records == ArchiveNames::dayTotals     ? &node.dayTotals
                  : m_source.records == ArchiveNames::monthTotals ? &node.monthTotals
                                                                  : &node.monthData;
        m_empty = holdsNothing(*m_bytes);
        m_sorted = !m_empty
            && m_state.openSorted(*m_bytes, m_table, m_state.recordKinds, m_state.recordInstants, m_timeSpec);
    }

    // The reading at the midnight moment into values (empty: none at all);
    // false when the general path must find it.
    bool at(const StoredRangeTotals::State::Midnight &moment, Reading &values)
    {
        if (!fromRecords(moment, values))
            return false;
        if (!values.isEmpty() || !m_source.fromCurrent)
            return true;
        const auto readHours = [this](const QDate &day) {
            // The hourly day's bytes handed in place, as the other archives' are.
            static const QStringList hourly = {ArchiveNames::hourData};
            ZeltoTable hours;
            m_database.storedRows(QStringLiteral("nodes"), {m_node.id}, hourly, [&](int, const QVector<QVariant> &stored) {
                hours = ArchiveStore::storedRange(m_node.id, ArchiveNames::hourData, stored.value(0),
                                                  m_state.midnight(day).moment, ArchiveDates::endOfDay(day))
                            .valueOr(ZeltoTable());
            });
            return hours;
        };
        QVariantMap carried;
        if (m_current.at(m_readings, moment.moment,
                         [this] { return decoded(m_node.currentData, ArchiveNames::currentData); }, readHours, carried))
            values.setByName(carried);
        return !m_dayRowsFailed;
    }

private:
    // An archive as the general path reads it whole: what is no table is none.
    static ZeltoTable decoded(const QVariant &bytes, const QString &archive)
    {
        const ZeltoResult<QVariant> whole = Database::decodeValue(bytes, archive);
        return whole.ok() && whole.value().userType() == qMetaTypeId<ZeltoTable>() ? whole.value().value<ZeltoTable>()
                                                                                   : ZeltoTable();
    }

    // The reading from the records alone; false when it cannot be found here.
    bool fromRecords(const StoredRangeTotals::State::Midnight &moment, Reading &values)
    {
        values.clear();
        if (!m_bytes || m_empty)
            return true;
        if (m_sorted) {
            // A record of the moment is dated within its day or month before
            // it: only those near it are looked at, in stored order, and the
            // first with counters is the reading, as TotalizerReadings takes it.
            const QVector<qint64> &instants = m_state.recordInstants;
            const qint64 reach = qint64(m_source.period == TotalizerReadings::Day ? 2 : 33) * 86400000;
            const qint64 at = moment.ms;
            const auto first = std::lower_bound(instants.cbegin(), instants.cend(), at - reach);
            const auto last = std::upper_bound(first, instants.cend(), at + reach);
            for (auto it = first; it != last; ++it) {
                if (m_state.recordEnd(*it, m_source.period, m_timeSpec) != at)
                    continue;
                if (!counters(int(it - instants.cbegin()), values))
                    return false;
                if (!values.isEmpty())
                    return true;
            }
        }
        if (!m_decoded) {
            m_whole = decoded(*m_bytes, m_source.records);
            m_decoded = true;
        }
        values.setByName(m_readings.fromRecords(m_whole, m_source.period, moment.moment));
        return !m_dayRowsFailed;
    }

    // The daily rows dated low..high, as a range read of the archive gives them.
    ZeltoTable dayRows(const QDateTime &low, const QDateTime &high)
    {
        const QVector<qint64> &keys = m_state.dayKeys;
        const auto begin
            = low.isValid() ? std::lower_bound(keys.cbegin(), keys.cend(), low.toMSecsSinceEpoch()) : keys.cbegin();
        const auto end = high.isValid() ? std::upper_bound(begin, keys.cend(), high.toMSecsSinceEpoch()) : keys.cend();
        ZeltoTable rows;
        if (!m_state.days.readRows(int(begin - keys.cbegin()), int(end - keys.cbegin()), rows))
            m_dayRowsFailed = true;
        return rows;
    }

    // The readings of the accumulating parameters in one record.
    bool counters(int row, Reading &values)
    {
        const QStringList &names = m_table.columnNames();
        const ColumnKinds &kinds = m_state.kindsOf(m_table, m_state.recordKinds);
        std::vector<double> &number = m_state.numbers;
        QVector<QVariant> &cell = m_state.cells;
        values.inPlace(names);
        for (int c = 0; c < names.size(); ++c) {
            if (!kinds.isCounter(c))
                continue;
            if (m_table.readNumbers(c, row, row + 1, number)) {
                if (std::isfinite(number.front()))
                    values.set(c, number.front());
                continue;
            }
            if (!m_table.readCells(c, row, row + 1, cell))
                return false;
            if (ColumnAggregates::isReading(cell.constFirst()))
                values.set(c, cell.constFirst().toDouble());
        }
        return true;
    }

    StoredDataReader &m_database;
    const StoredRangeTotals::Node &m_node;
    StoredRangeTotals::State &m_state;
    TotalizerReadings m_readings;
    const TotalizerReadings::Source m_source;
    ZeltoTableSplice &m_table;   // the records archive, opened here when the node has one
    const QVariant *m_bytes = nullptr;   // of the records archive, when the node has one
    Qt::TimeSpec m_timeSpec = Qt::LocalTime;
    bool m_empty = true;
    bool m_sorted = false;
    bool m_decoded = false;
    bool m_dayRowsFailed = false;
    ZeltoTable m_whole;
    TotalizerReadings::CurrentCarry m_current;
};

// The aggregate of a column over rows from..to of the kind (for an
// accumulating parameter the sum of its days), where the newest row, to - 1,
// has a cell; present says whether it has. Without wanted only that is
// found out. False when the bytes say no.
bool aggregate(StoredRangeTotals::State &state, int column, int from, int to, Kind kind, bool wanted, bool &present,
               QVariant &value)
{
    ZeltoTableSplice &table = state.days;
    std::vector<double> &numbers = state.numbers;
    QVector<QVariant> &cells = state.cells;
    // A cell of numbers is never null: the column's bitmap tells.
    if (table.numberPresence(column, to - 1, present) && (!present || !wanted))
        return true;
    if (!wanted) {
        if (!table.readCells(column, to - 1, to, cells))
            return false;
        present = !cells.constLast().isNull();
        return true;
    }
    if (table.readNumbers(column, from, to, numbers)) {
        value = kind == Kind::Flags ? ColumnAggregates::bitUnion(numbers)
            : kind == Kind::Averaged ? ColumnAggregates::mean(numbers) : ColumnAggregates::sum(numbers);
        return true;
    }
    if (!table.readCells(column, from, to, cells))
        return false;
    present = !cells.constLast().isNull();
    value = kind == Kind::Flags ? ColumnAggregates::bitUnion(cells)
        : kind == Kind::Averaged ? ColumnAggregates::mean(cells) : ColumnAggregates::sum(cells);
    return true;
}

// Sets a cell of the row: a new column at the end, a known one in place;
// no value, no cell (as the general path's summary row does).
void setCell(QVector<QPair<int, QVariant>> &cells, int column, const QVariant &value)
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
    static const QStringList names = {ArchiveNames::dayData, ArchiveNames::dayTotals, ArchiveNames::monthTotals,
                                      ArchiveNames::monthData, ArchiveNames::currentData};
    return names;
}

StoredRangeTotals::StoredRangeTotals(const QDate &from, const QDate &to, const QStringList &dimensionColumns)
    : m_state(new State(from, to, dimensionColumns))
{
}

StoredRangeTotals::~StoredRangeTotals() = default;

QDate StoredRangeTotals::from() const
{
    return m_state->from;
}

QDate StoredRangeTotals::to() const
{
    return m_state->to;
}

const QStringList &StoredRangeTotals::columns() const
{
    return m_state->columns;
}

StoredRangeTotals::Outcome StoredRangeTotals::compute(StoredDataReader &database, const Node &node, Totals &out)
{
    State &state = *m_state;
    const QDate &from = state.from;
    const QDate &to = state.to;
    if (!from.isValid() || !to.isValid() || node.modelCode == QLatin1String("RNH7"))
        return Declined;
    const QVariant &dayBytes = node.dayData;
    if (holdsNothing(dayBytes))
        return NoRow;
    // Closed on the way out, as the bytes may not outlive the call.
    struct Closing
    {
        State &state;
        ~Closing()
        {
            state.days.open(QByteArray());
            state.records.open(QByteArray());
        }
    } closing{state};
    ZeltoTableSplice &days = state.days;
    const QVector<qint64> &keys = state.dayKeys;
    Qt::TimeSpec timeSpec = Qt::LocalTime;
    if (!state.openSorted(dayBytes, days, state.dayKinds, state.dayKeys, timeSpec))
        return Declined;
    const ColumnKinds &kinds = state.kindsOf(days, state.dayKinds);
    const int dateColumn = kinds.dateColumn();
    // The rows of the range, found as a range read finds them.
    const State::Midnight low = state.midnight(from);
    const State::Midnight high = state.midnight(to);
    const auto begin = low.moment.isValid() ? std::lower_bound(keys.cbegin(), keys.cend(), low.ms) : keys.cbegin();
    const auto end = high.moment.isValid() ? std::upper_bound(begin, keys.cend(), high.ms) : keys.cend();
    const int first = int(begin - keys.cbegin());
    const int last = int(end - keys.cbegin());
    if (last <= first)
        return NoRow;
    // The readings first: a node left to the general path is left early.
    RecordReadings readings(database, node, state);
    Reading &start = state.start;
    Reading &finish = state.finish;
    if (!readings.at(low, start) || !readings.at(state.midnight(to.addDays(1)), finish))
        return Declined;
    const int newest = last - 1;
    // The dates of the rows are their instants (the column was read whole for them).
    const QVariant firstDate = state.dateCell(keys.at(first), timeSpec);
    const QVariant lastDate = state.dateCell(keys.at(newest), timeSpec);
    // A range that ends after the days read closes with the counters at the end of its last day read.
    const QDate newestDate = lastDate.toDateTime().date();
    if (finish.isEmpty() && newestDate.isValid() && newestDate < to
        && !readings.at(state.midnight(newestDate.addDays(1)), finish))
        return Declined;
    // No start reading anywhere: the totalizers are taken to have started from zero on the first day.
    const bool fromZero = start.isEmpty();
    const QStringList &names = days.columnNames();
    const QVector<int> noColumns;
    const QVector<int> &startColumns = start.columns() ? state.startColumns.of(names, *start.columns()) : noColumns;
    const QVector<int> &finishColumns = finish.columns() ? state.finishColumns.of(names, *finish.columns()) : noColumns;
    const auto inStart = [&](int c) { return startColumns.isEmpty() ? -1 : startColumns.at(c); };
    const auto inFinish = [&](int c) { return finishColumns.isEmpty() ? -1 : finishColumns.at(c); };

    // The parameters the newest row has, in order: a counter read at both
    // ends by its readings, the others by their aggregate over the range.
    out = Totals();
    out.cells.reserve(names.size() + kinds.dimensions().size());
    out.firstDate = firstDate;
    out.lastDate = lastDate;
    for (int c = 0; c < names.size(); ++c) {
        const Kind kind = c == dateColumn ? Kind::None : kinds.kind(c);
        if (kind == Kind::None)
            continue;
        double opening = 0.0, closing = 0.0;
        const bool counted = kind == Kind::Cumulative && (fromZero || start.find(names.at(c), inStart(c), opening))
            && finish.find(names.at(c), inFinish(c), closing);
        bool present = false;
        QVariant value;
        if (!aggregate(state, c, first, last, kind, !counted, present, value))
            return Declined;
        if (counted)
            value = closing - opening;
        // Columns of one table: each parameter once.
        if (present && value.isValid())
            out.cells.append({kinds.id(c), value});
    }
    for (const auto &column : kinds.dimensions()) {
        const int c = column.first;
        if (!days.readCells(c, newest, last, state.cells))
            return Declined;
        const QVariant &value = state.cells.constFirst();
        if (kinds.kind(c) != Kind::None)
            setCell(out.cells, column.second, value);
        else if (value.isValid())
            out.cells.append({column.second, value});
    }
    return Done;
}
