#include "usercommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "users.h"

namespace UserCommands {

// getUsers() -> table
CommandReply getUsers(CommandParams &p)
{
    return CommandResult::of(Users::list(p.context().database()));
}

// getUser(id: int) -> record, empty when there is none
CommandReply getUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::get(p.context().database(), id)) : CommandReply(p.refusal());
}

// getUserData(id: int) -> record with "access" and "groups"
CommandReply getUserData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::data(p.context().database(), id)) : CommandReply(p.refusal());
}

// saveUser(user: record, password in plain text, optional access and groups) -> id
CommandReply saveUser(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Users::save(p.context().database(), record)) : CommandReply(p.refusal());
}

// removeUser(id: int) -> id
CommandReply removeUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Users::remove(p.context().database(), id), id) : CommandReply(p.refusal());
}

// getUserAccess(id: int) -> list of rights
CommandReply getUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::access(p.context().database(), id)) : CommandReply(p.refusal());
}

// setUserAccess(id: int, rights: list of text) -> id
CommandReply setUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    const QStringList rights = p.stringList(1);
    return p.ok() ? CommandResult::doneWithId(Users::setAccess(p.context().database(), id, rights), id) : CommandReply(p.refusal());
}

// getUserGroups(id: int) -> list of group ids
CommandReply getUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::groups(p.context().database(), id)) : CommandReply(p.refusal());
}

// setUserGroups(id: int, groupIds: list of int) -> id
CommandReply setUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    const QVariantList groupIds = p.list(1);
    return p.ok() ? CommandResult::doneWithId(Users::setGroups(p.context().database(), id, groupIds), id)
                  : CommandReply(p.refusal());
}

}
