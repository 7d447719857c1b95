#pragma once

#include "zeltostatus.h"

// A status as "kind: text" ("ok" on success), so that a test compares a
// failure's kind and its text in one step and its message shows both.
inline QString outcome(const ZeltoStatus &status)
{
    if (status.ok())
        return QStringLiteral("ok");
    return QString::fromLatin1(ZeltoStatus::kindName(status.kind())) + QStringLiteral(": ") + status.message();
}

template <typename T> inline QString outcome(const ZeltoResult<T> &result) { return outcome(result.status()); }
