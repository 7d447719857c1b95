#include "database.h"
#include "nextexecution.h"
#include "nodes.h"
#include "scheduler.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "zeltosystem.h"

#include <QtTest>

namespace {

QDateTime at(const char *text) { return QDateTime::fromString(QLatin1String(text), "yyyy-MM-dd hh:mm"); }

QVariantMap hourly(const QVariant &minute)
{
    QVariantMap timetable{{"mode", "hourly"}};
    if (minute.isValid())
        timetable.insert("minute", minute);
    return timetable;
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

        const QDateTime never;
        QTest::newRow("no mode, never run") << QVariantMap() << never << at("2024-05-06 10:00") << false;
        QTest::newRow("never run: whatever the mode") << QVariantMap{{"mode", "yearly"}}
                                                      << never << at("2024-05-06 10:00") << true;
        QTest::newRow("unknown mode after a run") << QVariantMap{{"mode", "yearly"}}
                                                  << at("2024-05-01 10:00") << at("2024-05-06 10:00") << false;

        QTest::newRow("hourly before its minute") << hourly(30) << at("2024-05-06 09:31") << at("2024-05-06 10:29")
                                                  << false;
        QTest::newRow("hourly at its minute") << hourly(30) << at("2024-05-06 09:31") << at("2024-05-06 10:30") << true;
        QTest::newRow("hourly once an hour") << hourly(30) << at("2024-05-06 10:31") << at("2024-05-06 10:59") << false;
        QTest::newRow("hourly minute absent reads 0") << hourly(QVariant()) << at("2024-05-06 09:10")
                                                      << at("2024-05-06 10:00") << true;
        QTest::newRow("hourly minute out of range") << hourly(75) << at("2024-05-06 08:10") << at("2024-05-06 10:59")
                                                    << false;

        const QVariantMap twice = byTimes("daily", {"08:00", "08:30"});
        QTest::newRow("daily second time in the same hour") << twice << at("2024-05-06 08:05")
                                                            << at("2024-05-06 08:40") << false;
        QTest::newRow("daily second time next hour") << twice << at("2024-05-06 08:05") << at("2024-05-06 09:00")
                                                     << true;
        QTest::newRow("daily before the first time") << twice << at("2024-05-05 20:00") << at("2024-05-06 07:59")
                                                     << false;
        QTest::newRow("daily caught up after downtime") << twice << at("2024-05-05 08:30")
                                                        << at("2024-05-06 15:00") << true;
        QTest::newRow("daily bad times never") << byTimes("daily", {"25:99", "soon"}) << at("2024-05-05 08:30")
                                               << at("2024-05-06 15:00") << false;

        const QVariantMap monday = byTimes("weekly", {"08:00"}, 0x01);
        QTest::newRow("weekly on its day") << monday << at("2024-04-29 08:00") << at("2024-05-06 09:00") << true;
        QTest::newRow("weekly on another day") << monday << at("2024-04-29 08:00") << at("2024-05-07 09:00") << false;
        QTest::newRow("weekly mask above the week") << byTimes("weekly", {"08:00"}, 0x100) << at("2024-04-29 08:00")
                                                    << at("2024-05-06 09:00") << false;

        const QVariantMap on31st = byTimes("monthly", {"09:00"}, qint64(1) << 30);
        QTest::newRow("31st on 30 April") << on31st << at("2024-03-31 09:00") << at("2024-04-30 10:00") << true;
        QTest::newRow("31st not on 29 April") << on31st << at("2024-03-31 09:00") << at("2024-04-29 10:00") << false;
        QTest::newRow("31st on 28 February") << on31st << at("2023-01-31 09:00") << at("2023-02-28 10:00") << true;
        QTest::newRow("31st not on 28 February of a leap year") << on31st << at("2024-01-31 09:00")
                                                                << at("2024-02-28 10:00") << false;
        QTest::newRow("31st on 29 February") << on31st << at("2024-01-31 09:00") << at("2024-02-29 10:00") << true;
        QTest::newRow("30th on 29 February") << byTimes("monthly", {"09:00"}, qint64(1) << 29)
                                             << at("2024-01-30 09:00") << at("2024-02-29 10:00") << true;
        QTest::newRow("1st not on the last day") << byTimes("monthly", {"09:00"}, 1) << at("2024-04-01 09:00")
                                                 << at("2024-04-30 10:00") << false;
        QTest::newRow("1st on the 1st") << byTimes("monthly", {"09:00"}, 1) << at("2024-04-01 09:00")
                                        << at("2024-05-01 10:00") << true;
    }

    void dueRule()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(QDateTime, last);
        QFETCH(QDateTime, now);
        QFETCH(bool, due);
        QCOMPARE(NextExecution::isDue(timetable, last, now), due);
    }

    void startsWhatIsDueAndFollowsTasks()
    {
        TempDatabaseHome home;
        QVERIFY(home.open());
        const int node = Nodes::save({{"model_code", "QRV5"},
                                      {"model_name", "ТВ-5"},
                                      {"number", 1}});
        auto newTask = [&](const QVariantMap &timetable) {
            return Tasks::save({{"node_id", node},
                                {"channel", QVariantMap{{"code", "COM"}}},
                                {"timetable", timetable}});
        };
        auto setLastRun = [](int task, const QDateTime &when) {
            return Tasks::save({{"id", task}, {"last_exec", when}}) == task;
        };
        const int neverRun = newTask(hourly(0));
        const int unscheduled = newTask(QVariantMap());
        const int daily = newTask(byTimes("daily", {"08:00"}));
        QVERIFY(neverRun > 0 && unscheduled > 0 && daily > 0);
        QVERIFY(setLastRun(daily, at("2024-05-01 07:00")));
        QCoreApplication::processEvents();

        QList<int> started;
        Scheduler::createInstance([&](int id) { started.append(id); });
        // The pass at construction: only the task that never ran is due now.
        QVERIFY(started.contains(neverRun));
        QVERIFY(!started.contains(unscheduled));

        started.clear();
        Scheduler::instance()->checkTimetables(at("2024-05-01 15:00"));   // missed 08:00 caught up
        QCOMPARE(started, QList<int>({neverRun, daily}));

        // The finished run is saved: the same hour does not start it again.
        QVERIFY(setLastRun(daily, at("2024-05-01 15:05")));
        QVERIFY(Tasks::remove(neverRun));
        QTRY_VERIFY([&] {
            started.clear();
            Scheduler::instance()->checkTimetables(at("2024-05-01 15:30"));
            return started.isEmpty();
        }());
        // A new timetable counts from the next pass; saving it clears the last run.
        QVERIFY(Tasks::save({{"id", unscheduled},
                             {"channel", QVariantMap{{"code", "COM"}}},
                             {"timetable", hourly(0)}}) == unscheduled);
        QTRY_VERIFY([&] {
            started.clear();
            Scheduler::instance()->checkTimetables(at("2024-05-01 15:30"));
            return started == QList<int>{unscheduled};
        }());
        Scheduler::destroyInstance();
        QVERIFY(!Scheduler::instance());
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "tst_scheduler.moc"
