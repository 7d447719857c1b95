#pragma once

#include <QVariant>

class CommandParams;

// login, logout, takeChangeEvents.
namespace SessionCommands {
QVariant login(CommandParams &p);
QVariant logout(CommandParams &p);
QVariant takeChangeEvents(CommandParams &p);
}
