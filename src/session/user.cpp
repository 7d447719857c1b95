#include "user.h"

#include "changeevents.h"
#include "sessionscope.h"
#include "zeltoserver.h"
#include "zeltosystem.h"

namespace {

User *g_user = nullptr;
bool g_loginRequired = false;

// Process-wide, so that sessions work (anonymously) even where no User
// object exists, as in tools and tests that use the storage alone.
QMap<int, Session> &store()
{
    static QMap<int, Session> sessions;
    return sessions;
}

User::MonitorFilter g_monitorFilter;   // main thread only

bool isMonitoredFor(int userId, const QVariant &nodeId)
{
    // Nodes are watched through the data monitor; without one, no node is
    // monitored for anybody.
    return g_monitorFilter && g_monitorFilter(userId, nodeId.toInt());
}

} // namespace

User::User()
{
    g_user = this;
    connect(ZeltoServer::global(), &ZeltoServer::disconnected, this, &User::remove);
    connect(ZeltoSystem::instance(), &ZeltoSystem::notification, this, &User::onNotification, Qt::QueuedConnection);
}

User::~User()
{
    store().clear();
    if (g_user == this)
        g_user = nullptr;
}

User *User::instance()
{
    return g_user;
}

Session &User::currentSession()
{
    if (SessionScope *scope = SessionScope::current())
        return scope->session();
    return store()[ZeltoServer::global()->clientId()];
}

int User::currentUserId()
{
    if (SessionScope *scope = SessionScope::current())
        return scope->session().userId;
    const int client = ZeltoServer::global()->clientId();
    if (client < 0)
        return -1;
    const auto it = store().constFind(client);
    return it == store().constEnd() ? -1 : it->userId;
}

bool User::isUnrestricted()
{
    const int id = currentUserId();
    return id == -1 || id == 0;
}

ZeltoStatus User::checkAccess(const QString &right)
{
    if (isUnrestricted())
        return ZeltoStatus();
    const QStringList &access = currentSession().access;
    if (access.contains(QStringLiteral("allowAll")) || access.contains(right))
        return ZeltoStatus();
    return refusal(ZeltoStatus::NoRight);
}

ZeltoStatus User::refusal(ZeltoStatus::Kind kind)
{
    return ZeltoStatus(kind, tr("Недостаточно прав для выполнения команды"));
}

ZeltoResult<QVariantMap> User::seen(const ZeltoResult<QVariantMap> &found)
{
    if (found.ok() && found.value().isEmpty())
        return refusal(ZeltoStatus::NotFound);
    return found;
}

void User::setLoginRequired(bool required)
{
    g_loginRequired = required;
}

ZeltoStatus User::checkLogin()
{
    if (SessionScope *scope = SessionScope::current())
        return !g_loginRequired || scope->session().userId != -1 ? ZeltoStatus() : refusal(ZeltoStatus::NotLoggedIn);
    if (!g_loginRequired || ZeltoServer::global()->clientId() < 0 || currentUserId() != -1)
        return ZeltoStatus();
    return refusal(ZeltoStatus::NotLoggedIn);
}

QString User::currentPeerAddress()
{
    if (SessionScope *scope = SessionScope::current())
        return scope->peerAddress();
    return ZeltoServer::global()->peerAddress(ZeltoServer::global()->clientId());
}

LoginThrottle &User::loginThrottle()
{
    static LoginThrottle throttle;
    return throttle;
}

void User::signIn(int userId, const QVariantMap &row, const QStringList &access)
{
    Session &session = currentSession();
    session.userId = userId;
    session.user = row;
    session.access = access;
    session.pendingEvents.clear();
}

void User::logout()
{
    Session &session = currentSession();
    const int userId = session.userId;
    session = Session();
    if (g_user)
        g_user->announceIfGone(userId);
}

QVariantMap User::takeEvents()
{
    Session &session = currentSession();
    QVariantMap events;
    for (auto it = session.pendingEvents.constBegin(); it != session.pendingEvents.constEnd(); ++it)
        events.insert(it.key(), it.value());
    session.pendingEvents.clear();
    return events;
}

void User::setMonitorFilter(MonitorFilter filter)
{
    g_monitorFilter = filter;
}

void User::remove(int clientId)
{
    const int userId = store().value(clientId).userId;
    store().remove(clientId);
    announceIfGone(userId);
}

void User::announceIfGone(int userId)
{
    if (userId == -1)
        return;
    for (const Session &session : qAsConst(store())) {
        if (session.userId == userId)
            return;
    }
    emit userLeft(userId);
}

void User::onNotification(const QString &name, const QVariant &value)
{
    if (value.userType() != QMetaType::Int || !ChangeEvents::reachesClients(name))
        return;
    const bool monitored = name == ChangeEvents::NodeMonitored;
    for (Session &session : store()) {
        if (session.userId == -1)
            continue;
        QVariantList &pending = session.pendingEvents[name];
        if (pending.contains(value))
            continue;
        if (monitored && !isMonitoredFor(session.userId, value)) {
            if (pending.isEmpty())
                session.pendingEvents.remove(name);
            continue;
        }
        pending.append(value);
    }
}
