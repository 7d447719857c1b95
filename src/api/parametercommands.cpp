#include "parametercommands.h"

#include "columnvalues.h"
#include "commandparams.h"
#include "commandresult.h"
#include "metadatacatalogue.h"
#include "parameterdescriber.h"
#include "zeltosystem.h"

namespace ParameterCommands {

// describeParams(modelCode: text, columns: list of text, values: list) -> map of descriptions
CommandReply describeParams(CommandParams &p)
{
    p.require(3);
    const QString modelCode = p.text(0);
    const QStringList columns = p.stringList(1);
    const QVariantList values = p.list(2);
    if (!p.ok())
        return p.refusal();
    return CommandResult::of(ParameterDescriber(MetadataCatalogue::instance()).describe(modelCode, columns, values));
}

// getValues(table: text, column: text) -> list of the column's distinct values as text
CommandReply getValues(CommandParams &p)
{
    p.require(2);
    const QString table = p.text(0);
    const QString column = p.text(1);
    if (!p.ok())
        return p.refusal();
    return CommandResult::of(ColumnValues(p.context().database()).distinct(table, column));
}

}
