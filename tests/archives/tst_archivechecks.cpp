#include "archivechecks.h"
#include "database.h"
#include "lasterror.h"
#include "tempdatabasehome.h"
#include "zeltosystem.h"

#include <QtTest>

#include <ctime>

namespace {

QDateTime at(int year, int month, int day, int hour = 0, int minute = 0, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
}

ZeltoTable archive(const QList<QDateTime> &dates)
{
    ZeltoTable table(QStringList{"date", "S1_t1"});
    for (const QDateTime &date : dates)
        table.appendRow(QVariantList{date, 50.0});
    return table;
}

ZeltoTable currentRow(const QDateTime &deviceTime, const QVariant &serverTime)
{
    ZeltoTable table(QStringList{"date", "sys_date"});
    table.appendRow(QVariantList{deviceTime, serverTime});
    return table;
}

void setChecks(bool dateReset, bool timeDeviation, int maxDeviation = 30)
{
    Database::setSetting("checkDateReset", dateReset);
    Database::setSetting("checkTimeDeviation", timeDeviation);
    Database::setSetting("maxTimeDeviation", maxDeviation);
}

// The gaps the scan lists for an archive of these row dates.
QList<QDateTime> gaps(const QString &archiveName, const QList<QDateTime> &dates)
{
    const QVariantMap entry = ArchiveChecks::fillEntry(archiveName, archive(dates));
    QList<QDateTime> result;
    for (const QVariant &gap : entry.value("gaps").toList())
        result.append(gap.toDateTime());
    if (entry.value("gapCount").toInt() != result.size())
        result.append(QDateTime());   // makes the comparison fail
    return result;
}

} // namespace

class TestArchiveChecks : public QObject
{
    Q_OBJECT

private slots:
    void dateReset()
    {
        TempDatabaseHome home;
        QVERIFY(home.open());
        setChecks(true, false);
        const QDateTime storedLast = at(2024, 3, 10, 12);
        const ZeltoTable stored = archive({at(2024, 3, 10, 11), storedLast});

        // Re-reading up to exactly one day of overlap is accepted.
        QVERIFY(ArchiveChecks::checkCurrentData(stored, archive({storedLast.addSecs(-86400)})));
        QVERIFY(!ArchiveChecks::checkCurrentData(stored, archive({storedLast.addSecs(-86401), storedLast})));
        QCOMPARE(lastError(), QString("Обнаружен сброс даты и времени на 09.03.24 11:59:59"));
        QVERIFY(!ArchiveChecks::checkCurrentData(stored, archive({storedLast.addDays(-2)})));
        QCOMPARE(lastError(), QString("Обнаружен сброс даты и времени на 08.03.24 12:00:00"));

        // A first save has nothing stored to compare with.
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), archive({storedLast.addDays(-2)})));

        setChecks(false, false);
        QVERIFY(ArchiveChecks::checkCurrentData(stored, archive({storedLast.addDays(-2)})));
        // A missing setting reads as off.
        QVERIFY(Database::execute("DELETE FROM settings WHERE name LIKE 'check%'"));
        QVERIFY(ArchiveChecks::checkCurrentData(stored, archive({storedLast.addDays(-2)})));
    }

    void timeDeviation()
    {
        TempDatabaseHome home;
        QVERIFY(home.open());
        setChecks(false, true);
        const QDateTime server = at(2024, 5, 1, 10);
        const QString tooFar = "Время в приборе отличается от системного более чем на 30 мин.";
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addSecs(1800), server)));
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addSecs(-1800), server)));
        QVERIFY(!ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addSecs(1801), server)));
        QCOMPARE(lastError(), tooFar);
        QVERIFY(!ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addSecs(-1801), server)));
        QCOMPARE(lastError(), tooFar);

        // Without a server time the device time cannot be judged.
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addYears(3), QVariant())));
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addYears(3), QString())));
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), archive({server.addYears(3)})));

        // The message names the limit, not the deviation found.
        setChecks(false, true, 5);
        QVERIFY(!ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addSecs(3600), server)));
        QCOMPARE(lastError(), QString("Время в приборе отличается от системного более чем на 5 мин."));
        setChecks(false, false, 5);
        QVERIFY(ArchiveChecks::checkCurrentData(ZeltoTable(), currentRow(server.addSecs(3600), server)));

        // The reset check comes first and decides alone.
        setChecks(true, true, 5);
        QVERIFY(!ArchiveChecks::checkCurrentData(archive({server.addDays(3)}), currentRow(server.addSecs(3600), server)));
        QVERIFY(lastError().startsWith("Обнаружен сброс даты и времени"));
    }

    void fillEntries()
    {
        const QVariantMap hours = ArchiveChecks::fillEntry(
            "hour_data", archive({at(2024, 1, 1, 1), at(2024, 1, 1, 2), at(2024, 1, 1, 4), at(2024, 1, 1, 5)}));
        QCOMPARE(hours.value("firstDate").toDateTime(), at(2024, 1, 1, 1));
        QCOMPARE(hours.value("lastDate").toDateTime(), at(2024, 1, 1, 5));
        QCOMPARE(hours.value("size").toInt(), 4);
        QCOMPARE(hours.value("gapCount").toInt(), 1);
        QCOMPARE(hours.value("gaps").toList(), QVariantList{at(2024, 1, 1, 3)});

        const QVariantMap single = ArchiveChecks::fillEntry("hour_data", archive({at(2024, 6, 1, 7)}));
        QCOMPARE(single.value("firstDate"), single.value("lastDate"));
        QCOMPARE(single.value("size").toInt(), 1);
        QCOMPARE(single.value("gapCount").toInt(), 0);

        // No rows, or no dates: null bounds, nothing scanned.
        const QVariantMap empty = ArchiveChecks::fillEntry("day_data", ZeltoTable());
        QVERIFY(empty.value("firstDate").isNull() && empty.value("lastDate").isNull());
        QCOMPARE(empty.value("size").toInt(), 0);
        ZeltoTable undated(QStringList{"S1_t1"});
        undated.appendRow(QVariantList{1.0});
        QVERIFY(ArchiveChecks::fillEntry("hour_data", undated).value("firstDate").isNull());

        // A row dated centuries ahead lists at most kMaxGaps gaps.
        QCOMPARE(gaps("hour_data", {at(2024, 1, 1), at(2300, 1, 1)}).size(), ArchiveChecks::kMaxGaps);
    }

    void scans()
    {
        QCOMPARE(gaps("day_data", {at(2024, 2, 1), at(2024, 2, 2), at(2024, 2, 5)}),
                 (QList<QDateTime>{at(2024, 2, 3), at(2024, 2, 4)}));
        QCOMPARE(gaps("day_totals", {at(2024, 2, 28), at(2024, 3, 1)}), QList<QDateTime>{at(2024, 2, 29)});
        QCOMPARE(gaps("hour_data", {at(2024, 1, 1, 22), at(2024, 1, 2, 23)}).size(), 24);

        QCOMPARE(gaps("month_data", {at(2023, 11, 1), at(2024, 2, 1)}),
                 (QList<QDateTime>{at(2023, 12, 1), at(2024, 1, 1)}));
        QCOMPARE(gaps("month_totals", {at(2024, 1, 1), at(2024, 4, 1)}),
                 (QList<QDateTime>{at(2024, 2, 1), at(2024, 3, 1)}));
        // A row stamped later in its month still fills that month.
        QVERIFY(gaps("month_data", {at(2024, 1, 1), at(2024, 2, 15, 13), at(2024, 3, 1)}).isEmpty());

        // Other archives are not scanned; unsorted input ends at once.
        QVERIFY(gaps("setting_data", {at(2024, 1, 1), at(2024, 5, 1)}).isEmpty());
        QVERIFY(gaps("month_data", {at(2025, 1, 1), at(2024, 1, 1)}).isEmpty());
    }

    void offGridRowsEndTheScan()
    {
        // After an off-grid row every slot passed is a gap, up to the last row.
        QCOMPARE(gaps("hour_data", {at(2024, 1, 1, 1), at(2024, 1, 1, 2, 30), at(2024, 1, 1, 3, 30), at(2024, 1, 1, 4, 30)}),
                 (QList<QDateTime>{at(2024, 1, 1, 2), at(2024, 1, 1, 3), at(2024, 1, 1, 4)}));
        QCOMPARE(gaps("day_data", {at(2024, 1, 1, 12), at(2024, 1, 2, 12), at(2024, 1, 3, 12)}),
                 (QList<QDateTime>{at(2024, 1, 2), at(2024, 1, 3)}));
        // One off-grid row in the middle: the rows after it count as missing too.
        QCOMPARE(gaps("day_data", {at(2024, 1, 1), at(2024, 1, 2, 6), at(2024, 1, 3), at(2024, 1, 4)}),
                 (QList<QDateTime>{at(2024, 1, 2), at(2024, 1, 3)}));
    }

    void daylightSavingChanges()
    {
        if (!QFile::exists("/usr/share/zoneinfo/Europe/Berlin"))
            QSKIP("no time zone data");
        struct ZoneScope
        {
            QByteArray previous = qgetenv("TZ");
            ZoneScope() { qputenv("TZ", "Europe/Berlin"); tzset(); }
            ~ZoneScope()
            {
                if (previous.isNull())
                    qunsetenv("TZ");
                else qputenv("TZ", previous);
                tzset();
            }
        } zone;

        // Spring: the hour after 01:00 is 03:00; autumn: a 25-hour day.
        QVERIFY(gaps("hour_data", {at(2024, 3, 31, 1), at(2024, 3, 31, 3), at(2024, 3, 31, 4)}).isEmpty());
        QCOMPARE(gaps("day_data", {at(2024, 3, 30), at(2024, 4, 2)}), (QList<QDateTime>{at(2024, 3, 31), at(2024, 4, 1)}));
        QCOMPARE(gaps("day_data", {at(2024, 10, 26), at(2024, 10, 29)}),
                 (QList<QDateTime>{at(2024, 10, 27), at(2024, 10, 28)}));
    }
};

QTEST_GUILESS_MAIN(TestArchiveChecks)
#include "tst_archivechecks.moc"
