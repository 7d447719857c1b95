#pragma once

#include "commandcontext.h"

#include "zeltotable.h"

#include <QCoreApplication>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

// Stores a node package (NodeExport's layout, or the older one of earlier
// releases: LegacyPackage) in one transaction. The node is found by model
// code and number; a new node is created with its group (found or created
// by name), check parameters and tasks, while a node already known keeps
// its row, group and tasks. Either way the archives, device settings and
// device journal are merged in without clock checks or check script.
class NodeImport
{
    Q_DECLARE_TR_FUNCTIONS(NodeImport)

public:
    // The node's id, or -1 with the reason in the error channel and nothing
    // of the package stored.
    static int importNode(const CommandContext &context, const QVariant &package);

private:
    static bool readPackage(const QVariant &package, ZeltoTableMap &tables);
    static int groupId(const CommandContext &context, const ZeltoTableMap &tables);
    static QVariantMap nodeRow(const QVariantMap &info, const QString &modelCode, const QVariant &number, int groupId);
    static bool saveTasks(const CommandContext &context, const ZeltoTableMap &tables, const QVariantMap &info,
                          const QString &modelCode, int nodeId, QVariantList &taskIds);
    static bool saveTask(const CommandContext &context, QVariantMap task, int nodeId, QVariantList &taskIds);
};
