#pragma once

#include <QVariant>

// login, logout, takeChangeEvents.
namespace SessionCommands {
QVariant login(const QVariantList &params);
QVariant logout(const QVariantList &params);
QVariant takeChangeEvents(const QVariantList &params);
}
