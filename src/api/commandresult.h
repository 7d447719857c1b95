#pragma once

#include "zeltotable.h"

#include <QVariant>

// The result forms shared by the commands; an invalid variant is a failure
// whose message is already in the error channel.
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

// Actions: true on success.
inline QVariant done(bool ok)
{
    return ok ? QVariant(true) : QVariant();
}

inline QVariant table(const ZeltoTable &table)
{
    return QVariant::fromValue(table);
}

}
