#pragma once

#include "commandresult.h"

class CommandParams;

// The polling task records visible to the calling user, and their runs.
namespace TaskCommands {
CommandReply getTasks(CommandParams &p);
CommandReply getTask(CommandParams &p);
CommandReply getTaskData(CommandParams &p);
CommandReply getTaskLog(CommandParams &p);
CommandReply saveTask(CommandParams &p);
CommandReply setTaskGroup(CommandParams &p);
CommandReply removeTask(CommandParams &p);
CommandReply startTask(CommandParams &p);
CommandReply cancelTask(CommandParams &p);
CommandReply getTaskState(CommandParams &p);
}
