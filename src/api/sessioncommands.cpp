#include "sessioncommands.h"

#include "commandparams.h"
#include "user.h"
#include "users.h"

namespace SessionCommands {

QVariant login(const QVariantList &params)
{
    CommandParams p(QStringLiteral("login"), params);
    if (!p.require(2))
        return QVariant();
    const QVariantMap row = Users::login(p.text(0), p.text(1));
    return row.isEmpty() ? QVariant() : QVariant(row);
}

QVariant logout(const QVariantList &)
{
    User::logout();
    return true;
}

QVariant takeChangeEvents(const QVariantList &)
{
    return User::takeEvents();
}

}
