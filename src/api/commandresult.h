#pragma once

#include "zeltostatus.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QVariant>

// The result forms shared by the commands; an invalid variant is a failure
// whose status is in the error channel.
namespace CommandResult {

// Saves and imports: the id, or failure for -1.
inline QVariant savedId(int id)
{
    return id >= 0 ? QVariant(id) : QVariant();
}

// Removals and assignments: the command's id parameter on success.
inline QVariant doneWithId(bool ok, int id)
{
    return ok ? QVariant(id) : QVariant();
}

// The same with the failure's status.
inline QVariant doneWithId(const ZeltoStatus &status, int id)
{
    if (!status.ok())
        ZeltoSystem::instance()->fail(status);
    return status.ok() ? QVariant(id) : QVariant();
}

// A value read or saved: the value, or the failure's status.
template <typename T>
QVariant of(const ZeltoResult<T> &result)
{
    if (!result.ok()) {
        ZeltoSystem::instance()->fail(result.status());
        return QVariant();
    }
    return QVariant::fromValue(result.value());
}

// Actions: true on success.
inline QVariant done(bool ok)
{
    return ok ? QVariant(true) : QVariant();
}

// A failure's status handed to the command table.
inline QVariant failure(const ZeltoStatus &status)
{
    ZeltoSystem::instance()->fail(status);
    return QVariant();
}

inline QVariant table(const ZeltoTable &table)
{
    return QVariant::fromValue(table);
}

}
