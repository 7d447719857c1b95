#include "apicommand.h"

#include "user.h"
#include "zeltosystem.h"

ApiCommand::ApiCommand(const char *name, const char *className, int paramCount, const char *right, Handler handler)
    : ZeltoCommand(QString::fromLatin1(name), paramCount), m_className(className), m_right(right), m_handler(handler)
{
}

namespace {

// Set once by the service; read by every call on the main thread.
Database *g_database = nullptr;

// What a client may call before it logs in when the server requires a login.
bool isOpenToAnonymous(const QString &command)
{
    static const QStringList open = {QStringLiteral("getVersion"), QStringLiteral("getDbVersion"),
                                     QStringLiteral("getApiVersion"), QStringLiteral("login"),
                                     QStringLiteral("takeChangeEvents")};
    return open.contains(command);
}

} // namespace

void ApiCommand::setDatabase(Database *database)
{
    g_database = database;
}

CommandContext ApiCommand::currentContext()
{
    const Session &session = User::currentSession();
    return CommandContext(g_database, session.userId, session.access);
}

ZeltoResult<QVariant> ApiCommand::call(const QVariantList &params)
{
    ZeltoSystem *system = ZeltoSystem::instance();
    system->clearError();
    // The login and the right are checked before any parameter is looked at.
    const ZeltoStatus login = isOpenToAnonymous(name()) ? ZeltoStatus() : User::checkLogin();
    if (!login.ok())
        return login;
    const ZeltoStatus allowed = m_right && *m_right ? User::checkAccess(right()) : ZeltoStatus();
    if (!allowed.ok())
        return allowed;
    CommandParams commandParams(currentContext(), name(), params);
    const QVariant value = m_handler(commandParams);
    if (value.isValid())
        return value;
    // Handlers not yet returning statuses leave theirs in the error channel.
    const ZeltoStatus status = system->lastStatus();
    return status.ok() ? ZeltoStatus::failed(QString()) : status;
}
