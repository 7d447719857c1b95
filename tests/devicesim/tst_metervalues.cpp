// The meter values the device simulator serves: believable enough for
// reports and checks, and the same for the same device every time.

#include "metervalues.h"

#include <QtTest>

namespace {

const QList<int> kTwoSystems{1, 2};

QDateTime at(const QString &text) { return QDateTime::fromString(text, Qt::ISODate); }

ZeltoTable year(MeterValues::Kind kind, qint64 device = 1234567)
{
    return MeterValues(device).archive(kind, MeterValues::columns(kind, kTwoSystems), at("2023-01-01T00:00:00"),
                                       at("2023-12-31T23:00:00"));
}

} // namespace

class TestMeterValues : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_hours = year(MeterValues::HourData);
        m_days = year(MeterValues::DayData);
        m_totals = year(MeterValues::DayTotals);
        QVERIFY(m_hours.rowCount() == 8760 && m_days.rowCount() == 365 && m_totals.rowCount() == 365);
    }

    void sameDeviceSameHistory()
    {
        const QStringList columns = MeterValues::columns(MeterValues::HourData, kTwoSystems);
        const QDateTime from = at("2024-03-01T00:00:00"), to = at("2024-03-03T00:00:00");
        const ZeltoTable first = MeterValues(42).archive(MeterValues::HourData, columns, from, to);
        QCOMPARE(first.rowCount(), 49);
        QCOMPARE(MeterValues(42).archive(MeterValues::HourData, columns, from, to), first);
        QVERIFY(MeterValues(43).archive(MeterValues::HourData, columns, from, to) != first);
        // A later window of the same device repeats the overlapping records.
        const ZeltoTable later = MeterValues(42).archive(MeterValues::HourData, columns, at("2024-03-02T00:00:00"), to);
        QCOMPARE(later.toMap(0), first.toMap(24));
    }

    // Values stay in range and carry the decimals meters report.
    void valuesAsMetersGiveThem()
    {
        const ZeltoTable &hours = m_hours;
        for (int row = 0; row < hours.rowCount(); ++row) {
            for (int system : kTwoSystems) {
                const auto v = [&](const char *code) {
                    return hours.value(row, QStringLiteral("S%1_%2").arg(system).arg(QLatin1String(code))).toDouble();
                };
                QVERIFY2(v("t1") >= 60 && v("t1") <= 95 && v("t2") >= 35 && v("t2") <= 60 && v("P1") > 5.5 && v("P1") < 6.5
                             && v("P2") > 2.5 && v("P2") < 3.5 && v("G1") > v("G2"),
                         qPrintable(QStringLiteral("row %1, system %2").arg(row).arg(system)));
            }
        }
        const ZeltoTable february = m_hours.filter("date", at("2023-02-01T00:00:00"), at("2023-02-03T00:00:00"));
        for (const QString &column : february.columnNames().mid(1)) {
            const int decimals = MeterValues::decimals(column);
            QVERIFY(decimals >= 0);
            for (int row = 0; row < february.rowCount(); ++row) {
                const double scaled = february.value(row, column).toDouble() * std::pow(10.0, decimals);
                QVERIFY2(std::fabs(scaled - std::round(scaled)) < 1e-6, qPrintable(column));
            }
        }
        // A system parameter needs its system ("t1").
        QList<int> found;
        for (const char *code : {"S3_t2", "S1_Q", "NSD", "S1_nonsense", "t1"})
            found << MeterValues::decimals(QLatin1String(code));
        QCOMPARE(found, (QList<int>{2, 3, 0, -1, -1}));
    }

    // The totals agree with the days, on which reports of simulated nodes rely. (Whether the days agree with their
    // hours is not worth its lines: no report or check compares them.)
    void totalsAgreeWithDays()
    {
        const ZeltoTable &totals = m_totals, &days = m_days;
        // Totals hold the counters at the end of their day: neighbours differ by a day's amount (a mass counter by
        // the day's mass).
        using Codes = QPair<const char *, const char *>;   // of the totals, of the days
        for (const Codes &code : {Codes("S1_Q", "S1_Q"), Codes("S1_V1", "S1_V1"), Codes("S2_V2", "S2_V2"),
                                  Codes("Th", "Th"), Codes("S1_M1", "S1_G1")}) {
            for (int row = 1; row < totals.rowCount(); ++row) {
                const double growth = totals.value(row, code.first).toDouble() - totals.value(row - 1, code.first).toDouble();
                QVERIFY2(growth > 0, code.first);
                QVERIFY2(std::fabs(growth - days.value(row, code.second).toDouble()) < 0.0021,
                         qPrintable(QStringLiteral("%1 row %2").arg(code.first).arg(row)));
            }
        }
    }

    // An interval's mass; the current reading. (Which records of a window the simulator gives, and that columns a
    // kind of record lacks are null, is not worth its lines: the server merges what it gets by date and column.)
    void columnsOfOneReading()
    {
        // An interval's mass is the mass of the interval, whichever code names it.
        const QDateTime day = at("2024-01-01T00:00:00");
        const QVariantMap hour = MeterValues(7).archive(MeterValues::HourData, {"S1_G1", "S1_M1"}, day, day).toMap(0);
        QCOMPARE(hour.value(QStringLiteral("S1_M1")), hour.value(QStringLiteral("S1_G1")));

        // The counters read now lie between the day's totals and the next day's (its clock, off the server's:
        // test_devicesim).
        const MeterValues meter(99);
        const QVariantMap reading
            = meter.current(MeterValues::columns(MeterValues::CurrentData, {1}), at("2024-06-10T14:25:13"), 0).toMap(0);
        const QVariantList dayTotals = meter.archive(MeterValues::DayTotals, {QStringLiteral("S1_Q")}, at("2024-06-09T00:00:00"),
                                                     at("2024-06-10T00:00:00")).columnValues(QStringLiteral("S1_Q"));
        const double q = reading.value("S1_Q").toDouble(), flow = reading.value("S1_gm1").toDouble();
        QVERIFY(q > dayTotals.at(0).toDouble() && q < dayTotals.at(1).toDouble());
        QVERIFY(flow > 2.5 && flow < 21 && reading.value("S1_W").toDouble() > 0);
    }

private:
    ZeltoTable m_hours, m_days, m_totals;
};

QTEST_GUILESS_MAIN(TestMeterValues)
#include "tst_metervalues.moc"
