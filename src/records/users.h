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
    static ZeltoTable list();
    // The users row; empty when there is none.
    static QVariantMap get(int id);
    // The stored rights; the administrator's end with "allowAll".
    static QStringList access(int id);
    // Checks the login and password of a client at peer (empty: none
    // known). The user's row (password blanked) plus "access"; signing the
    // client in is the session's business.
    static ZeltoResult<QVariantMap> authenticate(const QString &loginName, const QString &password,
                                                 const QString &peer);
    // Checks a login and password without signing anybody in (logins of
    // the OPC clients), throttled per peer like client logins. The user's
    // id, or -1 with the reason in the error channel.
    static int verify(const QString &loginName, const QString &password, const QString &peer);
    // What changes whenever the user's password is set, and when the user
    // is removed: kept by those who let a user in later without the password
    // (XML-RPC tokens). Empty when there is no such user; never sent out.
    static QString passwordStamp(int id);
    // The current row plus "access" of user id, when its password stamp is
    // still stamp; an empty map otherwise.
    static QVariantMap resume(int id, const QString &stamp);
    static QVariantList groups(int id);
    // The row plus "access" and "groups"; empty when there is no such user.
    static QVariantMap data(int id);

    // Inserts (no "id") or updates the user from a client record, with
    // "password" in plain text and optional "access" and "groups", all in one
    // transaction on database. The user's id, or -1 with nothing written.
    static int save(Database *database, const QVariantMap &input);
    static bool remove(int id);
    static bool setAccess(int id, const QStringList &rights);
    // Replaces every membership of the user, the common group's included;
    // announced as ChangeEvents::UserSaved.
    static bool setGroups(Database *database, int id, const QVariantList &groupIds);

private:
    // The users row (password blanked) for a matching login and password,
    // the stored hash renewed when it was of an older form; empty with the
    // reason in the error channel otherwise. Every way in (RPC, XML-RPC, OPC
    // UA) comes through here, so they share the throttle's counts.
    static QVariantMap checkPassword(const QString &loginName, const QString &password, const QString &peer);
};
