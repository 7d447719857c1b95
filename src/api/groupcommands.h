#pragma once

#include "commandresult.h"

class CommandParams;

// The groups visible to the calling user.
namespace GroupCommands {
CommandReply getGroups(CommandParams &p);
CommandReply getGroup(CommandParams &p);
CommandReply saveGroup(CommandParams &p);
CommandReply removeGroup(CommandParams &p);
}
