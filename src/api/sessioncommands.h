#pragma once

#include "commandresult.h"

class CommandParams;

// login, logout, takeChangeEvents.
namespace SessionCommands {
CommandReply login(CommandParams &p);
CommandReply logout(CommandParams &p);
CommandReply takeChangeEvents(CommandParams &p);
}
