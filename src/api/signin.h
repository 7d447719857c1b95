#pragma once

#include "zeltostatus.h"

#include <QString>
#include <QVariantMap>

// Signing the current client of the session store in: the login command
// and the XML-RPC gateway's logins and tokens.
class SignIn
{
public:
    // Checks the login and password and signs the client in. The user's
    // row plus "access"; a conflict when somebody is signed in already.
    static ZeltoResult<QVariantMap> logIn(const QString &loginName, const QString &password);
    // Signs the client in as user id again when its password stamp is
    // still stamp; false otherwise.
    static bool resume(int id, const QString &stamp);

private:
    static void bind(const QVariantMap &rowWithAccess);
};
