#include "nodecommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "nodes.h"

namespace NodeCommands {

// getNodes() -> table of the visible nodes with their status columns
CommandReply getNodes(CommandParams &p)
{
    return CommandResult::of(Nodes::list(p.context()));
}

// getNode(id: int) -> record, empty when not visible
CommandReply getNode(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Nodes::find(p.context(), id)) : CommandReply(p.refusal());
}

// saveNode(node: record) -> id
CommandReply saveNode(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Nodes::save(p.context(), record)) : CommandReply(p.refusal());
}

// setNodeGroup(nodeId: int, groupId: int) -> nodeId
CommandReply setNodeGroup(CommandParams &p)
{
    const int nodeId = p.id(0);
    const int groupId = p.id(1);
    return p.ok() ? CommandResult::doneWithId(Nodes::setGroup(p.context(), nodeId, groupId), nodeId) : CommandReply(p.refusal());
}

// removeNode(id: int) -> id
CommandReply removeNode(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Nodes::remove(p.context(), id), id) : CommandReply(p.refusal());
}

}
