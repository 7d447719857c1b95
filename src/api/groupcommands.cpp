#include "groupcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "groups.h"

namespace GroupCommands {

// getGroups() -> table of the visible groups
CommandReply getGroups(CommandParams &p)
{
    return CommandResult::of(Groups::list(p.context()));
}

// getGroup(id: int) -> record, empty when not visible
CommandReply getGroup(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Groups::find(p.context(), id)) : CommandReply(p.refusal());
}

// saveGroup(group: record) -> id
CommandReply saveGroup(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Groups::save(p.context(), record)) : CommandReply(p.refusal());
}

// removeGroup(id: int) -> id
CommandReply removeGroup(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Groups::remove(p.context(), id), id) : CommandReply(p.refusal());
}

}
