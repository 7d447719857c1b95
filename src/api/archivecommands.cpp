#include "archivecommands.h"

#include "archivereports.h"
#include "archivestore.h"
#include "commandparams.h"
#include "commandresult.h"
#include "database.h"
#include "grouptotalsjob.h"
#include "nodes.h"
#include "recordfields.h"
#include "zeltorpcdispatcher.h"
#include "zeltoserver.h"

#include <QCoreApplication>

namespace ArchiveCommands {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ArchiveCommands", text);
}

const QString kInfo = QStringLiteral("info");

// A set of tables as sent: a table map, or a plain map holding only tables.
ZeltoStatus readTables(const QVariant &value, ZeltoTableMap &tables)
{
    if (value.userType() == qMetaTypeId<ZeltoTableMap>()) {
        tables = value.value<ZeltoTableMap>();
        return ZeltoStatus();
    }
    if (value.userType() == QMetaType::QVariantMap) {
        const QVariantMap map = value.toMap();
        const int tableType = qMetaTypeId<ZeltoTable>();
        for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
            if (it.value().userType() != tableType)
                return ZeltoStatus::invalid(
                    tr("Неверный параметр 1 команды saveArchives: %1 не является таблицей").arg(it.key().left(40)));
        }
        tables = value.value<ZeltoTableMap>();
        return ZeltoStatus();
    }
    return ZeltoStatus::invalid(tr("Неверный параметр 1 команды saveArchives: ожидается набор таблиц"));
}

// The node columns a client may set through a save; anything else it sends
// in "info" is dropped.
ZeltoStatus filterInfo(ZeltoTableMap &tables)
{
    static const QStringList kColumns = {QStringLiteral("id"),         QStringLiteral("group_id"),
                                         QStringLiteral("name"),       QStringLiteral("model_code"),
                                         QStringLiteral("model_name"), QStringLiteral("number"),
                                         QStringLiteral("version"),    QStringLiteral("firmware"),
                                         QStringLiteral("warning")};
    const ZeltoTable given = tables.value(kInfo);
    ZeltoTable info;
    const int row = info.appendRow();
    for (const QString &column : kColumns) {
        if (!given.containsColumn(column))
            continue;
        const QVariant value = given.value(0, column);
        // Each goes into one column of the node's row.
        if (!RecordFields::isPlain(value))
            return ZeltoStatus::invalid(tr("Неверное значение info.%1: ожидается число, текст или дата").arg(column));
        info.setValue(row, column, value);
    }
    tables.insert(kInfo, info);
    return ZeltoStatus();
}

// The days from..to of a report, each may be null (open); a range that
// ends before it starts is refused rather than answered with nothing.
ZeltoStatus readPeriod(CommandParams &p, int index, QDate &from, QDate &to)
{
    from = p.optionalDate(index);
    to = p.optionalDate(index + 1);
    if (!p.ok())
        return p.refusal();
    if (from.isValid() && to.isValid() && from > to)
        return ZeltoStatus::invalid(
            tr("Неверный период: начало %1 позже конца %2")
                .arg(from.toString(QStringLiteral("dd.MM.yyyy")), to.toString(QStringLiteral("dd.MM.yyyy"))));
    return ZeltoStatus();
}

} // namespace

// saveArchives(tables: table map with "info" naming the node) -> true
CommandReply saveArchives(CommandParams &p)
{
    // A parameter refused here never reached the save: the database,
    // journal included, stays as it was.
    ZeltoTableMap tables;
    ZeltoStatus read = readTables(p.value(0), tables);
    if (read.ok())
        read = filterInfo(tables);
    if (!read.ok())
        return read;
    const ZeltoStatus saved = ArchiveStore::save(p.context(), tables, true, tr("Сохранение архивов"));
    return saved.ok() ? QVariant(true) : CommandReply(saved);
}

// clearArchives(nodeId: int) -> true
CommandReply clearArchives(CommandParams &p)
{
    const int nodeId = p.id(0);
    if (!p.ok())
        return p.refusal();
    const ZeltoStatus cleared = ArchiveStore::clearArchives(p.context(), nodeId);
    return cleared.ok() ? QVariant(true) : CommandReply(cleared);
}

// getSettingData(nodeId: int) -> table of name, value
CommandReply getSettingData(CommandParams &p)
{
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::of(ArchiveStore::settingData(p.context(), nodeId)) : CommandReply(p.refusal());
}

// getJournalData(nodeId: int, from: datetime|null, to: datetime|null) -> table
CommandReply getJournalData(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QDateTime from = p.dateTime(1);
    const QDateTime to = p.dateTime(2);
    return p.ok() ? CommandResult::of(ArchiveStore::journalData(p.context(), nodeId, from, to)) : CommandReply(p.refusal());
}

// getArchive(nodeId: int, archive: text, from: datetime|null, to: datetime|null) -> table
CommandReply getArchive(CommandParams &p)
{
    const int nodeId = p.id(0);
    QDateTime from = p.dateTime(2);
    QDateTime to = p.dateTime(3);
    if (!p.ok())
        return p.refusal();
    // A whole archive goes to a client that reads streams as it is stored.
    if (ZeltoRpcDispatcher::streamTablesWanted()) {
        const ZeltoResult<QVariant> rows = ArchiveStore::archiveRangeEncoded(p.context(), nodeId, p.text(1), from, to);
        return rows.ok() ? rows.value() : CommandReply(rows.status());
    }
    return CommandResult::of(ArchiveStore::archiveRange(p.context(), nodeId, p.text(1), from, to));
}

// getFillData(nodeId: int) -> map of archive name to fill entry
CommandReply getFillData(CommandParams &p)
{
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::of(ArchiveStore::fillData(p.context(), nodeId)) : CommandReply(p.refusal());
}

// getReportData(nodeId: int, from: date|null, to: date|null) -> tables
CommandReply getReportData(CommandParams &p)
{
    const int nodeId = p.id(0);
    QDate from, to;
    if (!p.ok())
        return p.refusal();
    const ZeltoStatus period = readPeriod(p, 1, from, to);
    if (!period.ok())
        return period;
    return CommandResult::of(ArchiveReports::reportData(p.context(), nodeId, from, to));
}

// getGroupTotals(nodeIds: int[], from: date|null, to: date|null) -> table
CommandReply getGroupTotals(CommandParams &p)
{
    const QList<int> nodeIds = p.idList(0);
    QDate from, to;
    if (!p.ok())
        return p.refusal();
    const ZeltoStatus period = readPeriod(p, 1, from, to);
    if (!period.ok())
        return period;
    // Many nodes take seconds: a few at a time, the client answered at the
    // end and the others served meanwhile. A few nodes, or a call that is
    // not a client's, at once.
    const ZeltoResult<ZeltoTable> nodes = Nodes::archiveHolders(p.context());
    if (!nodes.ok())
        return CommandReply(nodes.status());
    const QList<int> listed = GroupTotalsJob::listedOnce(nodes.value(), nodeIds);
    if (listed.size() > GroupTotalsJob::kAtOnceNodes) {
        const int reply = ZeltoServer::global()->deferReply();
        if (reply != 0) {
            new GroupTotalsJob(
                *p.context().database(), nodes.value(), listed, from, to,
                [reply](const ZeltoTable &totals) {
                    ZeltoServer::global()->finishReply(reply, ZeltoResult<QVariant>(QVariant::fromValue(totals)));
                },
                ZeltoServer::global()->clientId(), ZeltoServer::global());
            return QVariant(true);   // not sent: the job answers
        }
    }
    return CommandResult::table(ArchiveReports::groupTotalsOf(*p.context().database(), nodes.value(), listed, from, to));
}

}
