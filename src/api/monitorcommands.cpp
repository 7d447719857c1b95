#include "monitorcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "datamonitor.h"

namespace {

// The whole-number elements of the list; elements of other types are skipped.
QSet<int> nodeIds(CommandParams &p)
{
    QSet<int> ids;
    const QVariantList list = p.list(0);
    for (const QVariant &element : list) {
        bool ok = false;
        const qlonglong id = element.toLongLong(&ok);
        const bool whole = element.userType() != QMetaType::QString && element.userType() != QMetaType::Bool;
        if (ok && whole && id >= 0 && id <= INT_MAX && element.toDouble() == double(id))
            ids.insert(int(id));
    }
    return ids;
}

} // namespace

namespace MonitorCommands {

// monitorAppend(nodeIds: list of int) -> true
CommandReply monitorAppend(CommandParams &p)
{
    const QSet<int> ids = nodeIds(p);
    if (!p.ok())
        return p.refusal();
    const ZeltoStatus appended = p.monitor() ? p.monitor()->append(p.context(), ids) : ZeltoStatus();
    return appended.ok() ? QVariant(true) : CommandReply(appended);
}

// monitorRemove(nodeIds: list of int) -> true
CommandReply monitorRemove(CommandParams &p)
{
    const QSet<int> ids = nodeIds(p);
    if (!p.ok())
        return p.refusal();
    if (p.monitor())
        p.monitor()->remove(p.context(), ids);
    return QVariant(true);
}

// monitorGetData(...ignored) -> table of the watched nodes' current values and check results
CommandReply monitorGetData(CommandParams &p)
{
    return CommandResult::table(p.monitor() ? p.monitor()->getData(p.context()) : DataMonitor::emptyData());
}

}
