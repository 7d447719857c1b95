#pragma once

#include <QVariant>

class CommandParams;

// The groups visible to the calling user.
namespace GroupCommands {
QVariant getGroups(CommandParams &p);
QVariant getGroup(CommandParams &p);
QVariant saveGroup(CommandParams &p);
QVariant removeGroup(CommandParams &p);
}
