#include "nodecommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "nodes.h"

namespace NodeCommands {

// getNodes() -> table of the visible nodes with their status columns
QVariant getNodes(CommandParams &p)
{
    return CommandResult::of(Nodes::list(p.context()));
}

// getNode(id: int) -> record, empty when not visible
QVariant getNode(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Nodes::find(p.context(), id)) : QVariant();
}

// saveNode(node: record) -> id
QVariant saveNode(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Nodes::save(p.context(), record)) : QVariant();
}

// setNodeGroup(nodeId: int, groupId: int) -> nodeId
QVariant setNodeGroup(CommandParams &p)
{
    const int nodeId = p.id(0);
    const int groupId = p.id(1);
    return p.ok() ? CommandResult::doneWithId(Nodes::setGroup(p.context(), nodeId, groupId), nodeId) : QVariant();
}

// removeNode(id: int) -> id
QVariant removeNode(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Nodes::remove(p.context(), id), id) : QVariant();
}

}
