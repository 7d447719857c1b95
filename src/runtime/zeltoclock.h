#pragma once

#include <QDateTime>

class ZeltoTimer;

// Where the server reads the time and waits for a time. The system clock
// reads the machine's clocks and leaves timers to Qt's event loop; a test
// clock (ZeltoTestClock) stands still until it is set or advanced, and
// advancing it fires the timers that fall due on the way. Objects that read
// the time or wait for one take a clock (the system clock unless they are
// given another), so that tests run them at chosen instants.
//
// Three readings: now() is the local wall-clock time, the one stored and
// shown; utcNow() the same instant in UTC; monotonicMs() milliseconds that
// only move forward, whatever happens to the wall clock, for durations and
// deadlines. Reading is safe from any thread; a timer belongs to the thread
// of its object.
class ZeltoClock
{
public:
    // The machine's clocks; lives as long as the process.
    static ZeltoClock *system();

    virtual ~ZeltoClock();

    virtual QDateTime now() const;
    virtual QDateTime utcNow() const;
    virtual qint64 monotonicMs() const;

protected:
    ZeltoClock() = default;
    ZeltoClock(const ZeltoClock &) = delete;
    ZeltoClock &operator=(const ZeltoClock &) = delete;

    friend class ZeltoTimer;
    // A clock that fires its timers itself says so and is told when each
    // one starts and stops; the system clock leaves them to Qt.
    virtual bool firesTimers() const;
    virtual void arm(ZeltoTimer *timer);
    virtual void disarm(ZeltoTimer *timer);
    // For such a clock: the timer's timeout is due now (a single-shot timer
    // stops first); the clock goes before the timer, which stops for good.
    static void fire(ZeltoTimer *timer);
    static void release(ZeltoTimer *timer);
};
