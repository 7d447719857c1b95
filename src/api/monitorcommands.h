#pragma once

#include "commandresult.h"

class CommandParams;

// The data monitor: which nodes the calling user watches, and their values.
namespace MonitorCommands {
CommandReply monitorAppend(CommandParams &p);
CommandReply monitorRemove(CommandParams &p);
CommandReply monitorGetData(CommandParams &p);
}
