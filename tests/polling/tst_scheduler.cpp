#include "nextexecution.h"
#include "nodes.h"
#include "scheduler.h"
#include "tasks.h"
#include "tempdatabasehome.h"

#include <QtTest>

namespace {

QDateTime at(const char *text) { return QDateTime::fromString(QLatin1String(text), "yyyy-MM-dd hh:mm"); }

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
        row("never run: whatever the mode", yearly, "", "2024-05-06 10:00", true);
        row("unknown mode after a run", yearly, "2024-05-01 10:00", "2024-05-06 10:00", false);
        row("hourly before its minute", hourly(30), "2024-05-06 09:31", "2024-05-06 10:29", false);
        row("hourly at its minute", hourly(30), "2024-05-06 09:31", "2024-05-06 10:30", true);
        row("hourly once an hour", hourly(30), "2024-05-06 10:31", "2024-05-06 10:59", false);
        row("hourly minute absent reads 0", hourly(QVariant()), "2024-05-06 09:10", "2024-05-06 10:00", true);
        row("hourly minute out of range", hourly(75), "2024-05-06 08:10", "2024-05-06 10:59", false);
        const QVariantMap twice = byTimes("daily", {"08:00", "08:30"});
        row("daily second time in the same hour", twice, "2024-05-06 08:05", "2024-05-06 08:40", false);
        row("daily second time next hour", twice, "2024-05-06 08:05", "2024-05-06 09:00", true);
        row("daily before the first time", twice, "2024-05-05 20:00", "2024-05-06 07:59", false);
        row("daily caught up after downtime", twice, "2024-05-05 08:30", "2024-05-06 15:00", true);
        row("daily bad times", byTimes("daily", {"25:99", "soon"}), "2024-05-05 08:30", "2024-05-06 15:00", false);
        const QVariantMap monday = byTimes("weekly", {"08:00"}, 0x01);
        row("weekly on its day", monday, "2024-04-29 08:00", "2024-05-06 09:00", true);
        row("weekly on another day", monday, "2024-04-29 08:00", "2024-05-07 09:00", false);
        row("mask above the week", byTimes("weekly", {"08:00"}, 0x100), "2024-04-29 08:00", "2024-05-06 09:00", false);
        const QVariantMap on31st = byTimes("monthly", {"09:00"}, qint64(1) << 30);
        const QVariantMap on1st = byTimes("monthly", {"09:00"}, 1);
        row("31st on 30 April", on31st, "2024-03-31 09:00", "2024-04-30 10:00", true);
        row("31st not on 29 April", on31st, "2024-03-31 09:00", "2024-04-29 10:00", false);
        row("31st on 28 February", on31st, "2023-01-31 09:00", "2023-02-28 10:00", true);
        row("31st not on 28 February of a leap year", on31st, "2024-01-31 09:00", "2024-02-28 10:00", false);
        row("31st on 29 February", on31st, "2024-01-31 09:00", "2024-02-29 10:00", true);
        row("1st not on the last day", on1st, "2024-04-01 09:00", "2024-04-30 10:00", false);
        row("1st on the 1st", on1st, "2024-04-01 09:00", "2024-05-01 10:00", true);
    }

    void dueRule()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(QDateTime, last);
        QFETCH(QDateTime, now);
        QTEST(NextExecution::isDue(timetable, last, now), "due");
    }

    void startsWhatIsDueAndFollowsTasks()
    {
        TempDatabaseHome home;
        QVERIFY(home.open());
        const int node = Nodes::save({{"model_code", "QRV5"}, {"model_name", "ТВ-5"}, {"number", 1}});
        const QVariantMap channel{{"code", "COM"}};
        auto newTask = [&](const QVariantMap &timetable) {
            return Tasks::save({{"node_id", node}, {"channel", channel}, {"timetable", timetable}});
        };
        const int neverRun = newTask(hourly(0));
        const int unscheduled = newTask(QVariantMap());
        const int daily = newTask(byTimes("daily", {"08:00"}));
        QVERIFY(neverRun > 0 && unscheduled > 0 && daily > 0
                && Tasks::save({{"id", daily}, {"last_exec", at("2024-05-01 07:00")}}) == daily);
        QCoreApplication::processEvents();

        QList<int> started;
        Scheduler::createInstance([&](int id) { started.append(id); });
        // The pass at construction: only the task that never ran is due now.
        QVERIFY(started.contains(neverRun) && !started.contains(unscheduled));
        auto startedAt = [&](const char *now) {
            started.clear();
            Scheduler::instance()->checkTimetables(at(now));
            return started;
        };
        QCOMPARE(startedAt("2024-05-01 15:00"), QList<int>({neverRun, daily}));   // missed 08:00 caught up

        // The finished run is saved: the same hour does not start it again.
        QVERIFY(Tasks::save({{"id", daily}, {"last_exec", at("2024-05-01 15:05")}}) == daily && Tasks::remove(neverRun));
        QTRY_VERIFY(startedAt("2024-05-01 15:30").isEmpty());
        // A new timetable counts from the next pass; saving it clears the last run.
        QVERIFY(Tasks::save({{"id", unscheduled}, {"channel", channel}, {"timetable", hourly(0)}}) == unscheduled);
        QTRY_COMPARE(startedAt("2024-05-01 15:30"), QList<int>{unscheduled});
        Scheduler::destroyInstance();
        QVERIFY(!Scheduler::instance());
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
