#pragma once

#include "commandcontext.h"

#include <QVariantMap>

// Whether the caller may see a node, decided as the node records decide it
// (the user's groups; the administrator and the server's own work see
// everything), but reading only the nodes table: the status columns of a
// full node record test the archive columns, and SQLite loads a whole
// archive to test it for null.
class NodeVisibility
{
public:
    // The node's own columns when it is visible; empty when it is not (or
    // does not exist); a failed query is its storage failure.
    static ZeltoResult<QVariantMap> find(const CommandContext &context, int nodeId);
    static ZeltoResult<bool> sees(const CommandContext &context, int nodeId);
    // sees() for commands that act on the node: not seeing it is the refusal
    // "not found", told as a missing right.
    static ZeltoStatus mustSee(const CommandContext &context, int nodeId);
    // A map kept in a column of the node's data row; empty when the caller
    // does not see the node.
    static ZeltoResult<QVariantMap> dataMap(const CommandContext &context, int nodeId, const QString &column);
};
