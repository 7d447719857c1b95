#include "usercommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "users.h"
#include "zeltosystem.h"

namespace UserCommands {

// The readers of users have no failure value of their own: a failed query
// comes back through the error channel, which zeltoCapture turns into the
// failure it is.

// getUsers() -> table
QVariant getUsers(CommandParams &)
{
    return CommandResult::of(zeltoCapture([] { return Users::list(); }));
}

// getUser(id: int) -> record, empty when there is none
QVariant getUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::get(id); })) : QVariant();
}

// getUserData(id: int) -> record with "access" and "groups"
QVariant getUserData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::data(id); })) : QVariant();
}

// saveUser(user: record, password in plain text, optional access and groups) -> id
QVariant saveUser(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Users::save(p.context().database(), record)) : QVariant();
}

// removeUser(id: int) -> id
QVariant removeUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Users::remove(id), id) : QVariant();
}

// getUserAccess(id: int) -> list of rights
QVariant getUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::access(id); })) : QVariant();
}

// setUserAccess(id: int, rights: list of text) -> id
QVariant setUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    const QStringList rights = p.stringList(1);
    return p.ok() ? CommandResult::doneWithId(Users::setAccess(id, rights), id) : QVariant();
}

// getUserGroups(id: int) -> list of group ids
QVariant getUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(zeltoCapture([id] { return Users::groups(id); })) : QVariant();
}

// setUserGroups(id: int, groupIds: list of int) -> id
QVariant setUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    const QVariantList groupIds = p.list(1);
    return p.ok() ? CommandResult::doneWithId(Users::setGroups(p.context().database(), id, groupIds), id) : QVariant();
}

}
