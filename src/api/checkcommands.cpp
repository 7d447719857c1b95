#include "checkcommands.h"

#include "checklog.h"
#include "checkparams.h"
#include "commandparams.h"
#include "commandresult.h"

namespace CheckCommands {

// getCheckParams(nodeId: int) -> record, empty when the node has none
CommandReply getCheckParams(CommandParams &p)
{
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::of(CheckParams::load(p.context(), nodeId)) : CommandReply(p.refusal());
}

// setCheckParams(nodeId: int, params: record, empty to remove) -> true
CommandReply setCheckParams(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QVariantMap checkParams = p.record(1);
    return p.ok() ? CommandResult::done(CheckParams::set(p.context(), nodeId, checkParams)) : CommandReply(p.refusal());
}

// checkArchives(nodeId: int) -> int, the number of findings
CommandReply checkArchives(CommandParams &p)
{
    const int nodeId = p.id(0);
    if (!p.ok())
        return p.refusal();
    return CommandResult::of(CheckParams::checkArchives(p.context(), nodeId));
}

// getCheckLog(nodeId: int, from: datetime|null, to: datetime|null) -> table
CommandReply getCheckLog(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QDateTime from = p.dateTime(1);
    const QDateTime to = p.dateTime(2);
    return p.ok() ? CommandResult::of(CheckLog::read(p.context(), nodeId, from, to)) : CommandReply(p.refusal());
}

// getCheckErrors(nodeId: int, archive: text, atime: datetime) -> list of messages
CommandReply getCheckErrors(CommandParams &p)
{
    const int nodeId = p.id(0);
    const QDateTime atime = p.dateTime(2);
    return p.ok() ? CommandResult::of(CheckLog::errors(p.context(), nodeId, p.text(1), atime)) : CommandReply(p.refusal());
}

// clearCheckLog(nodeId: int) -> true
CommandReply clearCheckLog(CommandParams &p)
{
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::done(CheckLog::clear(p.context(), nodeId)) : CommandReply(p.refusal());
}

}
