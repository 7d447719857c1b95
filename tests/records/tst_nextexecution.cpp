// The next run shown with a task. The zone has daylight saving time: calendar
// steps must keep the wall-clock time across a change.

#include "nextexecution.h"

#include <QtTest>

#include <ctime>

namespace {

QDateTime at(const QString &text)
{
    const QDateTime dt = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd hh:mm:ss"));
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

} // namespace

class TestNextExecution : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void next_data()
    {
        QTest::addColumn<QVariantMap>("timetable");
        QTest::addColumn<bool>("hasRun");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("expected");   // empty: never due
        const auto row = [](const char *name, const QVariantMap &tt, const char *now, const char *expected, bool hasRun = true) {
            QTest::newRow(name) << tt << hasRun << QString::fromLatin1(now) << QString::fromLatin1(expected);
        };
        const QString daily = QStringLiteral("daily"), weekly = QStringLiteral("weekly"), monthly = QStringLiteral("monthly");
        const QVariantList eight{QStringLiteral("08:00")};
        row("no timetable", {}, "2024-05-15 10:20:30", "");
        row("no mode, never run", timetable(QString(), eight), "2024-05-15 10:20:30", "", false);
        // A task that has never run is started at the scheduler's next pass...
        row("never run", timetable(daily, eight), "2024-05-15 10:20:30", "2024-05-15 10:21:30", false);
        // ... but once it has run, an unknown mode never falls due.
        row("unknown mode", timetable(QStringLiteral("yearly"), eight, 1), "2024-05-15 10:20:30", "");

        row("hourly, this hour", hourly(30), "2024-05-15 10:29:10", "2024-05-15 10:30:00");
        row("hourly, next hour", hourly(30), "2024-05-15 10:45:00", "2024-05-15 11:30:00");
        // The slot of the current minute is this hour's, even seconds after it.
        row("hourly, this minute", hourly(30), "2024-05-15 10:30:20", "2024-05-15 10:30:00");
        row("hourly, minute absent", hourly(QVariant()), "2024-05-15 10:45:00", "2024-05-15 11:00:00");
        row("hourly, next year", hourly(10), "2024-12-31 23:45:00", "2025-01-01 00:10:00");
        row("hourly, minute 75", hourly(75), "2024-05-15 10:01:00", "");
        row("hourly, minute -1", hourly(-1), "2024-05-15 10:01:00", "");

        // Stored order counts, not the earliest time.
        const QVariantMap evening = timetable(daily, {QStringLiteral("18:00"), QStringLiteral("06:00")});
        row("daily, tomorrow", evening, "2024-05-15 19:00:00", "2024-05-16 18:00:00");
        row("daily, early", evening, "2024-05-15 05:00:00", "2024-05-15 18:00:00");
        const QVariantMap sorted = timetable(daily, {QTime(6, 0), QTime(18, 0, 30)});
        row("daily, first time", sorted, "2024-05-15 05:00:00", "2024-05-15 06:00:00");
        row("daily, second time", sorted, "2024-05-15 06:00:00", "2024-05-15 18:00:30");
        // The night before the clocks go forward: tomorrow at the same wall-clock time.
        row("daily, spring change", sorted, "2024-03-30 19:00:00", "2024-03-31 06:00:00");
        row("daily without times", timetable(daily), "2024-05-15 07:00:00", "");
        row("daily, bad times passed over", timetable(daily, {QStringLiteral("x"), QVariantMap(), QStringLiteral("09:15")}),
            "2024-05-15 07:00:00", "2024-05-15 09:15:00");

        // 2024-05-15 is a Wednesday; 0x01 is Monday only, 0x11 Monday and Friday, 0x40 Sunday.
        const QVariantMap monday = timetable(weekly, eight, 0x01);
        row("weekly, next Monday", monday, "2024-05-15 10:00:00", "2024-05-20 08:00:00");
        row("weekly, today passed", monday, "2024-05-20 09:00:00", "2024-05-27 08:00:00");
        row("weekly, autumn change", monday, "2024-10-21 09:00:00", "2024-10-28 08:00:00");
        const QVariantMap twice = timetable(weekly, {QStringLiteral("20:00"), QStringLiteral("08:00")}, 0x11);
        row("weekly, Friday to Monday", twice, "2024-05-17 21:00:00", "2024-05-20 20:00:00");
        row("weekly, Friday", twice, "2024-05-17 19:00:00", "2024-05-17 20:00:00");
        row("weekly, Sunday", timetable(weekly, eight, 0x40), "2024-05-15 10:00:00", "2024-05-19 08:00:00");
        row("weekly, no day", timetable(weekly, eight, 0), "2024-05-15 10:00:00", "");
        row("weekly, bit 7", timetable(weekly, eight, 0x80), "2024-05-15 10:00:00", "");
        row("weekly, no times", timetable(weekly, {}, 0x7F), "2024-05-15 10:00:00", "");

        const QVariantMap first = timetable(monthly, eight, 0x1);
        row("monthly, next month", first, "2024-05-15 10:00:00", "2024-06-01 08:00:00");
        // The 31st (bit 30) within the next 31 days, else one month on, clamped to the
        // end of February; the scheduler's last-day rule does not apply.
        const QVariantMap last = timetable(monthly, eight, qlonglong(1) << 30);
        row("monthly, 31st", last, "2024-05-15 10:00:00", "2024-05-31 08:00:00");
        row("monthly, leap February", last, "2024-01-31 09:00:00", "2024-02-29 08:00:00");
        row("monthly, 30-day month", last, "2024-04-10 10:00:00", "");
        row("monthly, every day", timetable(monthly, eight, 0xFFFFFFFFLL), "2024-05-15 10:00:00", "2024-05-16 08:00:00");
        row("monthly, no day", timetable(monthly, eight, 0), "2024-05-15 10:00:00", "");
    }

    void next()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(bool, hasRun);
        QFETCH(QString, now);
        QFETCH(QString, expected);
        const QDateTime found = NextExecution::compute(timetable, hasRun ? kRanBefore : QDateTime(), at(now));
        if (expected.isEmpty())
            QVERIFY2(found.isNull(), qPrintable(found.toString()));
        else
            QCOMPARE(found, at(expected));
    }
};

QTEST_GUILESS_MAIN(TestNextExecution)
#include "tst_nextexecution.moc"
