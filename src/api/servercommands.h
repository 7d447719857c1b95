#pragma once

#include <QVariant>

// Versions, settings, the journal, backups and restart.
namespace ServerCommands {
QVariant getVersion(const QVariantList &params);
QVariant getDbVersion(const QVariantList &params);
QVariant getApiVersion(const QVariantList &params);
QVariant getSettings(const QVariantList &params);
QVariant getSetting(const QVariantList &params);
QVariant setSetting(const QVariantList &params);
QVariant getJournal(const QVariantList &params);
QVariant clearJournal(const QVariantList &params);
QVariant backupDatabase(const QVariantList &params);
QVariant restartServer(const QVariantList &params);
}
