#pragma once

#include <QVariant>

class CommandParams;

// Users, their rights and their group memberships.
namespace UserCommands {
QVariant getUsers(CommandParams &p);
QVariant getUser(CommandParams &p);
QVariant getUserData(CommandParams &p);
QVariant saveUser(CommandParams &p);
QVariant removeUser(CommandParams &p);
QVariant getUserAccess(CommandParams &p);
QVariant setUserAccess(CommandParams &p);
QVariant getUserGroups(CommandParams &p);
QVariant setUserGroups(CommandParams &p);
}
