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
    // The node's id, or the failure with nothing of the package stored.
    static ZeltoResult<int> importNode(const CommandContext &context, const QVariant &package);

private:
    static ZeltoStatus readPackage(const QVariant &package, ZeltoTableMap &tables);
    // The group the package names, found by name or created; 0 when it names none.
    static ZeltoResult<int> groupId(const CommandContext &context, const ZeltoTableMap &tables);
    static QVariantMap nodeRow(const QVariantMap &info, const QString &modelCode, const QVariant &number, int groupId);
    static ZeltoStatus saveTasks(const CommandContext &context, const ZeltoTableMap &tables, const QVariantMap &info,
                                 const QString &modelCode, int nodeId, QVariantList &taskIds);
    static ZeltoStatus saveTask(const CommandContext &context, QVariantMap task, int nodeId, QVariantList &taskIds);
};
