#pragma once

#include "session.h"

#include <QObject>
#include <QVariant>

// The session store: one Session per RPC client connection, keyed by the
// client id of the RPC server. Logs users in and out, checks rights, and
// turns task, node and group notifications into per-session change events.
// Main thread only.
class User : public QObject
{
    Q_OBJECT

public:
    User();
    ~User() override;  // clears the store

    static User *instance();  // null before the service creates it

    // The session of the client being served; created on first use.
    static Session &currentSession();
    // -1 when nobody is logged in on the current client, or outside any client call.
    static int currentUserId();
    // The administrator and anonymous clients (and the server's own work) see everything.
    static bool isUnrestricted();
    // Allows or reports "Недостаточно прав для выполнения команды" and returns false.
    static bool checkAccess(const QString &right);
    // The refusal itself, also for records outside the user's groups; returns false.
    static bool denyAccess();

    // The user's row plus "access"; an empty map with the reason in the error channel on failure.
    static QVariantMap login(const QString &loginName, const QString &password);
    static void logout();
    static QVariantMap takeEvents();

    static QStringList userAccess(int userId);
    static QString passwordDigest(const QString &password);

public slots:
    void remove(int clientId);
    void onNotification(const QString &name, const QVariant &value);
};
