#include "zeltoclock.h"

#include "zeltotimer.h"

#include <QElapsedTimer>

namespace {

const QElapsedTimer &started()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}

} // namespace

ZeltoClock *ZeltoClock::system()
{
    // Never destroyed: pool threads may read it while the process exits.
    static ZeltoClock *clock = [] {
        started();   // the monotonic count begins with the first use of the clock
        return new ZeltoClock;
    }();
    return clock;
}

ZeltoClock::~ZeltoClock() = default;

QDateTime ZeltoClock::now() const
{
    return QDateTime::currentDateTime();
}

QDateTime ZeltoClock::utcNow() const
{
    return QDateTime::currentDateTimeUtc();
}

qint64 ZeltoClock::monotonicMs() const
{
    return started().elapsed();
}

bool ZeltoClock::firesTimers() const
{
    return false;
}

void ZeltoClock::arm(ZeltoTimer *) {}

void ZeltoClock::disarm(ZeltoTimer *) {}

void ZeltoClock::fire(ZeltoTimer *timer)
{
    timer->fire();
}

void ZeltoClock::release(ZeltoTimer *timer)
{
    timer->release();
}
