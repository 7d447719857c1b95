#pragma once

#include "zeltostatus.h"
#include "zeltotable.h"

#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

class Database;

// The users who log in, their rights and their group memberships. Users are
// not filtered by group: whoever may read users reads them all. The built-in
// administrator (id 0) keeps its rights and groups whatever is written.
class Users
{
public:
    // Each operation works on database; null (none open) is a storage failure.
    static ZeltoResult<ZeltoTable> list(Database *database);
    // The users row; empty when there is none.
    static ZeltoResult<QVariantMap> get(Database *database, int id);
    // The stored rights; the administrator's end with "allowAll".
    static ZeltoResult<QStringList> access(Database *database, int id);
    // Checks the login and password of a client at peer (empty: none
    // known). The user's row (password blanked) plus "access"; signing the
    // client in is the session's business.
    static ZeltoResult<QVariantMap> authenticate(Database *database, const QString &loginName, const QString &password,
                                                 const QString &peer);
    // Checks a login and password without signing anybody in (logins of
    // the OPC clients), throttled per peer like client logins: the user's id.
    static ZeltoResult<int> verify(Database *database, const QString &loginName, const QString &password,
                                   const QString &peer);
    // What changes whenever the user's password is set, and when the user
    // is removed: kept by those who let a user in later without the password
    // (XML-RPC tokens). Empty when there is no such user or it cannot be
    // read; never sent out.
    static QString passwordStamp(Database *database, int id);
    // The current row plus "access" of user id, when its password stamp is
    // still stamp; an empty map otherwise.
    static QVariantMap resume(Database *database, int id, const QString &stamp);
    static ZeltoResult<QVariantList> groups(Database *database, int id);
    // The row plus "access" and "groups"; empty when there is no such user.
    static ZeltoResult<QVariantMap> data(Database *database, int id);

    // Inserts (no "id") or updates the user from a client record, with
    // "password" in plain text and optional "access" and "groups", all in one
    // transaction on database. The user's id; on failure nothing is written.
    static ZeltoResult<int> save(Database *database, const QVariantMap &input);
    static ZeltoStatus remove(Database *database, int id);
    static ZeltoStatus setAccess(Database *database, int id, const QStringList &rights);
    // Replaces every membership of the user, the common group's included;
    // announced as ChangeEvents::UserSaved.
    static ZeltoStatus setGroups(Database *database, int id, const QVariantList &groupIds);

private:
    // The users row (password blanked) for a matching login and password,
    // the stored hash renewed when it was of an older form. Every way in
    // (RPC, XML-RPC, OPC UA) comes through here, so they share the
    // throttle's counts.
    static ZeltoResult<QVariantMap> checkPassword(Database &database, const QString &loginName,
                                                  const QString &password, const QString &peer);
};
