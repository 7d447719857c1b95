#pragma once

#include "commandcontext.h"

#include <QCoreApplication>
#include <QVariantMap>

// A node's check parameters ("script", "criteria", "checkErrors", kept in
// nodes_data.check_params) and running them over everything stored.
class CheckParams
{
    Q_DECLARE_TR_FUNCTIONS(CheckParams)

public:
    // The parameters of a visible node; empty when it has none.
    static QVariantMap load(int nodeId);
    // Stores the parameters of a visible node; an empty map removes them,
    // and with them the node's findings and row marks.
    static bool set(int nodeId, const QVariantMap &params);
    // Runs the parameters over the node's stored archives, stores the row
    // marks and logs the findings. The number of findings, 0 for a node
    // without parameters (nothing is touched then), -1 on failure (nothing
    // stored; the reason, a script error too, in the error channel).
    static int checkArchives(int nodeId);

    // The same for a caller who must see the node.
    static ZeltoResult<QVariantMap> load(const CommandContext &context, int nodeId);
    static ZeltoStatus set(const CommandContext &context, int nodeId, const QVariantMap &params);
    static ZeltoResult<int> checkArchives(const CommandContext &context, int nodeId);
};
