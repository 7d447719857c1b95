#pragma once

#include <QHash>
#include <QString>
#include <QVector>

// Slows down password guessing: after kMaxFailures failed logins from one
// peer address within kWindowMs, every login attempt from that address is
// refused for kBlockMs, whatever the password. Times are milliseconds of a
// monotonic clock, given by the caller. Main thread only.
class LoginThrottle
{
public:
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kWindowMs = 60000;
    static constexpr qint64 kBlockMs = 60000;

    bool isBlocked(const QString &address, qint64 now) const;
    // Notes a failed login; true when it starts a block (to be reported once).
    bool recordFailure(const QString &address, qint64 now);
    // A successful login forgets the address's failures.
    void recordSuccess(const QString &address);

    int addressCount() const { return m_entries.size(); }

private:
    struct Entry
    {
        QVector<qint64> failures;  // times of the failures within the window, oldest first
        qint64 blockedUntil = 0;
    };

    // Drops what no longer matters, so that many addresses cannot grow the table for good.
    void forgetStale(qint64 now);

    QHash<QString, Entry> m_entries;
};
