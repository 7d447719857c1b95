#include "checkcommands.h"

#include "checklog.h"
#include "checkparams.h"
#include "commandparams.h"
#include "commandresult.h"

namespace CheckCommands {

QVariant getCheckParams(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getCheckParams"), params);
    const int nodeId = p.id(0);
    return p.ok() ? QVariant(CheckParams::load(nodeId)) : QVariant();
}

QVariant setCheckParams(const QVariantList &params)
{
    CommandParams p(QStringLiteral("setCheckParams"), params);
    const int nodeId = p.id(0);
    const QVariantMap checkParams = p.record(1);
    return p.ok() ? CommandResult::done(CheckParams::set(nodeId, checkParams)) : QVariant();
}

QVariant checkArchives(const QVariantList &params)
{
    CommandParams p(QStringLiteral("checkArchives"), params);
    const int nodeId = p.id(0);
    if (!p.ok())
        return QVariant();
    const int count = CheckParams::checkArchives(nodeId);
    return count >= 0 ? QVariant(count) : QVariant();
}

QVariant getCheckLog(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getCheckLog"), params);
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::table(CheckLog::read(nodeId, p.dateTime(1), p.dateTime(2))) : QVariant();
}

QVariant getCheckErrors(const QVariantList &params)
{
    CommandParams p(QStringLiteral("getCheckErrors"), params);
    const int nodeId = p.id(0);
    return p.ok() ? QVariant(CheckLog::errors(nodeId, p.text(1), p.dateTime(2))) : QVariant();
}

QVariant clearCheckLog(const QVariantList &params)
{
    CommandParams p(QStringLiteral("clearCheckLog"), params);
    const int nodeId = p.id(0);
    return p.ok() ? CommandResult::done(CheckLog::clear(nodeId)) : QVariant();
}

}
