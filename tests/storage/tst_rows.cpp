#include "database.h"
#include "lasterror.h"
#include "rawquery.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltotable.h"

#include <QtTest>

namespace {

int count(const QString &table) { return scalar("SELECT count(*) FROM " + table).toInt(); }

} // namespace

class RowsTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;

    int addGroup(const QString &name) { return Database::saveRecord("groups", {{"name", name}}); }

    int addNode(const QString &name, int number)
    {
        return Database::saveRecord("nodes", {{"name", name}, {"model_code", "TV7"}, {"number", number}});
    }

private slots:
    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QVERIFY(m_home->open());
    }

    void cleanup() { m_home.reset(); }

    // Only the outermost scope talks to SQLite: an inner commit or rollback only counts down.
    void nestedScopesShareOneTransaction()
    {
        for (const bool keep : {false, true}) {
            {
                TransactionScope outer;
                {
                    TransactionScope inner;
                    QCOMPARE(Database::transactionDepth(), 2);
                    QVERIFY(addGroup("Первая") > 0 && inner.commit());
                    QVERIFY(!inner.commit());   // no longer active, and the depth untouched by it
                }
                {
                    TransactionScope inner;
                    QVERIFY(addGroup("Вторая") > 0);
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
            TransactionScope scope;
            QVERIFY(!scope.isActive() && lastError().contains("within a transaction"));
            QVERIFY(!scope.commit());
            QCOMPARE(Database::transactionDepth(), 0);
        }
        QVERIFY(Database::execute("ROLLBACK"));

        // A failing COMMIT rolls back everything and reports the driver's text.
        {
            TransactionScope scope;
            QVERIFY(Database::execute("PRAGMA defer_foreign_keys = ON"));
            QVERIFY(Database::execute("INSERT INTO nodes (name, model_code, number, group_id) VALUES ('x', 'TV7', 1, 77)"));
            QVERIFY(!scope.commit());
            QCOMPARE(lastError(), QStringLiteral("FOREIGN KEY constraint failed"));
        }
        QCOMPARE(Database::transactionDepth(), 0);
        QCOMPARE(count("nodes"), 0);
        QVERIFY(!Database::execute("ROLLBACK"));   // nothing left open

        // A scope that outlives its database counts nothing in the next one.
        {
            TransactionScope stale;
            QVERIFY(stale.isActive());
            Database::destroy();
            QVERIFY(Database::init());
            QVERIFY(!stale.commit());
        }
        QCOMPARE(Database::transactionDepth(), 0);

        // Without a database there is nothing to begin.
        Database::destroy();
        TransactionScope orphan;
        QVERIFY(!orphan.isActive() && !orphan.commit());
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
        QVERIFY(!Database::existsId("groups", 5));
        QCOMPARE(count("groups"), 1);

        QCOMPARE(Database::saveRecord("journal", QVariantMap()), -1);
        QCOMPARE(lastError(), QStringLiteral("[journal] Сошибка записи: нет данных"));

        // Values without a stored form stop the save before anything runs.
        QCOMPARE(Database::saveRecord("journal", {{"ctime", now}, {"level", "INFO"}, {"message", QPoint(1, 2)}}), -1);
        QCOMPARE(lastError(), QStringLiteral("Ошибка кодирования: неподдерживаемый тип [QPoint]"));
        QCOMPARE(count("journal"), 1);

        QCOMPARE(Database::saveRecord("nodes", {{"name", "Без модели"}, {"number", 2}}), -1);
        QCOMPARE(lastError(), QStringLiteral("[+nodes] NOT NULL constraint failed: nodes.model_code"));
        const int other = addNode("Другой", 3);
        QCOMPARE(Database::saveRecord("nodes", {{"id", other}, {"name", "Новое"}}), -1);
        QCOMPARE(lastError(), QStringLiteral("[*nodes] UNIQUE constraint failed: nodes.name"));
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

        // Malformed conditions: nothing found, nothing reported, except by exists.
        QCOMPARE(Database::findRowId("nodes", "name = = ?", {"x"}), -1);
        QVERIFY(Database::selectDistinct("nodes", "no_column").isEmpty());
        QVERIFY(Database::selectDistinctValues("nodes", "id", "id ==== 1").isEmpty());
        QVERIFY(lastError().isEmpty());
        QVERIFY(!Database::exists("nodes", "name = = ?", {"x"}));
        QCOMPARE(lastError(), QStringLiteral("near \"=\": syntax error"));
        QVERIFY(!Database::execute("UPDATE nodes SET missing = 1"));
        QCOMPARE(lastError(), QStringLiteral("no such column: missing"));
    }

    void recordsAndTables()
    {
        const int node = addNode("Узел", 7);
        ZeltoTable archive(QStringList{"date", "S1_t1"});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 1), QTime(0, 0)), 55.5});
        QVERIFY(Database::writeData("nodes", node, "day_data", QVariant::fromValue(archive)));

        QCOMPARE(Database::selectRecord("SELECT id, number, model_code, last_update FROM nodes WHERE id = ?", {node}),
                 (QVariantMap{{"id", node}, {"last_update", QVariant(QVariant::Int)}, {"model_code", "TV7"}, {"number", 7}}));
        QVERIFY(Database::selectRecord("SELECT * FROM nodes WHERE id = ?", {999}).isEmpty());
        QVERIFY(lastError().isEmpty());
        QVERIFY(Database::selectRecord("SELECT * FROM nowhere").isEmpty());
        QCOMPARE(lastError(), QStringLiteral("no such table: nowhere"));
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
        QCOMPARE(Database::selectTable("SELECT * FROM nowhere WHERE id = ?", {1}).columnCount(), 0);
        QCOMPARE(lastError(), QStringLiteral("no such table: nowhere"));

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

        // A write that fails leaves only its text behind.
        Database::logInfo("Чужой узел", "node", 999);
        QCOMPARE(count("journal"), 5);
        QCOMPARE(lastError(), QStringLiteral("[+journal] FOREIGN KEY constraint failed"));
    }
};

QTEST_GUILESS_MAIN(RowsTest)
#include "tst_rows.moc"
