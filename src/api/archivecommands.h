#pragma once

#include <QVariant>

// Saving, reading and clearing node archives; reports built from them.
namespace ArchiveCommands {
QVariant saveArchives(const QVariantList &params);
QVariant clearArchives(const QVariantList &params);
QVariant getSettingData(const QVariantList &params);
QVariant getJournalData(const QVariantList &params);
QVariant getArchive(const QVariantList &params);
QVariant getFillData(const QVariantList &params);
QVariant getReportData(const QVariantList &params);
QVariant getGroupTotals(const QVariantList &params);
}
