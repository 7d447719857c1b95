#pragma once

#include <QVariant>

// Saving, reading and clearing node archives.
namespace ArchiveCommands {
QVariant saveArchives(const QVariantList &params);
QVariant clearArchives(const QVariantList &params);
QVariant getSettingData(const QVariantList &params);
QVariant getJournalData(const QVariantList &params);
QVariant getArchive(const QVariantList &params);
QVariant getFillData(const QVariantList &params);
}
