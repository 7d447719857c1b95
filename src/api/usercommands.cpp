#include "usercommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "users.h"

namespace UserCommands {

QVariant getUsers(const QVariantList &)
{
    return CommandResult::table(Users::list());
}

QVariant getUser(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getUser"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Users::get(id)) : QVariant();
}

QVariant getUserData(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getUserData"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Users::data(id)) : QVariant();
}

QVariant saveUser(const QVariantList &params)
{
    CommandParams p(QStringLiteral("saveUser"), params);
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Users::save(record)) : QVariant();
}

QVariant removeUser(const QVariantList &params)
{
    CommandParams p(QStringLiteral("removeUser"), params);
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Users::remove(id), id) : QVariant();
}

QVariant getUserAccess(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getUserAccess"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Users::access(id)) : QVariant();
}

QVariant setUserAccess(const QVariantList &params)
{
    CommandParams p(QStringLiteral("setUserAccess"), params);
    const int id = p.id(0);
    const QStringList rights = p.stringList(1);
    return p.ok() ? CommandResult::doneWithId(Users::setAccess(id, rights), id) : QVariant();
}

QVariant getUserGroups(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getUserGroups"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Users::groups(id)) : QVariant();
}

QVariant setUserGroups(const QVariantList &params)
{
    CommandParams p(QStringLiteral("setUserGroups"), params);
    const int id = p.id(0);
    const QVariantList groupIds = p.list(1);
    return p.ok() ? CommandResult::doneWithId(Users::setGroups(id, groupIds), id) : QVariant();
}

}
