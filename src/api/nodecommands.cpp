#include "nodecommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "nodes.h"

namespace NodeCommands {

QVariant getNodes(const QVariantList &)
{
    return CommandResult::table(Nodes::list());
}

QVariant getNode(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getNode"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Nodes::get(id)) : QVariant();
}

QVariant saveNode(const QVariantList &params)
{
    CommandParams p(QStringLiteral("saveNode"), params);
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Nodes::save(record)) : QVariant();
}

QVariant setNodeGroup(const QVariantList &params)
{
    CommandParams p(QStringLiteral("setNodeGroup"), params);
    const int nodeId = p.id(0);
    const int groupId = p.id(1);
    return p.ok() ? CommandResult::doneWithId(Nodes::setGroup(nodeId, groupId), nodeId) : QVariant();
}

QVariant removeNode(const QVariantList &params)
{
    CommandParams p(QStringLiteral("removeNode"), params);
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Nodes::remove(id), id) : QVariant();
}

}
