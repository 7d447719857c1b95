#pragma once

#include <QVariant>

// The nodes visible to the calling user.
namespace NodeCommands {
QVariant getNodes(const QVariantList &params);
QVariant getNode(const QVariantList &params);
QVariant saveNode(const QVariantList &params);
QVariant setNodeGroup(const QVariantList &params);
QVariant removeNode(const QVariantList &params);
}
