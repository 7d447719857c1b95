#pragma once

#include "commandcontext.h"
#include "sqldialect.h"
#include "zeltotable.h"

#include <QString>
#include <QVariantList>
#include <QVariantMap>

// The metering nodes: a device of one model and serial number, placed in one
// group. Records read by clients carry status columns telling which archives
// and logs the node has. A restricted user sees the nodes of their groups only.
class Nodes
{
public:
    // The select list every node query begins with: the nodes columns, then
    // the computed status columns.
    static QString columns(const SqlDialect &sql);
    // The query of every node with the same columns, up to its WHERE clause
    // (nodes, nodes_data and groups by those names).
    static QString listQuery(const SqlDialect &sql);

    // The nodes the caller sees, by group name and node name.
    static ZeltoResult<ZeltoTable> list(const CommandContext &context);
    // The same nodes with their id, model_code, model_name and number and
    // which of the archives that group totals may read besides the daily
    // one they hold (has_current_data, has_month_data, has_month_totals,
    // has_day_totals) only, in no particular order.
    static ZeltoResult<ZeltoTable> archiveHolders(const CommandContext &context);
    // The node when the caller sees it; empty when not (or when there is none).
    static ZeltoResult<QVariantMap> find(const CommandContext &context, int id);

    // Updates the node named by "id" or, without one, the node of the same
    // model and number, or inserts a new one (into the common group, named
    // after its model and number unless the input names it). The node's id.
    // Opens no transaction of its own.
    static ZeltoResult<int> save(const CommandContext &context, const QVariantMap &input);
    // Announces the node as saved, unless a transaction is still open: its
    // owner announces after committing.
    static void changed(const Database &database, int id);
    static ZeltoStatus setGroup(const CommandContext &context, int nodeId, int groupId);
    // Deletes a visible node with everything that belongs to it.
    static ZeltoStatus remove(const CommandContext &context, int id);

    // "<model name> №<number padded to the model's digits>".
    static QString defaultName(const QString &modelName, qlonglong number, const QString &modelCode);
};
