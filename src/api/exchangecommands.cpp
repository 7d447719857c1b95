#include "exchangecommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "nodeexport.h"
#include "nodeimport.h"

namespace ExchangeCommands {

// exportNode(nodeId: int) -> tables (the node's package)
QVariant exportNode(const QVariantList &params)
{
    CommandParams p(QStringLiteral("exportNode"), params);
    const int id = p.id(0);
    return p.ok() ? NodeExport::exportNode(id) : QVariant();
}

// importNode(package: tables) -> int (the new or matched node's id)
QVariant importNode(const QVariantList &params)
{
    return CommandResult::savedId(NodeImport::importNode(params.value(0)));
}

}
