#include "groupcommands.h"

#include "commandparams.h"
#include "commandresult.h"
#include "groups.h"

namespace GroupCommands {

QVariant getGroups(const QVariantList &)
{
    return CommandResult::table(Groups::list());
}

QVariant getGroup(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getGroup"), params);
    const int id = p.id(0);
    return p.ok() ? QVariant(Groups::get(id)) : QVariant();
}

QVariant saveGroup(const QVariantList &params)
{
    CommandParams p(QStringLiteral("saveGroup"), params);
    const QVariantMap record = p.record(0);
    return p.ok() ? CommandResult::savedId(Groups::save(record)) : QVariant();
}

QVariant removeGroup(const QVariantList &params)
{
    CommandParams p(QStringLiteral("removeGroup"), params);
    const int id = p.id(0);
    return p.ok() ? CommandResult::doneWithId(Groups::remove(id), id) : QVariant();
}

}
