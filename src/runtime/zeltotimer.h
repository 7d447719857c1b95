#pragma once

#include <QObject>
#include <QTimer>

class ZeltoClock;

// A timer that waits on a clock: started repeating (start) or for one
// timeout (startOnce). On the system clock it is a coarse Qt timer fired by
// the event loop of its thread; on a test clock it fires while the clock is
// advanced past its time. A timer whose clock is destroyed first stops for
// good. Stops when deleted.
class ZeltoTimer : public QObject
{
    Q_OBJECT

public:
    explicit ZeltoTimer(ZeltoClock *clock, QObject *parent = nullptr);
    ~ZeltoTimer() override;

    // Every intervalMs from now on; restarts a timer that is active.
    void start(int intervalMs);
    // Once, delayMs from now; restarts a timer that is active.
    void startOnce(int delayMs);
    void stop();

    bool isActive() const { return m_active; }
    bool isSingleShot() const { return m_singleShot; }
    int interval() const { return m_interval; }
    ZeltoClock *clock() const { return m_clock; }

signals:
    void timeout();

private:
    friend class ZeltoClock;

    void begin(int ms, bool singleShot);
    // Called by a clock that fires its timers: the timeout is due now.
    void fire();
    // Called by such a clock when it goes before its timers.
    void release();

    ZeltoClock *m_clock;
    QTimer m_timer;   // with the system clock
    int m_interval = 0;
    bool m_singleShot = false;
    bool m_active = false;
};
