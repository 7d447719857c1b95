#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QVariant>

// A command's answer: the value for the client, or the failure with its kind.
using CommandReply = ZeltoResult<QVariant>;

// The result forms shared by the commands.
namespace CommandResult {

// Removals and assignments: the command's id parameter on success.
inline CommandReply doneWithId(const ZeltoStatus &status, int id)
{
    return status.ok() ? CommandReply(QVariant(id)) : CommandReply(status);
}

// A value read or saved: the value, or the failure's status.
template <typename T>
CommandReply of(const ZeltoResult<T> &result)
{
    return result.ok() ? CommandReply(QVariant::fromValue(result.value())) : CommandReply(result.status());
}

// Actions: true on success.
inline CommandReply done(const ZeltoStatus &status)
{
    return status.ok() ? CommandReply(QVariant(true)) : CommandReply(status);
}

inline CommandReply table(const ZeltoTable &table)
{
    return QVariant::fromValue(table);
}

}
