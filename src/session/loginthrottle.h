#pragma once

#include <QHash>
#include <QPair>
#include <QString>
#include <QVector>

// Slows down password guessing from one peer address, whichever way it
// logs in. Failed logins count twice: for the pair (address, login) and for
// the address alone. kMaxLoginFailures for one pair within kWindowMs refuse
// that login from that address for kBlockMs; kMaxAddressFailures from the
// address, all logins together, refuse every login from it for kBlockMs.
// A success forgets only its own pair's failures: an account of one's own
// must not reset the count of guesses at another's. Attempts refused while
// blocked count nowhere and extend nothing. Addresses are compared in one
// form (an IPv4-mapped IPv6 address as IPv4), so every listener's peers
// share a count. Times are milliseconds of a monotonic clock, given by the
// caller. Main thread only.
class LoginThrottle
{
public:
    static constexpr int kMaxLoginFailures = 5;
    static constexpr int kMaxAddressFailures = 20;
    static constexpr qint64 kWindowMs = 60000;
    static constexpr qint64 kBlockMs = 60000;
    // At most this many entries in either table: beyond, the stale ones are
    // forgotten, then the oldest (blocks last), so that many addresses or
    // login names cannot grow it for good.
    static constexpr int kMaxEntries = 10000;

    enum Block { NoBlock, LoginBlocked, AddressBlocked };

    // How long an attempt to log in as login from address must wait: 0 when it may go on.
    qint64 waitMs(const QString &address, const QString &login, qint64 now) const;
    // Notes a failed login; the block it starts (to be reported once), if any.
    Block recordFailure(const QString &address, const QString &login, qint64 now);
    // A successful login forgets the failures of its own login at the address.
    void recordSuccess(const QString &address, const QString &login);

    int entryCount() const { return m_addresses.entries.size() + m_logins.entries.size(); }

    // The form addresses are counted in: an IPv4-mapped IPv6 address as IPv4, others as QHostAddress writes them.
    static QString canonicalAddress(const QString &address);

private:
    static constexpr int kPruneThreshold = 1024;  // below this many entries nothing is looked for to forget

    struct Entry
    {
        QVector<qint64> failures;  // times of the failures within the window, oldest first
        qint64 blockedUntil = 0;
        qint64 lastSeen = 0;       // the latest failure
    };
    template <typename Key>
    struct Table
    {
        QHash<Key, Entry> entries;
        // The next failure looks for entries to forget at this size, or a window after the last look.
        int pruneAt = kPruneThreshold;
        qint64 prunedAt = 0;
    };
    using LoginKey = QPair<QString, QString>;  // address, login

    static LoginKey loginKey(const QString &address, const QString &login);
    // Counts one failure; true when it starts a block.
    static bool fail(Entry &entry, int limit, qint64 now);
    template <typename Key>
    static void bound(Table<Key> &table, qint64 now);

    Table<QString> m_addresses;
    Table<LoginKey> m_logins;
};
