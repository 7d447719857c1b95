#pragma once

#include "commandresult.h"

class CommandParams;

// The nodes visible to the calling user.
namespace NodeCommands {
CommandReply getNodes(CommandParams &p);
CommandReply getNode(CommandParams &p);
CommandReply saveNode(CommandParams &p);
CommandReply setNodeGroup(CommandParams &p);
CommandReply removeNode(CommandParams &p);
}
