#pragma once

#include <QVariant>

// Users, their rights and their group memberships.
namespace UserCommands {
QVariant getUsers(const QVariantList &params);
QVariant getUser(const QVariantList &params);
QVariant getUserData(const QVariantList &params);
QVariant saveUser(const QVariantList &params);
QVariant removeUser(const QVariantList &params);
QVariant getUserAccess(const QVariantList &params);
QVariant setUserAccess(const QVariantList &params);
QVariant getUserGroups(const QVariantList &params);
QVariant setUserGroups(const QVariantList &params);
}
