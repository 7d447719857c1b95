#include "exchangecommands.h"

#include "commandresult.h"
#include "nodeexport.h"
#include "nodeimport.h"

namespace ExchangeCommands {

// exportNode(nodeId: int) -> tables (the node's package)
QVariant exportNode(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? NodeExport::exportNode(p.context(), id) : QVariant();
}

// importNode(package: tables) -> int (the new or matched node's id)
QVariant importNode(CommandParams &p)
{
    return CommandResult::savedId(NodeImport::importNode(p.context(), p.value(0)));
}

}
