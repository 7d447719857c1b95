#pragma once

#include "session.h"

#include <QString>

// A session for calls that do not come through the RPC server (the XML-RPC
// gateway): while a scope lives, the session store answers "who is
// calling?" from the scope's own session and peer address instead of the
// RPC client's, so a login made there never touches a client's session and
// never collects change events. Scopes nest; the innermost one counts.
// Main thread only.
class SessionScope
{
public:
    explicit SessionScope(const QString &peerAddress);
    ~SessionScope();

    SessionScope(const SessionScope &) = delete;
    SessionScope &operator=(const SessionScope &) = delete;

    // The innermost live scope; null when none is.
    static SessionScope *current();

    Session &session() { return m_session; }
    const QString &peerAddress() const { return m_peerAddress; }

private:
    Session m_session;
    QString m_peerAddress;
    SessionScope *m_outer;
};
