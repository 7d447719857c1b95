#pragma once

#include <QVariant>

class CommandParams;

// Saving, reading and clearing node archives.
namespace ArchiveCommands {
QVariant saveArchives(CommandParams &p);
QVariant clearArchives(CommandParams &p);
QVariant getSettingData(CommandParams &p);
QVariant getJournalData(CommandParams &p);
QVariant getArchive(CommandParams &p);
QVariant getFillData(CommandParams &p);
}
