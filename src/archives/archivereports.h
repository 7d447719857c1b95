#pragma once

#include <QHash>

#include "commandcontext.h"

#include "zeltotable.h"

#include <QCoreApplication>
#include <QDate>
#include <QList>
#include <QVariantMap>

class StoredDataReader;
class StoredRangeTotals;

// Consumption reports built from a node's stored archives: the daily and
// hourly rows of a range of days, their totals and means, the totalizer
// readings at the start and the end of the range, and one totals row per
// node for a group of nodes. Nodes the current user cannot see give nothing.
//
// Report (a table map; tables without rows are left out):
//   "info", "group"        the node's record and its group's, one row each
//   "current_data"         the newest current reading
//   "day_data"             the daily rows of the range, estimated tail days
//                          marked "calc" = true
//   "hour_data"            the hourly rows of the range's days
//   "range_totals"         "Итого": flags united, averaged parameters'
//                          means, accumulating ones as the difference of the
//                          readings or else the sum of the days
//   "range_middles"        "Среднее": daily means
//   "hour_middles"         "Среднее": hourly means
//   "first_totals", "last_totals"
//                          "На dd.MM.yy": the totalizer readings at the
//                          start of the first day and the end of the last;
//                          a range that ends after its last daily row (one
//                          ending today) closes at the end of that row's
//                          day, which its label names. "calc" = true when
//                          the reading is computed (carried over days from a
//                          record of another date, derived, or assumed 0
//                          for want of any), "calcV" = true when derived
//                          from current data
// A parameter the newest daily row has but a summary or daily row lacks is
// the marker ZeltoUnused there. New tables and columns may be added; clients
// ignore those they do not know.
class ArchiveReports
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveReports)

public:
    // The report of the node over the days from..to (an invalid bound is
    // open); empty when the node is not visible or has no daily row there.
    static ZeltoResult<ZeltoTableMap> reportData(const CommandContext &context, int nodeId, const QDate &from,
                                                 const QDate &to);

    // The summary tables of the report (range_totals, range_middles,
    // hour_middles, first_totals, last_totals; those with a row). Invalid
    // bounds are completed from the daily archive and given back. dayOut and
    // hourOut, when given, receive the daily and hourly rows of the range;
    // hour_middles is computed only with hourOut. tailDays lets an
    // incomplete month be extended when the setting "calcTailDays" allows.
    // Of a node the caller sees (none: empty).
    static ZeltoResult<ZeltoTableMap> rangeTotals(const CommandContext &context, int nodeId, QDate &from, QDate &to,
                                                  ZeltoTable *dayOut, ZeltoTable *hourOut, bool tailDays);

    // One row per visible node with daily rows in the range, in the given
    // order: "node_id", "model_code", "model_name", "number", "first_date",
    // "last_date" and the node's range totals (parameters it does not
    // deliver left out). Ids repeated or of unknown nodes are skipped.
    static ZeltoResult<ZeltoTable> groupTotals(const CommandContext &context, const QList<int> &nodeIds,
                                               const QDate &from, const QDate &to);
    // The same over nodes, rows of the node list already read (what the
    // caller sees) in database: a long list is computed a part at a time with the list read once.
    // The archives of the part are read in a few statements, and a node's
    // totals computed from their bytes where StoredRangeTotals covers it;
    // fromBytes, when given, receives how many nodes were. nodeRows, when
    // given, is nodeRowsOf(nodes): a job of many parts finds it once.
    // stored, when given for from..to, computes those totals: a job of many parts makes one for them all.
    // database: the server's, or a worker's own connection (safe on any thread then: groupTotalsOf and
    // appendGroupTotals read nothing else of the server).
    static ZeltoTable groupTotalsOf(StoredDataReader &database, const ZeltoTable &nodes, const QList<int> &nodeIds,
                                    const QDate &from, const QDate &to, int *fromBytes = nullptr,
                                    const QHash<int, int> *nodeRows = nullptr, StoredRangeTotals *stored = nullptr);
    // The same rows appended to result, which is empty or holds earlier parts' rows of the same
    // call: a column new to it is added in the order it comes, so the parts make one table.
    static void appendGroupTotals(ZeltoTable &result, StoredDataReader &database, const ZeltoTable &nodes,
                                  const QList<int> &nodeIds, const QDate &from, const QDate &to,
                                  int *fromBytes = nullptr, const QHash<int, int> *nodeRows = nullptr,
                                  StoredRangeTotals *stored = nullptr);
    // The columns whose newest daily value a node's range totals carry (dimensions, schemes).
    static const QStringList &dimensionColumns();
    // The row of each node id in a node list (of the last, were one listed twice).
    static QHash<int, int> nodeRowsOf(const ZeltoTable &nodes);

private:
    // Which summary tables rangeTotals builds: group totals need "range_totals" alone.
    enum Summaries { AllSummaries, TotalsOnly };
    // Whether estimated days extend a range's end, and from how many days read before it.
    struct Tail
    {
        bool extend = false;
        int baseDays = 0;
    };
    // What the settings say of the tail for a range (tailDays: the caller allows it).
    static Tail tailOf(Database &database, const QDate &from, const QDate &to, bool tailDays);
    static ZeltoTableMap rangeTotals(StoredDataReader &database, const QVariantMap &node, QDate &from, QDate &to,
                                     ZeltoTable *dayOut, ZeltoTable *hourOut, const Tail &tail,
                                     Summaries wanted = AllSummaries);
};
