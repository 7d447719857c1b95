#include "usercommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "users.h"
#include "zeltosystem.h"

namespace UserCommands {

// getUsers() -> table
QVariant getUsers(CommandParams &p)
{
    return CommandResult::of(Users::list(p.context().database()));
}

// getUser(id: int) -> record, empty when there is none
QVariant getUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::get(p.context().database(), id)) : QVariant();
}

// getUserData(id: int) -> record with "access" and "groups"
QVariant getUserData(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::data(p.context().database(), id)) : QVariant();
}

// saveUser(user: record, password in plain text, optional access and groups) -> id
QVariant saveUser(CommandParams &p)
{
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::of(Users::save(p.context().database(), record)) : QVariant();
}

// removeUser(id: int) -> id
QVariant removeUser(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Users::remove(p.context().database(), id), id) : QVariant();
}

// getUserAccess(id: int) -> list of rights
QVariant getUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::access(p.context().database(), id)) : QVariant();
}

// setUserAccess(id: int, rights: list of text) -> id
QVariant setUserAccess(CommandParams &p)
{
    const int id = p.id(0);
    const QStringList rights = p.stringList(1);
    return p.ok() ? CommandResult::doneWithId(Users::setAccess(p.context().database(), id, rights), id) : QVariant();
}

// getUserGroups(id: int) -> list of group ids
QVariant getUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    return p.ok() ? CommandResult::of(Users::groups(p.context().database(), id)) : QVariant();
}

// setUserGroups(id: int, groupIds: list of int) -> id
QVariant setUserGroups(CommandParams &p)
{
    const int id = p.id(0);
    const QVariantList groupIds = p.list(1);
    return p.ok() ? CommandResult::doneWithId(Users::setGroups(p.context().database(), id, groupIds), id) : QVariant();
}

}
