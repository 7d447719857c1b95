#include "signin.h"

#include "apicommand.h"
#include "user.h"
#include "users.h"

#include <QCoreApplication>

namespace {

const QString kAccess = QStringLiteral("access");

} // namespace

ZeltoResult<QVariantMap> SignIn::logIn(const QString &loginName, const QString &password)
{
    if (User::currentUserId() != -1)
        return ZeltoStatus::conflict(QCoreApplication::translate("Users", "Вы уже авторизованы"));
    const ZeltoResult<QVariantMap> row = Users::authenticate(ApiCommand::currentContext().database(), loginName, password,
                                                               User::currentPeerAddress());
    if (row.ok())
        bind(row.value());
    return row;
}

bool SignIn::resume(int id, const QString &stamp)
{
    const QVariantMap row = Users::resume(ApiCommand::currentContext().database(), id, stamp);
    if (row.isEmpty())
        return false;
    bind(row);
    return true;
}

void SignIn::bind(const QVariantMap &rowWithAccess)
{
    QVariantMap row = rowWithAccess;
    const QStringList rights = row.take(kAccess).toStringList();
    User::signIn(row.value(QStringLiteral("id")).toInt(), row, rights);
}
