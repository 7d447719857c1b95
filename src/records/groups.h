#pragma once

#include "commandcontext.h"
#include "zeltotable.h"

#include <QVariantMap>

// The named sets of nodes. A restricted user sees only the groups listed for
// them in user_groups; reading another group gives nothing, changing it is
// refused.
class Groups
{
public:
    // The groups the caller sees, by name.
    static ZeltoResult<ZeltoTable> list(const CommandContext &context);
    // The group when the caller sees it; empty when not (or when there is none).
    static ZeltoResult<QVariantMap> find(const CommandContext &context, int id);
    // Inserts (no "id") or renames a visible group; only "name" is written.
    // A restricted user becomes a member of a group they create. The
    // group's id; on failure nothing is written.
    static ZeltoResult<int> save(const CommandContext &context, const QVariantMap &input);
    // Deletes a visible group with its nodes and their tasks, and announces
    // the group, then each node, then each task as removed.
    static ZeltoStatus remove(const CommandContext &context, int id);
};
