#pragma once

#include <QVariant>

class CommandParams;

// Saving, reading and clearing node archives; reports built from them.
namespace ArchiveCommands {
QVariant saveArchives(CommandParams &p);
QVariant clearArchives(CommandParams &p);
QVariant getSettingData(CommandParams &p);
QVariant getJournalData(CommandParams &p);
QVariant getArchive(CommandParams &p);
QVariant getFillData(CommandParams &p);
QVariant getReportData(CommandParams &p);
QVariant getGroupTotals(CommandParams &p);
}
