#include "zeltorefusals.h"

#include "zeltoclock.h"
#include "zeltometrics.h"
#include "zeltosystem.h"

#include <QHash>
#include <QPair>

namespace {

const QByteArray kMetric = "orvex_connections_refused_total";
const qint64 kQuietMs = 60 * 1000;
// Beyond this many addresses remembered, those quiet for a minute are forgotten.
const int kPruneAt = 1024;

QString label(ZeltoRefusals::Reason reason)
{
    switch (reason) {
    case ZeltoRefusals::PerAddress: return QStringLiteral("per_address");
    case ZeltoRefusals::BufferLimit: return QStringLiteral("buffer_limit");
    case ZeltoRefusals::Host: return QStringLiteral("host");
    }
    return QString();
}

} // namespace

namespace ZeltoRefusals {

void describe()
{
    ZeltoMetrics::instance()->describe(
        kMetric, ZeltoMetrics::Counter,
        "Connections and requests turned away: over the per-address connection cap, closed for holding the "
        "largest incomplete request, or naming a Host that is not this server's.",
        {}, "reason");
}

void count(Reason reason)
{
    describe();
    ZeltoMetrics::instance()->add(kMetric, 1, "reason", label(reason));
}

void report(Reason reason, const QHostAddress &peer, const QString &text)
{
    count(reason);
    // Main thread only: the listeners live there.
    static QHash<QPair<int, QString>, qint64> lastLogged;
    const qint64 now = ZeltoClock::system()->monotonicMs();
    const QPair<int, QString> key(int(reason), peer.toString());
    const auto it = lastLogged.constFind(key);
    if (it != lastLogged.constEnd() && now - it.value() < kQuietMs)
        return;
    if (lastLogged.size() >= kPruneAt) {
        for (auto old = lastLogged.begin(); old != lastLogged.end();) {
            if (now - old.value() >= kQuietMs)
                old = lastLogged.erase(old);
            else
                ++old;
        }
        // Still as many within one minute: a flood of addresses; start afresh.
        if (lastLogged.size() >= kPruneAt)
            lastLogged.clear();
    }
    lastLogged.insert(key, now);
    ZeltoSystem::instance()->log(ZeltoSystem::LogWarning, text);
}

}
