#include "archivereports.h"
#include "archivestore.h"
#include "database.h"
#include "lasterror.h"
#include "metadatacatalogue.h"
#include "nodes.h"
#include "tempdatabasehome.h"
#include "zeltosystem.h"

#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString kDate = "date";
const QVariant kOut = QVariant::fromValue(ZeltoOutOfRange());
const QVariant kUnused = QVariant::fromValue(ZeltoUnused());
const QVariant kNaN = qQNaN();

// Specific volumes of water worked out by hand (in double precision).
const double kV70at6 = 1.0223976862766424;
const double kV20at0 = 1.0011288113973966;
const double kV90at4 = 1.035575208384199;

QDateTime at(int month, int day, int hour = 0)
{
    return QDateTime(QDate(2024, month, day), QTime(hour, 0), Qt::LocalTime);
}

QDate march(int day) { return QDate(2024, 3, day); }

ZeltoTable table(const QStringList &columns, const QList<QVariantList> &rows)
{
    ZeltoTable result(columns);
    for (const QVariantList &row : rows)
        result.appendRow(row);
    return result;
}

// Daily rows of March 2024 for days first..last except missing, each made by make(day).
ZeltoTable marchDays(const QStringList &columns, int first, int last, const std::function<QVariantList(int)> &make,
                     int missing = 0)
{
    ZeltoTable result(QStringList{kDate} + columns);
    for (int day = first; day <= last; ++day) {
        if (day != missing)
            result.appendRow(QVariantList{at(3, day)} + make(day));
    }
    return result;
}

bool isUnused(const QVariant &value) { return value.userType() == qMetaTypeId<ZeltoUnused>(); }

bool near(const QVariant &value, double expected)
{
    return Zelto::isNumber(value) && qAbs(value.toDouble() - expected) < 1e-9;
}

QVariant cell(const ZeltoTableMap &report, const QString &name, const QString &column, int row = 0)
{
    return report.value(name).value(row, column);
}

} // namespace

class TestReportData : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The catalogue is read once per process: the repository's own files.
        const QString source = QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath();
        qputenv("ORVEX_HOME", source.toUtf8());
        QVERIFY(MetadataCatalogue::instance().isCumulative("S1_Q"));
        QVERIFY(MetadataCatalogue::instance().isAveraged("S1_t1"));
    }

    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QVERIFY(m_home->open());
    }

    void cleanup() { m_home.reset(); }

    // No readings archives; 1..4 March with a day on each side that must not count.
    void summaryOfASmallArchive()
    {
        const int node = makeNode("LWD41");
        const QStringList columns = {kDate, "S1_t1", "S1_Q", "S1_NS", "S1_M1", "S1_V1", "Qdim", "note"};
        save(node, {{"day_data", table(columns, {{at(2, 29), 10.0, 50.0, 16, 50.0, QVariant(), 1, QVariant()},
                                                 {at(3, 1), 70.0, 1.5, 1, 10.0, QVariant(), QVariant(), "x"},
                                                 {at(3, 2), kOut, 2.5, 5, kNaN, QVariant(), QVariant(), QVariant()},
                                                 {at(3, 3), 62.0, kUnused, 0, 12.0, QVariant(), QVariant(), QVariant()},
                                                 {at(3, 4), 68.0, 3.0, 3.0, 14.0, kUnused, 1, QVariant()},
                                                 {at(3, 5), 99.0, 100.0, 8, 100.0, kUnused, 1, QVariant()}})},
                    {"hour_data", table({kDate, "S1_t1", "S1_Q"}, {{at(2, 29, 23), 0.0, 9.0},
                                                                    {at(3, 1, 0), 50.0, 0.1},
                                                                    {at(3, 1, 1), 52.0, 0.3},
                                                                    {at(3, 4, 23), 54.0, kNaN},
                                                                    {at(3, 5, 0), 99.0, 9.0}})}});

        const ZeltoTableMap report = ArchiveReports::reportData(node, march(1), march(4));
        QCOMPARE(report.keys(), QStringList({"day_data", "first_totals", "group", "hour_data", "hour_middles", "info",
                                             "range_middles", "range_totals"}));
        QCOMPARE(cell(report, "info", "id").toInt(), node);
        QCOMPARE(cell(report, "group", "id").toInt(), 0);
        QCOMPARE(report.value("day_data").rowCount(), 4);
        QCOMPARE(report.value("hour_data").rowCount(), 3);

        // Markers and NaN count for nothing; a value of Unused stays the marker.
        QCOMPARE(cell(report, "range_totals", kDate).toString(), QString("Итого"));
        QVERIFY(near(cell(report, "range_totals", "S1_t1"), 200.0 / 3));
        QVERIFY(near(cell(report, "range_totals", "S1_Q"), 7.0));
        QCOMPARE(cell(report, "range_totals", "S1_NS").toLongLong(), 7LL);
        QVERIFY(near(cell(report, "range_totals", "S1_M1"), 36.0));
        QVERIFY(isUnused(cell(report, "range_totals", "S1_V1")));
        QCOMPARE(cell(report, "range_totals", "Qdim").toInt(), 1);
        QVERIFY(!report.value("range_totals").containsColumn("note"));

        QCOMPARE(cell(report, "range_middles", kDate).toString(), QString("Среднее"));
        QVERIFY(near(cell(report, "range_middles", "S1_t1"), 200.0 / 3));
        QVERIFY(near(cell(report, "range_middles", "S1_Q"), 7.0 / 3));
        QVERIFY(near(cell(report, "range_middles", "S1_M1"), 12.0));
        QVERIFY(isUnused(cell(report, "range_middles", "S1_NS")));

        QVERIFY(near(cell(report, "hour_middles", "S1_t1"), 52.0));
        QVERIFY(near(cell(report, "hour_middles", "S1_Q"), 0.2));
        QVERIFY(isUnused(cell(report, "hour_middles", "S1_M1")));

        // Daily rows: what the device delivers but a row lacks is marked.
        QVERIFY(isUnused(cell(report, "day_data", "S1_V1", 0)));
        QVERIFY(isUnused(cell(report, "day_data", "Qdim", 2)));
        QCOMPARE(cell(report, "day_data", "S1_t1", 1), kOut);
        QVERIFY(qIsNaN(cell(report, "day_data", "S1_M1", 1).toDouble()));
        QCOMPARE(cell(report, "day_data", "note", 0).toString(), QString("x"));
        QVERIFY(cell(report, "day_data", "note", 1).isNull());

        // Open bounds take the archive's first and last day.
        QDate from, to;
        ZeltoTable days;
        ArchiveReports::rangeTotals(node, from, to, &days, nullptr, false);
        QCOMPARE(from, QDate(2024, 2, 29));
        QCOMPARE(to, march(5));
        QCOMPARE(days.rowCount(), 6);

        QVERIFY(ArchiveReports::reportData(node, march(6), march(31)).isEmpty());
        QVERIFY(ArchiveReports::reportData(node, march(4), march(1)).isEmpty());
        QVERIFY(ArchiveReports::reportData(node + 100, march(1), march(4)).isEmpty());
        QVERIFY(ArchiveReports::reportData(makeNode("LWD41"), QDate(), QDate()).isEmpty());
    }

    void readingsAtTheEndsOfTheRange_data()
    {
        // Daily S1_Q of day d is d over 1..10 March; the range 3..6 March reads the counter
        // at the end of 2 and 6 March. A record holds it at the end of its day or month.
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QVariantList>("records");   // pairs of day and S1_Q
        QTest::addColumn<int>("missingDay");
        QTest::addColumn<QVariant>("first");
        QTest::addColumn<QVariant>("last");
        QTest::addColumn<double>("rangeQ");
        QTest::newRow("records at both ends") << "day_totals" << QVariantList{march(2), 100.0, march(6), 130.0} << 0
                                              << QVariant(100.0) << QVariant(130.0) << 30.0;
        QTest::newRow("range starts before the first record, nearer one after the end")
            << "day_totals" << QVariantList{march(4), 107.0, march(7), 150.0} << 0 << QVariant(107.0 - 3 - 4)
            << QVariant(150.0 - 7) << 43.0;
        QTest::newRow("range ends after the last record") << "day_totals" << QVariantList{march(1), 90.0} << 0
                                                          << QVariant(90.0 + 2) << QVariant(90.0 + 2 + 3 + 4 + 5 + 6)
                                                          << 18.0;
        QTest::newRow("a day missing on the way to the end")
            << "day_totals" << QVariantList{march(1), 90.0} << 5 << QVariant(92.0) << QVariant() << double(3 + 4 + 6);
        QTest::newRow("marker in the record of the start")
            << "day_totals" << QVariantList{march(2), kOut, march(6), 130.0} << 0 << QVariant(130.0 - 3 - 4 - 5 - 6)
            << QVariant(130.0) << 18.0;
        QTest::newRow("month totals: February's record, carried")
            << "month_totals" << QVariantList{QDate(2024, 2, 1), 80.0, march(1), 500.0} << 0 << QVariant(80.0 + 1 + 2)
            << QVariant(80.0 + 1 + 2 + 3 + 4 + 5 + 6) << 18.0;
        QTest::newRow("counters kept in the monthly records")
            << "month_data" << QVariantList{QDate(2024, 2, 1), 80.0} << 0 << QVariant(83.0) << QVariant(101.0) << 18.0;
        // Without any start reading the meter is taken to have started from zero.
        QTest::newRow("no readings archive") << QString() << QVariantList{} << 0 << QVariant(0.0) << QVariant() << 18.0;
    }

    void readingsAtTheEndsOfTheRange()
    {
        QFETCH(QString, archive);
        QFETCH(QVariantList, records);
        QFETCH(int, missingDay);
        QFETCH(QVariant, first);
        QFETCH(QVariant, last);
        QFETCH(double, rangeQ);

        const int node = makeNode("LWD41");
        ZeltoTableMap archives{
            {"day_data", marchDays({"S1_Q"}, 1, 10, [](int day) { return QVariantList{double(day)}; }, missingDay)}};
        if (!archive.isEmpty()) {
            ZeltoTable totals({kDate, "S1_Q"});
            for (int i = 0; i < records.size(); i += 2)
                totals.appendRow(QVariantList{QDateTime(records.at(i).toDate(), QTime(0, 0), Qt::LocalTime),
                                              records.at(i + 1)});
            archives.insert(archive, totals);
        }
        save(node, archives);
        const ZeltoTableMap report = ArchiveReports::reportData(node, march(3), march(6));
        QCOMPARE(report.contains("first_totals"), first.isValid());
        QCOMPARE(report.contains("last_totals"), last.isValid());
        if (first.isValid()) {
            QVERIFY2(near(cell(report, "first_totals", "S1_Q"), first.toDouble()),
                     qPrintable(cell(report, "first_totals", "S1_Q").toString()));
            QCOMPARE(cell(report, "first_totals", kDate).toString(), QString("На 03.03.24"));
        }
        if (last.isValid()) {
            QVERIFY2(near(cell(report, "last_totals", "S1_Q"), last.toDouble()),
                     qPrintable(cell(report, "last_totals", "S1_Q").toString()));
            QCOMPARE(cell(report, "last_totals", kDate).toString(), QString("На 06.03.24"));
        }
        QVERIFY2(near(cell(report, "range_totals", "S1_Q"), rangeQ),
                 qPrintable(cell(report, "range_totals", "S1_Q").toString()));
    }

    void tailDays_data()
    {
        QTest::addColumn<bool>("setting");
        QTest::addColumn<int>("baseDays");
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<int>("lastArchiveDay");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("estimatedRows");
        QTest::addColumn<QVariant>("tailQ");
        QTest::addColumn<double>("rangeQ");
        // Daily S1_Q of March's day d is d: 1 + ... + 27 = 378.
        QTest::newRow("read up to the 27th, mean of three days") << true << 3 << march(1) << march(31) << 27 << 31 << 4
                                                                 << QVariant(26.0) << 378.0 + 4 * 26;
        QTest::newRow("mean of the last day only") << true << 1 << march(1) << march(31) << 27 << 31 << 4
                                                   << QVariant(27.0) << 378.0 + 4 * 27;
        QTest::newRow("setting off") << false << 3 << march(1) << march(31) << 27 << 27 << 0 << QVariant() << 378.0;
        QTest::newRow("not a whole month") << true << 3 << march(1) << march(30) << 27 << 27 << 0 << QVariant() << 378.0;
        QTest::newRow("complete month") << true << 3 << march(1) << march(31) << 31 << 31 << 0 << QVariant() << 496.0;
        QTest::newRow("a month after the last day read") << true << 3 << QDate(2024, 4, 1) << QDate(2024, 4, 30) << 27
                                                         << 30 << 30 << QVariant(26.0) << 30 * 26.0;
    }

    void tailDays()
    {
        QFETCH(bool, setting);
        QFETCH(int, baseDays);
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(int, lastArchiveDay);
        QFETCH(int, rows);
        QFETCH(int, estimatedRows);
        QFETCH(QVariant, tailQ);
        QFETCH(double, rangeQ);

        QVERIFY(Database::setSetting("calcTailDays", setting));
        QVERIFY(Database::setSetting("daysForCalcTailDays", baseDays));
        const int node = makeNode("LWD41");
        save(node, {{"day_data", marchDays({"S1_Q", "S1_t1", "S1_NS", "Qdim"}, 1, lastArchiveDay, [](int day) {
                         return QVariantList{double(day), 60.0 + day, 1, 1};
                     })}});

        const ZeltoTableMap report = ArchiveReports::reportData(node, from, to);
        const ZeltoTable days = report.value("day_data");
        QCOMPARE(days.rowCount(), rows);
        QVERIFY(near(cell(report, "range_totals", "S1_Q"), rangeQ));
        int estimated = 0;
        for (int row = 0; row < days.rowCount(); ++row) {
            QCOMPARE(days.value(row, kDate).toDateTime(), at(from.month(), row + 1));
            if (!days.value(row, "calc").toBool())
                continue;
            ++estimated;
            QVERIFY(near(days.value(row, "S1_Q"), tailQ.toDouble()));
            QVERIFY(near(days.value(row, "S1_t1"), 60.0 + tailQ.toDouble()));
            QCOMPARE(days.value(row, "S1_NS").toInt(), 0);   // no fault is made up
            QCOMPARE(days.value(row, "Qdim").toInt(), 1);
        }
        QCOMPARE(estimated, estimatedRows);
    }

    void volumesFromMassesWithDerivedReadings_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("volumes");
        QTest::newRow("mass-only model") << "QRV5" << true;
        QTest::newRow("other model") << "LWD41" << false;
    }

    // Readings derived from the current one of 11 March, 01:00 (S1_M1 1000), less the
    // hours of 10 March (12 x 1).
    void volumesFromMassesWithDerivedReadings()
    {
        QFETCH(QString, model);
        QFETCH(bool, volumes);

        const QStringList columns = {"S1_M1", "S1_G1", "S1_P1", "S1_t1", "S1_G2", "S1_P2", "S1_t2"};
        ZeltoTable hours(QStringList{kDate} + columns);
        hours.appendRow(QVariantList{at(3, 3, 0), 1.0, 2.0, 4.0, 90.0});
        hours.appendRow(QVariantList{at(3, 3, 1), 1.0, 2.0, kOut, 90.0});
        for (int hour = 0; hour < 12; ++hour)
            hours.appendRow(QVariantList{at(3, 10, hour), 1.0, 1.0, 6.0, 70.0});
        const int node = makeNode(model);
        save(node, {{"day_data", marchDays(columns, 1, 9,
                                           [](int) { return QVariantList{24.0, 24.0, 6.0, 70.0, 10.0, 0.0, 20.0}; })},
                    {"hour_data", hours},
                    {"current_data",
                     table({kDate, "S1_M1", "S1_G1", "S1_P1", "S1_t1"}, {{at(3, 11, 1), 1000.0, 5.0, 6.0, 70.0}})}});

        const ZeltoTableMap report = ArchiveReports::reportData(node, march(3), march(5));
        const double derivedAt10 = 1000.0 - 12;
        QVERIFY(near(cell(report, "first_totals", "S1_M1"), derivedAt10 - 7 * 24));
        QVERIFY(near(cell(report, "last_totals", "S1_M1"), derivedAt10 - 4 * 24));
        QCOMPARE(cell(report, "first_totals", "calcV").toBool(), true);
        QCOMPARE(cell(report, "last_totals", "calcV").toBool(), true);
        QVERIFY(near(cell(report, "range_totals", "S1_M1"), 72.0));

        const ZeltoTable days = report.value("day_data");
        QCOMPARE(days.rowCount(), 3);
        if (!volumes) {
            QVERIFY(!days.containsColumn("S1_V1"));
            QVERIFY(!report.value("range_totals").containsColumn("S1_V1"));
            return;
        }
        for (int row = 0; row < days.rowCount(); ++row) {
            QVERIFY(near(days.value(row, "S1_V1"), 24 * kV70at6));
            QVERIFY(near(days.value(row, "S1_V2"), 10 * kV20at0));
            QVERIFY(near(days.value(row, "S1_dV12"), 24 * kV70at6 - 10 * kV20at0));
        }
        QVERIFY(near(cell(report, "range_totals", "S1_V1"), 3 * 24 * kV70at6));
        QVERIFY(near(cell(report, "range_middles", "S1_V1"), 24 * kV70at6));
        QVERIFY(near(cell(report, "range_totals", "S1_dV12"), 3 * (24 * kV70at6 - 10 * kV20at0)));
        // An hour with a marker for the pressure has no volume.
        QVERIFY(near(cell(report, "hour_data", "S1_V1", 0), 2 * kV90at4));
        QVERIFY(!Zelto::isNumber(cell(report, "hour_data", "S1_V1", 1)));
        QVERIFY(near(cell(report, "current_data", "S1_V1"), 5 * kV70at6));
    }

    void rnh7RangeEndsAtCurrentData()
    {
        // The newest reading (8 March, 03:00) has run 30 h, more than since midnight: the end.
        for (const QString &model : {"RNH7", "LWD41"}) {
            const int node = makeNode(model);
            save(node, {{"day_data", marchDays({"S1_Q"}, 1, 10, [](int) { return QVariantList{1.0}; })},
                        {"current_data", table({kDate, "S1_BHP"}, {{at(3, 7, 3), 10.0}, {at(3, 8, 3), 30.0}})}});
            QDate from = march(1), to = march(10);
            ZeltoTable days;
            ArchiveReports::rangeTotals(node, from, to, &days, nullptr, false);
            const QDate end = model == QLatin1String("RNH7") ? march(8) : march(10);
            QCOMPARE(to, end);
            QCOMPARE(days.value(days.rowCount() - 1, kDate).toDateTime().date(), end);
        }
    }

    void groupTotalsOnePerNode()
    {
        const int delivers = makeNode("LWD41");
        const int notDelivering = makeNode("LWD41");
        const int outOfRange = makeNode("LWD41");
        save(delivers, {{"day_data", marchDays({"S1_Q", "S1_V1", "S1_NS"}, 1, 31, [](int day) {
                             return QVariantList{1.0, double(day), 1 << (day % 3)};
                         })}});
        save(notDelivering, {{"day_data", marchDays({"S1_Q", "S1_V1", "Qdim"}, 2, 3, [](int) {
                                  return QVariantList{2.0, kUnused, kUnused};
                              })}});
        save(outOfRange, {{"day_data", marchDays({"S1_Q"}, 20, 25, [](int) { return QVariantList{1.0}; })}});

        const ZeltoTable totals = ArchiveReports::groupTotals({notDelivering, 9999, delivers, outOfRange, delivers},
                                                              march(1), march(10));
        QCOMPARE(totals.columnNames().mid(0, 6), QStringList({"node_id", "model_code", "model_name", "number",
                                                              "first_date", "last_date"}));
        QVERIFY(!totals.containsColumn(kDate));
        QCOMPARE(totals.rowCount(), 2);
        QCOMPARE(totals.value(0, "node_id").toInt(), notDelivering);
        QCOMPARE(totals.value(0, "first_date").toDateTime(), at(3, 2));
        QCOMPARE(totals.value(0, "last_date").toDateTime(), at(3, 3));
        QVERIFY(near(totals.value(0, "S1_Q"), 4.0));
        QVERIFY(totals.value(0, "S1_V1").isNull());
        QVERIFY(!totals.containsColumn("Qdim"));
        QCOMPARE(totals.value(1, "node_id").toInt(), delivers);
        QCOMPARE(totals.value(1, "model_code").toString(), QString("LWD41"));
        QCOMPARE(totals.value(1, "last_date").toDateTime(), at(3, 10));
        QVERIFY(near(totals.value(1, "S1_Q"), 10.0));
        QVERIFY(near(totals.value(1, "S1_V1"), 55.0));
        QCOMPARE(totals.value(1, "S1_NS").toLongLong(), 7LL);
        QCOMPARE(ArchiveReports::groupTotals({}, march(1), march(10)).rowCount(), 0);

        // Totals are of what was read: no estimated days, even for a whole month.
        QVERIFY(Database::setSetting("calcTailDays", true));
        const ZeltoTable month = ArchiveReports::groupTotals({outOfRange}, march(1), march(31));
        QCOMPARE(month.value(0, "last_date").toDateTime(), at(3, 25));
        QVERIFY(near(month.value(0, "S1_Q"), 6.0));
    }

private:
    int makeNode(const QString &model)
    {
        const int id = Nodes::save({{"model_code", model},
                                    {"model_name", model},
                                    {"number", ++m_number}});
        if (id < 0)
            qFatal("node not saved: %s", qPrintable(lastError()));
        return id;
    }

    void save(int nodeId, const ZeltoTableMap &archives)
    {
        ZeltoTableMap tables = archives;
        tables.insert("info", table({"id"}, {{nodeId}}));
        if (!ArchiveStore::saveArchives(tables, false))
            qFatal("archives not saved: %s", qPrintable(lastError()));
    }

    std::unique_ptr<TempDatabaseHome> m_home;
    int m_number = 0;
};

QTEST_GUILESS_MAIN(TestReportData)
#include "tst_reportdata.moc"
