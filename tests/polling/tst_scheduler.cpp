// The scheduler's due rule, and the scheduler itself on a test clock: its
// pass every minute, month ends, daylight-saving changes and a wall clock
// set back, each at chosen instants. A started task "runs" at once: its last
// run is saved, as the task manager does when a run ends.

#include "nextexecution.h"
#include "nodes.h"
#include "outcome.h"
#include "scheduler.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "zeltotestclock.h"

#include <QtTest>

#include <memory>

#include <time.h>

namespace {

QDateTime at(const QString &text) { return QDateTime::fromString(text, "yyyy-MM-dd hh:mm:ss"); }
QDateTime at(const char *text) { return QDateTime::fromString(QLatin1String(text), "yyyy-MM-dd hh:mm"); }

const QVariantMap kChannel{{"code", "COM"}};

QVariantMap hourly(const QVariant &minute)
{
    return minute.isValid() ? QVariantMap{{"mode", "hourly"}, {"minute", minute}} : QVariantMap{{"mode", "hourly"}};
}

QVariantMap byTimes(const char *mode, const QStringList &times, qint64 dayMask = 0)
{
    return {{"mode", QLatin1String(mode)}, {"times", times}, {"dayMask", dayMask}};
}

} // namespace

class TestScheduler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");   // with daylight saving time
        tzset();
        QCOMPARE(outcome(m_home.open()), "ok");
        m_node
            = Nodes::save(serverContext(), {{"model_code", "QRV5"}, {"model_name", "ТВ-5"}, {"number", 1}}).valueOr(-1);
        QVERIFY(m_node > 0);
    }

    // The rule alone, for what the passes below do not meet.
    void dueRule_data()
    {
        QTest::addColumn<QVariantMap>("timetable");
        QTest::addColumn<QDateTime>("last");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("due");
        const auto row = [](const char *name, const QVariantMap &timetable, const char *last, const char *now,
                            bool due) {
            QTest::newRow(name) << timetable << at(last) << at(now) << due;
        };
        const QVariantMap yearly{{"mode", "yearly"}};
        row("no mode, never run", QVariantMap(), "", "2024-05-06 10:00", false);
        row("unknown mode after a run", yearly, "2024-05-01 10:00", "2024-05-06 10:00", false);
        row("hourly once an hour", hourly(30), "2024-05-06 10:31", "2024-05-06 10:59", false);
        row("hourly minute absent reads 0", hourly(QVariant()), "2024-05-06 09:10", "2024-05-06 10:00", true);
        row("hourly minute out of range", hourly(75), "2024-05-06 08:10", "2024-05-06 10:59", false);
        const QVariantMap twice = byTimes("daily", {"08:00", "08:30"});
        row("daily before the first time", twice, "2024-05-05 20:00", "2024-05-06 07:59", false);
        row("daily bad times", byTimes("daily", {"25:99", "soon"}), "2024-05-05 08:30", "2024-05-06 15:00", false);
        row("mask above the week", byTimes("weekly", {"08:00"}, 0x100), "2024-04-29 08:00", "2024-05-06 09:00", false);
    }

    void dueRule()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(QDateTime, last);
        QFETCH(QDateTime, now);
        QTEST(NextExecution::isDue(timetable, last, now), "due");
    }

    // The scheduler made at "from" (its first pass then, the next ones a minute apart), the clock advanced to
    // "until": the passes that start the task. "setBack" puts the wall clock back an hour at that instant.
    void passes_data()
    {
        QTest::addColumn<QVariantMap>("timetable");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("until");
        QTest::addColumn<QString>("setBack");
        QTest::addColumn<QStringList>("starts");
        const auto row = [](const char *name, const QVariantMap &timetable, const char *last, const char *from,
                            const char *until, const QStringList &starts, const char *setBack = "") {
            QTest::newRow(name) << timetable << QString(last) << QString(from) << QString(until) << QString(setBack)
                                << starts;
        };
        row("never run: at the first pass, whatever the mode", {{"mode", "yearly"}}, "", "2024-05-06 10:00:10",
            "2024-05-06 12:00:00", {"05-06 10:00"});
        row("hourly at its minute", hourly(30), "2024-05-06 09:31:00", "2024-05-06 09:58:10", "2024-05-06 12:59:00",
            {"05-06 10:30", "05-06 11:30", "05-06 12:30"});
        row("daily: two times, never two runs in one hour", byTimes("daily", {"08:00", "08:30"}),
            "2024-05-05 20:00:00", "2024-05-06 07:58:10", "2024-05-06 10:00:00", {"05-06 08:00", "05-06 09:00"});
        row("daily: missed while down, caught up at start", byTimes("daily", {"08:00"}), "2024-05-05 08:00:00",
            "2024-05-06 15:00:10", "2024-05-06 16:00:00", {"05-06 15:00"});
        row("weekly on Mondays only", byTimes("weekly", {"08:00"}, 0x01), "2024-04-29 08:00:00",
            "2024-05-05 07:59:10", "2024-05-07 09:00:00", {"05-06 08:00"});
        const QVariantMap on31st = byTimes("monthly", {"09:00"}, qint64(1) << 30);
        row("31st: on the last of April", on31st, "2024-03-31 09:00:00", "2024-04-29 08:59:10",
            "2024-05-01 10:00:00", {"04-30 09:00"});
        row("31st: on 29 February of a leap year", on31st, "2024-01-31 09:00:00", "2024-02-28 08:59:10",
            "2024-03-01 10:00:00", {"02-29 09:00"});
        row("31st: on 28 February", on31st, "2023-01-31 09:00:00", "2023-02-27 08:59:10", "2023-03-01 10:00:00",
            {"02-28 09:00"});
        row("1st: not on the last day", byTimes("monthly", {"09:00"}, 1), "2024-04-01 09:00:00",
            "2024-04-30 08:59:10", "2024-05-01 10:00:00", {"05-01 09:00"});
        row("spring: the hour that is not", hourly(30), "2024-03-31 00:31:00", "2024-03-31 01:28:10",
            "2024-03-31 04:00:00", {"03-31 01:30", "03-31 03:30"});
        row("autumn: the hour that comes twice runs once", hourly(30), "2024-10-27 01:31:00", "2024-10-27 01:58:10",
            "2024-10-27 04:00:00", {"10-27 02:30", "10-27 03:30"});
        row("wall clock set back: its hour is not run again", hourly(0), "2024-05-06 09:00:00",
            "2024-05-06 09:58:10", "2024-05-06 11:30:00", {"05-06 10:00", "05-06 11:00"}, "2024-05-06 10:05:10");
    }

    void passes()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(QString, last);
        QFETCH(QString, from);
        QFETCH(QString, until);
        QFETCH(QString, setBack);
        const int task = newTask(timetable, at(last));
        QVERIFY(task > 0);

        ZeltoTestClock clock(at(from));
        QStringList starts;
        // The run ends at once: its last run is saved, and the scheduler learns of it by "taskSaved".
        auto scheduler = std::make_unique<Scheduler>(
            &testDatabase(), [&](int id) {
                if (id != task)
                    return;
                starts << clock.now().toString("MM-dd hh:mm");
                QVERIFY(Tasks::save(serverContext(), {{"id", id}, {"last_exec", clock.now()}}).valueOr(-1) == id);
            },
            &clock);
        QCoreApplication::processEvents();
        while (clock.now() < at(until)) {
            clock.advance(Scheduler::kPassMs);
            if (clock.now().toString("yyyy-MM-dd hh:mm:ss") == setBack) {
                clock.setNow(clock.now().addSecs(-3600));
                setBack.clear();
            }
            QCoreApplication::processEvents();
        }
        scheduler.reset();
        QCOMPARE(outcome(Tasks::remove(serverContext(), task)), "ok");
        QTEST(starts, "starts");
    }

    // Changes reach the scheduler by the notifications of task saves and removals.
    void followsTasks()
    {
        const int gone = newTask(hourly(0)), unscheduled = newTask(QVariantMap());
        const int daily = newTask(byTimes("daily", {"08:00"}), at("2024-05-01 15:00"));
        QVERIFY(gone > 0 && unscheduled > 0 && daily > 0);

        ZeltoTestClock clock(at("2024-05-01 15:00"));
        QList<int> started;
        auto scheduler = std::make_unique<Scheduler>(&testDatabase(), [&](int id) { started.append(id); }, &clock);
        // The first pass: the task that never ran; never one without a mode.
        QVERIFY(started.contains(gone) && !started.contains(unscheduled) && !started.contains(daily));
        // A removed task is dropped; a new timetable counts from the next pass (saving it clears the last run).
        QCOMPARE(outcome(Tasks::remove(serverContext(), gone)), "ok");
        const QVariantMap form{{"id", unscheduled}, {"channel", kChannel}, {"timetable", hourly(0)}};
        QCOMPARE(Tasks::save(serverContext(), form).valueOr(-1), unscheduled);
        QCoreApplication::processEvents();
        started.clear();
        clock.advance(Scheduler::kPassMs);
        QCOMPARE(started, QList<int>{unscheduled});
        scheduler.reset();
        QVERIFY(Tasks::remove(serverContext(), unscheduled).ok() && Tasks::remove(serverContext(), daily).ok());
    }

private:
    // A task of the node with this timetable that last ran at last (if valid); its notifications delivered.
    int newTask(const QVariantMap &timetable, const QDateTime &last = QDateTime())
    {
        const QVariantMap form{{"node_id", m_node}, {"channel", kChannel}, {"timetable", timetable}};
        const int task = Tasks::save(serverContext(), form).valueOr(-1);
        if (last.isValid() && Tasks::save(serverContext(), {{"id", task}, {"last_exec", last}}).valueOr(-1) != task)
            return -1;
        QCoreApplication::processEvents();
        return task;
    }

    TempDatabaseHome m_home;
    int m_node = -1;
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
