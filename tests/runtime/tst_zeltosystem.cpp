// The environment; the test clock, which stands still
// until set or advanced and fires its timers on the way.

#include "zelto.h"
#include "zeltoenvironment.h"
#include "zeltotestclock.h"
#include "zeltotimer.h"

#include <QtTest>

#include <time.h>

namespace {

QDateTime at(const char *text) { return QDateTime::fromString(QLatin1String(text), Qt::ISODateWithMs); }

} // namespace

class ZeltoSystemTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A daylight-saving change within the advances: local time is wall-clock time.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    // The variables are read once: a later change of the process environment is not seen, set() is.
    void environmentReadOnce()
    {
        const QString config = ZeltoEnvironment::configFile();
        qputenv("ORVEX_CONFIG", "/elsewhere/orvex-server.ini");
        QCOMPARE(ZeltoEnvironment::configFile(), config);
        // Without ORVEX_HOME the program's own folder is home (every other test sets it).
        ZeltoEnvironment::set("ORVEX_HOME", QString());
        QCOMPARE(Zelto::moduleDir(), QCoreApplication::applicationDirPath());
    }

    // Numbers in the variables, decimal or hexadecimal: tick (fallback 777), pause, log level (fallback 2), splicing.
    void environmentNumbers()
    {
        const char *const rows[][2] = {{"", "777 0 2 1"}, {"250", "250 250 250 1"}, {"0x10", "16 16 16 1"},
                                       {"0", "777 0 0 0"}, {"-5", "777 0 -5 1"}, {"soon", "777 0 2 1"}};
        for (const auto &row : rows) {
            for (const char *name : {"ORVEX_MONITOR_TICK_MS", "ORVEX_BACKUP_STEP_PAUSE_MS", "ORVEX_LOG_LEVEL",
                                     "ORVEX_ARCHIVE_SPLICE"})
                ZeltoEnvironment::set(name, QString::fromLatin1(row[0]));
            const QString read = QStringLiteral("%1 %2 %3 %4").arg(ZeltoEnvironment::monitorTickMs(777))
                .arg(ZeltoEnvironment::backupStepPauseMs()).arg(ZeltoEnvironment::logLevel(2))
                .arg(int(ZeltoEnvironment::archiveSplicing()));
            QCOMPARE(QStringLiteral("'%1': ").arg(row[0]) + read, QStringLiteral("'%1': %2").arg(row[0], row[1]));
        }
    }

    // The test clock: its readings move together but for a wall clock set; its timers fire as it advances. The
    // system clock leaves its timers to the event loop.
    void clocks()
    {
        ZeltoTestClock wall(at("2024-03-31T01:59:00"));
        const qint64 start = wall.monotonicMs();
        wall.advance(2 * 60000);   // 02:00 CET is 03:00 CEST
        QCOMPARE(QVariantList({wall.now(), wall.utcNow(), wall.monotonicMs() - start}),
                 QVariantList({at("2024-03-31T03:01:00"), QDateTime(QDate(2024, 3, 31), QTime(1, 1), Qt::UTC),
                               qint64(120000)}));
        // Setting the wall clock back moves neither the monotonic clock nor the timers.
        ZeltoTimer pending(&wall);
        pending.startOnce(1000);
        wall.setNow(at("2024-03-30T12:00:00"));
        QCOMPARE(QVariantList({wall.now(), wall.monotonicMs() - start, wall.activeTimers()}),
                 QVariantList({at("2024-03-30T12:00:00"), qint64(120000), 1}));
        wall.advanceTo(at("2024-03-30T11:00:00"));   // the past: nothing moves
        QCOMPARE(wall.now(), at("2024-03-30T12:00:00"));

        // Each timer fires at its time, in order, with the clock standing there; a repeating one as often as it
        // falls due; a handler may stop, start and delete timers.
        ZeltoTestClock clock(at("2024-05-01T10:00:00"));
        QStringList fired;
        ZeltoTimer second(&clock), once(&clock), later(&clock);
        auto *doomed = new ZeltoTimer(&clock);
        const auto note = [&](ZeltoTimer *timer, const char *name) {
            connect(timer, &ZeltoTimer::timeout, this, [&, name]() {
                fired << QStringLiteral("%1 %2").arg(QLatin1String(name), clock.now().toString("mm:ss.zzz"));
            });
        };
        for (const auto &[timer, name] : QList<std::pair<ZeltoTimer *, const char *>>{
                 {&second, "second"}, {&once, "once"}, {&later, "later"}, {doomed, "doomed"}})
            note(timer, name);
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

};

QTEST_GUILESS_MAIN(ZeltoSystemTest)
#include "tst_zeltosystem.moc"
