#pragma once

#include "commandresult.h"

class CommandParams;

// Check parameters, checking stored archives, and the check log.
namespace CheckCommands {
CommandReply getCheckParams(CommandParams &p);
CommandReply setCheckParams(CommandParams &p);
CommandReply checkArchives(CommandParams &p);
CommandReply getCheckLog(CommandParams &p);
CommandReply getCheckErrors(CommandParams &p);
CommandReply clearCheckLog(CommandParams &p);
}
