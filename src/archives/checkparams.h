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
    // The parameters of a node the caller sees; empty when it has none (or
    // the caller does not see it).
    static ZeltoResult<QVariantMap> load(const CommandContext &context, int nodeId);
    // Stores the parameters of a node the caller must see; an empty map
    // removes them, and with them the node's findings and row marks.
    static ZeltoStatus set(const CommandContext &context, int nodeId, const QVariantMap &params);
    // Runs the parameters over the node's stored archives, stores the row
    // marks and logs the findings: the number of findings, 0 for a node
    // without parameters (nothing is touched then); on failure (a script
    // error too) nothing is stored.
    static ZeltoResult<int> checkArchives(const CommandContext &context, int nodeId);
};
