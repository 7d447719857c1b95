// The meter value generator: the same device gives the same history, values
// stay in their ranges and follow season and hour, counters only grow and
// agree with the interval records, values carry a meter's decimals, and the
// record grids start where they should.

#include "metervalues.h"

#include <QtTest>

#include <cmath>

namespace {

const QList<int> kTwoSystems{1, 2};

QDateTime at(const QString &text)
{
    return QDateTime::fromString(text, Qt::ISODate);
}

ZeltoTable year(MeterValues::Kind kind, qint64 device = 1234567)
{
    return MeterValues(device).archive(kind, MeterValues::columns(kind, kTwoSystems), at("2023-01-01T00:00:00"),
                                       at("2023-12-31T23:00:00"));
}

bool hasDecimals(double value, int decimals)
{
    const double scaled = value * std::pow(10.0, decimals);
    return std::fabs(scaled - std::round(scaled)) < 1e-6;
}

double mean(const ZeltoTable &table, const QString &column, const std::function<bool(const QDateTime &)> &pick)
{
    double sum = 0;
    int count = 0;
    for (int row = 0; row < table.rowCount(); ++row) {
        if (pick(table.value(row, QStringLiteral("date")).toDateTime())) {
            sum += table.value(row, column).toDouble();
            ++count;
        }
    }
    return count ? sum / count : 0;
}

} // namespace

class TestMeterValues : public QObject
{
    Q_OBJECT

private slots:
    void sameDeviceSameHistory();
    void valuesStayInRangeAndFollowSeasonAndHour();
    void countersGrowAndAgreeWithIntervals();
    void valuesCarryMeterDecimals();
    void flagsNowAndThen();
    void gridStartsAtTheNextRecordDate_data();
    void gridStartsAtTheNextRecordDate();
    void unknownAndUndeliveredColumnsAreNull();
    void currentReadingByDeviceClock();
};

void TestMeterValues::sameDeviceSameHistory()
{
    const QStringList columns = MeterValues::columns(MeterValues::HourData, kTwoSystems);
    const QDateTime from = at("2024-03-01T00:00:00");
    const QDateTime to = at("2024-03-03T00:00:00");
    const ZeltoTable first = MeterValues(42).archive(MeterValues::HourData, columns, from, to);
    QCOMPARE(first.rowCount(), 49);
    QCOMPARE(MeterValues(42).archive(MeterValues::HourData, columns, from, to), first);
    QVERIFY(MeterValues(43).archive(MeterValues::HourData, columns, from, to) != first);
    // A later window of the same device repeats the overlapping records.
    const ZeltoTable later = MeterValues(42).archive(MeterValues::HourData, columns, at("2024-03-02T00:00:00"), to);
    QCOMPARE(later.toMap(0), first.toMap(24));
}

void TestMeterValues::valuesStayInRangeAndFollowSeasonAndHour()
{
    const ZeltoTable hours = year(MeterValues::HourData);
    QCOMPARE(hours.rowCount(), 8760);
    for (int row = 0; row < hours.rowCount(); ++row) {
        for (int system : kTwoSystems) {
            const double supply = hours.value(row, QStringLiteral("S%1_t1").arg(system)).toDouble();
            const double back = hours.value(row, QStringLiteral("S%1_t2").arg(system)).toDouble();
            const double p1 = hours.value(row, QStringLiteral("S%1_P1").arg(system)).toDouble();
            const double p2 = hours.value(row, QStringLiteral("S%1_P2").arg(system)).toDouble();
            QVERIFY2(supply >= 60 && supply <= 95, qPrintable(QString::number(supply)));
            QVERIFY2(back >= 35 && back <= 60, qPrintable(QString::number(back)));
            QVERIFY(p1 > 5.5 && p1 < 6.5);
            QVERIFY(p2 > 2.5 && p2 < 3.5);
            QVERIFY(hours.value(row, QStringLiteral("S%1_G1").arg(system)).toDouble()
                    > hours.value(row, QStringLiteral("S%1_G2").arg(system)).toDouble());
        }
    }
    const QString t1 = QStringLiteral("S1_t1");
    const double january = mean(hours, t1, [](const QDateTime &d) { return d.date().month() == 1; });
    const double july = mean(hours, t1, [](const QDateTime &d) { return d.date().month() == 7; });
    QVERIFY2(january > july + 15, qPrintable(QStringLiteral("%1 %2").arg(january).arg(july)));
    const double morning = mean(hours, t1, [](const QDateTime &d) { return d.time().hour() >= 5 && d.time().hour() <= 8; });
    const double evening = mean(hours, t1, [](const QDateTime &d) { return d.time().hour() >= 17 && d.time().hour() <= 20; });
    QVERIFY2(morning > evening + 2, qPrintable(QStringLiteral("%1 %2").arg(morning).arg(evening)));
}

void TestMeterValues::countersGrowAndAgreeWithIntervals()
{
    const ZeltoTable totals = year(MeterValues::DayTotals);
    const ZeltoTable days = year(MeterValues::DayData);
    const ZeltoTable hours = year(MeterValues::HourData);
    QCOMPARE(totals.rowCount(), 365);
    QCOMPARE(days.rowCount(), 365);
    // A totals record holds the counters at the end of its day, so the
    // difference of two neighbours is the next day's amount.
    for (const QString code : {"S1_Q", "S1_V1", "S2_V2", "Th"}) {
        for (int row = 1; row < totals.rowCount(); ++row) {
            const double growth = totals.value(row, code).toDouble() - totals.value(row - 1, code).toDouble();
            QVERIFY2(growth > 0, qPrintable(code));
            QVERIFY2(std::fabs(growth - days.value(row, code).toDouble()) < 0.0021,
                     qPrintable(QStringLiteral("%1 row %2").arg(code).arg(row)));
        }
    }
    const ZeltoTable massTotals = MeterValues(1234567).archive(MeterValues::DayTotals, {QStringLiteral("S1_M1")},
                                                               at("2023-01-01T00:00:00"), at("2023-01-02T00:00:00"));
    // The hours of a day add up to the day (up to the rounding of each hour).
    for (int day = 0; day < 365; day += 30) {
        double sum = 0;
        for (int hour = 0; hour < 24; ++hour)
            sum += hours.value(day * 24 + hour, QStringLiteral("S1_G1")).toDouble();
        QVERIFY(std::fabs(sum - days.value(day, QStringLiteral("S1_G1")).toDouble()) < 0.013);
    }
    QVERIFY(std::fabs(massTotals.value(1, QStringLiteral("S1_M1")).toDouble()
                      - massTotals.value(0, QStringLiteral("S1_M1")).toDouble()
                      - days.value(1, QStringLiteral("S1_G1")).toDouble())
            < 0.0021);
}

void TestMeterValues::valuesCarryMeterDecimals()
{
    const ZeltoTable hours = year(MeterValues::HourData).filter(QStringLiteral("date"), at("2023-02-01T00:00:00"),
                                                                 at("2023-02-03T00:00:00"));
    for (const QString &column : hours.columnNames().mid(1)) {
        const int decimals = MeterValues::decimals(column);
        QVERIFY(decimals >= 0);
        for (int row = 0; row < hours.rowCount(); ++row)
            QVERIFY2(hasDecimals(hours.value(row, column).toDouble(), decimals), qPrintable(column));
    }
    QCOMPARE(MeterValues::decimals(QStringLiteral("S3_t2")), 2);
    QCOMPARE(MeterValues::decimals(QStringLiteral("S1_Q")), 3);
    QCOMPARE(MeterValues::decimals(QStringLiteral("NSD")), 0);
    QCOMPARE(MeterValues::decimals(QStringLiteral("S1_nonsense")), -1);
    QCOMPARE(MeterValues::decimals(QStringLiteral("t1")), -1);   // a system parameter needs its system
}

void TestMeterValues::flagsNowAndThen()
{
    const ZeltoTable hours = year(MeterValues::HourData);
    int flagged = 0;
    for (int row = 0; row < hours.rowCount(); ++row)
        flagged += hours.value(row, QStringLiteral("S1_NS")).toInt() != 0 ? 1 : 0;
    QVERIFY2(flagged > 8760 / 200 && flagged < 8760 / 20, qPrintable(QString::number(flagged)));
    // A day carries the union of its hours' flags.
    const ZeltoTable days = year(MeterValues::DayData);
    for (int day = 0; day < 365; ++day) {
        int hoursUnion = 0;
        for (int hour = 0; hour < 24; ++hour)
            hoursUnion |= hours.value(day * 24 + hour, QStringLiteral("S1_NS")).toInt();
        QCOMPARE(days.value(day, QStringLiteral("S1_NS")).toInt(), hoursUnion);
    }
}

void TestMeterValues::gridStartsAtTheNextRecordDate_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QDateTime>("from");
    QTest::addColumn<QDateTime>("to");
    QTest::addColumn<QStringList>("dates");
    QTest::newRow("hours") << int(MeterValues::HourData) << at("2024-05-01T10:30:00") << at("2024-05-01T13:00:00")
                           << QStringList{"2024-05-01T11:00:00", "2024-05-01T12:00:00", "2024-05-01T13:00:00"};
    QTest::newRow("days") << int(MeterValues::DayData) << at("2024-02-28T05:00:00") << at("2024-03-01T12:00:00")
                          << QStringList{"2024-02-29T00:00:00", "2024-03-01T00:00:00"};
    QTest::newRow("day totals from midnight") << int(MeterValues::DayTotals) << at("2024-03-01T00:00:00")
                                              << at("2024-03-01T00:00:00") << QStringList{"2024-03-01T00:00:00"};
    QTest::newRow("months") << int(MeterValues::MonthData) << at("2023-11-15T00:00:00") << at("2024-02-01T00:00:00")
                            << QStringList{"2023-12-01T00:00:00", "2024-01-01T00:00:00", "2024-02-01T00:00:00"};
    QTest::newRow("reversed") << int(MeterValues::MonthTotals) << at("2024-02-01T00:00:00")
                              << at("2023-02-01T00:00:00") << QStringList();
    QTest::newRow("no bound") << int(MeterValues::HourData) << QDateTime() << at("2023-02-01T00:00:00")
                              << QStringList();
}

void TestMeterValues::gridStartsAtTheNextRecordDate()
{
    QFETCH(int, kind);
    QFETCH(QDateTime, from);
    QFETCH(QDateTime, to);
    QFETCH(QStringList, dates);
    const QStringList columns{QStringLiteral("S1_Q")};
    const ZeltoTable table = MeterValues(7).archive(MeterValues::Kind(kind), columns, from, to);
    QCOMPARE(table.columnNames(), QStringList({QStringLiteral("date"), QStringLiteral("S1_Q")}));
    QStringList found;
    for (const QVariant &date : table.columnValues(QStringLiteral("date")))
        found.append(date.toDateTime().toString(Qt::ISODate));
    QCOMPARE(found, dates);
}

void TestMeterValues::unknownAndUndeliveredColumnsAreNull()
{
    const QStringList columns{QStringLiteral("S1_t1"), QStringLiteral("S1_G1"), QStringLiteral("DT"),
                              QStringLiteral("S1_bogus"), QStringLiteral("S0_t1"), QStringLiteral("S1_M1")};
    const QDateTime day = at("2024-01-01T00:00:00");
    const QVariantMap totals = MeterValues(7).archive(MeterValues::DayTotals, columns, day, day).toMap(0);
    for (const QString &column : columns.mid(0, 5))
        QVERIFY2(totals.value(column).isNull(), qPrintable(column));
    QVERIFY(totals.value(QStringLiteral("S1_M1")).toDouble() > 0);
    // An interval's mass is the mass of the interval, whichever code names it.
    const QVariantMap hour = MeterValues(7).archive(MeterValues::HourData, columns, day, day).toMap(0);
    QVERIFY(hour.value(QStringLiteral("DT")).isNull());
    QCOMPARE(hour.value(QStringLiteral("S1_M1")), hour.value(QStringLiteral("S1_G1")));
}

void TestMeterValues::currentReadingByDeviceClock()
{
    const MeterValues meter(99);
    const QDateTime now = at("2024-06-10T14:25:13");
    const ZeltoTable reading = meter.current(MeterValues::columns(MeterValues::CurrentData, {1}), now, 45 * 60);
    QCOMPARE(reading.rowCount(), 1);
    QCOMPARE(reading.value(0, QStringLiteral("date")).toDateTime(), now.addSecs(2700));
    QCOMPARE(reading.value(0, QStringLiteral("DT")).toDateTime(), now.addSecs(2700));
    QCOMPARE(reading.value(0, QStringLiteral("sys_date")).toDateTime(), now);
    // The counters read now lie between the day's totals and the next day's.
    const ZeltoTable totals = meter.archive(MeterValues::DayTotals, {QStringLiteral("S1_Q")}, at("2024-06-09T00:00:00"),
                                            at("2024-06-10T00:00:00"));
    const double q = reading.value(0, QStringLiteral("S1_Q")).toDouble();
    QVERIFY(q > totals.value(0, QStringLiteral("S1_Q")).toDouble());
    QVERIFY(q < totals.value(1, QStringLiteral("S1_Q")).toDouble());
    const double flow = reading.value(0, QStringLiteral("S1_gm1")).toDouble();
    QVERIFY(flow > 2.5 && flow < 21);
    QVERIFY(reading.value(0, QStringLiteral("S1_W")).toDouble() > 0);
}

QTEST_GUILESS_MAIN(TestMeterValues)
#include "tst_metervalues.moc"
