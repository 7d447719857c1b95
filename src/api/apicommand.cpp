#include "apicommand.h"

#include "user.h"
#include "zeltosystem.h"

ApiCommand::ApiCommand(const char *name, const char *className, int paramCount, const char *right, Handler handler)
    : ZeltoCommand(QString::fromLatin1(name), paramCount), m_className(className), m_right(right), m_handler(handler)
{
}

namespace {

// Set by the service; read by every call on the main thread.
Database *g_database = nullptr;
TaskManager *g_polling = nullptr;
DataMonitor *g_monitor = nullptr;

// What a client may call before it logs in when the server requires a login.
bool isOpenToAnonymous(const QString &command)
{
    static const QStringList open = {QStringLiteral("getVersion"), QStringLiteral("getDbVersion"),
                                     QStringLiteral("getApiVersion"), QStringLiteral("login"),
                                     QStringLiteral("takeChangeEvents")};
    return open.contains(command);
}

} // namespace

void ApiCommand::setServices(Database *database, TaskManager *polling, DataMonitor *monitor)
{
    g_database = database;
    g_polling = polling;
    g_monitor = monitor;
}

CommandContext ApiCommand::currentContext()
{
    const Session &session = User::currentSession();
    return CommandContext(g_database, session.userId, session.access);
}

ZeltoResult<QVariant> ApiCommand::call(const QVariantList &params)
{
    // The login and the right are checked before any parameter is looked at.
    const ZeltoStatus login = isOpenToAnonymous(name()) ? ZeltoStatus() : User::checkLogin();
    if (!login.ok())
        return login;
    const ZeltoStatus allowed = m_right && *m_right ? User::checkAccess(right()) : ZeltoStatus();
    if (!allowed.ok())
        return allowed;
    CommandParams commandParams(currentContext(), name(), params, g_polling, g_monitor);
    return m_handler(commandParams);
}
