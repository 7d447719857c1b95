#pragma once

#include "loginthrottle.h"
#include "session.h"
#include "zeltostatus.h"

#include <QObject>
#include <QVariant>

#include <functional>

// The session store: one Session per RPC client connection, keyed by the
// client id of the RPC server. Answers "who is calling?" for every layer,
// checks rights, and turns task, node and group notifications into
// per-session change events. Holds only per-connection state: the login
// itself, which reads the users table, is the users records' job.
// Main thread only.
class User : public QObject
{
    Q_OBJECT

public:
    User();
    ~User() override;  // clears the store

    // Process-wide: the sessions of every connection (null before the service creates it).
    static User *instance();

    // The session of the client being served (or of the innermost
    // SessionScope); created on first use.
    static Session &currentSession();
    // -1 when nobody is logged in on the current client, or outside any client call.
    static int currentUserId();
    // The administrator and anonymous clients (and the server's own work) see everything.
    static bool isUnrestricted();
    // Allows, or refuses with "Недостаточно прав для выполнения команды" (a
    // missing right).
    static ZeltoStatus checkAccess(const QString &right);
    // The refusal's text with the kind given: NoRight, NotFound (records
    // that do not exist or lie outside the user's groups) or NotLoggedIn.
    static ZeltoStatus refusal(ZeltoStatus::Kind kind);
    // A record looked up for the caller: an empty one (missing or outside the
    // user's groups) becomes the NotFound refusal; a failed lookup stays as it is.
    static ZeltoResult<QVariantMap> seen(const ZeltoResult<QVariantMap> &found);

    // INI "Server/requireLogin": when set, a client connection on which
    // nobody is logged in may call only the commands open to anonymous
    // clients; checkLogin() refuses it the rest. The server's own work
    // (outside any client call) is never refused.
    static void setLoginRequired(bool required);
    // Refuses with kind NotLoggedIn.
    static ZeltoStatus checkLogin();

    // The address the current client connects from; empty outside a client call.
    static QString currentPeerAddress();
    // Failed logins per peer address and per login at an address, for the whole process.
    static LoginThrottle &loginThrottle();

    // Binds the current client to a user whose login succeeded: row and
    // rights as read at login; pending events start empty.
    static void signIn(int userId, const QVariantMap &row, const QStringList &access);
    static void logout();
    static QVariantMap takeEvents();

    // Whether a node is watched for a user, asked before the change event
    // NodeMonitored is passed to that user's clients; the data monitor sets
    // it, and may hand in a function bound to itself (none: never).
    using MonitorFilter = std::function<bool(int userId, int nodeId)>;
    static void setMonitorFilter(MonitorFilter filter);

signals:
    // The last client of a logged-in user went away.
    void userLeft(int userId);

public slots:
    void remove(int clientId);
    void onNotification(const QString &name, const QVariant &value);

private:
    void announceIfGone(int userId);
};
