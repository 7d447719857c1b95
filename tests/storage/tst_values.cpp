#include "database.h"
#include "lasterror.h"
#include "rawquery.h"
#include "tempdatabasehome.h"
#include "zeltostream.h"
#include "zeltotable.h"

#include <QtTest>

namespace {

bool isNullInt(const QVariant &value) { return value.isValid() && value.isNull() && value.userType() == QMetaType::Int; }

// A value with its type, for comparisons that must not convert.
QPair<QByteArray, QVariant> typed(const QVariant &value) { return {value.typeName(), value}; }

} // namespace

class ValuesTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;
    int m_node = -1;

private slots:
    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QVERIFY(m_home->open());
        m_node = Database::saveRecord("nodes", {{"name", "Узел"}, {"model_code", "TV7"}, {"number", 1}});
        QVERIFY(m_node > 0);
        ZeltoSystem::instance()->clearError();
    }

    void cleanup() { m_home.reset(); }

    void storedFormsAndReadBack()
    {
        // Plain values are stored as they are.
        QVERIFY(isNullInt(Database::encodeValue(QVariant())));
        for (const QVariant &plain : {QVariant(42), QVariant(42u), QVariant(2.5), QVariant("текст")})
            QCOMPARE(Database::encodeValue(plain), plain);

        // Everything else goes through the stream and reads back equal.
        const QList<QVariant> streamed = {
            QVariant(false), QVariant(Q_INT64_C(5000000000)), QVariant(QDate(2016, 3, 3)), QVariant(QTime(1, 2, 3)),
            QVariant(QStringList{"a", "b"}), QVariant(QVariantList{1, "x"}), QVariant(QVariantMap{{"k", 2.5}})};
        for (const QVariant &value : streamed) {
            const QVariant stored = Database::encodeValue(value);
            QCOMPARE(stored.userType(), int(QMetaType::QByteArray));
            QCOMPARE(typed(Database::decodeValue(stored, "value")), typed(value));
        }

        QVERIFY(!Database::encodeValue(QVariant(QPoint(1, 2))).isValid());
        QCOMPARE(lastError(), QStringLiteral("Ошибка кодирования: неподдерживаемый тип [QPoint]"));

        // Read back: nulls of every kind as a null int, wide integers cut to int, date-time columns by name.
        QVERIFY(isNullInt(Database::decodeValue(QVariant(), "x")));
        QVERIFY(isNullInt(Database::decodeValue(QVariant(QVariant::String), "name")));   // SQL NULL from the driver
        QVERIFY(isNullInt(Database::decodeValue(QByteArray(), "access")));
        QCOMPARE(Database::decodeValue(Q_INT64_C(7), "number"), QVariant(7));
        QCOMPARE(Database::decodeValue(Q_INT64_C(5000000000), "number"), QVariant(705032704));
        QCOMPARE(Database::decodeValue(Q_UINT64_C(9), "number"), QVariant(9u));
        QCOMPARE(Database::decodeValue(QStringLiteral("2016-03-03T14:05:09.000"), "ctime"),
                 QVariant(QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))));
        QCOMPARE(Database::decodeValue(QStringLiteral("2016-03-03T14:05:09.000"), "CTIME"),
                 QVariant(QStringLiteral("2016-03-03T14:05:09.000")));   // the match is case-sensitive

        QVERIFY(!Database::decodeValue(QVariant(QPoint(1, 2)), "x").isValid());
        QCOMPARE(lastError(), QStringLiteral("Ошибка декодирования: неподдерживаемый тип [QPoint]"));
        QVERIFY(!Database::decodeValue(QVariant(true), "x").isValid());
        QCOMPARE(lastError(), QStringLiteral("Ошибка декодирования: неподдерживаемый тип [bool]"));
    }

    void valuesThroughTheDatabase()
    {
        // A date/time keeps its seconds, loses its milliseconds.
        const QDateTime withMs(QDate(2016, 3, 3), QTime(14, 5, 9, 789));
        QVERIFY(Database::saveRecord("nodes", {{"id", m_node}, {"last_update", withMs}}) == m_node);
        QCOMPARE(scalar("SELECT last_update FROM nodes WHERE id = ?", {m_node}).toString(), "2016-03-03T14:05:09.000");
        QCOMPARE(typed(Database::readRecord("nodes", m_node).value("last_update")),
                 typed(QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))));

        // A byte array never comes back as bytes.
        QCOMPARE(Database::saveRecord("nodes", {{"id", m_node}, {"note", QByteArray("ab\0cd", 5)}}), m_node);
        QCOMPARE(typed(Database::readRecord("nodes", m_node).value("note")), typed(QStringLiteral("ab")));

        // A NULL and an empty BLOB column read as null; a missing column value as null too.
        QVERIFY(isNullInt(Database::readData("nodes", m_node, "hour_data")));
        QVERIFY(Database::execute(QStringLiteral("UPDATE nodes_data SET day_data = X'' WHERE id = %1").arg(m_node)));
        QCOMPARE(scalar("SELECT typeof(day_data) FROM nodes_data WHERE id = ?", {m_node}).toString(), "blob");
        QVERIFY(isNullInt(Database::readData("nodes", m_node, "day_data")));
        QVERIFY(isNullInt(Database::readRecord("nodes", m_node).value("consumer")));

        // An invalid value binds NULL.
        QCOMPARE(Database::saveRecord("nodes", {{"id", m_node}, {"note", QVariant()}}), m_node);
        QCOMPARE(scalar("SELECT typeof(note) FROM nodes WHERE id = ?", {m_node}).toString(), QStringLiteral("null"));
    }

    void dataColumns()
    {
        ZeltoTable archive(QStringList{"date", "S1_t1"});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 1), QTime(0, 0)), 55.5});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 2), QTime(0, 0)), QVariant()});
        ZeltoTableMap archives{{"day_data", archive}};

        QVERIFY(Database::writeData("nodes", m_node, "day_data", QVariant::fromValue(archive)));
        QVERIFY(Database::writeData("nodes", m_node, "fill_data", QVariant::fromValue(archives)));
        QVERIFY(Database::writeData("nodes", m_node, "check_params", QVariantList()));
        QCOMPARE(scalar("SELECT typeof(check_params) FROM nodes_data WHERE id = ?", {m_node}).toString(), "blob");

        const QVariant table = Database::readData("nodes", m_node, "day_data");
        QCOMPARE(table.userType(), qMetaTypeId<ZeltoTable>());
        QCOMPARE(table.value<ZeltoTable>(), archive);
        QCOMPARE(Database::readData("nodes", m_node, "fill_data").value<ZeltoTableMap>(), archives);
        QCOMPARE(typed(Database::readData("nodes", m_node, "check_params")), typed(QVariantList()));

        // Writing a row that is not there changes nothing and is no failure.
        QVERIFY(Database::writeData("nodes", 999, "day_data", 1));
        QVERIFY(!Database::existsId("nodes_data", 999));

        // Reading one that is not there names the table and has no driver text.
        QVERIFY(!Database::readData("nodes", 999, "day_data").isValid());
        QCOMPARE(lastError(), QStringLiteral("[#nodes] "));
        QVERIFY(!Database::readData("nodes", m_node, "no_such_column").isValid());
        QCOMPARE(lastError(), QStringLiteral("[#nodes] no such column: no_such_column"));
        QVERIFY(!Database::writeData("nodes", m_node, "no_such_column", 1));
        QCOMPARE(lastError(), QStringLiteral("[*nodes] no such column: no_such_column"));

        // A value without a stored form leaves the column as it was.
        QVERIFY(!Database::writeData("nodes", m_node, "day_data", QVariant(QUrl("http://x"))));
        QCOMPARE(lastError(), QStringLiteral("Ошибка кодирования: неподдерживаемый тип [QUrl]"));
        QCOMPARE(Database::readData("nodes", m_node, "day_data").value<ZeltoTable>(), archive);

        QVERIFY(Database::removeRecord("nodes", m_node));
        QVERIFY(!Database::existsId("nodes", m_node) && !Database::existsId("nodes_data", m_node));
        QVERIFY(!Database::removeRecord("no_such_table", 1));
        QCOMPARE(lastError(), QStringLiteral("[-no_such_table] no such table: no_such_table"));
    }

    // Stream faults are tested with the stream; here, that a failed decode (an unknown tag) reaches the caller.
    void corruptBlobsAreReportedNotCrashed()
    {
        QVERIFY(Database::execute(QStringLiteral("UPDATE nodes_data SET current_data = X'01ff00' WHERE id = %1").arg(m_node)));

        QVERIFY(!Database::readData("nodes", m_node, "current_data").isValid());
        QCOMPARE(lastError(), QStringLiteral("Ошибка декодирования: неподдерживаемый тип [QByteArray]"));
        ZeltoTable rows({"id", "current_data"});
        rows.appendRow(QVariantList{m_node, QVariant()});
        QCOMPARE(Database::selectTable("SELECT id, current_data FROM nodes_data"), rows);
    }

    void settings()
    {
        QSignalSpy changes(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged);
        QVERIFY(Database::setSetting("backupEnabled", false));
        QCOMPARE(QList<QVariantList>(changes), QList<QVariantList>({{"backupEnabled", false}}));
        QCOMPARE(ZeltoSystem::instance()->property("backupEnabled"), QVariant(false));
        QCOMPARE(typed(Database::getSetting("backupEnabled", true)), typed(false));

        // A text setting named like a date/time column reads back as date/time.
        QVERIFY(Database::setSetting("ctime", "2016-03-03T14:05:09.000"));
        QCOMPARE(typed(Database::getSetting("ctime")), typed(QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))));
        const QDateTime last(QDate(2016, 3, 4), QTime(1, 2, 3, 456));
        QVERIFY(Database::setSetting("lastBackup", last));
        // Any other name keeps the stored text, which converts back to the second.
        const QVariant lastRead = Database::getSetting("lastBackup");
        QCOMPARE(typed(lastRead), typed(QStringLiteral("2016-03-04T01:02:03.000")));
        QCOMPARE(lastRead.toDateTime(), QDateTime(QDate(2016, 3, 4), QTime(1, 2, 3)));

        QVERIFY(Database::setSetting("access", QStringList{"getNodes", "saveNode"}));
        const QVariantMap all = Database::loadSettings();
        QCOMPARE(all.value("access"), QVariant(QStringList{"getNodes", "saveNode"}));
        QCOMPARE(all.value("ctime").userType(), int(QMetaType::QDateTime));

        // Neither a value without a stored form nor a missing setting is written or published.
        changes.clear();
        QVERIFY(!Database::setSetting("point", QVariant(QPoint(1, 2))));
        QVERIFY(!Database::getSetting("nothing").isValid());
        QCOMPARE(scalar("SELECT count(*) FROM settings WHERE name IN ('point', 'nothing')").toInt(), 0);
        QCOMPARE(changes.count(), 0);
        // A default is written once, then read.
        QCOMPARE(Database::getSetting("journalDayCount", 7), QVariant(7));
        QCOMPARE(Database::getSetting("journalDayCount", 9), QVariant(7));
        QCOMPARE(scalar("SELECT count(*) FROM settings WHERE name = ?", {"journalDayCount"}).toInt(), 1);
        QCOMPARE(changes.count(), 1);

        // Without a database the default is all there is.
        Database::destroy();
        QCOMPARE(Database::getSetting("journalDayCount", 5), QVariant(5));
        QVERIFY(!lastError().isEmpty());
        QVERIFY(Database::loadSettings().isEmpty());
    }
};

QTEST_GUILESS_MAIN(ValuesTest)
#include "tst_values.moc"
