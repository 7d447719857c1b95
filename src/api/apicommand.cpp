#include "apicommand.h"

#include "user.h"

ApiCommand::ApiCommand(const char *name, const char *className, int paramCount, const char *right, Handler handler)
    : ZeltoCommand(QString::fromLatin1(name), paramCount), m_className(className), m_right(right), m_handler(handler)
{
}

namespace {

// What a client may call before it logs in when the server requires a login.
bool isOpenToAnonymous(const QString &command)
{
    static const QStringList open = {QStringLiteral("getVersion"), QStringLiteral("getDbVersion"),
                                     QStringLiteral("getApiVersion"), QStringLiteral("login"),
                                     QStringLiteral("takeChangeEvents")};
    return open.contains(command);
}

} // namespace

QVariant ApiCommand::execute(const QVariantList &params)
{
    // The login and the right are checked before any parameter is looked at.
    if (!isOpenToAnonymous(name()) && !User::checkLogin())
        return QVariant();
    if (m_right && *m_right && !User::checkAccess(right()))
        return QVariant();
    CommandParams commandParams(name(), params);
    return m_handler(commandParams);
}
