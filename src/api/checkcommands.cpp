#include "checkcommands.h"

#include "checklog.h"
#include "checkparams.h"
#include "commandparams.h"
#include "commandresult.h"

namespace CheckCommands {

// getCheckParams(nodeId: int) -> record, empty when the node has none
QVariant getCheckParams(CommandParams &p)
{
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::of(CheckParams::load(p.context(), nodeId)) : QVariant();
}

// setCheckParams(nodeId: int, params: record, empty to remove) -> true
QVariant setCheckParams(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QVariantMap checkParams = p.record(1);
    return p.ok() ? CommandResult::done(zeltoReport(CheckParams::set(p.context(), nodeId, checkParams))) : QVariant();
}

// checkArchives(nodeId: int) -> int, the number of findings
QVariant checkArchives(CommandParams &p)
{
    const int nodeId = p.id(0);
    if (!p.ok())
        return QVariant();
    return CommandResult::of(CheckParams::checkArchives(p.context(), nodeId));
}

// getCheckLog(nodeId: int, from: datetime|null, to: datetime|null) -> table
QVariant getCheckLog(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QDateTime from = p.dateTime(1);
    const QDateTime to = p.dateTime(2);
    return p.ok() ? CommandResult::of(CheckLog::read(p.context(), nodeId, from, to)) : QVariant();
}

// getCheckErrors(nodeId: int, archive: text, atime: datetime) -> list of messages
QVariant getCheckErrors(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QDateTime atime = p.dateTime(2);
    return p.ok() ? CommandResult::of(CheckLog::errors(p.context(), nodeId, p.text(1), atime)) : QVariant();
}

// clearCheckLog(nodeId: int) -> true
QVariant clearCheckLog(CommandParams &p)
{
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::done(zeltoReport(CheckLog::clear(p.context(), nodeId))) : QVariant();
}

}
