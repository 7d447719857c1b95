#include "archivereports.h"
#include "archivestore.h"
#include "database.h"
#include "nodes.h"
#include "outcome.h"
#include "samevalue.h"
#include "sqlitedatareader.h"
#include "tempdatabasehome.h"
#include "zeltoenvironment.h"

#include <QtTest>

#include <cstdio>

#include <functional>
#include <memory>

// Daily rows of March up to lastDay, a report from..to: its rows, the estimated ones and their S1_Q, the total.
struct Tail
{
    bool setting;
    int baseDays;
    QDate from, to;
    int lastDay, rows, estimatedRows;
    double tailQ, rangeQ;
};
Q_DECLARE_METATYPE(Tail)

// A readings archive beside the daily rows of 1..10 March, a daily row missing; the report of 3..toDay March: its
// readings (marked computed or not), the day the closing one is of, its total.
struct Ends
{
    QString archive;
    QVariantList records;   // pairs of date and S1_Q
    int missingDay, toDay;
    QVariant first, last;   // invalid: no such table
    bool firstComputed, lastComputed;
    int lastDay;
    double rangeQ;
};
Q_DECLARE_METATYPE(Ends)

// A node's archives and a range of group totals: its rows (0 or 1), and whether they are read from the stored bytes
// (or left to the report's general way).
struct Direct
{
    QString model;
    ZeltoTableMap archives;
    QDate from, to;
    int rows;
    bool fromBytes;
};
Q_DECLARE_METATYPE(Direct)

namespace {

const QString kDate = "date";
const QVariant kOut = QVariant::fromValue(ZeltoOutOfRange());
const QVariant kUnused = QVariant::fromValue(ZeltoUnused());
const QVariant kNaN = qQNaN();
const QVariant kAbsent = QVariant::fromValue(nullptr);   // a column the table must not have

// Specific volumes of water worked out by hand (in double precision).
const double kV70at6 = 1.0223976862766424;
const double kV20at0 = 1.0011288113973966;
const double kV90at4 = 1.035575208384199;

QDateTime at(int month, int day, int hour = 0) { return QDateTime(QDate(2024, month, day), QTime(hour, 0)); }

QDate march(int day) { return QDate(2024, 3, day); }

ZeltoTable table(const QStringList &columns, const QList<QVariantList> &rows)
{
    ZeltoTable result(columns);
    for (const QVariantList &row : rows)
        result.appendRow(row);
    return result;
}

// Days from first on, count of them except missing, each made by make(day number from 0).
ZeltoTable daysFrom(const QDate &first, int count, const QStringList &columns, const std::function<QVariantList(int)> &make,
                    int missing = -1)
{
    ZeltoTable result(QStringList{kDate} + columns);
    for (int day = 0; day < count; ++day)
        if (day != missing)
            result.appendRow(QVariantList{QDateTime(first.addDays(day), QTime(0, 0))} + make(day));
    return result;
}

// Daily rows of March 2024 for days first..last except missing, each made by make(day).
ZeltoTable marchDays(const QStringList &columns, int first, int last, const std::function<QVariantList(int)> &make,
                     int missing = 0)
{
    return daysFrom(march(first), last - first + 1, columns, [&](int day) { return make(first + day); }, missing - first);
}

bool matches(const QVariant &actual, const QVariant &want)
{
    const double a = actual.toDouble(), w = want.toDouble();
    if (want.userType() == QMetaType::Double)
        return Zelto::isNumber(actual) && (qAbs(a - w) < 1e-9 || (qIsNaN(a) && qIsNaN(w)));
    if (want.userType() >= QMetaType::User)
        return actual.userType() == want.userType();   // a marker
    return want.isValid() ? actual == want : actual.isNull();
}

// Where the row differs from expected (numbers to 1e-9, kAbsent: no such column); empty when it does not.
QString differences(const ZeltoTable &table, const QVariantMap &expected, int row = 0)
{
    QStringList found;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        const QVariant actual = table.value(row, it.key());
        if (it.value().userType() == QMetaType::Nullptr ? table.containsColumn(it.key()) : !matches(actual, it.value()))
            found << it.key() + ": " + actual.toString();
    }
    return found.join(", ");
}

} // namespace

// The row matches what is expected.
#define SAME(...) QCOMPARE(differences(__VA_ARGS__), QString())

class TestReportData : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        // The repository's own catalogue.
        ZeltoEnvironment::set("ORVEX_DATA_DIR", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath());
        m_home.reset(new TempDatabaseHome);
        QCOMPARE(outcome(m_home->open()), "ok");
    }

    void cleanup() { m_home.reset(); }

    // No readings archives; 1..4 March with a day on each side that must not count.
    void summaryOfASmallArchive()
    {
        const QStringList columns = {kDate, "S1_t1", "S1_Q", "S1_NS", "S1_M1", "S1_V1", "Qdim", "note"};
        const ZeltoTable daily = table(columns, {{at(2, 29), 10.0, 50.0, 16, 50.0, QVariant(), 1, QVariant()},
                                                 {at(3, 1), 70.0, 1.5, 1, 10.0, QVariant(), QVariant(), "x"},
                                                 {at(3, 2), kOut, 2.5, 5, kNaN, QVariant(), QVariant(), QVariant()},
                                                 {at(3, 3), 62.0, kUnused, 0, 12.0, QVariant(), QVariant(), QVariant()},
                                                 {at(3, 4), 68.0, 3.0, 3.0, 14.0, kUnused, 1, QVariant()},
                                                 {at(3, 5), 99.0, 100.0, 8, 100.0, kUnused, 1, QVariant()}});
        const ZeltoTable hourly = table({kDate, "S1_t1", "S1_Q"}, {{at(2, 29, 23), 0.0, 9.0}, {at(3, 1, 0), 50.0, 0.1},
                                                                   {at(3, 1, 1), 52.0, 0.3}, {at(3, 4, 23), 54.0, kNaN},
                                                                   {at(3, 5, 0), 99.0, 9.0}});
        const int node = saved("LWD41", {{"day_data", daily}, {"hour_data", hourly}});
        const ZeltoTableMap report = ArchiveReports::reportData(serverContext(), node, march(1), march(4)).value();
        QCOMPARE(report.keys(), QStringList({"day_data", "first_totals", "group", "hour_data", "hour_middles", "info",
                                             "range_middles", "range_totals"}));
        QCOMPARE(QVariantList({report.value("info").value(0, "id"), report.value("group").value(0, "id"),
                               report.value("day_data").rowCount(), report.value("hour_data").rowCount()}),
                 QVariantList({node, 0, 4, 3}));
        // Markers and NaN count for nothing; a value of Unused stays the marker.
        SAME(report.value("range_totals"), {{kDate, "Итого"}, {"S1_t1", 200.0 / 3}, {"S1_Q", 7.0}, {"S1_NS", 7},
             {"S1_M1", 36.0}, {"S1_V1", kUnused}, {"Qdim", 1}, {"note", kAbsent}});
        SAME(report.value("range_middles"), {{kDate, "Среднее"}, {"S1_t1", 200.0 / 3}, {"S1_Q", 7.0 / 3},
             {"S1_M1", 12.0}, {"S1_NS", kUnused}});
        SAME(report.value("hour_middles"), {{"S1_t1", 52.0}, {"S1_Q", 0.2}, {"S1_M1", kUnused}});
        // Daily rows: what the device delivers but a row lacks is marked.
        const ZeltoTable days = report.value("day_data");
        SAME(days, {{"S1_V1", kUnused}, {"note", "x"}});
        SAME(days, {{"S1_t1", kOut}, {"S1_M1", kNaN}, {"note", QVariant()}}, 1);
        SAME(days, {{"Qdim", kUnused}}, 2);

        // Open bounds take the archive's first and last day.
        QDate from, to;
        ZeltoTable all;
        ArchiveReports::rangeTotals(serverContext(), node, from, to, &all, nullptr, false);
        QCOMPARE(QVariantList({from, to, all.rowCount()}), QVariantList({QDate(2024, 2, 29), march(5), 6}));

        // (No report of a node without archives, nor of one that is not there: test_reports.)
        QVERIFY(ArchiveReports::reportData(serverContext(), node, march(6), march(31)).value().isEmpty());
        QVERIFY(ArchiveReports::reportData(serverContext(), node, march(4), march(1)).value().isEmpty());
    }

    void readingsAtTheEndsOfTheRange_data()
    {
        // Daily S1_Q of day d is d over 1..10 March; 3..6 March reads the counter at the end of 2 and 6 March.
        QTest::addColumn<Ends>("ends");
        const auto row = [](const char *name, const Ends &ends) { QTest::newRow(name) << ends; };
        row("range starts before the first record, nearer one after the end",
            {"day_totals", {at(3, 4), 107.0, at(3, 7), 150.0}, 0, 6, 107.0 - 3 - 4, 150.0 - 7, true, true, 6, 43.0});
        row("a day missing on the way to the end",
            {"day_totals", {at(3, 1), 90.0}, 5, 6, 92.0, QVariant(), true, false, 6, 3.0 + 4 + 6});
        row("marker in the record of the start",
            {"day_totals", {at(3, 2), kOut, at(3, 6), 130.0}, 0, 6, 130.0 - 18, 130.0, true, false, 6, 18.0});
        row("month totals: February's record, carried",
            {"month_totals", {at(2, 1), 80.0, at(3, 1), 500.0}, 0, 6, 83.0, 83.0 + 3 + 4 + 5 + 6, true, true, 6, 18.0});
        // Without any start reading the meter is taken to have started from zero.
        row("no readings archive", {QString(), {}, 0, 6, 0.0, QVariant(), true, false, 6, 18.0});
        // A range ending today has no daily row for today: it closes with the end of the last day read.
        row("range ends after the days read", {"day_totals", {at(3, 2), 100.0, at(3, 10), 150.0}, 0, 12, 100.0, 150.0,
                                                false, false, 10, 50.0});
        row("range ends after the days read, monthly records",
            {"month_data", {at(2, 1), 80.0}, 0, 12, 83.0, 135.0, true, true, 10, 52.0});
        // The record of the 6th is 0.001 short of the days' rounded values: the start is 0, not -0.001.
        row("rounding below zero", {"day_totals", {at(3, 6), 17.999}, 0, 6, 0.0, 17.999, true, false, 6, 17.999});
    }

    void readingsAtTheEndsOfTheRange()
    {
        QFETCH(Ends, ends);
        const auto dayNumber = [](int day) { return QVariantList{double(day)}; };
        ZeltoTableMap archives{{"day_data", marchDays({"S1_Q"}, 1, 10, dayNumber, ends.missingDay)}};
        if (!ends.archive.isEmpty()) {
            ZeltoTable totals({kDate, "S1_Q"});
            for (int i = 0; i < ends.records.size(); i += 2)
                totals.appendRow(ends.records.mid(i, 2));
            archives.insert(ends.archive, totals);
        }
        const int node = saved("LWD41", archives);
        const ZeltoTableMap report = ArchiveReports::reportData(serverContext(), node, march(3), march(ends.toDay)).value();
        const ZeltoTable start = report.value("first_totals"), end = report.value("last_totals");
        const auto computed = [](bool yes) { return yes ? QVariant(true) : QVariant(); };
        const QString lastLabel = QString("На %1.03.24").arg(ends.lastDay, 2, 10, QChar('0'));
        QCOMPARE(QVariantList({start.value(0, kDate), start.value(0, "S1_Q"), start.value(0, "calc"),
                               end.value(0, kDate), end.value(0, "S1_Q"), end.value(0, "calc")}),
                 QVariantList({ends.first.isValid() ? QVariant("На 03.03.24") : QVariant(), ends.first,
                               computed(ends.firstComputed), ends.last.isValid() ? QVariant(lastLabel) : QVariant(),
                               ends.last, computed(ends.lastComputed)}));
        SAME(report.value("range_totals"), {{"S1_Q", ends.rangeQ}});
        // Group totals take their ends from the same archive.
        SAME(ArchiveReports::groupTotals(serverContext(), {node}, march(3), march(ends.toDay)).value(), {{"S1_Q", ends.rangeQ}});
    }

    void tailDays_data()
    {
        QTest::addColumn<Tail>("tail");
        const QDate april1(2024, 4, 1), april30(2024, 4, 30);
        // Daily S1_Q of March's day d is d: 1 + ... + 27 = 378.
        QTest::newRow("mean of the last day only") << Tail{true, 1, march(1), march(31), 27, 31, 4, 27.0, 378.0 + 4 * 27};
        QTest::newRow("setting off") << Tail{false, 3, march(1), march(31), 27, 27, 0, 0.0, 378.0};
        QTest::newRow("not a whole month") << Tail{true, 3, march(1), march(30), 27, 27, 0, 0.0, 378.0};
        QTest::newRow("complete month") << Tail{true, 3, march(1), march(31), 31, 31, 0, 0.0, 496.0};
        QTest::newRow("a month after the last day read") << Tail{true, 3, april1, april30, 27, 30, 30, 26.0, 30 * 26.0};
    }

    void tailDays()
    {
        QFETCH(Tail, tail);
        QVERIFY(testDatabase().putSetting("calcTailDays", tail.setting).ok());
        QVERIFY(testDatabase().putSetting("daysForCalcTailDays", tail.baseDays).ok());
        const auto make = [](int day) { return QVariantList{double(day), 60.0 + day, 1, 1}; };
        const int node =
            saved("LWD41", {{"day_data", marchDays({"S1_Q", "S1_t1", "S1_NS", "Qdim"}, 1, tail.lastDay, make)}});
        const ZeltoTableMap report = ArchiveReports::reportData(serverContext(), node, tail.from, tail.to).value();
        const ZeltoTable days = report.value("day_data");
        QCOMPARE(QList<int>({days.rowCount(), days.columnValues("calc").count(true)}),
                 QList<int>({tail.rows, tail.estimatedRows}));
        SAME(report.value("range_totals"), {{"S1_Q", tail.rangeQ}});
        const QVariantMap estimate{{"S1_Q", tail.tailQ}, {"S1_t1", 60.0 + tail.tailQ}, {"S1_NS", 0}, {"Qdim", 1}};
        for (int row = 0; row < days.rowCount(); ++row) {
            QCOMPARE(days.value(row, kDate).toDateTime(), at(tail.from.month(), row + 1));
            if (days.value(row, "calc").toBool())   // S1_NS 0: no fault is made up
                SAME(days, estimate, row);
        }
    }

    // Readings derived from the current one of 11 March, 01:00 (S1_M1 1000), less the hours of 10 March (12 x 1);
    // volumes for a mass-only model only.
    void volumesFromMassesWithDerivedReadings()
    {
        const QStringList columns = {"S1_M1", "S1_G1", "S1_P1", "S1_t1", "S1_G2", "S1_P2", "S1_t2"};
        ZeltoTable hours = table(QStringList{kDate} + columns, {{at(3, 3, 0), 1.0, 2.0, 4.0, 90.0},
                                                                {at(3, 3, 1), 1.0, 2.0, kOut, 90.0}});
        for (int hour = 0; hour < 12; ++hour)
            hours.appendRow(QVariantList{at(3, 10, hour), 1.0, 1.0, 6.0, 70.0});
        const ZeltoTableMap archives{
            {"day_data", marchDays(columns, 1, 9, [](int) { return QVariantList{24.0, 24.0, 6.0, 70.0, 10.0, 0.0, 20.0}; })},
            {"hour_data", hours},
            {"current_data", table({kDate, "S1_M1", "S1_G1", "S1_P1", "S1_t1"}, {{at(3, 11, 1), 1000.0, 5.0, 6.0, 70.0}})}};
        const ZeltoTableMap report = ArchiveReports::reportData(serverContext(), saved("QRV5", archives), march(3), march(5)).value();
        const double derivedAt10 = 1000.0 - 12, v1 = 24 * kV70at6, dV = v1 - 10 * kV20at0;
        SAME(report.value("first_totals"), {{"S1_M1", derivedAt10 - 7 * 24}, {"calcV", true}});
        SAME(report.value("last_totals"), {{"S1_M1", derivedAt10 - 4 * 24}, {"calcV", true}});
        const ZeltoTable days = report.value("day_data");
        QCOMPARE(days.rowCount(), 3);
        for (int row = 0; row < days.rowCount(); ++row)
            SAME(days, {{"S1_V1", v1}, {"S1_V2", 10 * kV20at0}, {"S1_dV12", dV}}, row);
        SAME(report.value("range_totals"), {{"S1_M1", 72.0}, {"S1_V1", 3 * v1}, {"S1_dV12", 3 * dV}});
        SAME(report.value("range_middles"), {{"S1_V1", v1}});
        // An hour with a marker for the pressure has no volume.
        SAME(report.value("hour_data"), {{"S1_V1", 2 * kV90at4}});
        QVERIFY(!Zelto::isNumber(report.value("hour_data").value(1, "S1_V1")));
        SAME(report.value("current_data"), {{"S1_V1", 5 * kV70at6}});

        const ZeltoTableMap other = ArchiveReports::reportData(serverContext(), saved("LWD41", archives), march(3), march(5)).value();
        SAME(other.value("range_totals"), {{"S1_M1", 72.0}, {"S1_V1", kAbsent}});
        QVERIFY(!other.value("day_data").containsColumn("S1_V1"));
    }

    void rnh7RangeEndsAtCurrentData()
    {
        // The newest reading (8 March, 03:00) has run 30 h, more than since midnight: the end.
        for (const QString &model : QStringList{"RNH7", "LWD41"}) {
            const ZeltoTable readings = table({kDate, "S1_BHP"}, {{at(3, 7, 3), 10.0}, {at(3, 8, 3), 30.0}});
            const int node = saved(model, {{"day_data", marchDays({"S1_Q"}, 1, 10, [](int) { return QVariantList{1.0}; })},
                                           {"current_data", readings}});
            QDate from = march(1), to = march(10);
            ZeltoTable days;
            ArchiveReports::rangeTotals(serverContext(), node, from, to, &days, nullptr, false);
            const QDate end = model == QLatin1String("RNH7") ? march(8) : march(10);
            QCOMPARE(QList<QDate>({to, days.value(days.rowCount() - 1, kDate).toDateTime().date()}), QList<QDate>({end, end}));
        }
    }

    void groupTotalsOnePerNode()
    {
        const auto numbered = [](int day) { return QVariantList{1.0, double(day), 1 << (day % 3)}; };
        const auto unused = [](int) { return QVariantList{2.0, kUnused, kUnused}; };
        const int delivers = saved("LWD41", {{"day_data", marchDays({"S1_Q", "S1_V1", "S1_NS"}, 1, 31, numbered)}});
        const int notDelivering = saved("LWD41", {{"day_data", marchDays({"S1_Q", "S1_V1", "Qdim"}, 2, 3, unused)}});
        const int outOfRange =
            saved("LWD41", {{"day_data", marchDays({"S1_Q"}, 20, 25, [](int) { return QVariantList{1.0}; })}});
        const ZeltoTable totals = ArchiveReports::groupTotals(serverContext(), {notDelivering, 9999, delivers, outOfRange, delivers},
                                                              march(1), march(10)).value();
        QCOMPARE(totals.columnNames().mid(0, 6), QStringList({"node_id", "model_code", "model_name", "number",
                                                              "first_date", "last_date"}));
        QCOMPARE(totals.rowCount(), 2);
        SAME(totals, {{"node_id", notDelivering}, {"first_date", at(3, 2)}, {"last_date", at(3, 3)},
             {"S1_Q", 4.0}, {"S1_V1", QVariant()}, {"Qdim", kAbsent}, {kDate, kAbsent}});
        SAME(totals, {{"node_id", delivers}, {"model_code", "LWD41"}, {"last_date", at(3, 10)},
             {"S1_Q", 10.0}, {"S1_V1", 55.0}, {"S1_NS", 7}}, 1);
        QCOMPARE(ArchiveReports::groupTotals(serverContext(), {}, march(1), march(10)).value().rowCount(), 0);
        // Totals are of what was read: no estimated days, even for a whole month.
        QVERIFY(testDatabase().putSetting("calcTailDays", true).ok());
        SAME(ArchiveReports::groupTotals(serverContext(), {outOfRange}, march(1), march(31)).value(), {{"last_date", at(3, 25)}, {"S1_Q", 6.0}});
    }

    void groupTotalsFromStoredBytes_data()
    {
        QTest::addColumn<Direct>("direct");
        const QStringList columns = {"S1_Q", "S1_M1", "S1_t1", "S1_NS", "Qdim", "scheme"};
        const auto usual = [](int day) { return QVariantList{day + 0.25, 10.0 * day, 60.0 + day, 1 << (day % 3), 2, "a"}; };
        const ZeltoTable allMarch = marchDays(columns, 1, 31, usual);
        const ZeltoTable februaryToMarch = daysFrom(QDate(2024, 2, 1), 60, columns, [](int day) {
            return QVariantList{day + 0.5, 3.0 * day, 50.0, day % 5 == 0 ? 16 : 1, 2, "b"};
        });
        const auto records = [](const QList<QVariantList> &rows) { return table({kDate, "S1_Q", "S1_M1"}, rows); };
        const auto row = [](const char *name, const Direct &direct) { QTest::newRow(name) << direct; };
        row("monthly records at both ends", {"QRV3", {{"day_data", februaryToMarch},
                                                      {"month_data", records({{at(2, 1), 100.0, 1000.0},
                                                                              {at(3, 1), 700.0, QVariant()}})}},
                                             march(1), march(31), 1, true});
        row("day totals at both ends", {"LWD41", {{"day_data", allMarch},
                                                  {"day_totals", records({{at(2, 29), 5.0, 1.0}, {at(3, 5), 9.0, 11.0},
                                                                          {at(3, 10), 50.0, 21.0}})}},
                                        march(1), march(10), 1, true});
        // The readings found by column of the records, not of the daily rows.
        row("records with their columns in another order",
            {"LWD41", {{"day_data", allMarch},
                       {"day_totals", table({"S1_t1", "S1_M1", kDate, "S1_Q"}, {{61.0, 1.0, at(2, 29), 5.0},
                                                                               {70.0, 21.0, at(3, 10), 50.0}})}},
             march(1), march(10), 1, true});
        row("a record without counters at the end: carried", {"LWD41", {{"day_data", allMarch},
                                                                         {"day_totals", records({{at(2, 29), 5.0, 1.0},
                                                                                                 {at(3, 10), kOut, QVariant()}})}},
                                                               march(1), march(10), 1, true});
        row("month totals carried", {"LWD41", {{"day_data", allMarch}, {"month_totals", records({{at(2, 1), 80.0, 2.0}})}},
                                     march(3), march(6), 1, true});
        row("the month so far, monthly records carried", {"QRV3", {{"day_data", allMarch},
                                                                    {"month_data", records({{at(2, 1), 100.0, 1000.0}})}},
                                                           march(10), QDate(2024, 4, 30), 1, true});
        row("a start that cannot be carried: from zero", {"LWD41", {{"day_data", marchDays(columns, 1, 31, usual, 5)},
                                                                    {"day_totals", records({{at(3, 10), 50.0, 21.0}})}},
                                                          march(3), march(10), 1, true});
        row("past the newest day, daily records", {"LWD41", {{"day_data", allMarch},
                                                             {"day_totals", records({{at(3, 31), 500.0, 9.0}})}},
                                                   march(25), QDate(2024, 4, 15), 1, true});
        row("gaps: a day and cells missing", {"LWD41", {{"day_data", marchDays(columns, 1, 31, [](int day) {
                                                            return QVariantList{day % 2 ? QVariant(2.5) : QVariant(), 1.0,
                                                                                QVariant(), QVariant(), 1};
                                                        }, 7)}},
                                              march(2), march(12), 1, true});
        row("markers, NaN and flag words with a fraction",
            {"LWD41", {{"day_data", marchDays(columns, 1, 31, [](int day) {
                 return QVariantList{day == 4 ? kUnused : QVariant(day * 1.5), day == 5 ? kNaN : QVariant(2.0),
                                     day == 6 ? kOut : QVariant(70.0 - day), day % 2 ? QVariant(4.5) : QVariant(2.0 + day),
                                     day == 10 ? kOut : QVariant(3), day};
             })}},
             march(1), march(10), 1, true});
        row("whole numbers, and parameters the newest row lacks",
            {"LWD41", {{"day_data", marchDays(columns, 1, 31, [](int day) {
                 return QVariantList{day, day < 10 ? QVariant(day) : QVariant(), QVariant(), qlonglong(1) << (40 + day % 3)};
             })}},
             march(1), march(12), 1, true});
        row("no daily archive", {"LWD41", {{"month_data", records({{at(2, 1), 100.0, 1000.0}})}}, march(1), march(31), 0,
                                 true});
        row("RNH7", {"RNH7", {{"day_data", allMarch}, {"current_data", table({kDate, "S1_BHP"}, {{at(3, 8, 3), 30.0}})},
                              {"day_totals", records({{at(2, 29), 5.0, 1.0}, {at(3, 10), 50.0, 21.0}})}},
                     march(1), march(10), 1, false});
        ZeltoTable hours({kDate, "S1_Q", "S1_M1"});
        for (int hour = 0; hour < 24; ++hour)
            hours.appendRow(QVariantList{at(3, 31, hour), 1.0, 1.0});
        row("derived from the current reading",
            {"QRV3", {{"day_data", allMarch}, {"hour_data", hours},
                      {"current_data", table({kDate, "S1_Q", "S1_M1"}, {{at(3, 31, 23), 900.0, 90.0}})}},
             march(3), march(6), 1, true});
        // More than a block of 1024 doubles a column, rising values coded as differences: the blocks before the
        // range stepped over, a month in a later group of its block, the groups before it carried, those after it
        // stepped over.
        row("a long archive, differences carried", {"LWD41", {{"day_data", daysFrom(QDate(2021, 1, 1), 1300, columns,
                                                                                     [](int day) {
            return QVariantList{day * 0.125, 2.0 + day * 0.5, 40.0 + day * 0.01, 1, 2, "c"};
        })}},
                                                    march(1), march(31), 1, true});
    }

    // Group totals computed from the stored bytes are those of the report's general way, cell for cell and type for
    // type; also right after a node whose archives have other columns in another order (what one node leaves
    // behind for the next must not answer for it).
    void groupTotalsFromStoredBytes()
    {
        QFETCH(Direct, direct);
        const int before = saved("LWD41", {{"day_data", daysFrom(QDate(2024, 2, 1), 90, {"S2_Q", "scheme", "S1_Q", "S1_M1"},
                                                                 [](int day) {
            return QVariantList{day * 2.0, "z", 1.0 + day % 4, day};
        })},
                                           {"day_totals", table({"S1_M1", kDate, "S2_Q"}, {{4.0, at(2, 29), 8.0},
                                                                                          {9.0, at(3, 31), 30.0}})}});
        const int node = saved(direct.model, direct.archives);
        const ZeltoTable nodes = Nodes::list(serverContext()).value();
        int fromBytes = -1;
        // On a SQLite file through a read-only connection of its own, as the workers of a large job read.
        SqliteDataReader workers;
        if (!testDatabase().isPostgreSQL())
            QVERIFY2(workers.open(testDatabase().filePath()), qPrintable(workers.errorText()));
        StoredDataReader &source = testDatabase().isPostgreSQL() ? static_cast<StoredDataReader &>(testDatabase()) : workers;
        // With the shorter node list the command reads: it must say the same of the archives held.
        const ZeltoTable quick = ArchiveReports::groupTotalsOf(source, Nodes::archiveHolders(serverContext()).value(),
                                                               {before, node}, direct.from, direct.to, &fromBytes);
        ArchiveStore::setSplicing(false);
        int general = -1;
        const ZeltoTable wanted
            = ArchiveReports::groupTotalsOf(testDatabase(), nodes, {before, node}, direct.from, direct.to, &general);
        ArchiveStore::setSplicing(true);
        QCOMPARE(QList<int>({wanted.rowCount(), fromBytes, general}),
                 QList<int>({1 + direct.rows, 1 + direct.fromBytes, 0}));
        QString why;
        QVERIFY2(same(QVariant::fromValue(quick), QVariant::fromValue(wanted), &why), qPrintable(why));
    }

    // A reader kept open for the next large job reads the file at its path only while that is still the file it
    // opened: a restore or a compaction renames another one into its place.
    void keptReaderKnowsItsFile()
    {
        if (testDatabase().isPostgreSQL())
            QSKIP("no file");
        QTemporaryDir dir;
        const QString path = dir.filePath("kept.db"), other = dir.filePath("other.db");
        QVERIFY(QFile::copy(testDatabase().filePath(), path) && QFile::copy(path, other));
        SqliteDataReader reader;
        QVERIFY2(reader.open(path), qPrintable(reader.errorText()));
        QCOMPARE(QList<bool>({reader.readsFile(path), reader.readsFile(other)}), QList<bool>({true, false}));
        QVERIFY(::rename(QFile::encodeName(other).constData(), QFile::encodeName(path).constData()) == 0);
        QVERIFY(!reader.readsFile(path));
    }

private:
    int saved(const QString &model, ZeltoTableMap archives)
    {
        const ZeltoResult<int> node
            = Nodes::save(serverContext(), {{"model_code", model}, {"model_name", model}, {"number", ++m_number}});
        archives.insert("info", table({"id"}, {{node.value()}}));
        const ZeltoStatus done = node.ok() ? ArchiveStore::save(serverContext(), archives, false) : node.status();
        if (!done.ok())
            qFatal("node not saved: %s", qPrintable(done.message()));
        return node.value();
    }

    std::unique_ptr<TempDatabaseHome> m_home;
    int m_number = 0;
};

QTEST_GUILESS_MAIN(TestReportData)
#include "tst_reportdata.moc"
