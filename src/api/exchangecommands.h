#pragma once

#include "commandparams.h"

#include "commandresult.h"

// Moving a node with its tasks and archives between servers as one package.
namespace ExchangeCommands {
CommandReply exportNode(CommandParams &p);
CommandReply importNode(CommandParams &p);
}
