#pragma once

#include <QVariant>

// The groups visible to the calling user.
namespace GroupCommands {
QVariant getGroups(const QVariantList &params);
QVariant getGroup(const QVariantList &params);
QVariant saveGroup(const QVariantList &params);
QVariant removeGroup(const QVariantList &params);
}
