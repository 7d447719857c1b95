#pragma once

#include <QHash>
#include <QString>

// The tokens that XML-RPC logins hand out, and whom each one names.
//
// A token is 64 lowercase hexadecimal digits: 32 bytes from libsodium's
// random generator, so it tells nothing of the password and two logins
// never share one. Clients only pass back what login gave them; nothing
// may be read into its form. A token lives until it is revoked (logout),
// or goes unused for the idle time, or when more than kMaxTokens are
// live (the longest idle goes first). Whoever uses it must also check that
// its user's password stamp is still the one stored here. Times are
// milliseconds of a monotonic clock, given by the caller. Main thread only.
class XmlRpcTokens
{
public:
    static constexpr int kMaxTokens = 10000;

    struct Holder
    {
        int userId = -1;
        QString passwordStamp;  // the user's password stamp at login
        qint64 lastUse = 0;
    };

    explicit XmlRpcTokens(qint64 idleMs) : m_idleMs(idleMs) {}

    void setIdleMs(qint64 idleMs) { m_idleMs = idleMs; }
    // A new token for the user; empty when the random generator cannot start.
    QString issue(int userId, const QString &passwordStamp, qint64 now);
    // The holder of a live token, its idle time started again; null when the
    // token is unknown or was idle too long (then it is forgotten).
    const Holder *use(const QString &token, qint64 now);
    void revoke(const QString &token);
    int count() const { return m_holders.size(); }

private:
    bool idle(const Holder &holder, qint64 now) const { return now - holder.lastUse >= m_idleMs; }

    qint64 m_idleMs;
    QHash<QString, Holder> m_holders;
};
