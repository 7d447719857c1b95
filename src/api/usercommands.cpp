#include "usercommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "users.h"
#include "zeltosystem.h"

namespace UserCommands {

// The records of users have no failure value of their own: a failed query
// or a refused change comes back through the error channel, which
// zeltoCapture and zeltoCheck turn into the failure it is.

// getUsers() -> table
CommandReply getUsers(CommandParams &)
{
    return CommandResult::of(zeltoCapture([] { return Users::list(); }));
}

// getUser(id: int) -> record, empty when there is none
CommandReply getUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::get(id); })) : CommandReply(p.refusal());
}

// getUserData(id: int) -> record with "access" and "groups"
CommandReply getUserData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::data(id); })) : CommandReply(p.refusal());
}

// saveUser(user: record, password in plain text, optional access and groups) -> id
CommandReply saveUser(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    Database *database = p.context().database();
    return p.ok() ? CommandResult::of(zeltoCapture([&] { return Users::save(database, record); }))
                  : CommandReply(p.refusal());
}

// removeUser(id: int) -> id
CommandReply removeUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(zeltoCheck([id] { return Users::remove(id); }), id) : CommandReply(p.refusal());
}

// getUserAccess(id: int) -> list of rights
CommandReply getUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::access(id); })) : CommandReply(p.refusal());
}

// setUserAccess(id: int, rights: list of text) -> id
CommandReply setUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    const QStringList rights = p.stringList(1);
    return p.ok() ? CommandResult::doneWithId(zeltoCheck([&] { return Users::setAccess(id, rights); }), id) : CommandReply(p.refusal());
}

// getUserGroups(id: int) -> list of group ids
CommandReply getUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::groups(id); })) : CommandReply(p.refusal());
}

// setUserGroups(id: int, groupIds: list of int) -> id
CommandReply setUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    const QVariantList groupIds = p.list(1);
    Database *database = p.context().database();
    return p.ok() ? CommandResult::doneWithId(zeltoCheck([&] { return Users::setGroups(database, id, groupIds); }), id)
                  : CommandReply(p.refusal());
}

}
