#include "archivereports.h"

#include "archivedates.h"
#include "archivenames.h"
#include "archivestore.h"
#include "columnaggregates.h"
#include "database.h"
#include "groups.h"
#include "metadatacatalogue.h"
#include "nodes.h"
#include "storedrangetotals.h"
#include "taildays.h"
#include "totalizerreadings.h"
#include "watervolume.h"
#include "zeltosystem.h"

#include <QSet>

#include <memory>

namespace {

const QString kId = QStringLiteral("id");
const QString kGroupId = QStringLiteral("group_id");
const QString kModelCode = QStringLiteral("model_code");
const QString kModelName = QStringLiteral("model_name");
const QString kNumber = QStringLiteral("number");
const QString kRangeTotals = QStringLiteral("range_totals");
const QString kRangeMiddles = QStringLiteral("range_middles");
const QString kHourMiddles = QStringLiteral("hour_middles");
const QString kFirstTotals = QStringLiteral("first_totals");
const QString kLastTotals = QStringLiteral("last_totals");
const QString kCalcV = QStringLiteral("calcV");
const QString kBhp = QStringLiteral("S1_BHP");

const int kDefaultTailBaseDays = 3;

QDateTime midnight(const QDate &date)
{
    return QDateTime(date, QTime(0, 0), Qt::LocalTime);
}

const QString &dateColumn()
{
    return ArchiveDates::column();
}

// The stored archive as a whole, sorted by date as the store keeps it;
// empty when there is none or it cannot be read (such a node contributes
// nothing, without an error of the report).
ZeltoTable wholeArchive(StoredDataReader &database, int nodeId, const QString &archive)
{
    return ArchiveStore::stored(database, nodeId, archive).valueOr(ZeltoTable());
}

// A day range of an archive, with the same leniency.
ZeltoTable archiveRows(StoredDataReader &database, int nodeId, const QString &archive, const QDateTime &from,
                       const QDateTime &to)
{
    return ArchiveStore::stored(database, nodeId, archive, from, to).valueOr(ZeltoTable());
}

ZeltoTable oneRow(const QVariantMap &values)
{
    ZeltoTable table;
    if (!values.isEmpty())
        table.appendRow(values);
    return table;
}

// One summary row, its "date" cell first and then the values in the order
// they are set; cells without a value are left out.
class SummaryRow
{
public:
    explicit SummaryRow(const QString &label)
    {
        m_table.appendRow();
        m_table.setValue(0, dateColumn(), label);
    }
    void set(const QString &column, const QVariant &value)
    {
        if (value.isValid())
            m_table.setValue(0, column, value);
    }
    // The values in the order of columns, then the rest.
    void setAll(const QVariantMap &values, const QStringList &columns)
    {
        for (const QString &column : columns)
            set(column, values.value(column));
        for (auto it = values.constBegin(); it != values.constEnd(); ++it) {
            if (!columns.contains(it.key()))
                set(it.key(), it.value());
        }
    }
    const ZeltoTable &table() const { return m_table; }

private:
    ZeltoTable m_table;
};

QString readingLabel(const QDate &day)
{
    return ArchiveReports::tr("На") + QLatin1Char(' ') + day.toString(QStringLiteral("dd.MM.yy"));
}

// The unit and scheme settings of the device (common and per system), which
// tell how the summary values are to be read.
const QStringList &dimensionColumnsOf(const MetadataCatalogue &catalogue)
{
    static const QStringList columns = [&catalogue] {
        const QStringList names = {QStringLiteral("Pdim"), QStringLiteral("Qdim"), QStringLiteral("scheme")};
        QStringList list = names;
        for (int system = 1; system <= catalogue.maxSystemCount(); ++system) {
            for (const QString &name : names)
                list.append(QStringLiteral("S%1_%2").arg(system).arg(name));
        }
        return list;
    }();
    return columns;
}

// The parameters of the catalogue that the row has a value for.
QStringList parametersSetIn(const ZeltoTable &table, int row, const MetadataCatalogue &catalogue)
{
    QStringList codes;
    if (row < 0)
        return codes;
    const QVector<QVariant> &cells = table.rowCells(row);
    for (int c = 0; c < cells.size(); ++c) {
        const QString code = table.columnName(c);
        if (!cells.at(c).isNull() && code != dateColumn() && catalogue.isParam(code))
            codes.append(code);
    }
    return codes;
}

// RNH7 meters: the end of the range moves back to the current reading at
// which the hours of normal operation (S1_BHP), summed from the newest
// reading backwards, reach the newest reading's S1_BHP less its hour of the
// day, or, when those two differ, to a reading of more than a day's hours.
// Only a day inside the range moves the end: a report never reaches beyond
// the days asked for.
void adjustRnh7End(const ZeltoTable &current, const QDate &from, QDate &to)
{
    const int newest = current.rowCount() - 1;
    if (newest < 0)
        return;
    const QVariant bhp = current.value(newest, kBhp);
    const QDateTime newestDate = current.value(newest, dateColumn()).toDateTime();
    if (!ColumnAggregates::isReading(bhp) || !newestDate.isValid())
        return;
    const double hours = bhp.toDouble();
    const int hour = newestDate.time().hour();
    const double needed = hours - hour;
    double sum = 0;
    QDateTime end;
    for (int row = newest; row >= 0 && !end.isValid(); --row) {
        const QVariant value = current.value(row, kBhp);
        if (!ColumnAggregates::isReading(value))
            continue;
        sum += value.toDouble();
        if (sum >= needed || (hours != hour && value.toDouble() > 24))
            end = current.value(row, dateColumn()).toDateTime();
    }
    if (end.isValid() && end.date() < to && end.date() >= from)
        to = end.date();
}

bool hasArchive(const QVariantMap &node, const QString &archive)
{
    return node.value(QStringLiteral("has_") + archive).toBool();
}

// The counter readings of a node at chosen midnights, from the first source
// it has: a totals archive, else the monthly records and, for what those do
// not give, the newest current reading. Each archive is read once.
class NodeReadings
{
public:
    struct Reading {
        QVariantMap values;
        bool computed = false;   // carried, derived or assumed: not a record of that midnight
        bool derived = false;    // from the current reading
    };

    NodeReadings(StoredDataReader &database, const QVariantMap &node, const TotalizerReadings::DayRows &days)
        : m_database(database), m_nodeId(node.value(kId).toInt()), m_readings(days, MetadataCatalogue::instance()),
          m_source(TotalizerReadings::Source::of(
              hasArchive(node, ArchiveNames::dayTotals), hasArchive(node, ArchiveNames::monthTotals),
              hasArchive(node, ArchiveNames::monthData), hasArchive(node, ArchiveNames::currentData)))
    {
    }

    Reading at(const QDateTime &moment)
    {
        Reading reading;
        if (!m_source.records.isEmpty()) {
            if (!m_recordsRead) {
                m_recordTable = wholeArchive(m_database, m_nodeId, m_source.records);
                m_recordsRead = true;
            }
            reading.values = m_readings.fromRecords(m_recordTable, m_source.period, moment, &reading.computed);
        }
        if (!reading.values.isEmpty() || !m_source.fromCurrent)
            return reading;
        m_current.at(
            m_readings, moment, [this] { return wholeArchive(m_database, m_nodeId, ArchiveNames::currentData); },
            [this](const QDate &day) {
                return archiveRows(m_database, m_nodeId, ArchiveNames::hourData, midnight(day),
                                   ArchiveDates::endOfDay(day));
            },
            reading.values);
        reading.derived = reading.computed = !reading.values.isEmpty();
        return reading;
    }

private:
    StoredDataReader &m_database;
    int m_nodeId;
    TotalizerReadings m_readings;
    const TotalizerReadings::Source m_source;
    bool m_recordsRead = false;
    ZeltoTable m_recordTable;
    TotalizerReadings::CurrentCarry m_current;
};

// Models that measure mass only: their volumes are derived when the
// readings had to be derived from current data.
bool measuresMassOnly(const QString &model)
{
    static const QSet<QString> models = {QStringLiteral("QRV2"), QStringLiteral("QRV3"), QStringLiteral("QRV5"),
                                         QStringLiteral("QRV12"), QStringLiteral("QRV13")};
    return models.contains(model);
}

void setSummaryValue(ZeltoTableMap &report, const QString &name, const QString &column, const QVariant &value)
{
    const auto table = report.find(name);
    if (table != report.end() && table->rowCount() > 0 && value.isValid())
        table->setValue(0, column, value);
}

// Volumes from masses in the report's current, daily and hourly rows, and
// their sums and means in the summary rows. The whole archives are left
// alone: nothing of them reaches the report.
void deriveVolumes(ZeltoTableMap &report)
{
    for (const QString &name : {ArchiveNames::currentData, ArchiveNames::dayData, ArchiveNames::hourData}) {
        const auto table = report.find(name);
        if (table == report.end())
            continue;
        const QStringList written = WaterVolume::derive(*table);
        for (const QString &column : written) {
            if (name == ArchiveNames::dayData) {
                setSummaryValue(report, kRangeTotals, column, ColumnAggregates::sum(*table, column));
                setSummaryValue(report, kRangeMiddles, column, ColumnAggregates::mean(*table, column));
            } else if (name == ArchiveNames::hourData) {
                setSummaryValue(report, kHourMiddles, column, ColumnAggregates::mean(*table, column));
            }
        }
    }
}

// A parameter that the device delivers (its newest daily row has it) but
// that a summary or daily row has no value for is marked as not delivered
// there, so that clients tell it from a value of 0 or a lost one.
void markUnused(ZeltoTableMap &report, const MetadataCatalogue &catalogue)
{
    const ZeltoTable days = report.value(ArchiveNames::dayData);
    const QStringList codes = parametersSetIn(days, days.rowCount() - 1, catalogue);
    const QVariant unused = QVariant::fromValue(ZeltoUnused());
    for (const QString &name :
         {kRangeMiddles, kHourMiddles, kRangeTotals, kFirstTotals, kLastTotals, ArchiveNames::dayData}) {
        const auto table = report.find(name);
        if (table == report.end())
            continue;
        for (const QString &code : codes) {
            int c = table->columnIndex(code);
            for (int row = 0; row < table->rowCount(); ++row) {
                if (c >= 0 && !table->value(row, c).isNull())
                    continue;
                if (c < 0)
                    c = table->appendColumn(code);
                table->setValue(row, c, unused);
            }
        }
    }
}

} // namespace

ZeltoResult<ZeltoTableMap> ArchiveReports::rangeTotals(const CommandContext &context, int nodeId, QDate &from,
                                                       QDate &to, ZeltoTable *dayOut, ZeltoTable *hourOut,
                                                       bool tailDays)
{
    const ZeltoResult<QVariantMap> node = Nodes::find(context, nodeId);
    if (!node.ok())
        return node.status();
    if (node.value().isEmpty())
        return ZeltoTableMap();
    return rangeTotals(*context.database(), node.value(), from, to, dayOut, hourOut,
                       tailOf(*context.database(), from, to, tailDays));
}

ArchiveReports::Tail ArchiveReports::tailOf(Database &database, const QDate &from, const QDate &to, bool tailDays)
{
    Tail tail;
    tail.extend = tailDays && TailDays::isWholeMonth(from, to)
        && database.setting(QStringLiteral("calcTailDays")).value().toBool();
    if (tail.extend) {
        const QVariant baseDays = database.setting(QStringLiteral("daysForCalcTailDays")).value();
        tail.baseDays = baseDays.isNull() ? kDefaultTailBaseDays : baseDays.toInt();
    }
    return tail;
}

ZeltoTableMap ArchiveReports::rangeTotals(StoredDataReader &database, const QVariantMap &node, QDate &from, QDate &to,
                                          ZeltoTable *dayOut, ZeltoTable *hourOut, const Tail &tail, Summaries wanted)
{
    const MetadataCatalogue &catalogue = MetadataCatalogue::instance();
    const int nodeId = node.value(kId).toInt();
    if (dayOut)
        *dayOut = ZeltoTable();
    if (hourOut)
        *hourOut = ZeltoTable();
    // The daily archive is decoded whole only when the range is open or
    // estimated days are added to its end; otherwise only the range's rows
    // and the days a reading is carried across are read (a year of days
    // decoded for a month's totals would be most of a group total's cost).
    const bool extendTail = tail.extend;
    const bool whole = extendTail || !from.isValid() || !to.isValid();
    ZeltoTable dayData;
    if (whole) {
        dayData = wholeArchive(database, nodeId, ArchiveNames::dayData);
        if (dayData.rowCount() == 0)
            return ZeltoTableMap();
        if (extendTail)
            TailDays::extend(dayData, to, tail.baseDays, catalogue);
        if (!from.isValid())
            from = dayData.value(0, dateColumn()).toDateTime().date();
        if (!to.isValid())
            to = dayData.value(dayData.rowCount() - 1, dateColumn()).toDateTime().date();
    }
    if (node.value(kModelCode).toString() == QLatin1String("RNH7"))
        adjustRnh7End(wholeArchive(database, nodeId, ArchiveNames::currentData), from, to);

    const TotalizerReadings::DayRows dayRows = [&database, &dayData, whole, nodeId](const QDateTime &low,
                                                                                    const QDateTime &high) {
        return whole ? ArchiveDates::range(dayData, low, high)
                     : archiveRows(database, nodeId, ArchiveNames::dayData, low, high);
    };
    const ZeltoTable days = dayRows(midnight(from), midnight(to));
    if (days.rowCount() == 0)
        return ZeltoTableMap();
    // The hourly archive is the largest: only the range's days are read.
    ZeltoTable hours;
    if (hourOut) {
        hours = archiveRows(database, nodeId, ArchiveNames::hourData, midnight(from), ArchiveDates::endOfDay(to));
        *hourOut = hours;
    }
    if (dayOut)
        *dayOut = days;

    NodeReadings source(database, node, dayRows);
    NodeReadings::Reading first = source.at(midnight(from));
    NodeReadings::Reading last = source.at(midnight(to.addDays(1)));
    const QStringList dayColumns = days.columnNames();
    const int newestDay = days.rowCount() - 1;
    // A range that ends today, or after the days read, closes with the
    // counters at the end of its last day read, and says which day that is.
    QDate lastDay = to;
    const QDate newestDate = days.value(newestDay, dateColumn()).toDateTime().date();
    if (last.values.isEmpty() && newestDate.isValid() && newestDate < to) {
        last = source.at(midnight(newestDate.addDays(1)));
        lastDay = newestDate;
    }
    // No start reading anywhere: the totalizers are taken to have started
    // from zero on the first day, so the end reading is the consumption.
    if (first.values.isEmpty()) {
        for (const QString &code : parametersSetIn(days, newestDay, catalogue)) {
            if (catalogue.isCumulative(code))
                first.values.insert(code, 0.0);
        }
        first.computed = !first.values.isEmpty();
    }

    SummaryRow totals(tr("Итого"));
    SummaryRow middles(tr("Среднее"));
    for (const QString &code : parametersSetIn(days, newestDay, catalogue)) {
        if (catalogue.isFlags(code)) {
            totals.set(code, ColumnAggregates::bitUnion(days, code));
        } else if (catalogue.isAveraged(code)) {
            const QVariant mean = ColumnAggregates::mean(days, code);
            totals.set(code, mean);
            if (wanted == AllSummaries)
                middles.set(code, mean);
        } else if (catalogue.isCumulative(code)) {
            const QVariant start = first.values.value(code);
            const QVariant end = last.values.value(code);
            totals.set(code, start.isValid() && end.isValid() ? QVariant(end.toDouble() - start.toDouble())
                                                             : ColumnAggregates::sum(days, code));
            if (wanted == AllSummaries)
                middles.set(code, ColumnAggregates::mean(days, code));
        }
    }
    if (wanted == TotalsOnly) {
        // Group totals read the totals row alone: the other summaries are not built.
        for (const QString &column : dimensionColumnsOf(catalogue))
            totals.set(column, days.value(newestDay, column));
        return ZeltoTableMap{{kRangeTotals, totals.table()}};
    }
    SummaryRow hourMiddles(tr("Среднее"));
    for (const QString &code : parametersSetIn(hours, hours.rowCount() - 1, catalogue)) {
        if (catalogue.isAveraged(code) || catalogue.isCumulative(code))
            hourMiddles.set(code, ColumnAggregates::mean(hours, code));
    }
    SummaryRow firstRow(readingLabel(from));
    firstRow.setAll(first.values, dayColumns);
    SummaryRow lastRow(readingLabel(lastDay));
    lastRow.setAll(last.values, dayColumns);

    QList<SummaryRow *> summaries = {&totals, &middles};
    if (hours.rowCount() > 0)
        summaries.append(&hourMiddles);
    if (!first.values.isEmpty())
        summaries.append(&firstRow);
    if (!last.values.isEmpty())
        summaries.append(&lastRow);
    for (const QString &column : dimensionColumnsOf(catalogue)) {
        const QVariant value = days.value(newestDay, column);
        for (SummaryRow *summary : qAsConst(summaries))
            summary->set(column, value);
    }
    const std::pair<SummaryRow *, const NodeReadings::Reading *> readingRows[] = {{&firstRow, &first},
                                                                                  {&lastRow, &last}};
    for (const auto &row : readingRows) {
        if (row.second->computed)
            row.first->set(TailDays::calcColumn(), true);
        if (row.second->derived)
            row.first->set(kCalcV, true);
    }

    ZeltoTableMap result;
    result.insert(kRangeTotals, totals.table());
    result.insert(kRangeMiddles, middles.table());
    if (hours.rowCount() > 0)
        result.insert(kHourMiddles, hourMiddles.table());
    if (!first.values.isEmpty())
        result.insert(kFirstTotals, firstRow.table());
    if (!last.values.isEmpty())
        result.insert(kLastTotals, lastRow.table());
    return result;
}

ZeltoResult<ZeltoTableMap> ArchiveReports::reportData(const CommandContext &context, int nodeId, const QDate &fromDay,
                                                      const QDate &toDay)
{
    const ZeltoResult<QVariantMap> found = Nodes::find(context, nodeId);
    if (!found.ok())
        return found.status();
    const QVariantMap node = found.value();
    if (node.isEmpty())
        return ZeltoTableMap();
    QDate from = fromDay;
    QDate to = toDay;
    ZeltoTable days;
    ZeltoTable hours;
    ZeltoTableMap report
        = rangeTotals(*context.database(), node, from, to, &days, &hours, tailOf(*context.database(), from, to, true));
    if (days.rowCount() == 0)
        return ZeltoTableMap();

    report.insert(QStringLiteral("info"), oneRow(node));
    const ZeltoResult<QVariantMap> group = Groups::find(context, node.value(kGroupId).toInt());
    if (!group.ok())
        return group.status();
    report.insert(QStringLiteral("group"), oneRow(group.value()));
    report.insert(ArchiveNames::currentData,
                  ArchiveStore::newestStored(*context.database(), nodeId, ArchiveNames::currentData).valueOr(ZeltoTable()));
    report.insert(ArchiveNames::dayData, days);
    report.insert(ArchiveNames::hourData, hours);

    if (measuresMassOnly(node.value(kModelCode).toString())) {
        const ZeltoTable readings = report.value(kFirstTotals).rowCount() > 0 ? report.value(kFirstTotals)
                                                                               : report.value(kLastTotals);
        if (readings.value(0, kCalcV).toBool())
            deriveVolumes(report);
    }
    markUnused(report, MetadataCatalogue::instance());

    for (auto it = report.begin(); it != report.end();) {
        if (it->rowCount() == 0)
            it = report.erase(it);
        else
            ++it;
    }
    return report;
}

ZeltoResult<ZeltoTable> ArchiveReports::groupTotals(const CommandContext &context, const QList<int> &nodeIds,
                                                    const QDate &from, const QDate &to)
{
    // One query for the visible nodes instead of one per id: the list may be long.
    const ZeltoResult<ZeltoTable> visible = Nodes::archiveHolders(context);
    if (!visible.ok())
        return visible.status();
    return groupTotalsOf(*context.database(), visible.value(), nodeIds, from, to);
}

const QStringList &ArchiveReports::dimensionColumns()
{
    return dimensionColumnsOf(MetadataCatalogue::instance());
}

QHash<int, int> ArchiveReports::nodeRowsOf(const ZeltoTable &nodes)
{
    QHash<int, int> rows;
    const int idColumn = nodes.columnIndex(kId);
    if (idColumn < 0)
        return rows;
    rows.reserve(nodes.rowCount());
    for (int row = 0; row < nodes.rowCount(); ++row) {
        const QVector<QVariant> &cells = nodes.rowCells(row);
        rows.insert(idColumn < cells.size() ? cells.at(idColumn).toInt() : 0, row);
    }
    return rows;
}

ZeltoTable ArchiveReports::groupTotalsOf(StoredDataReader &database, const ZeltoTable &nodes, const QList<int> &nodeIds,
                                         const QDate &from, const QDate &to, int *fromBytes,
                                         const QHash<int, int> *nodeRows, StoredRangeTotals *stored)
{
    ZeltoTable result;
    appendGroupTotals(result, database, nodes, nodeIds, from, to, fromBytes, nodeRows, stored);
    return result;
}

void ArchiveReports::appendGroupTotals(ZeltoTable &result, StoredDataReader &database, const ZeltoTable &nodes,
                                       const QList<int> &nodeIds, const QDate &from, const QDate &to, int *fromBytes,
                                       const QHash<int, int> *nodeRows, StoredRangeTotals *stored)
{
    // The leading columns, where a table of earlier parts already has them.
    const int idOut = result.appendColumn(QStringLiteral("node_id")), modelCodeOut = result.appendColumn(kModelCode),
              modelNameOut = result.appendColumn(kModelName), numberOut = result.appendColumn(kNumber),
              firstDateOut = result.appendColumn(QStringLiteral("first_date")),
              lastDateOut = result.appendColumn(QStringLiteral("last_date"));
    const int modelCodeIn = nodes.columnIndex(kModelCode), modelNameIn = nodes.columnIndex(kModelName),
              numberIn = nodes.columnIndex(kNumber);
    const QHash<int, int> own = nodeRows ? QHash<int, int>() : nodeRowsOf(nodes);
    const QHash<int, int> &rowOfNode = nodeRows ? *nodeRows : own;
    // Each node's place in listed, where its outcome and totals are kept.
    QList<int> listed;
    QHash<int, int> placeOf;
    placeOf.reserve(nodeIds.size());
    for (int id : nodeIds) {
        if (rowOfNode.contains(id) && !placeOf.contains(id)) {
            placeOf.insert(id, listed.size());
            listed.append(id);
        }
    }

    // The archives of all the nodes in a few statements, their totals
    // computed from the bytes where that covers them; the others (and all
    // when the statement fails) take the general path below.
    QVector<StoredRangeTotals::Outcome> outcomes(listed.size(), StoredRangeTotals::Declined);
    QVector<StoredRangeTotals::Totals> quick(listed.size());
    int quickCount = 0;
    // A job's own serves when it is for this range; else one for this call.
    std::unique_ptr<StoredRangeTotals> ownTotals;
    if (ArchiveStore::isSplicing() && from.isValid() && to.isValid() && !listed.isEmpty()) {
        if (!stored || stored->from() != from || stored->to() != to) {
            ownTotals.reset(new StoredRangeTotals(from, to, dimensionColumns()));
            stored = ownTotals.get();
        }
        const auto column = [&nodes](const char *name) { return nodes.columnIndex(QLatin1String(name)); };
        const int model = column("model_code"), dayTotals = column("has_day_totals"),
                  monthTotals = column("has_month_totals"), monthData = column("has_month_data"),
                  currentData = column("has_current_data");
        StoredRangeTotals::Node node;
        database.storedRows(QStringLiteral("nodes"), listed, StoredRangeTotals::archives(),
                            [&](int id, const QVector<QVariant> &values) {
            const auto nodeRow = rowOfNode.constFind(id);
            const int place = placeOf.value(id, -1);
            if (nodeRow == rowOfNode.constEnd() || place < 0 || values.size() < 5)
                return;
            const QVector<QVariant> &cells = nodes.rowCells(nodeRow.value());
            const auto cell = [&cells](int column) {
                return column >= 0 && column < cells.size() ? cells.at(column) : QVariant();
            };
            node.id = id;
            node.modelCode = cell(model).toString();
            node.hasDayTotals = cell(dayTotals).toBool();
            node.hasMonthTotals = cell(monthTotals).toBool();
            node.hasMonthData = cell(monthData).toBool();
            node.hasCurrentData = cell(currentData).toBool();
            node.dayData = values.at(0);
            node.dayTotals = values.at(1);
            node.monthTotals = values.at(2);
            node.monthData = values.at(3);
            node.currentData = values.at(4);
            outcomes[place] = stored->compute(database, node, quick[place]);
            if (outcomes.at(place) != StoredRangeTotals::Declined)
                ++quickCount;
            // The bytes may be the database's own, valid only until this returns.
            node.dayData = node.dayTotals = node.monthTotals = node.monthData = node.currentData = QVariant();
        });
    }
    if (fromBytes)
        *fromBytes = quickCount;

    const int unusedType = qMetaTypeId<ZeltoUnused>();
    // The result's column of each of the totals' columns (-1: not looked up yet).
    QVector<int> resultColumns;
    for (int place = 0; place < listed.size(); ++place) {
        if (outcomes.at(place) == StoredRangeTotals::NoRow)
            continue;
        const int id = listed.at(place);
        const int nodeRow = rowOfNode.value(id);
        if (outcomes.at(place) == StoredRangeTotals::Done) {
            StoredRangeTotals::Totals *known = &quick[place];
            // The row whole at once, its new columns added first; the cells moved, used once.
            for (const auto &cell : qAsConst(known->cells)) {
                while (cell.first >= resultColumns.size())
                    resultColumns.append(-1);
                if (resultColumns.at(cell.first) < 0 && !cell.second.isNull() && cell.second.userType() != unusedType)
                    resultColumns[cell.first] = result.appendColumn(stored->columns().at(cell.first));
            }
            QVector<QVariant> cells(result.columnCount());
            cells[idOut] = id;
            cells[modelCodeOut] = nodes.value(nodeRow, modelCodeIn);
            cells[modelNameOut] = nodes.value(nodeRow, modelNameIn);
            cells[numberOut] = nodes.value(nodeRow, numberIn);
            cells[firstDateOut] = known->firstDate;
            cells[lastDateOut] = known->lastDate;
            for (auto &cell : known->cells) {
                if (!cell.second.isNull() && cell.second.userType() != unusedType)
                    cells[resultColumns.at(cell.first)] = std::move(cell.second);
            }
            result.appendRow(std::move(cells));
            continue;
        }
        const QVariantMap node = nodes.toMap(nodeRow);
        QDate nodeFrom = from;
        QDate nodeTo = to;
        ZeltoTable days;
        const ZeltoTable totals
            = rangeTotals(database, node, nodeFrom, nodeTo, &days, nullptr, Tail(), TotalsOnly).value(kRangeTotals);
        if (totals.rowCount() == 0)
            continue;
        QVector<QVariant> cells(result.columnCount());
        cells[idOut] = id;
        cells[modelCodeOut] = node.value(kModelCode);
        cells[modelNameOut] = node.value(kModelName);
        cells[numberOut] = node.value(kNumber);
        cells[firstDateOut] = days.value(0, dateColumn());
        cells[lastDateOut] = days.value(days.rowCount() - 1, dateColumn());
        const int row = result.appendRow(std::move(cells));
        for (int c = 0; c < totals.columnCount(); ++c) {
            const QVariant value = totals.value(0, c);
            if (totals.columnName(c) != dateColumn() && !value.isNull() && value.userType() != unusedType)
                result.setValue(row, totals.columnName(c), value);
        }
    }
}
