#pragma once

#include "commandresult.h"

class CommandParams;

// Users, their rights and their group memberships.
namespace UserCommands {
CommandReply getUsers(CommandParams &p);
CommandReply getUser(CommandParams &p);
CommandReply getUserData(CommandParams &p);
CommandReply saveUser(CommandParams &p);
CommandReply removeUser(CommandParams &p);
CommandReply getUserAccess(CommandParams &p);
CommandReply setUserAccess(CommandParams &p);
CommandReply getUserGroups(CommandParams &p);
CommandReply setUserGroups(CommandParams &p);
}
