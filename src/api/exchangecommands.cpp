#include "exchangecommands.h"

#include "commandresult.h"
#include "nodeexport.h"
#include "nodeimport.h"

namespace ExchangeCommands {

// exportNode(nodeId: int) -> tables (the node's package)
CommandReply exportNode(CommandParams &p)
{
    const int id = p.id(0);
    if (!p.ok())
        return p.refusal();
    return CommandResult::of(NodeExport::exportNode(p.context(), id));
}

// importNode(package: tables) -> int (the new or matched node's id)
CommandReply importNode(CommandParams &p)
{
    return CommandResult::of(NodeImport::importNode(p.context(), p.value(0)));
}

}
