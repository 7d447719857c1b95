#include "loginthrottle.h"

namespace {

// Above this many addresses the stale ones are dropped at the next failure.
const int kPruneThreshold = 1024;

} // namespace

bool LoginThrottle::isBlocked(const QString &address, qint64 now) const
{
    const auto it = m_entries.constFind(address);
    return it != m_entries.constEnd() && now < it->blockedUntil;
}

bool LoginThrottle::recordFailure(const QString &address, qint64 now)
{
    if (m_entries.size() > kPruneThreshold)
        forgetStale(now);
    Entry &entry = m_entries[address];
    if (now < entry.blockedUntil)
        return false;
    while (!entry.failures.isEmpty() && now - entry.failures.first() >= kWindowMs)
        entry.failures.removeFirst();
    entry.failures.append(now);
    if (entry.failures.size() < kMaxFailures)
        return false;
    entry.failures.clear();
    entry.blockedUntil = now + kBlockMs;
    return true;
}

void LoginThrottle::recordSuccess(const QString &address)
{
    m_entries.remove(address);
}

void LoginThrottle::forgetStale(qint64 now)
{
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const bool recent = now < it->blockedUntil || (!it->failures.isEmpty() && now - it->failures.last() < kWindowMs);
        if (recent)
            ++it;
        else
            it = m_entries.erase(it);
    }
}
