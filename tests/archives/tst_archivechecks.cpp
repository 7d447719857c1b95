#include "archivechecks.h"
#include "database.h"
#include "outcome.h"
#include "tempdatabasehome.h"

#include <QtTest>

#include <ctime>

namespace {

QDateTime at(int year, int month, int day, int hour = 0) { return QDateTime(QDate(year, month, day), QTime(hour, 0)); }

ZeltoTable archive(const QVariantList &dates)
{
    ZeltoTable table(QStringList{"date", "S1_t1"});
    for (const QVariant &date : dates)
        table.appendRow(QVariantList{date, 50.0});
    return table;
}

ZeltoTable currentRow(const QDateTime &deviceTime, const QVariant &serverTime)
{
    ZeltoTable table(QStringList{"date", "sys_date"});
    table.appendRow(QVariantList{deviceTime, serverTime});
    return table;
}

// "yyyy-MM-dd" or "yyyy-MM-dd hh:mm", local time.
QVariantList dates(const QStringList &texts)
{
    QVariantList result;
    for (const QString &text : texts)
        result.append(QDateTime::fromString(text, text.size() > 10 ? "yyyy-MM-dd hh:mm" : "yyyy-MM-dd"));
    return result;
}

} // namespace

class TestArchiveChecks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with daylight-saving changes, for the scans across them.
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QCOMPARE(outcome(m_home.open()), "ok");
    }

    void clockChecks_data()
    {
        QTest::addColumn<QVariantList>("settings");   // checkDateReset, checkTimeDeviation, maxTimeDeviation; null: none
        QTest::addColumn<ZeltoTable>("stored");
        QTest::addColumn<ZeltoTable>("incoming");
        QTest::addColumn<QString>("error");   // empty: accepted
        const auto row = [](const char *name, const QVariantList &settings, const ZeltoTable &stored,
                            const ZeltoTable &incoming, const QString &error) {
            QTest::newRow(name) << settings << stored << incoming << error;
        };
        const QDateTime last = at(2024, 3, 10, 12), server = at(2024, 5, 1, 10);
        const ZeltoTable stored = archive({last.addSecs(-3600), last}), none;
        const QVariantList reset{true, false, 30}, deviation{false, true, 30};
        const QString tooFar = "Время в приборе отличается от системного более чем на %1 мин.";
        // A device clock two days back and far off the server's.
        const ZeltoTable wild = currentRow(last.addDays(-2), last);
        row("a day of overlap", reset, stored, archive({last.addSecs(-86400)}), "");
        row("a second more", reset, stored, archive({last.addSecs(-86401), last}),
            "Обнаружен сброс даты и времени на 09.03.24 11:59:59");
        row("first save", reset, none, wild, "");
        row("settings missing", {QVariant(), QVariant(), QVariant()}, stored, wild, "");
        row("30 min ahead", deviation, none, currentRow(server.addSecs(1800), server), "");
        row("a second more behind", deviation, none, currentRow(server.addSecs(-1801), server), tooFar.arg(30));
        row("no server time", deviation, none, currentRow(server.addYears(3), QVariant()), "");
        row("no server time column", deviation, none, archive({server.addYears(3)}), "");
        row("message names the limit", {false, true, 5}, none, currentRow(server.addSecs(3600), server), tooFar.arg(5));
        row("reset decides first", {true, true, 5}, archive({server.addDays(3)}), currentRow(server.addSecs(3600), server),
            "Обнаружен сброс даты и времени на 01.05.24 11:00:00");
    }

    void clockChecks()
    {
        QFETCH(QVariantList, settings);
        QFETCH(ZeltoTable, stored);
        QFETCH(ZeltoTable, incoming);
        const QStringList names{"checkDateReset", "checkTimeDeviation", "maxTimeDeviation"};
        for (int i = 0; i < names.size(); ++i)
            QVERIFY(settings.at(i).isNull()
                        ? testDatabase().run("DELETE FROM settings WHERE name = ?", {names.at(i)}).ok()
                        : testDatabase().putSetting(names.at(i), settings.at(i)).ok());
        QTEST(ArchiveChecks::checkCurrentData(testDatabase(), stored, incoming).message(), "error");
    }

    void fillEntries()
    {
        ZeltoTable undated(QStringList{"S1_t1"});
        undated.appendRow(QVariantList{1.0});
        QCOMPARE(ArchiveChecks::fillEntry("hour_data", undated),
                 (QVariantMap{{"firstDate", QVariant()}, {"lastDate", QVariant()}, {"size", 1}, {"gapCount", 0},
                              {"gaps", QVariantList()}}));
        // A row dated centuries ahead stops the scan at kMaxGaps gaps.
        QCOMPARE(ArchiveChecks::fillEntry("hour_data", archive({at(2024, 1, 1), at(2300, 1, 1)})).value("gapCount"),
                 QVariant(ArchiveChecks::kMaxGaps));
    }

    void gaps_data()
    {
        QTest::addColumn<QString>("archive");
        QTest::addColumn<QVariantList>("rows");
        QTest::addColumn<QVariantList>("gaps");
        const auto row = [](const char *name, const char *archive, const QStringList &rows, const QStringList &gaps) {
            QTest::newRow(name) << QString(archive) << dates(rows) << dates(gaps);
        };
        row("no rows", "day_data", {}, {});
        row("hours", "hour_data", {"2024-01-01 01:00", "2024-01-01 02:00", "2024-01-01 04:00", "2024-01-01 05:00"},
            {"2024-01-01 03:00"});
        row("29 February", "day_totals", {"2024-02-28", "2024-03-01"}, {"2024-02-29"});
        row("months across the year", "month_totals", {"2023-11-01", "2024-02-01"}, {"2023-12-01", "2024-01-01"});
        row("a row later in its month fills it", "month_data", {"2024-01-01", "2024-02-15 13:00", "2024-03-01"}, {});
        row("other archives are not scanned", "setting_data", {"2024-01-01", "2024-05-01"}, {});
        row("unsorted rows end the scan", "month_data", {"2025-01-01", "2024-01-01"}, {});
        // After an off-grid row every slot passed is a gap, up to the last row.
        row("off-grid hours", "hour_data", {"2024-01-01 01:00", "2024-01-01 02:30", "2024-01-01 03:30", "2024-01-01 04:30"},
            {"2024-01-01 02:00", "2024-01-01 03:00", "2024-01-01 04:00"});
        row("off-grid days", "day_data", {"2024-01-01 12:00", "2024-01-02 12:00", "2024-01-03 12:00"},
            {"2024-01-02", "2024-01-03"});
        row("one off-grid day", "day_data", {"2024-01-01", "2024-01-02 06:00", "2024-01-03", "2024-01-04"},
            {"2024-01-02", "2024-01-03"});
        // Spring: the hour after 01:00 is 03:00; autumn: a 25-hour day.
        row("spring hours", "hour_data", {"2024-03-31 01:00", "2024-03-31 03:00", "2024-03-31 04:00"}, {});
        row("spring days", "day_data", {"2024-03-30", "2024-04-02"}, {"2024-03-31", "2024-04-01"});
        row("autumn days", "day_data", {"2024-10-26", "2024-10-29"}, {"2024-10-27", "2024-10-28"});
    }

    void gaps()
    {
        QFETCH(QString, archive);
        QFETCH(QVariantList, rows);
        QFETCH(QVariantList, gaps);
        QCOMPARE(ArchiveChecks::fillEntry(archive, ::archive(rows)),
                 (QVariantMap{{"firstDate", rows.value(0)}, {"lastDate", rows.value(rows.size() - 1)}, {"size", rows.size()},
                              {"gapCount", gaps.size()}, {"gaps", gaps}}));
    }

private:
    TempDatabaseHome m_home;
};

QTEST_GUILESS_MAIN(TestArchiveChecks)
#include "tst_archivechecks.moc"
