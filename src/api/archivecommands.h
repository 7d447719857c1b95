#pragma once

#include "commandresult.h"

class CommandParams;

// Saving, reading and clearing node archives; reports built from them.
namespace ArchiveCommands {
CommandReply saveArchives(CommandParams &p);
CommandReply clearArchives(CommandParams &p);
CommandReply getSettingData(CommandParams &p);
CommandReply getJournalData(CommandParams &p);
CommandReply getArchive(CommandParams &p);
CommandReply getFillData(CommandParams &p);
CommandReply getReportData(CommandParams &p);
CommandReply getGroupTotals(CommandParams &p);
}
