#pragma once

#include <QVariant>

class CommandParams;

// Versions, settings, the journal, backups and restart.
namespace ServerCommands {
QVariant getVersion(CommandParams &p);
QVariant getDbVersion(CommandParams &p);
QVariant getApiVersion(CommandParams &p);
QVariant getSettings(CommandParams &p);
QVariant getSetting(CommandParams &p);
QVariant setSetting(CommandParams &p);
QVariant getJournal(CommandParams &p);
QVariant clearJournal(CommandParams &p);
QVariant backupDatabase(CommandParams &p);
QVariant restartServer(CommandParams &p);
}
