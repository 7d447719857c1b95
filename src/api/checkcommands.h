#pragma once

#include <QVariant>

// Check parameters, checking stored archives, and the check log.
namespace CheckCommands {
QVariant getCheckParams(const QVariantList &params);
QVariant setCheckParams(const QVariantList &params);
QVariant checkArchives(const QVariantList &params);
QVariant getCheckLog(const QVariantList &params);
QVariant getCheckErrors(const QVariantList &params);
QVariant clearCheckLog(const QVariantList &params);
}
