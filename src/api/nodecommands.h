#pragma once

#include <QVariant>

class CommandParams;

// The nodes visible to the calling user.
namespace NodeCommands {
QVariant getNodes(CommandParams &p);
QVariant getNode(CommandParams &p);
QVariant saveNode(CommandParams &p);
QVariant setNodeGroup(CommandParams &p);
QVariant removeNode(CommandParams &p);
}
