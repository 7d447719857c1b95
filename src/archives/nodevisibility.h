#pragma once

#include <QVariantMap>

// Whether the current user may see a node, decided as the node records
// decide it (the user's groups; the administrator and the server's own work
// see everything), but reading only the nodes table: the status columns of a
// full node record test the archive columns, and SQLite loads a whole
// archive to test it for null.
class NodeVisibility
{
public:
    // The node's own columns when it is visible; empty otherwise.
    static QVariantMap node(int nodeId);
    static bool isVisible(int nodeId);
};
