#include "rawquery.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"

#include <QtTest>

namespace {

int count(const QString &table) { return scalar("SELECT count(*) FROM " + table).toInt(); }

bool isNullInt(const QVariant &value) { return value.isValid() && value.isNull() && value.userType() == QMetaType::Int; }

// A value with its type, for comparisons that must not convert.
QPair<QByteArray, QVariant> typed(const QVariant &value) { return {value.typeName(), value}; }

} // namespace

class RowsTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;
    int m_node = -1;

private slots:
    void init() { m_home.reset(new TempDatabaseHome); QVERIFY(m_home->open()); }

    void cleanup() { m_home.reset(); }

    // Only the outermost scope talks to SQLite: an inner commit or rollback only counts down.
    void nestedScopesShareOneTransaction()
    {
        for (const bool keep : {false, true}) {
            {
                TransactionScope outer(*Database::instance(), "outer");
                {
                    TransactionScope inner(*Database::instance(), "inner");
                    QCOMPARE(Database::transactionDepth(), 2);
                    QVERIFY(Database::saveRecord("groups", {{"name", "Первая"}}) > 0 && inner.commit());
                    QVERIFY(!inner.commit());   // no longer active, and the depth untouched by it
                }
                {
                    TransactionScope inner(*Database::instance(), "inner");
                    QVERIFY(Database::saveRecord("groups", {{"name", "Вторая"}}) > 0);
                }   // rolled back: counts down only
                QCOMPARE(Database::transactionDepth(), 1);
                if (keep)
                    QVERIFY(outer.commit());
                else
                    outer.rollback();
                QVERIFY(!outer.isActive());
            }
            QCOMPARE(Database::transactionDepth(), 0);
            QCOMPARE(count("groups"), keep ? 3 : 1);
        }
    }

    void scopesThatCannotStartOrFinish()
    {
        // A transaction opened past the scope: BEGIN fails, the scope stays inactive.
        QVERIFY(Database::execute("BEGIN"));
        {
            TransactionScope scope(*Database::instance(), "test");
            QVERIFY2(!scope.isActive() && scope.status().message().contains("within a transaction"),
                     qPrintable(scope.status().message()));
            QVERIFY(!scope.commit());
            QCOMPARE(Database::transactionDepth(), 0);
        }
        QVERIFY(Database::execute("ROLLBACK"));

        // A failing COMMIT rolls back everything and reports the driver's text.
        {
            TransactionScope scope(*Database::instance(), "test");
            QVERIFY(Database::execute("PRAGMA defer_foreign_keys = ON"));
            QVERIFY(Database::execute("INSERT INTO nodes (name, model_code, number, group_id) VALUES ('x', 'TV7', 1, 77)"));
            QCOMPARE(scope.finish().message(), "FOREIGN KEY constraint failed");
        }
        QCOMPARE(Database::transactionDepth(), 0);
        QCOMPARE(count("nodes"), 0);
        QVERIFY(!Database::execute("ROLLBACK"));   // nothing left open

        // A scope that outlives its database counts nothing in the next one.
        {
            TransactionScope stale(*Database::instance(), "stale");
            QVERIFY(stale.isActive());
            Database::destroy();
            QVERIFY(Database::init().ok());
            QVERIFY(!stale.commit());
        }
        QCOMPARE(Database::transactionDepth(), 0);
    }

    void saveRecordInsertsAndUpdates()
    {
        const QDateTime now = QDateTime::currentDateTime();
        const int entry = Database::saveRecord("journal", {{"ctime", now}, {"level", "INFO"}, {"message", "m"}});
        QCOMPARE(scalar("SELECT message FROM journal WHERE rowid = ?", {entry}), QVariant("m"));

        // An update writes the columns given and leaves the others.
        const int node = addNode("Узел", 1);
        QVERIFY(Database::saveRecord("nodes", {{"id", node}, {"consumer", "ТЭЦ"}}) == node);
        QCOMPARE(Database::saveRecord("nodes", {{"note", "примечание"}, {"id", node}, {"name", "Новое"}}), node);
        const QVariantMap saved = Database::readRecord("nodes", node);
        QCOMPARE(QVariantList({saved["name"], saved["note"], saved["consumer"]}),
                 QVariantList({"Новое", "примечание", "ТЭЦ"}));

        // An update of a row that is not there "succeeds" with the given id.
        QCOMPARE(Database::saveRecord("groups", {{"id", 5}, {"name", "Пятая"}}), 5);
        QCOMPARE(count("groups"), 1);   // the common group alone

        QCOMPARE(failure(Database::saveRecord("journal", QVariantMap()) == -1), "[journal] Сошибка записи: нет данных");

        // Values without a stored form stop the save before anything runs.
        QCOMPARE(failure(Database::saveRecord("journal", {{"ctime", now}, {"level", "INFO"}, {"message", QPoint(1, 2)}}) == -1),
                 "Ошибка кодирования: неподдерживаемый тип [QPoint]");
        QCOMPARE(count("journal"), 1);

        QCOMPARE(failure(Database::saveRecord("nodes", {{"name", "Без модели"}, {"number", 2}}) == -1),
                 "[+nodes] NOT NULL constraint failed: nodes.model_code");
        const int other = addNode("Другой", 3);
        QCOMPARE(failure(Database::saveRecord("nodes", {{"id", other}, {"name", "Новое"}}) == -1),
                 "[*nodes] UNIQUE constraint failed: nodes.name");
    }

    void lookups()
    {
        const int first = addNode("Первый", 1);
        const int second = addNode("Второй", 2);
        const QDateTime updated(QDate(2016, 3, 3), QTime(12, 0));
        QCOMPARE(Database::saveRecord("nodes", {{"id", second}, {"last_update", updated}, {"consumer", "ТЭЦ"}}), second);
        QCOMPARE(Database::saveRecord("nodes", {{"id", first}, {"consumer", "ТЭЦ"}}), first);

        QCOMPARE(QVariantList({Database::exists("nodes", "number > ?", {1}), Database::exists("nodes", "number > ?", {2}),
                               Database::existsId("nodes", first), Database::existsId("nodes", 999),
                               Database::findRowId("nodes", "name = ?", {"Второй"}),
                               Database::findRowId("nodes", "name = ?", {"Нет"})}),
                 QVariantList({true, false, true, false, second, -1}));
        QCOMPARE(Database::selectDistinct("nodes", "consumer"), QStringList{"ТЭЦ"});
        QCOMPARE(Database::selectDistinct("nodes", "number"), (QStringList{"1", "2"}));
        QCOMPARE(Database::selectDistinctValues("nodes", "nodes.last_update", "id = ?", {second}), QVariantList{updated});
        QCOMPARE(Database::selectDistinctValues("nodes, groups", "groups.id", "nodes.group_id = groups.id"), QVariantList{0});

        // Malformed conditions: nothing found, and SQLite's text reported.
        QCOMPARE(failure(Database::findRowId("nodes", "name = = ?", {"x"}) == -1), "near \"=\": syntax error");
        QCOMPARE(failure(Database::selectDistinct("nodes", "no_column").isEmpty()), "no such column: no_column");
        QCOMPARE(failure(Database::selectDistinctValues("nodes", "id", "id ==== 1").isEmpty()), "near \"==\": syntax error");
        QCOMPARE(failure(!Database::exists("nodes", "name = = ?", {"x"})), "near \"=\": syntax error");
        QCOMPARE(failure(!Database::execute("UPDATE nodes SET missing = 1")), "no such column: missing");
    }

    // Statements are prepared once and kept for the connection: a use that
    // stopped halfway does not disturb the next one of the same text, and
    // none is left holding the file when compaction comes.
    void statementsAreKeptAndReused()
    {
        const QString insert = "INSERT INTO groups (name, parent_id) VALUES (?, ?)";
        QCOMPARE(failure(!Database::execute(insert, {"Первая", QPoint(1, 2)})),
                 "Ошибка кодирования: неподдерживаемый тип [QPoint]");
        QVERIFY2(Database::execute(insert, {"Первая", 0}), qPrintable(lastError()));
        QCOMPARE(failure(!Database::execute(insert, {"Первая", 0})), "UNIQUE constraint failed: groups.name");
        QVERIFY2(Database::execute(insert, {"Вторая", 1}), qPrintable(lastError()));
        const ZeltoTable groups = Database::selectTable("SELECT name, parent_id FROM groups WHERE id > 0 ORDER BY id");
        QCOMPARE(groups.columnValues("name") + groups.columnValues("parent_id"), (QVariantList{"Первая", "Вторая", 0, 1}));

        // A record read from a longer result leaves its statement mid-way; VACUUM refuses to run past one.
        QCOMPARE(Database::selectRecord("SELECT name FROM groups ORDER BY id").value("name").toString(), "Общие");
        QVERIFY2(Database::execute("VACUUM"), qPrintable(lastError()));

        // The same text asked for while lent: a statement of its own, the first one's reading undisturbed.
        StatementCache cache;
        const QString names = "SELECT name FROM groups ORDER BY id";
        StatementCache::Lease outer = cache.acquire(QSqlDatabase::database(), names);
        QVERIFY(outer.isPrepared() && outer.query().exec() && outer.query().next());
        {
            StatementCache::Lease inner = cache.acquire(QSqlDatabase::database(), names);
            QVERIFY(inner.isPrepared() && inner.query().exec() && inner.query().next() && inner.query().next());
            QCOMPARE(inner.query().value(0).toString(), "Первая");
        }
        QVERIFY(outer.query().next());
        QCOMPARE(outer.query().value(0).toString(), "Первая");

        // Texts made from names a caller chose do not pile up.
        for (int i = 0; i < 2 * StatementCache::Capacity; ++i)
            cache.acquire(QSqlDatabase::database(), QStringLiteral("SELECT %1").arg(i));
        QVERIFY2(cache.size() <= StatementCache::Capacity, qPrintable(QString::number(cache.size())));
    }

    void recordsAndTables()
    {
        const int node = addNode("Узел", 7);
        ZeltoTable archive(QStringList{"date", "S1_t1"});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 1), QTime(0, 0)), 55.5});
        QVERIFY(Database::writeData("nodes", node, "day_data", QVariant::fromValue(archive)));

        QCOMPARE(Database::selectRecord("SELECT id, number, model_code, last_update FROM nodes WHERE id = ?", {node}),
                 (QVariantMap{{"id", node}, {"last_update", QVariant(QVariant::Int)}, {"model_code", "TV7"}, {"number", 7}}));
        QCOMPARE(failure(Database::selectRecord("SELECT * FROM nodes WHERE id = ?", {999}).isEmpty()), QString());
        QCOMPARE(failure(Database::selectRecord("SELECT * FROM nowhere").isEmpty()), "no such table: nowhere");
        QCOMPARE(Database::readRecord("nodes", node).value("name"), QVariant(QStringLiteral("Узел")));
        QCOMPARE(Database::readRecord("nodes", node).size(), 15 + 3 + 8 + 24);

        ZeltoTable data({"id", "day_data", "hour_data"});   // values compared with their types
        data.appendRow(QVariantList{node, QVariant::fromValue(archive), QVariant(QVariant::Int)});
        QCOMPARE(Database::selectTable("SELECT id, day_data, hour_data FROM nodes_data"), data);

        QVERIFY(Database::execute("INSERT INTO check_log (node_id, ctime, atime, archive, message) VALUES (?, ?, ?, ?, ?)",
                                  {node, QDateTime(QDate(2016, 3, 5), QTime(1, 0)), QDateTime(QDate(2016, 3, 4), QTime(0, 0)),
                                   "day_data", "Разрыв"}));
        const ZeltoTable log = Database::selectTable("SELECT atime, message, atime FROM check_log WHERE node_id = ?", {node});
        QCOMPARE(log.columnNames(), (QStringList{"atime", "message"}));   // a repeated name is one column
        QCOMPARE(log.toMap(0), (QVariantMap{{"atime", QDateTime(QDate(2016, 3, 4), QTime(0, 0))}, {"message", "Разрыв"}}));

        QCOMPARE(Database::selectTable("SELECT id, name FROM nodes WHERE id < 0"), ZeltoTable({"id", "name"}));
        QCOMPARE(failure(Database::selectTable("SELECT * FROM nowhere WHERE id = ?", {1}).columnCount() == 0),
                 "no such table: nowhere");

        QSqlQuery update;
        QVERIFY(update.exec("UPDATE nodes SET note = 'x'"));
        QCOMPARE(Database::queryToTable(update).columnCount(), 0);
    }

    void journalEntries()
    {
        const int node = addNode("Узел", 1);
        const int task = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "tcp"}});
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        Database::logInfo("Опрос выполнен", "node", node);
        Database::logWarn("Без объекта");
        Database::logError("Ошибка задания", "task", task);
        Database::logDebug("Отладка", "group", 0);
        Database::logInfo("Без номера", "node", -1);
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const ZeltoTable journal = Database::selectTable(
            "SELECT ctime, level || ' ' || ifnull(group_id, '-') || ' ' || ifnull(node_id, '-') || ' ' "
            "|| ifnull(task_id, '-') || ' ' || message AS entry FROM journal ORDER BY rowid");
        QCOMPARE(journal.columnValues("entry"),
                 (QVariantList{QStringLiteral("INFO - %1 - Опрос выполнен").arg(node), QStringLiteral("WARN - - - Без объекта"),
                               QStringLiteral("ERROR - - %1 Ошибка задания").arg(task), QStringLiteral("DEBUG 0 - - Отладка"),
                               QStringLiteral("INFO - - - Без номера")}));
        for (const QVariant &ctime : journal.columnValues("ctime"))
            QVERIFY(ctime.toDateTime() >= before && ctime.toDateTime() <= after);
        QCOMPARE(scalar("SELECT count(*) FROM journal WHERE user_id IS NOT NULL").toInt(), 0);   // written by the server itself

        // A write that fails leaves only its text behind, as a conflict with what is stored.
        Database::logInfo("Чужой узел", "node", 999);
        QCOMPARE(count("journal"), 5);
        QCOMPARE(lastError(), QStringLiteral("[+journal] FOREIGN KEY constraint failed"));
        QCOMPARE(ZeltoStatus::kindName(ZeltoSystem::instance()->lastStatus().kind()), "conflict");

        // In a caller's name, the entry carries the caller's id.
        const int user = Database::saveRecord("users", {{"login", "журналист"}, {"password", "x"}});
        const CommandContext caller(Database::instance(), user, QStringList());
        QVERIFY(caller.journal("INFO", "От имени", "node", node).ok());
        QCOMPARE(scalar("SELECT user_id FROM journal WHERE message = 'От имени'").toInt(), user);
    }

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

        QCOMPARE(failure(!Database::encodeValue(QVariant(QPoint(1, 2))).isValid()),
                 "Ошибка кодирования: неподдерживаемый тип [QPoint]");

        // Read back: nulls of every kind as a null int, wide integers cut to int, date-time columns by name.
        for (const QVariant &null : {QVariant(), QVariant(QVariant::String), QVariant(QByteArray())})   // String: SQL NULL
            QVERIFY(isNullInt(Database::decodeValue(null, "access")));
        const QString stamp = "2016-03-03T14:05:09.000";   // the column name match is case-sensitive
        for (const auto &[stored, column, read] : QList<std::tuple<QVariant, QString, QVariant>>{
                 {Q_INT64_C(7), "number", 7}, {Q_INT64_C(5000000000), "number", 705032704}, {Q_UINT64_C(9), "number", 9u},
                 {stamp, "ctime", QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))}, {stamp, "CTIME", stamp}})
            QCOMPARE(typed(Database::decodeValue(stored, column)), typed(read));

        for (const QVariant &odd : {QVariant(QPoint(1, 2)), QVariant(true)})
            QCOMPARE(failure(!Database::decodeValue(odd, "x").isValid()),
                     QStringLiteral("Ошибка декодирования: неподдерживаемый тип [%1]").arg(odd.typeName()));
    }

    void valuesThroughTheDatabase()
    {
        m_node = addNode("Узел", 1);
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
        m_node = addNode("Узел", 1);
        ZeltoTable archive(QStringList{"date", "S1_t1"});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 1), QTime(0, 0)), 55.5});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 2), QTime(0, 0)), QVariant()});
        ZeltoTableMap archives{{"day_data", archive}};

        QVERIFY(Database::writeData("nodes", m_node, "day_data", QVariant::fromValue(archive)));
        QVERIFY(Database::writeData("nodes", m_node, "fill_data", QVariant::fromValue(archives)));
        QVERIFY(Database::writeData("nodes", m_node, "check_params", QVariantList()));
        QCOMPARE(scalar("SELECT typeof(check_params) FROM nodes_data WHERE id = ?", {m_node}).toString(), "blob");

        QCOMPARE(typed(Database::readData("nodes", m_node, "day_data")), typed(QVariant::fromValue(archive)));
        QCOMPARE(Database::readData("nodes", m_node, "fill_data").value<ZeltoTableMap>(), archives);
        QCOMPARE(typed(Database::readData("nodes", m_node, "check_params")), typed(QVariantList()));

        // Writing a row that is not there changes nothing and is no failure.
        QVERIFY(Database::writeData("nodes", 999, "day_data", 1));
        QVERIFY(!Database::existsId("nodes_data", 999));

        // Reading one that is not there names the table and has no driver text.
        QCOMPARE(failure(!Database::readData("nodes", 999, "day_data").isValid()), "[#nodes] ");
        QCOMPARE(failure(!Database::readData("nodes", m_node, "no_such_column").isValid()),
                 "[#nodes] no such column: no_such_column");
        QCOMPARE(failure(!Database::writeData("nodes", m_node, "no_such_column", 1)), "[*nodes] no such column: no_such_column");

        // A value without a stored form leaves the column as it was.
        QCOMPARE(failure(!Database::writeData("nodes", m_node, "day_data", QVariant(QUrl("http://x")))),
                 "Ошибка кодирования: неподдерживаемый тип [QUrl]");
        QCOMPARE(Database::readData("nodes", m_node, "day_data").value<ZeltoTable>(), archive);

        QVERIFY(Database::removeRecord("nodes", m_node));
        QVERIFY(!Database::existsId("nodes", m_node) && !Database::existsId("nodes_data", m_node));
        QCOMPARE(failure(!Database::removeRecord("no_such_table", 1)), "[-no_such_table] no such table: no_such_table");
    }

    // Stream faults are tested with the stream; here, that a failed decode (an unknown tag) reaches the caller.
    void corruptBlobsAreReportedNotCrashed()
    {
        m_node = addNode("Узел", 1);
        QVERIFY(Database::execute(QStringLiteral("UPDATE nodes_data SET current_data = X'01ff00' WHERE id = %1").arg(m_node)));

        QCOMPARE(failure(!Database::readData("nodes", m_node, "current_data").isValid()),
                 "Ошибка декодирования: неподдерживаемый тип [QByteArray]");
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
        // Any other name keeps the stored text, to the second.
        QCOMPARE(typed(Database::getSetting("lastBackup")), typed(QStringLiteral("2016-03-04T01:02:03.000")));

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

QTEST_GUILESS_MAIN(RowsTest)
#include "tst_rows.moc"
