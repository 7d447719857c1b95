#pragma once

#include "commandresult.h"

class CommandParams;

// Versions, settings, the journal, backups and restart.
namespace ServerCommands {
CommandReply getVersion(CommandParams &p);
CommandReply getDbVersion(CommandParams &p);
CommandReply getApiVersion(CommandParams &p);
CommandReply getSettings(CommandParams &p);
CommandReply getSetting(CommandParams &p);
CommandReply setSetting(CommandParams &p);
CommandReply getJournal(CommandParams &p);
CommandReply clearJournal(CommandParams &p);
CommandReply backupDatabase(CommandParams &p);
CommandReply restartServer(CommandParams &p);
}
