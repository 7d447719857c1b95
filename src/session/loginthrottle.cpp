#include "loginthrottle.h"

#include "zeltopeeraddress.h"

#include <algorithm>

namespace {

// Login names are counted by their beginning: a huge name must not become a huge key.
const int kLoginKeyLength = 256;

} // namespace

QString LoginThrottle::canonicalAddress(const QString &address)
{
    return ZeltoPeerAddress::text(address);
}

LoginThrottle::LoginKey LoginThrottle::loginKey(const QString &address, const QString &login)
{
    return qMakePair(canonicalAddress(address), login.left(kLoginKeyLength));
}

qint64 LoginThrottle::waitMs(const QString &address, const QString &login, qint64 now) const
{
    qint64 until = 0;
    const auto byAddress = m_addresses.entries.constFind(canonicalAddress(address));
    if (byAddress != m_addresses.entries.constEnd())
        until = byAddress->blockedUntil;
    const auto byLogin = m_logins.entries.constFind(loginKey(address, login));
    if (byLogin != m_logins.entries.constEnd())
        until = qMax(until, byLogin->blockedUntil);
    return qMax<qint64>(0, until - now);
}

bool LoginThrottle::fail(Entry &entry, int limit, qint64 now)
{
    entry.lastSeen = now;
    if (now < entry.blockedUntil)
        return false;
    while (!entry.failures.isEmpty() && now - entry.failures.first() >= kWindowMs)
        entry.failures.removeFirst();
    entry.failures.append(now);
    if (entry.failures.size() < limit)
        return false;
    entry.failures.clear();
    entry.blockedUntil = now + kBlockMs;
    return true;
}

LoginThrottle::Block LoginThrottle::recordFailure(const QString &address, const QString &login, qint64 now)
{
    bound(m_addresses, now);
    bound(m_logins, now);
    const bool loginBlocked = fail(m_logins.entries[loginKey(address, login)], kMaxLoginFailures, now);
    const bool addressBlocked = fail(m_addresses.entries[canonicalAddress(address)], kMaxAddressFailures, now);
    return addressBlocked ? AddressBlocked : loginBlocked ? LoginBlocked : NoBlock;
}

void LoginThrottle::recordSuccess(const QString &address, const QString &login)
{
    m_logins.entries.remove(loginKey(address, login));
}

template <typename Key>
void LoginThrottle::bound(Table<Key> &table, qint64 now)
{
    QHash<Key, Entry> &entries = table.entries;
    if (entries.size() < kPruneThreshold || (entries.size() < table.pruneAt && now - table.prunedAt < kWindowMs))
        return;
    table.prunedAt = now;
    for (auto it = entries.begin(); it != entries.end();) {
        const bool recent = now < it->blockedUntil || (!it->failures.isEmpty() && now - it->failures.last() < kWindowMs);
        if (recent)
            ++it;
        else
            it = entries.erase(it);
    }
    // Still more than half full of live entries: the oldest go, blocks
    // last, down to half. The next look comes when the table has doubled
    // or a window has passed, so that looking costs little per failure.
    const int keep = kMaxEntries / 2;
    if (entries.size() > keep) {
        using Age = QPair<qint64, Key>;
        QVector<Age> ages;
        ages.reserve(entries.size());
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it)
            ages.append(qMakePair(qMax(it->lastSeen, it->blockedUntil), it.key()));
        const auto cut = ages.begin() + (ages.size() - keep);
        std::nth_element(ages.begin(), cut, ages.end(), [](const Age &a, const Age &b) { return a.first < b.first; });
        for (auto it = ages.begin(); it != cut; ++it)
            entries.remove(it->second);
    }
    table.pruneAt = qMax(kPruneThreshold, 2 * entries.size());
}
