// The clocks: a test clock stands still until set or advanced and fires its
// timers on the way; the system clock leaves them to the event loop.

#include "zeltoclock.h"
#include "zeltotestclock.h"
#include "zeltotimer.h"

#include <QtTest>

#include <memory>
#include <time.h>

namespace {

QDateTime at(const char *text)
{
    return QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs);
}

} // namespace

class ZeltoClockTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A daylight-saving change within the advances: local time is wall-clock time.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void readingsMoveTogetherButForSetTime()
    {
        ZeltoTestClock clock(at("2024-03-31T01:59:00"));
        const qint64 start = clock.monotonicMs();
        clock.advance(2 * 60000);   // 02:00 CET is 03:00 CEST
        QCOMPARE(QVariantList({clock.now(), clock.utcNow(), clock.monotonicMs() - start}),
                 QVariantList({at("2024-03-31T03:01:00"), QDateTime(QDate(2024, 3, 31), QTime(1, 1), Qt::UTC),
                               qint64(120000)}));
        // Setting the wall clock back moves neither the monotonic clock nor the timers.
        ZeltoTimer timer(&clock);
        timer.startOnce(1000);
        clock.setNow(at("2024-03-30T12:00:00"));
        QCOMPARE(QVariantList({clock.now(), clock.monotonicMs() - start, clock.activeTimers()}),
                 QVariantList({at("2024-03-30T12:00:00"), qint64(120000), 1}));
        clock.advanceTo(at("2024-03-30T11:00:00"));   // the past: nothing moves
        QCOMPARE(clock.now(), at("2024-03-30T12:00:00"));
    }

    // Each timer fires at its time, in order, with the clock standing there; a repeating one as often as it
    // falls due; a handler may stop, start and delete timers.
    void advanceFiresTheTimersDue()
    {
        ZeltoTestClock clock(at("2024-05-01T10:00:00"));
        QStringList fired;
        ZeltoTimer second(&clock), once(&clock), later(&clock);
        auto *doomed = new ZeltoTimer(&clock);
        const auto note = [&](ZeltoTimer *timer, const char *name) {
            connect(timer, &ZeltoTimer::timeout, this, [&, name]() {
                fired << QStringLiteral("%1 %2").arg(QLatin1String(name), clock.now().toString("mm:ss.zzz"));
            });
        };
        note(&second, "second");
        note(&once, "once");
        note(&later, "later");
        note(doomed, "doomed");
        connect(&once, &ZeltoTimer::timeout, this, [&]() {
            delete doomed;
            later.startOnce(500);
        });
        second.start(1000);
        once.startOnce(2000);   // started after "second": fires after it at 2 s
        doomed->startOnce(2500);
        clock.advance(3200);
        QCOMPARE(fired, QStringList({"second 00:01.000", "second 00:02.000", "once 00:02.000", "later 00:02.500",
                                     "second 00:03.000"}));
        QCOMPARE(QVariantList({clock.now(), second.isActive(), once.isActive(), clock.activeTimers()}),
                 QVariantList({at("2024-05-01T10:00:03.200"), true, false, 1}));

        // Stopped, it fires no more; restarted, it counts from now.
        fired.clear();
        second.stop();
        clock.advance(5000);
        second.start(1000);
        clock.advance(999);
        QVERIFY(fired.isEmpty());
        clock.advance(1);
        QCOMPARE(fired, QStringList{"second 00:09.200"});
    }

    // A timer that outlives its test clock stops for good; deleting it then is safe.
    void timerOutlivesItsClock()
    {
        auto clock = std::make_unique<ZeltoTestClock>(at("2024-05-01T10:00:00"));
        ZeltoTimer timer(clock.get());
        timer.start(1000);
        clock.reset();
        QVERIFY(!timer.isActive());
        timer.start(1000);
        QVERIFY(!timer.isActive());
    }

    void systemClockTimersRunOnTheEventLoop()
    {
        ZeltoClock *clock = ZeltoClock::system();
        const qint64 before = clock->monotonicMs();
        ZeltoTimer timer(clock);
        QSignalSpy timeouts(&timer, &ZeltoTimer::timeout);
        timer.startOnce(20);
        QVERIFY(timeouts.wait(10000));
        QVERIFY2(clock->monotonicMs() - before >= 20, "fired before its time");
        QVERIFY(!timer.isActive());
        timer.start(10);
        QTRY_VERIFY(timeouts.size() >= 3);
        timer.stop();
        const int count = timeouts.size();
        QTest::qWait(50);
        QCOMPARE(timeouts.size(), count);
    }
};

QTEST_GUILESS_MAIN(ZeltoClockTest)
#include "tst_zeltoclock.moc"
