// data/telvan-v1.db: written by the previous stream version from streamfixtures.h.

#include "archivestore.h"
#include "database.h"
#include "streamfixtures.h"
#include "outcome.h"
#include "tempdatabasehome.h"
#include "zeltostream.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <time.h>

namespace {

const int kNode = 1;
const QString kHour = "hour_data", kDay = "day_data";

QVariant scalar(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database());
    return query.exec(sql) && query.next() ? query.value(0) : QVariant();
}

int storedVersion(const QString &archive)
{
    const QByteArray blob =
        scalar(QStringLiteral("SELECT %1 FROM nodes_data WHERE id = %2").arg(archive).arg(kNode)).toByteArray();
    return blob.isEmpty() ? -1 : int(uchar(blob.at(0)));
}

ZeltoTable stored(const QString &archive)
{
    return ArchiveStore::stored(testDatabase(), kNode, archive).valueOr(ZeltoTable());
}

} // namespace

class TestOlderArchives : public QObject
{
    Q_OBJECT

private slots:
    void opensReadsAndSavesWithoutMigration()
    {
        // The zone the fixture was written in: its local dates are instants.
        qputenv("TZ", "Europe/Berlin");
        tzset();
        TempDatabaseHome home;
        QVERIFY(QFile::copy(QStringLiteral(ORVEX_TEST_DATA "/telvan-v1.db"), home.filePath("telvan.db")));
        QFile::setPermissions(home.filePath("telvan.db"), QFile::ReadOwner | QFile::WriteOwner);
        QCOMPARE(outcome(home.open()), "ok");
        QCOMPARE(QList<int>({scalar("PRAGMA user_version").toInt(), storedVersion(kHour)}),
                 QList<int>({Database::supportedVersion(), 1}));
        QVERIFY(stored(kHour) == StreamFixtures::hourArchive(0, 72));
        QVERIFY(stored(kDay) == StreamFixtures::hourArchive(0, 3));

        ZeltoTable info;
        info.appendRow(QVariantMap{{"id", kNode}});
        ZeltoTableMap tables{{"info", info}, {kHour, StreamFixtures::hourArchive(72, 24)}};
        const ZeltoStatus saved = ArchiveStore::save(serverContext(), tables, false);
        QVERIFY2(saved.ok(), qPrintable(saved.message()));
        // The day archive is rewritten when it is next saved; the schema stays.
        QCOMPARE(QList<int>({storedVersion(kHour), storedVersion(kDay), scalar("PRAGMA user_version").toInt()}),
                 QList<int>({int(ZeltoStream::FormatVersion), 1, Database::supportedVersion()}));

        // What the save wrote reads back, as does what it left (nothing is held between reads: no restart needed).
        QVERIFY(stored(kHour) == StreamFixtures::hourArchive(0, 96));
        QVERIFY(stored(kDay) == StreamFixtures::hourArchive(0, 3));
    }
};

QTEST_GUILESS_MAIN(TestOlderArchives)
#include "tst_olderarchives.moc"
