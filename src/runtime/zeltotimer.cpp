#include "zeltotimer.h"

#include "zeltoclock.h"

ZeltoTimer::ZeltoTimer(ZeltoClock *clock, QObject *parent) : QObject(parent), m_clock(clock)
{
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ZeltoTimer::fire);
}

ZeltoTimer::~ZeltoTimer()
{
    stop();
}

void ZeltoTimer::start(int intervalMs)
{
    begin(intervalMs, false);
}

void ZeltoTimer::startOnce(int delayMs)
{
    begin(delayMs, true);
}

void ZeltoTimer::begin(int ms, bool singleShot)
{
    stop();
    if (!m_clock)
        return;
    m_interval = qMax(0, ms);
    m_singleShot = singleShot;
    m_active = true;
    if (m_clock->firesTimers()) {
        m_clock->arm(this);
    } else {
        m_timer.setSingleShot(singleShot);
        m_timer.start(m_interval);
    }
}

void ZeltoTimer::stop()
{
    if (!m_active)
        return;
    m_active = false;
    if (m_clock && m_clock->firesTimers())
        m_clock->disarm(this);
    else
        m_timer.stop();
}

void ZeltoTimer::fire()
{
    if (m_singleShot)
        m_active = false;
    emit timeout();
}

void ZeltoTimer::release()
{
    m_active = false;
    m_clock = nullptr;
}
