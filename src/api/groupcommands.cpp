#include "groupcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "groups.h"

namespace GroupCommands {

// getGroups() -> table of the visible groups
QVariant getGroups(CommandParams &)
{
    return CommandResult::table(Groups::list());
}

// getGroup(id: int) -> record, empty when not visible
QVariant getGroup(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? QVariant(Groups::get(id)) : QVariant();
}

// saveGroup(group: record) -> id
QVariant saveGroup(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Groups::save(record)) : QVariant();
}

// removeGroup(id: int) -> id
QVariant removeGroup(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Groups::remove(id), id) : QVariant();
}

}
