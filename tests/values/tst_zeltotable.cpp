#include "zeltotable.h"

#include <QtTest>

class ZeltoTableTest : public QObject
{
    Q_OBJECT

private:
    static ZeltoTable archive(const QDateTime &start, int hours, const QString &column, double base)
    {
        ZeltoTable t(QStringList{QStringLiteral("date"), column});
        for (int h = 0; h < hours; ++h)
            t.appendRow(QVariantList{start.addSecs(3600 * h), base + h});
        return t;
    }

private slots:
    // Columns, cells and copies of a table; its records.
    void columnsCellsAndRecords()
    {
        ZeltoTable t;
        QCOMPARE(t.appendColumn("a"), 0);
        t.appendColumns({"b", "a", "c"});
        QCOMPARE(t.columnNames(), QStringList({"a", "b", "c"}));
        QCOMPARE(t.appendRow(), 0);
        QVERIFY(!t.value(0, "b").isValid());       // short rows read as null
        QVERIFY(t.setValue(0, "d", 5));             // adds the missing column
        QCOMPARE(t.columnIndex("d"), 3);
        QCOMPARE(t.value(0, 3), QVariant(5));
        QVERIFY(!t.setValue(1, "a", 1));            // no such row
        QVERIFY(t.removeColumn("b") && !t.removeColumn("zz"));
        QCOMPARE(t.columnNames(), QStringList({"a", "c", "d"}));
        QCOMPARE(t.toMap(0), (QVariantMap{{"a", QVariant()}, {"c", QVariant()}, {"d", 5}}));
        QCOMPARE(t.rowValues(t.appendRow()), QVariantList({QVariant(), QVariant(), QVariant()}));   // padded

        // Copies are values: changing one leaves the other alone.
        ZeltoTable copy = t;
        copy.setValue(0, "a", "x");
        QVERIFY(!t.value(0, "a").isValid() && copy.value(0, "a") == QVariant("x") && copy != t);

        t.clear();
        QVERIFY(t.rowCount() == 0 && t.columnCount() == 0);
        // (Repeated column names refused by setContent: tst_zeltorpc refusesJson.)

        // Records survive appends.
        ZeltoTable ids(QStringList{"id"});
        ids.appendRow(QVariantList{1});
        ZeltoRecord rec = ids.record(0);
        for (int i = 2; i < 2000; ++i)
            ids.appendRow(QVariantList{i});
        QVERIFY(rec.isValid() && rec.value("id") == QVariant(1));
        QVERIFY(rec.setValue("name", "first") && ids.value(0, "name") == QVariant("first"));
    }

    // Rows found by value across types, filtered by date, sorted.
    void findFilterSortAggregate()
    {
        ZeltoTable t(QStringList{"key"});
        for (int i = 0; i < 100; ++i)
            t.appendRow(QVariantList{i});
        t.appendRow(QVariantList{QStringLiteral("5")});
        t.appendRow(QVariantList{qlonglong(40)});
        // Numbers by value, from a start row; text is not a number.
        QCOMPARE((QList<int>{t.findRow("key", 40), t.findRow("key", 40.0), t.findRow("key", qlonglong(40), 41),
                             t.findRow("key", QStringLiteral("5")), t.findRow("key", 1000), t.findRow("nope", 1)}),
                 (QList<int>{40, 40, 101, 100, -1, -1}));
        // The lookup index must follow changes.
        t.setValue(3, "key", 1000);
        QVERIFY(t.findRow("key", 1000) == 3 && t.findRow("key", 3) == -1);
        t.removeRow(0);
        QCOMPARE(t.findRow("key", 1000), 2);

        const QDateTime local(QDate(2024, 3, 1), QTime(10, 0));
        ZeltoTable dates(QStringList{"date"});
        for (int i = 0; i < 50; ++i)
            dates.appendRow(QVariantList{local.addSecs(3600 * i)});
        QCOMPARE(dates.findRow("date", local.toUTC().addSecs(7200)), 2); // same instant

        const QDateTime start(QDate(2024, 1, 1), QTime(0, 0));
        ZeltoTable hours = archive(start, 48, "S1_Q", 1);
        // Both bounds inclusive, either may be open; a date bound is the start of its day.
        const ZeltoTable day = hours.filter("date", start, start.addSecs(23 * 3600));
        QCOMPARE((QList<int>{day.rowCount(), hours.filter("date", QVariant(), start).rowCount(),
                             hours.filter("date", QDate(2024, 1, 2), QVariant()).rowCount(),
                             hours.filter("date", start.addDays(5), QVariant()).rowCount()}),
                 (QList<int>{24, 1, 24, 0}));

        ZeltoTable mixed;
        QVERIFY(mixed.setContent({"v", "tag"}, {{3, "a"}, {QVariant(), "b"}, {1.5, "c"}, {3, "d"},
                                                {QVariant::fromValue(ZeltoUnused()), "e"}}));
        mixed.sort("v");
        QCOMPARE(mixed.columnValues("tag"), QVariantList({"b", "c", "a", "d", "e"})); // stable, nulls first
    }

    void mergeAndUpdate()
    {
        const QDateTime start(QDate(2024, 1, 1), QTime(0, 0));
        ZeltoTable stored = archive(start, 5, "S1_t1", 10);
        stored.appendColumn("CHECK_ERR");
        stored.setValue(1, "CHECK_ERR", true);
        ZeltoTable incoming = archive(start.addSecs(3 * 3600), 4, "S1_t1", 100); // hours 3..6
        incoming.appendColumn("S1_M1");
        incoming.setValue(0, "S1_M1", 7.5);

        ZeltoTable merged = stored;
        merged.merge(incoming, "date");
        QCOMPARE(merged.rowCount(), 7);
        QCOMPARE(merged.columnNames(), QStringList({"date", "S1_t1", "CHECK_ERR", "S1_M1"}));
        // The incoming row wins; a column only the stored rows have is kept.
        QCOMPARE(merged.toMap(3), (QVariantMap{{"date", start.addSecs(3 * 3600)}, {"S1_t1", 100.0}, {"CHECK_ERR", QVariant()},
                                               {"S1_M1", 7.5}}));
        QCOMPARE(merged.value(1, "CHECK_ERR"), QVariant(true));
        QCOMPARE(merged.value(6, "date"), QVariant(start.addSecs(6 * 3600)));
        QCOMPARE(stored.rowCount(), 5);                          // the original is untouched

        // Duplicate keys inside the incoming table: the later row wins, the key occurs once.
        ZeltoTable twice;
        QVERIFY(twice.setContent({"date", "S1_t1"}, {{start, 1.0}, {start, 2.0}}));
        ZeltoTable once = stored;
        once.merge(twice, "date");
        QVERIFY(once.rowCount() == 5 && once.value(0, "S1_t1") == QVariant(2.0));

        // Update fills matching rows only.
        ZeltoTable tasks, state;
        QVERIFY(tasks.setContent({"id", "name"}, {{1, "task 1"}, {2, "task 2"}, {3, "task 3"}, {4, "task 4"}}));
        QVERIFY(state.setContent({"id", "state"}, {{3, "running"}, {9, "ghost"}}));
        tasks.update(state, "id");
        QCOMPARE(tasks.columnValues("state"), QVariantList({QVariant(), QVariant(), "running", QVariant()}));

        // Merging a table into itself changes nothing.
        ZeltoTable self = stored;
        self.merge(self, "date");
        QCOMPARE(self, stored);
    }

    void travelsInVariants()
    {
        ZeltoTable t(QStringList{"a"});
        t.appendRow(QVariantList{QVariant::fromValue(ZeltoOutOfRange())});
        const QVariant v = QVariant::fromValue(t);
        QVERIFY(v == QVariant::fromValue(t));                // registered comparators
        QVERIFY(QVariant::fromValue(ZeltoUnused()) == QVariant::fromValue(ZeltoUnused()));
        QCOMPARE(QVariant::fromValue(ZeltoOutOfRange()).toString(), QString("OutOfRange"));

        ZeltoTableMap tables{{"info", t}};
        const QVariant asMap = QVariant::fromValue(QVariantMap{{"info", v}, {"junk", 5}});
        QCOMPARE(asMap.value<ZeltoTableMap>(), tables);     // non-tables are left out
    }
};

QTEST_GUILESS_MAIN(ZeltoTableTest)
#include "tst_zeltotable.moc"
