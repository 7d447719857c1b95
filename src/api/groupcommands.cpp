#include "groupcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "groups.h"

namespace GroupCommands {

// getGroups() -> table of the visible groups
QVariant getGroups(CommandParams &p)
{
    return CommandResult::of(Groups::list(p.context()));
}

// getGroup(id: int) -> record, empty when not visible
QVariant getGroup(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Groups::find(p.context(), id)) : QVariant();
}

// saveGroup(group: record) -> id
QVariant saveGroup(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Groups::save(p.context(), record)) : QVariant();
}

// removeGroup(id: int) -> id
QVariant removeGroup(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Groups::remove(p.context(), id), id) : QVariant();
}

}
