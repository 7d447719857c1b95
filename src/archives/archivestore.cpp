#include "archivestore.h"

#include "analizer.h"
#include "archivecells.h"
#include "archivechecks.h"
#include "archivedates.h"
#include "archivenames.h"
#include "changeevents.h"
#include "checklog.h"
#include "database.h"
#include "encodedvalue.h"
#include "fieldlimits.h"
#include "nodevisibility.h"
#include "transactionscope.h"
#include "zeltoclock.h"
#include "zeltoencodedtable.h"
#include "zeltoenvironment.h"
#include "zeltosystem.h"
#include "zeltotablesplice.h"

#include <algorithm>
#include <atomic>

#include <limits>
#include <memory>

namespace {

const QString kNodes = QStringLiteral("nodes");
const QString kNode = QStringLiteral("node");
const QString kInfo = QStringLiteral("info");
const QString kId = QStringLiteral("id");
const QString kWarning = QStringLiteral("warning");
const QString kModelCode = QStringLiteral("model_code");
const QString kSettingData = QStringLiteral("setting_data");
const QString kJournalData = QStringLiteral("journal_data");
const QString kFillData = QStringLiteral("fill_data");
const QString kCheckParams = QStringLiteral("check_params");

const int kDefaultCurrentDataCount = 10;

std::atomic<bool> &splicing()
{
    // ORVEX_ARCHIVE_SPLICE=0 decodes and encodes whole archives, for
    // comparing the two ways.
    static std::atomic<bool> on(ZeltoEnvironment::archiveSplicing());
    return on;
}

// Journals a failure against the node and goes on.
void journalError(const CommandContext &context, int nodeId, const ZeltoStatus &status)
{
    context.journal(QStringLiteral("ERROR"), status.message(), kNode, nodeId);
}

// Abandons the save: rolls back first, so that the journal entry is not
// rolled back with everything else, then journals the reason, which the
// caller gets.
ZeltoStatus abandon(TransactionScope &scope, const CommandContext &context, int nodeId, const ZeltoStatus &status)
{
    scope.rollback();
    journalError(context, nodeId, status);
    return status;
}

// The node id of the info row: a whole number, given as a number.
ZeltoStatus readNodeId(const QVariantMap &info, bool hasInfo, int &nodeId)
{
    if (!hasInfo || !info.contains(kId) || info.value(kId).isNull())
        return ZeltoStatus::invalid(ArchiveStore::tr("Не задан идентификатор узла (столбец id таблицы info)"));
    const QVariant id = info.value(kId);
    bool ok = false;
    switch (id.userType()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        const qlonglong value = id.toLongLong(&ok);
        ok = ok && value >= 0 && value <= std::numeric_limits<int>::max();
        nodeId = ok ? int(value) : -1;
        break;
    }
    case QMetaType::Double: {
        const double value = id.toDouble();
        ok = value >= 0 && value <= std::numeric_limits<int>::max() && value == double(qint64(value));
        nodeId = ok ? int(value) : -1;
        break;
    }
    default:
        break;
    }
    if (!ok)
        return ZeltoStatus::invalid(
            ArchiveStore::tr("Неверный идентификатор узла: %1 (ожидается целое число)").arg(id.toString().left(40)));
    return ZeltoStatus();
}

// One device setting or device journal row per statement; a failing row is
// journalled and the others go on.
void saveSettingData(const CommandContext &context, int nodeId, const ZeltoTable &table)
{
    Database &database = *context.database();
    const ZeltoStatus cleared = database.run(QStringLiteral("DELETE FROM setting_data WHERE node_id = ?"), {nodeId});
    if (!cleared.ok()) {
        journalError(context, nodeId, cleared);
        return;
    }
    const int name = table.columnIndex(QStringLiteral("name"));
    const int value = table.columnIndex(QStringLiteral("value"));
    const QString insert = database.sqlDialect().insertOrReplace(
        QStringLiteral("setting_data"), {QStringLiteral("node_id"), QStringLiteral("name"), QStringLiteral("value")},
        {QStringLiteral("node_id"), QStringLiteral("name")});
    for (int row = 0; row < table.rowCount(); ++row) {
        const ZeltoStatus saved = database.run(insert, {nodeId, table.value(row, name), table.value(row, value)});
        if (!saved.ok())
            journalError(context, nodeId, saved);
    }
}

void saveJournalData(const CommandContext &context, int nodeId, const ZeltoTable &table)
{
    const int ctime = table.columnIndex(QStringLiteral("ctime"));
    const int param = table.columnIndex(QStringLiteral("param"));
    const int oldValue = table.columnIndex(QStringLiteral("old_value"));
    const int newValue = table.columnIndex(QStringLiteral("new_value"));
    const QStringList columns = {QStringLiteral("node_id"), QStringLiteral("ctime"), QStringLiteral("param"),
                                 QStringLiteral("old_value"), QStringLiteral("new_value")};
    const QString insert =
        context.database()->sqlDialect().insertOrReplace(QStringLiteral("journal_data"), columns, columns);
    for (int row = 0; row < table.rowCount(); ++row) {
        const ZeltoStatus saved = context.database()->run(insert, {nodeId, table.value(row, ctime), table.value(row, param),
                                                                   table.value(row, oldValue), table.value(row, newValue)});
        if (!saved.ok())
            journalError(context, nodeId, saved);
    }
}

// The earliest date of a table whose rows all have one.
QDateTime earliestDate(const ZeltoTable &table)
{
    QVector<qint64> keys;
    if (!ArchiveDates::instants(table, keys) || keys.isEmpty())
        return QDateTime();
    const int row = int(std::min_element(keys.cbegin(), keys.cend()) - keys.cbegin());
    return table.value(row, ArchiveDates::column()).toDateTime();
}

// A column's stored value bound again as it was: bytes as bytes.
QVariant asStored(const QVariant &stored)
{
    if (stored.isNull())
        return QVariant();
    if (stored.userType() == QMetaType::QByteArray)
        return QVariant::fromValue(EncodedValue{stored.toByteArray()});
    return stored;
}

ZeltoResult<int> currentDataCount(Database &database)
{
    // Seeded at start-up; a database without the setting keeps the default.
    const ZeltoResult<QVariant> count = database.setting(QStringLiteral("currentDataCount"));
    if (!count.ok())
        return count.status();
    return count.value().isNull() ? kDefaultCurrentDataCount : qMax(0, count.value().toInt());
}

} // namespace

const QStringList &ArchiveStore::archiveNames()
{
    static const QStringList names = {ArchiveNames::currentData, ArchiveNames::monthData, ArchiveNames::monthTotals,
                                      ArchiveNames::dayData,     ArchiveNames::dayTotals, ArchiveNames::hourData};
    return names;
}

const QStringList &ArchiveStore::checkedArchives()
{
    static const QStringList names = {ArchiveNames::currentData, ArchiveNames::monthData, ArchiveNames::dayData,
                                      ArchiveNames::hourData};
    return names;
}

ZeltoStatus ArchiveStore::save(const CommandContext &context, ZeltoTableMap &tables, bool check, const QString &note)
{
    const auto infoTable = tables.constFind(kInfo);
    const bool hasInfo = infoTable != tables.constEnd() && infoTable->rowCount() > 0;
    QVariantMap info = hasInfo ? infoTable->toMap(0) : QVariantMap();
    int nodeId = -1;
    // Input refused before the transaction begins changes nothing, not
    // even the journal; from the transaction on, failures are journalled.
    const ZeltoStatus idRead = readNodeId(info, hasInfo, nodeId);
    if (!idRead.ok())
        return idRead;
    info.insert(kId, nodeId);

    if (!context.database())
        return CommandContext::noDatabase();
    Database &database = *context.database();
    const ZeltoResult<bool> exists = database.has(kNodes, QStringLiteral("id = ?"), {nodeId});
    if (!exists.ok())
        return exists.status();
    if (!exists.value())
        return ZeltoStatus::notFound(tr("Узел не найден"));
    const ZeltoStatus visible = NodeVisibility::mustSee(context, nodeId);
    if (!visible.ok())
        return visible;

    // Node fields too long to keep, cells no archive may hold and rows
    // without a usable date are refused before anything is written.
    ZeltoStatus refused = FieldLimits::check(FieldLimits::Node, info);
    if (refused.ok())
        refused = ArchiveCells::check(tables);
    for (const QString &archive : archiveNames()) {
        const auto table = tables.constFind(archive);
        if (refused.ok() && table != tables.constEnd())
            refused = ArchiveDates::validate(archive, *table);
    }
    if (!refused.ok())
        return refused;

    const QString warning = info.value(kWarning).toString();
    info.remove(kWarning);

    TransactionScope scope(database, QStringLiteral("saveArchives"));
    if (!scope.isActive()) {
        journalError(context, nodeId, scope.status());
        return scope.status();
    }

    // Info of nothing but the node's id changes nothing in its record.
    if (info.size() > 1) {
        const ZeltoResult<int> nodeSaved = database.save(kNodes, info);
        if (!nodeSaved.ok())
            return abandon(scope, context, nodeId, nodeSaved.status());
    }

    const auto settings = tables.constFind(kSettingData);
    if (settings != tables.constEnd())
        saveSettingData(context, nodeId, *settings);
    const auto journal = tables.constFind(kJournalData);
    if (journal != tables.constEnd())
        saveJournalData(context, nodeId, *journal);

    // The node's row is read once, and written back once with every column:
    // an update that leaves columns out makes SQLite read the old row for
    // them, and each column after a long archive walks its pages again.
    static const QStringList rowColumns = archiveNames() + QStringList{kFillData, kCheckParams};
    const ZeltoResult<QVariantMap> storedRow = database.storedRow(kNodes, nodeId, rowColumns);
    if (!storedRow.ok())
        return abandon(scope, context, nodeId, storedRow.status());
    QVariantMap columns;
    for (auto it = storedRow.value().constBegin(); it != storedRow.value().constEnd(); ++it)
        columns.insert(it.key(), asStored(it.value()));

    // A checker without check parameters would find nothing: none is made.
    std::unique_ptr<Analizer> analizer;
    if (check) {
        const ZeltoResult<QVariant> params = Database::decodeValue(storedRow.value().value(kCheckParams), kCheckParams);
        if (!params.ok())
            return abandon(scope, context, nodeId, params.status());
        if (!params.value().toMap().isEmpty()) {
            // The stored model unless the info brings one (the node's row is
            // read for it only here).
            QVariant modelCode = info.value(kModelCode);
            if (!info.contains(kModelCode)) {
                const ZeltoResult<QVariantMap> stored =
                    database.row(QStringLiteral("SELECT model_code FROM nodes WHERE id = ?"), {nodeId});
                if (!stored.ok())
                    return abandon(scope, context, nodeId, stored.status());
                modelCode = stored.value().value(kModelCode);
            }
            analizer.reset(new Analizer(modelCode.toString(), &database));
            analizer->setCheckParams(params.value().toMap());
        }
    }

    const ZeltoResult<QVariant> storedFill = Database::decodeValue(storedRow.value().value(kFillData), kFillData);
    if (!storedFill.ok())
        return abandon(scope, context, nodeId, storedFill.status());
    QVariantMap fill = storedFill.value().toMap();

    // The script sees only the newly read rows, before they are merged.
    auto runScript = [&](const QString &archive) {
        if (!analizer)
            return;
        const auto table = tables.find(archive);
        if (table == tables.end())
            return;
        const ZeltoStatus checked = analizer->check(*table, archive);
        if (!checked.ok())
            journalError(context, nodeId, checked);
    };
    // SQLite rewrites a whole row, every archive of the node included, on
    // each update of one of its columns: the merged archives are written
    // together with the fill data, in one update.
    ZeltoStatus merged;
    auto merge = [&](const QString &archive, bool checkCurrent) {
        merged = ArchiveStore::merge(context, nodeId, archive, storedRow.value().value(archive), tables, fill,
                                     checkCurrent, &columns);
        return merged.ok();
    };

    runScript(ArchiveNames::currentData);
    if (!merge(ArchiveNames::currentData, check))
        return abandon(scope, context, nodeId, merged);
    runScript(ArchiveNames::monthData);
    if (!merge(ArchiveNames::monthData, true) || !merge(ArchiveNames::monthTotals, true))
        return abandon(scope, context, nodeId, merged);
    runScript(ArchiveNames::dayData);
    if (!merge(ArchiveNames::dayData, true) || !merge(ArchiveNames::dayTotals, true))
        return abandon(scope, context, nodeId, merged);
    runScript(ArchiveNames::hourData);
    if (!merge(ArchiveNames::hourData, true))
        return abandon(scope, context, nodeId, merged);

    columns.insert(kFillData, fill);
    const ZeltoStatus archivesSaved = database.write(kNodes, nodeId, columns);
    if (!archivesSaved.ok())
        return abandon(scope, context, nodeId, archivesSaved);

    // One ctime for every finding of this save, equal to last_update: the
    // node record counts the findings of its latest update by it.
    const QDateTime now = context.clock()->now();
    if (analizer) {
        const ZeltoTable findings = analizer->findings();
        for (int row = 0; row < findings.rowCount(); ++row) {
            const ZeltoStatus logged = CheckLog::insert(database, nodeId, now, findings, row);
            if (!logged.ok())
                journalError(context, nodeId, logged);
        }
    }

    int gapTotal = 0;
    for (const QVariant &entry : qAsConst(fill))
        gapTotal += entry.toMap().value(QStringLiteral("gapCount")).toInt();
    // The node's bookkeeping in one statement: this save's time and gaps,
    // and the days of its daily records once it has any.
    QString stamp = QStringLiteral("UPDATE nodes SET last_update = ?, gap_count = ?");
    QVariantList stampValues{now, gapTotal};
    const auto dayFill = fill.constFind(ArchiveNames::dayData);
    if (dayFill != fill.constEnd()) {
        const QVariantMap entry = dayFill->toMap();
        stamp += QStringLiteral(", first_day = ?, last_day = ?");
        stampValues << entry.value(QStringLiteral("firstDate")) << entry.value(QStringLiteral("lastDate"));
    }
    stampValues << nodeId;
    const ZeltoStatus stamped = database.run(stamp + QStringLiteral(" WHERE id = ?"), stampValues);
    if (!stamped.ok())
        return abandon(scope, context, nodeId, stamped);

    // The journal entries go with the save's own commit: one disk sync a save.
    if (!warning.isEmpty())
        context.journal(QStringLiteral("WARN"), warning, kNode, nodeId);
    if (!note.isEmpty())
        context.journal(QStringLiteral("INFO"), note, kNode, nodeId);
    const ZeltoStatus committed = scope.finish();
    if (!committed.ok()) {
        journalError(context, nodeId, committed);
        return committed;
    }
    if (database.openScopes() == 0) {
        ZeltoSystem::instance()->notify(ChangeEvents::ArchivesSaved, nodeId);
        ZeltoSystem::instance()->notify(ChangeEvents::NodeSaved, nodeId);
    }
    return ZeltoStatus();
}

ZeltoStatus ArchiveStore::merge(const CommandContext &context, int nodeId, const QString &archive,
                                const QVariant &bytes, ZeltoTableMap &tables, QVariantMap &fill, bool checkCurrent,
                                QVariantMap *pending)
{
    const auto incoming = tables.find(archive);
    if (incoming == tables.end() || incoming->rowCount() == 0)
        return ZeltoStatus();
    const ZeltoStatus dated = ArchiveDates::validate(archive, *incoming);
    if (!dated.ok())
        return dated;
    if (!context.database())
        return CommandContext::noDatabase();
    Database &database = *context.database();
    if (!archiveNames().contains(archive))
        // Only archive columns are written: the name goes into the statement.
        return ZeltoStatus::invalid(tr("Неизвестный архив: %1").arg(archive.left(40)));
    const bool current = archive == ArchiveNames::currentData;
    // Current data is a short window cut at its start: always done whole.
    QByteArray spliced;
    ZeltoTable tail;
    QVariantMap entry;
    if (!current && splicing().load() && splice(archive, bytes, *incoming, spliced, tail, entry)) {
        const QVariant value = QVariant::fromValue(EncodedValue{spliced});
        if (pending) {
            pending->insert(archive, value);
        } else {
            const ZeltoStatus written = database.run(
                QStringLiteral("UPDATE nodes_data SET %1 = ? WHERE id = ?").arg(archive), {value, nodeId});
            if (!written.ok())
                return written;
        }
        *incoming = tail;
        fill.insert(archive, entry);
        return ZeltoStatus();
    }

    const ZeltoResult<ZeltoTable> decoded = decodeStored(nodeId, archive, bytes);
    if (!decoded.ok())
        return decoded.status();
    ZeltoTable stored = decoded.value();
    if (checkCurrent && current) {
        const ZeltoStatus clock = ArchiveChecks::checkCurrentData(database, stored, *incoming);
        if (!clock.ok())
            return clock;
    }

    // The table handed back starts at the earliest new date.
    const QDateTime firstNew = earliestDate(*incoming);
    ArchiveDates::merge(stored, *incoming);

    if (current) {
        const ZeltoResult<int> keep = currentDataCount(database);
        if (!keep.ok())
            return keep.status();
        while (stored.rowCount() > keep.value())
            stored.removeRow(0);
    }

    if (pending) {
        pending->insert(archive, QVariant::fromValue(stored));
    } else {
        const ZeltoStatus written = database.run(QStringLiteral("UPDATE nodes_data SET %1 = ? WHERE id = ?").arg(archive),
                                                 {QVariant::fromValue(stored), nodeId});
        if (!written.ok())
            return written;
    }
    *incoming = ArchiveDates::range(stored, firstNew, QDateTime());
    if (!current)
        fill.insert(archive, ArchiveChecks::fillEntry(archive, stored));
    return ZeltoStatus();
}

// A day saved into five years of hourly records changes the archive's end
// only: the rows from the first new date on are decoded, merged and encoded
// again, and the bytes of the rows before them are copied as they are, with
// the same result as merging the whole archive: the new bytes, the stored
// rows from the first new date on and the archive's fill entry. False where
// that does not apply (an archive in an older format, out of date order, or
// one where the new rows change the kind of a column's cells); the caller
// then merges the whole archive.
bool ArchiveStore::splice(const QString &archive, const QVariant &bytes, const ZeltoTable &incoming,
                          QByteArray &merged, ZeltoTable &tail, QVariantMap &fillEntry)
{
    QVector<qint64> keys, tailKeys;
    Qt::TimeSpec timeSpec = Qt::LocalTime;
    int from = 0;
    {
        // Gone before the keys grow: it shares them.
        ZeltoTableSplice stored;
        if (bytes.userType() != QMetaType::QByteArray || !stored.open(bytes.toByteArray()))
            return false;
        QVector<qint64> newKeys;
        if (!stored.instants(stored.columnNames().indexOf(ArchiveDates::column()), keys, timeSpec)
            || !std::is_sorted(keys.cbegin(), keys.cend()) || !ArchiveDates::instants(incoming, newKeys))
            return false;
        // Stored rows before the first new date cannot meet a new row.
        const qint64 firstNew = *std::min_element(newKeys.cbegin(), newKeys.cend());
        from = int(std::lower_bound(keys.cbegin(), keys.cend(), firstNew) - keys.cbegin());
        if (!stored.readRows(from, tail))
            return false;
        ArchiveDates::merge(tail, incoming);
        if (!stored.replaceRows(from, tail, merged) || !ArchiveDates::instants(tail, tailKeys))
            return false;
    }
    keys.resize(from);
    keys += tailKeys;
    fillEntry = ArchiveChecks::fillEntry(archive, keys, timeSpec);
    return true;
}

void ArchiveStore::setSplicing(bool on)
{
    splicing().store(on);
}

bool ArchiveStore::isSplicing()
{
    return splicing().load();
}

ZeltoResult<ZeltoTable> ArchiveStore::archiveRange(const CommandContext &context, int nodeId, const QString &archive,
                                                   QDateTime &from, QDateTime &to)
{
    const ZeltoResult<QVariant> rows = range(context, nodeId, archive, from, to, false);
    if (!rows.ok())
        return rows.status();
    return rows.value().value<ZeltoTable>();
}

ZeltoResult<QVariant> ArchiveStore::archiveRangeEncoded(const CommandContext &context, int nodeId,
                                                        const QString &archive, QDateTime &from, QDateTime &to)
{
    return range(context, nodeId, archive, from, to, true);
}

ZeltoResult<QVariant> ArchiveStore::range(const CommandContext &context, int nodeId, const QString &archive,
                                          QDateTime &from, QDateTime &to, bool encoded)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok())
        return visible.status();
    // Names that are not archives read as nothing, like archives never stored.
    if (!visible.value() || !archiveNames().contains(archive))
        return QVariant::fromValue(ZeltoTable());
    const ZeltoResult<QVariant> read = context.database()->storedData(kNodes, nodeId, archive);
    if (!read.ok())
        return read.status();
    const QVariant bytes = read.value();
    QVariant rows;
    if (splicing().load() && readRange(bytes, from, to, encoded, rows))
        return rows;
    const ZeltoResult<ZeltoTable> decoded = decodeStored(nodeId, archive, bytes);
    if (!decoded.ok())
        return decoded.status();
    const ZeltoTable &stored = decoded.value();
    if (stored.rowCount() == 0)
        return QVariant::fromValue(ZeltoTable());
    if (from.isNull())
        from = stored.value(0, ArchiveDates::column()).toDateTime();
    if (to.isNull())
        to = stored.value(stored.rowCount() - 1, ArchiveDates::column()).toDateTime();
    return QVariant::fromValue(ArchiveDates::range(stored, from, to));
}

// archiveRange of an archive stored in the current format and in date
// order: only the rows asked for are decoded, and with encoded none at all
// when they are every row (the checksum and the layout are checked). False
// when that does not apply, and the caller decodes the whole archive.
bool ArchiveStore::readRange(const QVariant &bytes, QDateTime &from, QDateTime &to, bool encoded, QVariant &rows)
{
    ZeltoTableSplice stored;
    QVector<qint64> keys;
    Qt::TimeSpec timeSpec = Qt::LocalTime;
    if (bytes.userType() != QMetaType::QByteArray || !stored.open(bytes.toByteArray())
        || !stored.instants(stored.columnNames().indexOf(ArchiveDates::column()), keys, timeSpec) || keys.isEmpty()
        || !std::is_sorted(keys.cbegin(), keys.cend()))
        return false;
    const QDateTime low = from.isNull() ? QDateTime::fromMSecsSinceEpoch(keys.first(), timeSpec) : from;
    const QDateTime high = to.isNull() ? QDateTime::fromMSecsSinceEpoch(keys.last(), timeSpec) : to;
    // Invalid bounds leave their side open, as ArchiveDates::range does.
    const auto begin = low.isValid() ? std::lower_bound(keys.cbegin(), keys.cend(), low.toMSecsSinceEpoch())
                                     : keys.cbegin();
    const auto end = high.isValid() ? std::upper_bound(begin, keys.cend(), high.toMSecsSinceEpoch()) : keys.cend();
    if (encoded && begin == keys.cbegin() && end == keys.cend()) {
        rows = QVariant::fromValue(ZeltoEncodedTable{bytes.toByteArray()});
    } else {
        ZeltoTable table;
        if (!stored.readRows(int(begin - keys.cbegin()), int(end - keys.cbegin()), table))
            return false;
        rows = QVariant::fromValue(table);
    }
    from = low;
    to = high;
    return true;
}

ZeltoResult<ZeltoTable> ArchiveStore::stored(StoredDataReader &reader, int nodeId, const QString &archive)
{
    const ZeltoResult<QVariant> bytes = storedBytes(reader, nodeId, archive);
    if (!bytes.ok())
        return bytes.status();
    return decodeStored(nodeId, archive, bytes.value());
}

ZeltoResult<ZeltoTable> ArchiveStore::stored(StoredDataReader &reader, int nodeId, const QString &archive,
                                             const QDateTime &from, const QDateTime &to)
{
    const ZeltoResult<QVariant> bytes = storedBytes(reader, nodeId, archive);
    if (!bytes.ok())
        return bytes.status();
    return storedRange(nodeId, archive, bytes.value(), from, to);
}

ZeltoResult<ZeltoTable> ArchiveStore::newestStored(StoredDataReader &reader, int nodeId, const QString &archive)
{
    const ZeltoResult<QVariant> bytes = storedBytes(reader, nodeId, archive);
    if (!bytes.ok())
        return bytes.status();
    ZeltoTable newest;
    ZeltoTableSplice stored;
    if (splicing().load() && bytes.value().userType() == QMetaType::QByteArray && stored.open(bytes.value().toByteArray())
        && stored.readRows(qMax(0, stored.rowCount() - 1), newest))
        return newest.rowCount() > 0 ? newest : ZeltoTable();
    const ZeltoResult<ZeltoTable> decoded = decodeStored(nodeId, archive, bytes.value());
    if (!decoded.ok())
        return decoded.status();
    const ZeltoTable &table = decoded.value();
    if (table.rowCount() > 0)
        newest.setContent(table.columnNames(), {table.rowCells(table.rowCount() - 1)});
    return newest;
}

ZeltoResult<ZeltoTable> ArchiveStore::storedRange(int nodeId, const QString &archive, const QVariant &bytes,
                                                  const QDateTime &from, const QDateTime &to)
{
    QDateTime low = from, high = to;
    QVariant rows;
    if (splicing().load() && readRange(bytes, low, high, false, rows))
        return rows.value<ZeltoTable>();
    const ZeltoResult<ZeltoTable> table = decodeStored(nodeId, archive, bytes);
    if (!table.ok())
        return table;
    return ArchiveDates::range(table.value(), from, to);
}

ZeltoResult<QVariant> ArchiveStore::storedBytes(StoredDataReader &reader, int nodeId, const QString &archive)
{
    if (!archiveNames().contains(archive))
        // Only archive columns are read: the name goes into the statement.
        return ZeltoStatus::invalid(tr("Неизвестный архив: %1").arg(archive.left(40)));
    return reader.storedData(kNodes, nodeId, archive);
}

ZeltoResult<ZeltoTable> ArchiveStore::decodeStored(int nodeId, const QString &archive, const QVariant &bytes)
{
    const ZeltoResult<QVariant> stored = Database::decodeValue(bytes, archive);
    if (!stored.ok())
        return stored.status();
    if (stored.value().isNull())
        return ZeltoTable();
    if (stored.value().userType() != qMetaTypeId<ZeltoTable>())
        return ZeltoStatus::storage(tr("Архив %1 узла %2 повреждён").arg(archive).arg(nodeId));
    return stored.value().value<ZeltoTable>();
}

ZeltoResult<ZeltoTable> ArchiveStore::settingData(const CommandContext &context, int nodeId)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<ZeltoTable>(ZeltoTable()) : visible.status();
    return context.database()->rows(QStringLiteral("SELECT name, value FROM setting_data WHERE node_id = ? ORDER BY %1")
                                        .arg(context.database()->sqlDialect().insertionOrder()),
                                    {nodeId});
}

ZeltoResult<ZeltoTable> ArchiveStore::journalData(const CommandContext &context, int nodeId, const QDateTime &from,
                                                  const QDateTime &to)
{
    const ZeltoResult<bool> visible = NodeVisibility::sees(context, nodeId);
    if (!visible.ok() || !visible.value())
        return visible.ok() ? ZeltoResult<ZeltoTable>(ZeltoTable()) : visible.status();
    Database &database = *context.database();
    const QString select = QStringLiteral("SELECT ctime, param, old_value, new_value FROM journal_data WHERE node_id = ?");
    // The whole unique key: SQLite reads the rows through its index in this order, PostgreSQL sorts them.
    const QString order = QStringLiteral(" ORDER BY ctime, param, old_value, new_value");
    if (from.isValid() && to.isValid())
        return database.rows(select + QStringLiteral(" AND (ctime BETWEEN ? AND ?)") + order, {nodeId, from, to});
    if (from.isValid())
        return database.rows(select + QStringLiteral(" AND ctime >= ?") + order, {nodeId, from});
    if (to.isValid())
        return database.rows(select + QStringLiteral(" AND ctime <= ?") + order, {nodeId, to});
    return database.rows(select + order, {nodeId});
}

ZeltoResult<QVariantMap> ArchiveStore::fillData(const CommandContext &context, int nodeId)
{
    return NodeVisibility::dataMap(context, nodeId, kFillData);
}

ZeltoStatus ArchiveStore::clearArchives(const CommandContext &context, int nodeId)
{
    const ZeltoStatus visible = NodeVisibility::mustSee(context, nodeId);
    if (!visible.ok())
        return visible;
    Database &database = *context.database();
    TransactionScope scope(database, QStringLiteral("clearArchives"));
    if (!scope.isActive())
        return scope.status();
    const QVariantList binds{nodeId};
    const QStringList statements = {
        QStringLiteral("UPDATE nodes SET last_update = null, first_day = null, last_day = null, gap_count = 0 WHERE id = ?"),
        QStringLiteral("UPDATE nodes_data SET current_data = null, month_data = null, month_totals = null, "
                       "day_data = null, day_totals = null, hour_data = null, fill_data = null WHERE id = ?"),
        QStringLiteral("DELETE FROM setting_data WHERE node_id = ?"),
        QStringLiteral("DELETE FROM journal_data WHERE node_id = ?"),
        QStringLiteral("DELETE FROM check_log WHERE node_id = ?")};
    for (const QString &statement : statements) {
        const ZeltoStatus done = database.run(statement, binds);
        if (!done.ok())
            return done;   // the scope rolls back
    }
    const ZeltoStatus committed = scope.finish();
    if (!committed.ok())
        return committed;
    if (database.openScopes() == 0) {
        ZeltoSystem::instance()->notify(ChangeEvents::NodeSaved, nodeId);
        context.journal(QStringLiteral("INFO"), tr("Очистка архивов"), kNode, nodeId);
    }
    return ZeltoStatus();
}
