#pragma once

#include "commandcontext.h"
#include "zeltotable.h"

#include <QCoreApplication>
#include <QVariant>

// A node with everything that belongs to it as one package (a
// ZeltoTableMap), for moving it to another server:
//   "info"          one row: the node's columns (without id, group_id and
//                   param16..param24), plus "check_params" when it has any
//   "group"         one row: the group's parent_id and name
//   "tasks"         one row per task: the task row with its channel,
//                   archives and timetable, without id (left out when none)
//   "setting_data"  the device settings (left out when none)
//   "journal_data"  the whole device journal (left out when empty)
//   "current_data", "month_data", "month_totals", "day_data",
//   "day_totals", "hour_data"   the stored archives without their check
//                   marks (each left out when empty)
// NodeImport reads this layout, and the older one of earlier releases.
class NodeExport
{
    Q_DECLARE_TR_FUNCTIONS(NodeExport)

public:
    // The package of a node the caller can see, or the failure.
    static ZeltoResult<ZeltoTableMap> exportNode(const CommandContext &context, int nodeId);
};
