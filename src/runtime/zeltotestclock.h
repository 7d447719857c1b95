#pragma once

#include "zeltoclock.h"

#include <QHash>

#include <atomic>

// A clock that stands still until it is set or advanced: tests run timed
// code at chosen instants with it, without waiting for real time.
// advance() moves the wall clock and the monotonic clock forward together
// and fires, in the order they fall due, the timers met on the way (each
// with the clock standing at its time; a repeating timer as often as it
// falls due). Timers fire synchronously, inside advance(); what they post
// to event loops waits for the caller to turn one. setNow() sets the wall
// clock alone, as an operator or a time service does: monotonic time and
// timers do not move. Reading is safe from any thread; set, advance and the
// timers belong to one thread.
class ZeltoTestClock : public ZeltoClock
{
public:
    explicit ZeltoTestClock(const QDateTime &now);
    ~ZeltoTestClock() override;

    QDateTime now() const override;
    QDateTime utcNow() const override;
    qint64 monotonicMs() const override;

    void setNow(const QDateTime &now);
    void advance(qint64 ms);
    // Advances to the wall-clock time when; nothing happens when that is not ahead.
    void advanceTo(const QDateTime &when);
    // Timers waiting on the clock.
    int activeTimers() const { return m_due.size(); }

protected:
    bool firesTimers() const override;
    void arm(ZeltoTimer *timer) override;
    void disarm(ZeltoTimer *timer) override;

private:
    struct Due
    {
        qint64 at;        // monotonic time of the next timeout
        quint64 order;    // timers due at one time fire in the order they were started
    };

    void moveTo(qint64 monotonicMs);

    std::atomic<qint64> m_epochMs;
    std::atomic<qint64> m_monotonicMs{0};
    QHash<ZeltoTimer *, Due> m_due;
    quint64 m_armed = 0;
};
