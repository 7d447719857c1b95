#include "zeltotestclock.h"

#include "zeltotimer.h"

ZeltoTestClock::ZeltoTestClock(const QDateTime &now) : m_epochMs(now.toMSecsSinceEpoch()) {}

ZeltoTestClock::~ZeltoTestClock()
{
    for (auto it = m_due.constBegin(); it != m_due.constEnd(); ++it)
        release(it.key());
}

QDateTime ZeltoTestClock::now() const
{
    return QDateTime::fromMSecsSinceEpoch(m_epochMs, Qt::LocalTime);
}

QDateTime ZeltoTestClock::utcNow() const
{
    return QDateTime::fromMSecsSinceEpoch(m_epochMs, Qt::UTC);
}

qint64 ZeltoTestClock::monotonicMs() const
{
    return m_monotonicMs;
}

void ZeltoTestClock::setNow(const QDateTime &now)
{
    m_epochMs = now.toMSecsSinceEpoch();
}

void ZeltoTestClock::advance(qint64 ms)
{
    const qint64 target = m_monotonicMs + qMax<qint64>(0, ms);
    for (;;) {
        // The earliest timer due by the target; a timer's handler may start
        // and stop timers, so it is looked for afresh each time.
        auto next = m_due.end();
        for (auto it = m_due.begin(); it != m_due.end(); ++it) {
            if (it->at <= target
                && (next == m_due.end() || it->at < next->at || (it->at == next->at && it->order < next->order)))
                next = it;
        }
        if (next == m_due.end())
            break;
        ZeltoTimer *timer = next.key();
        moveTo(next->at);
        if (timer->isSingleShot()) {
            m_due.erase(next);
        } else {
            // A repeating timer of no interval fires once per millisecond, not forever.
            next->at += qMax(1, timer->interval());
        }
        fire(timer);
    }
    moveTo(target);
}

void ZeltoTestClock::advanceTo(const QDateTime &when)
{
    advance(now().msecsTo(when));
}

void ZeltoTestClock::moveTo(qint64 monotonicMs)
{
    m_epochMs += monotonicMs - m_monotonicMs;
    m_monotonicMs = monotonicMs;
}

bool ZeltoTestClock::firesTimers() const
{
    return true;
}

void ZeltoTestClock::arm(ZeltoTimer *timer)
{
    m_due.insert(timer, {m_monotonicMs + timer->interval(), m_armed++});
}

void ZeltoTestClock::disarm(ZeltoTimer *timer)
{
    m_due.remove(timer);
}
