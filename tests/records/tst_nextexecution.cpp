// The next run shown with a task, computed from its timetable, its last run
// and the current time. Times are explicit local dates; the zone has
// daylight saving time, so calendar steps (next day, next week, next month)
// must keep the wall-clock time across a change.

#include "nextexecution.h"

#include <QtTest>

#include <ctime>

namespace {

QDateTime at(const char *text)
{
    const QDateTime dt = QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    Q_ASSERT(dt.isValid());
    return dt;
}

QVariantMap timetable(const QString &mode, const QVariantList &times = {}, qlonglong dayMask = 0)
{
    return {{QStringLiteral("mode"), mode}, {QStringLiteral("times"), times}, {QStringLiteral("dayMask"), dayMask}};
}

QVariantMap hourly(const QVariant &minute)
{
    QVariantMap tt{{QStringLiteral("mode"), QStringLiteral("hourly")}};
    if (minute.isValid())
        tt.insert(QStringLiteral("minute"), minute);
    return tt;
}

const QDateTime kRanBefore = QDateTime(QDate(2020, 1, 1), QTime(0, 0));

QDateTime next(const QVariantMap &tt, const char *now)
{
    return NextExecution::compute(tt, kRanBefore, at(now));
}

} // namespace

class TestNextExecution : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void withoutModeOrNeverRun();
    void hourly();
    void daily();
    void weekly();
    void monthly();
};

void TestNextExecution::initTestCase()
{
    qputenv("TZ", "Europe/Berlin");
    tzset();
}

void TestNextExecution::withoutModeOrNeverRun()
{
    const QDateTime now = at("2024-05-15 10:20:30");
    QVERIFY(NextExecution::compute({}, kRanBefore, now).isNull());
    QVERIFY(NextExecution::compute({}, QDateTime(), now).isNull());
    QVERIFY(NextExecution::compute(timetable(QString(), {QStringLiteral("08:00")}), QDateTime(), now).isNull());

    // A task that has never run is started at the scheduler's next pass, whatever its mode.
    QCOMPARE(NextExecution::compute(timetable(QStringLiteral("daily"), {QStringLiteral("08:00")}), QDateTime(), now),
             now.addSecs(60));
    QCOMPARE(NextExecution::compute(timetable(QStringLiteral("yearly")), QDateTime(), now), now.addSecs(60));
    // Once it has run, an unknown mode never falls due.
    QVERIFY(NextExecution::compute(timetable(QStringLiteral("yearly"), {QStringLiteral("08:00")}, 1), kRanBefore, now)
                .isNull());
}

void TestNextExecution::hourly()
{
    QCOMPARE(next(::hourly(30), "2024-05-15 10:29:10"), at("2024-05-15 10:30:00"));
    QCOMPARE(next(::hourly(30), "2024-05-15 10:45:00"), at("2024-05-15 11:30:00"));
    // The slot of the current minute is this hour's, even seconds after it.
    QCOMPARE(next(::hourly(30), "2024-05-15 10:30:20"), at("2024-05-15 10:30:00"));
    // Absent minute reads as 0; the hour rolls over into the next day.
    QCOMPARE(next(::hourly(QVariant()), "2024-05-15 10:45:00"), at("2024-05-15 11:00:00"));
    QCOMPARE(next(::hourly(10), "2024-12-31 23:45:00"), at("2025-01-01 00:10:00"));
    QVERIFY(next(::hourly(75), "2024-05-15 10:01:00").isNull());
    QVERIFY(next(::hourly(-1), "2024-05-15 10:01:00").isNull());
}

void TestNextExecution::daily()
{
    // Stored order counts, not the earliest time.
    const QVariantMap tt = timetable(QStringLiteral("daily"), {QStringLiteral("18:00"), QStringLiteral("06:00")});
    QCOMPARE(next(tt, "2024-05-15 07:00:00"), at("2024-05-15 18:00:00"));
    QCOMPARE(next(tt, "2024-05-15 19:00:00"), at("2024-05-16 18:00:00"));
    QCOMPARE(next(tt, "2024-05-15 05:00:00"), at("2024-05-15 18:00:00"));

    const QVariantMap sorted = timetable(QStringLiteral("daily"), {QTime(6, 0), QTime(18, 0, 30)});
    QCOMPARE(next(sorted, "2024-05-15 05:00:00"), at("2024-05-15 06:00:00"));
    QCOMPARE(next(sorted, "2024-05-15 06:00:00"), at("2024-05-15 18:00:30"));
    // The night before the clocks go forward: tomorrow at the same wall-clock time.
    QCOMPARE(next(sorted, "2024-03-30 19:00:00"), at("2024-03-31 06:00:00"));

    QVERIFY(next(timetable(QStringLiteral("daily")), "2024-05-15 07:00:00").isNull());
    // An element that is no time of day is passed over.
    QCOMPARE(next(timetable(QStringLiteral("daily"), {QStringLiteral("x"), QVariantMap(), QStringLiteral("09:15")}),
                  "2024-05-15 07:00:00"),
             at("2024-05-15 09:15:00"));
}

void TestNextExecution::weekly()
{
    // 2024-05-15 is a Wednesday; 0x01 is Monday only.
    const QVariantList eight{QStringLiteral("08:00")};
    const QVariantMap monday = timetable(QStringLiteral("weekly"), eight, 0x01);
    QCOMPARE(next(monday, "2024-05-15 10:00:00"), at("2024-05-20 08:00:00"));
    QCOMPARE(next(monday, "2024-05-20 07:00:00"), at("2024-05-20 08:00:00"));
    // Only today is allowed and its time has passed: a week later.
    QCOMPARE(next(monday, "2024-05-20 09:00:00"), at("2024-05-27 08:00:00"));
    // Across the autumn clock change the wall-clock time stays.
    QCOMPARE(next(monday, "2024-10-21 09:00:00"), at("2024-10-28 08:00:00"));

    // Monday and Friday (bit 4); Sunday is bit 6.
    const QVariantMap twice = timetable(QStringLiteral("weekly"), {QStringLiteral("20:00"), QStringLiteral("08:00")}, 0x11);
    QCOMPARE(next(twice, "2024-05-17 21:00:00"), at("2024-05-20 20:00:00"));
    QCOMPARE(next(twice, "2024-05-17 19:00:00"), at("2024-05-17 20:00:00"));
    QCOMPARE(next(timetable(QStringLiteral("weekly"), eight, 0x40), "2024-05-15 10:00:00"), at("2024-05-19 08:00:00"));

    QVERIFY(next(timetable(QStringLiteral("weekly"), eight, 0), "2024-05-15 10:00:00").isNull());
    QVERIFY(next(timetable(QStringLiteral("weekly"), eight, 0x80), "2024-05-15 10:00:00").isNull());
    QVERIFY(next(timetable(QStringLiteral("weekly"), {}, 0x7F), "2024-05-15 10:00:00").isNull());
}

void TestNextExecution::monthly()
{
    const QVariantList eight{QStringLiteral("08:00")};
    const QVariantMap first = timetable(QStringLiteral("monthly"), eight, 0x1);
    QCOMPARE(next(first, "2024-05-15 10:00:00"), at("2024-06-01 08:00:00"));
    QCOMPARE(next(first, "2024-06-01 07:00:00"), at("2024-06-01 08:00:00"));
    QCOMPARE(next(first, "2024-12-20 07:00:00"), at("2025-01-01 08:00:00"));

    // The 31st (bit 30): found within the next 31 days when a month has one.
    const QVariantMap last = timetable(QStringLiteral("monthly"), eight, qlonglong(1) << 30);
    QCOMPARE(next(last, "2024-05-15 10:00:00"), at("2024-05-31 08:00:00"));
    // From the 31st after its time, no later 31st lies within 31 days: one
    // month on, clamped to the end of February.
    QCOMPARE(next(last, "2024-01-31 09:00:00"), at("2024-02-29 08:00:00"));
    QCOMPARE(next(last, "2023-01-31 09:00:00"), at("2023-02-28 08:00:00"));
    // The scheduler's last-day rule does not apply: a 30-day month lacks the 31st.
    QVERIFY(next(last, "2024-04-10 10:00:00").isNull());

    // Every bit up to 31 set (the largest mask): today's next time.
    const QVariantMap everyDay = timetable(QStringLiteral("monthly"), eight, 0xFFFFFFFFLL);
    QCOMPARE(next(everyDay, "2024-05-15 10:00:00"), at("2024-05-16 08:00:00"));
    QVERIFY(next(timetable(QStringLiteral("monthly"), eight, 0), "2024-05-15 10:00:00").isNull());
}

QTEST_GUILESS_MAIN(TestNextExecution)
#include "tst_nextexecution.moc"
