#include "database.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QPoint>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sqlite3.h>

namespace {

sqlite3 *connectionHandle()
{
    const QVariant handle = QSqlDatabase::database().driver()->handle();
    return *static_cast<sqlite3 *const *>(handle.constData());
}

// Every statement that reaches SQLite on the connection, as SQLite sees it.
class StatementLog
{
public:
    void attach() { sqlite3_trace_v2(connectionHandle(), SQLITE_TRACE_STMT, &StatementLog::traced, this); }
    void detach() { sqlite3_trace_v2(connectionHandle(), 0, nullptr, nullptr); }
    void clear() { m_statements.clear(); }
    QStringList statements() const { return m_statements; }
    int count(const QString &statement) const { return m_statements.count(statement); }

private:
    // Qt hands "?" placeholders to SQLite renamed as ":a", ":bb", ...
    static QString positional(QString sql)
    {
        static const QRegularExpression named(QStringLiteral(":[a-z]+\\b"));
        return sql.replace(named, QStringLiteral("?"));
    }

    static int traced(unsigned type, void *context, void *, void *text)
    {
        const char *sql = static_cast<const char *>(text);
        // Trigger bodies show up as "-- TRIGGER name" comments.
        if (type == SQLITE_TRACE_STMT && sql && std::strncmp(sql, "--", 2) != 0)
            static_cast<StatementLog *>(context)->m_statements << positional(QString::fromUtf8(sql));
        return 0;
    }

    QStringList m_statements;
};

QString lastError()
{
    return ZeltoSystem::instance()->lastError();
}

int count(const QString &table)
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("SELECT count(*) FROM ") + table) || !query.next())
        return -1;
    return query.value(0).toInt();
}

} // namespace

class RowsTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;
    StatementLog m_log;
    bool m_tracing = false;

    int addGroup(const QString &name)
    {
        return Database::saveRecord("groups", {{"name", name}});
    }

    int addNode(const QString &name, int number)
    {
        return Database::saveRecord("nodes", {{"name", name}, {"model_code", "TV7"}, {"number", number}});
    }

    void trace()
    {
        m_log.clear();
        m_log.attach();
        m_tracing = true;
    }

private slots:
    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QVERIFY(m_home->open());
    }

    void cleanup()
    {
        if (m_tracing && Database::instance())
            m_log.detach();
        m_tracing = false;
        m_home.reset();
    }

    void nestedScopesTalkToSqliteOnce()
    {
        trace();
        {
            TransactionScope outer;
            QVERIFY(outer.isActive());
            QVERIFY(Database::inTransaction());
            {
                TransactionScope inner;
                QVERIFY(inner.isActive());
                QCOMPARE(Database::transactionDepth(), 2);
                QVERIFY(addGroup("Внутри") > 0);
                QVERIFY(inner.commit());
                QVERIFY(!inner.commit());                   // no longer active
                QCOMPARE(Database::transactionDepth(), 1);  // and the depth untouched by it
            }
            QVERIFY(outer.commit());
        }
        QVERIFY(!Database::inTransaction());
        QCOMPARE(m_log.count("BEGIN"), 1);
        QCOMPARE(m_log.count("COMMIT"), 1);
        QCOMPARE(m_log.count("ROLLBACK"), 0);
        QVERIFY(Database::exists("groups", "name = ?", {"Внутри"}));
    }

    void innerCommitOuterRollbackKeepsNothing()
    {
        trace();
        {
            TransactionScope outer;
            TransactionScope inner;
            QVERIFY(addGroup("Первая") > 0);
            QVERIFY(inner.commit());
            QVERIFY(addGroup("Вторая") > 0);
            outer.rollback();
            QVERIFY(!outer.isActive());
        }
        QCOMPARE(Database::transactionDepth(), 0);
        QCOMPARE(m_log.count("BEGIN"), 1);
        QCOMPARE(m_log.count("ROLLBACK"), 1);
        QCOMPARE(m_log.count("COMMIT"), 0);
        QCOMPARE(count("groups"), 1);
    }

    void innerRollbackOuterCommitKeepsEverything()
    {
        trace();
        {
            TransactionScope outer;
            {
                TransactionScope inner;
                QVERIFY(addGroup("Первая") > 0);
                // Left active: its destructor rolls back, which only counts down.
            }
            QCOMPARE(Database::transactionDepth(), 1);
            QVERIFY(addGroup("Вторая") > 0);
            QVERIFY(outer.commit());
        }
        QCOMPARE(m_log.count("BEGIN"), 1);
        QCOMPARE(m_log.count("COMMIT"), 1);
        QCOMPARE(m_log.count("ROLLBACK"), 0);
        QCOMPARE(count("groups"), 3);
    }

    void scopesThatCannotStartOrFinish()
    {
        // A transaction opened past the scope: BEGIN fails, the scope stays inactive.
        QVERIFY(Database::execute("BEGIN"));
        {
            TransactionScope scope;
            QVERIFY(!scope.isActive());
            QVERIFY(lastError().contains("within a transaction"));
            QVERIFY(!scope.commit());
            QCOMPARE(Database::transactionDepth(), 0);
        }
        QVERIFY(Database::execute("ROLLBACK"));

        // A failing COMMIT rolls back everything and reports the driver's text.
        trace();
        {
            TransactionScope scope;
            QVERIFY(Database::execute("PRAGMA defer_foreign_keys = ON"));
            QVERIFY(Database::execute("INSERT INTO nodes (name, model_code, number, group_id) VALUES ('x', 'TV7', 1, 77)"));
            QVERIFY(!scope.commit());
            QCOMPARE(lastError(), QStringLiteral("FOREIGN KEY constraint failed"));
            QVERIFY(!scope.isActive());
        }
        QCOMPARE(Database::transactionDepth(), 0);
        QCOMPARE(m_log.count("COMMIT"), 1);
        QCOMPARE(m_log.count("ROLLBACK"), 1);
        QCOMPARE(count("nodes"), 0);
        m_log.detach();
        m_tracing = false;

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
        QVERIFY(!orphan.isActive());
        QVERIFY(!orphan.commit());
        QVERIFY(!Database::inTransaction());
    }

    void saveRecordInsertsAndUpdates()
    {
        trace();
        const QDateTime now = QDateTime::currentDateTime();
        const int entry = Database::saveRecord("journal", {{"ctime", now}, {"level", "INFO"}, {"message", "m"}});
        QVERIFY(entry > 0);
        QCOMPARE(m_log.statements().last(), QStringLiteral("INSERT INTO journal (ctime, level, message) VALUES (?, ?, ?)"));

        const int node = addNode("Узел", 1);
        QVERIFY(node > 0);
        QCOMPARE(Database::saveRecord("nodes", {{"id", node}}), node);
        QCOMPARE(m_log.statements().last(), QStringLiteral("UPDATE nodes SET id = ? WHERE id = %1").arg(node));
        QCOMPARE(Database::saveRecord("nodes", {{"note", "примечание"}, {"id", node}, {"name", "Новое"}}), node);
        QCOMPARE(m_log.statements().last(),
                 QStringLiteral("UPDATE nodes SET id = ?, name = ?, note = ? WHERE id = %1").arg(node));
        const QVariantMap saved = Database::readRecord("nodes", node);
        QCOMPARE(saved.value("name").toString(), QStringLiteral("Новое"));
        QCOMPARE(saved.value("note").toString(), QStringLiteral("примечание"));

        // An update of a row that is not there "succeeds" with the given id.
        QCOMPARE(Database::saveRecord("groups", {{"id", 5}, {"name", "Пятая"}}), 5);
        QVERIFY(!Database::existsId("groups", 5));
        QCOMPARE(count("groups"), 1);

        m_log.clear();
        QCOMPARE(Database::saveRecord("journal", QVariantMap()), -1);
        QCOMPARE(lastError(), QStringLiteral("[journal] Сошибка записи: нет данных"));
        QVERIFY(m_log.statements().isEmpty());

        // Values without a stored form stop the save before anything runs.
        QCOMPARE(Database::saveRecord("journal", {{"ctime", now}, {"level", "INFO"}, {"message", QPoint(1, 2)}}), -1);
        QCOMPARE(lastError(), QStringLiteral("Ошибка кодирования: неподдерживаемый тип [QPoint]"));
        QVERIFY(m_log.statements().isEmpty());
        QCOMPARE(count("journal"), 1);

        QCOMPARE(Database::saveRecord("nodes", {{"name", "Без модели"}, {"number", 2}}), -1);
        QCOMPARE(lastError(), QStringLiteral("[+nodes] NOT NULL constraint failed: nodes.model_code"));
        const int other = addNode("Другой", 3);
        QCOMPARE(Database::saveRecord("nodes", {{"id", other}, {"name", "Новое"}}), -1);
        QCOMPARE(lastError(), QStringLiteral("[*nodes] UNIQUE constraint failed: nodes.name"));
        QCOMPARE(Database::saveRecord("no_table", {{"a", 1}}), -1);
        QCOMPARE(lastError(), QStringLiteral("[+no_table] no such table: no_table"));
        QCOMPARE(Database::saveRecord("tasks", {{"node_id", 999}, {"channel_code", "tcp"}}), -1);
        QCOMPARE(lastError(), QStringLiteral("[+tasks] FOREIGN KEY constraint failed"));
    }

    void lookups()
    {
        const int first = addNode("Первый", 1);
        const int second = addNode("Второй", 2);
        const QDateTime updated(QDate(2016, 3, 3), QTime(12, 0));
        QCOMPARE(Database::saveRecord("nodes", {{"id", second}, {"last_update", updated}, {"consumer", "ТЭЦ"}}), second);
        QCOMPARE(Database::saveRecord("nodes", {{"id", first}, {"consumer", "ТЭЦ"}}), first);

        QVERIFY(Database::exists("nodes", "number > ?", {1}));
        QVERIFY(!Database::exists("nodes", "number > ?", {2}));
        QVERIFY(Database::existsId("nodes", first));
        QVERIFY(!Database::existsId("nodes", 999));
        QCOMPARE(Database::findRowId("nodes", "name = ?", {"Второй"}), second);
        QCOMPARE(Database::findRowId("nodes", "name = ?", {"Нет"}), -1);
        QCOMPARE(Database::selectDistinct("nodes", "consumer"), QStringList{"ТЭЦ"});
        QCOMPARE(Database::selectDistinct("nodes", "number"), (QStringList{"1", "2"}));
        QCOMPARE(Database::selectDistinctValues("nodes", "nodes.last_update", "id = ?", {second}),
                 QVariantList{updated});
        QCOMPARE(Database::selectDistinctValues("nodes, groups", "groups.id", "nodes.group_id = groups.id"),
                 QVariantList{0});

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

        const QVariantMap record = Database::selectRecord("SELECT id, number, model_code, last_update FROM nodes WHERE id = ?", {node});
        QCOMPARE(record.keys(), (QStringList{"id", "last_update", "model_code", "number"}));
        QCOMPARE(record.value("number"), QVariant(7));
        QVERIFY(record.value("last_update").isNull());
        QVERIFY(Database::selectRecord("SELECT * FROM nodes WHERE id = ?", {999}).isEmpty());
        QVERIFY(lastError().isEmpty());
        QVERIFY(Database::selectRecord("SELECT * FROM nowhere").isEmpty());
        QCOMPARE(lastError(), QStringLiteral("no such table: nowhere"));
        QCOMPARE(Database::readRecord("nodes", node).value("name"), QVariant(QStringLiteral("Узел")));
        QCOMPARE(Database::readRecord("nodes", node).size(), 15 + 3 + 8 + 24);

        const ZeltoTable data = Database::selectTable("SELECT id, day_data, hour_data FROM nodes_data");
        QCOMPARE(data.columnNames(), (QStringList{"id", "day_data", "hour_data"}));
        QCOMPARE(data.rowCount(), 1);
        QCOMPARE(data.value(0, "day_data").value<ZeltoTable>(), archive);
        QVERIFY(data.value(0, "hour_data").isNull());

        QVERIFY(Database::execute("INSERT INTO check_log (node_id, ctime, atime, archive, message) VALUES (?, ?, ?, ?, ?)",
                                  {node, QDateTime(QDate(2016, 3, 5), QTime(1, 0)), QDateTime(QDate(2016, 3, 4), QTime(0, 0)),
                                   "day_data", "Разрыв"}));
        const ZeltoTable log = Database::selectTable("SELECT atime, message, atime FROM check_log WHERE node_id = ?", {node});
        QCOMPARE(log.columnNames(), (QStringList{"atime", "message"}));   // a repeated name is one column
        QCOMPARE(log.value(0, "atime"), QVariant(QDateTime(QDate(2016, 3, 4), QTime(0, 0))));
        QCOMPARE(log.value(0, "message"), QVariant(QStringLiteral("Разрыв")));

        const ZeltoTable none = Database::selectTable("SELECT id, name FROM nodes WHERE id < 0");
        QCOMPARE(none.columnNames(), (QStringList{"id", "name"}));
        QCOMPARE(none.rowCount(), 0);
        const ZeltoTable failed = Database::selectTable("SELECT * FROM nowhere WHERE id = ?", {1});
        QCOMPARE(failed.columnCount(), 0);
        QCOMPARE(lastError(), QStringLiteral("no such table: nowhere"));

        QSqlQuery update;
        QVERIFY(update.exec("UPDATE nodes SET note = 'x'"));
        QCOMPARE(Database::queryToTable(update).columnCount(), 0);
    }

    void statementTexts()
    {
        const int node = addNode("Узел", 1);
        trace();
        Database::existsId("nodes", node);
        Database::findRowId("nodes", "number = ?", {1});
        Database::selectDistinct("nodes", "name");
        Database::selectDistinctValues("nodes", "name", "id > ?", {0});
        Database::readRecord("nodes", node);
        Database::readData("nodes", node, "day_data");
        Database::writeData("nodes", node, "day_data", QVariantList{1});
        Database::setSetting("a", 1);
        Database::getSetting("a");
        Database::loadSettings();
        Database::removeRecord("nodes", node);
        // Cascaded deletions show the DELETE again; one of each is enough here.
        QStringList statements = m_log.statements();
        statements.removeDuplicates();
        QCOMPARE(statements,
                 (QStringList{"SELECT count(*) FROM nodes WHERE id = ?",
                              "SELECT rowid FROM nodes WHERE number = ?",
                              "SELECT DISTINCT name FROM nodes",
                              "SELECT DISTINCT name FROM nodes WHERE id > ?",
                              "SELECT * FROM nodes WHERE id = ?",
                              QStringLiteral("SELECT day_data FROM nodes_data WHERE id = %1").arg(node),
                              QStringLiteral("UPDATE nodes_data SET day_data = ? WHERE id = %1").arg(node),
                              "INSERT OR REPLACE INTO settings (name, value) VALUES (?, ?)",
                              "SELECT value FROM settings WHERE name = ?",
                              "SELECT name, value FROM settings",
                              QStringLiteral("DELETE FROM nodes WHERE id = %1").arg(node)}));
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
            "SELECT ctime, user_id, group_id, node_id, task_id, level, message FROM journal ORDER BY rowid");
        QCOMPARE(journal.rowCount(), 5);
        for (int row = 0; row < journal.rowCount(); ++row) {
            const QDateTime ctime = journal.value(row, "ctime").toDateTime();
            QVERIFY(ctime >= before && ctime <= after);
            QVERIFY(journal.value(row, "user_id").isNull());   // written by the server itself
        }
        QCOMPARE(journal.value(0, "level"), QVariant("INFO"));
        QCOMPARE(journal.value(0, "message"), QVariant(QStringLiteral("Опрос выполнен")));
        QCOMPARE(journal.value(0, "node_id"), QVariant(node));
        QVERIFY(journal.value(0, "task_id").isNull());
        QCOMPARE(journal.value(1, "level"), QVariant("WARN"));
        for (const char *column : {"group_id", "node_id", "task_id"})
            QVERIFY(journal.value(1, column).isNull());
        QCOMPARE(journal.value(2, "level"), QVariant("ERROR"));
        QCOMPARE(journal.value(2, "task_id"), QVariant(task));
        QCOMPARE(journal.value(3, "level"), QVariant("DEBUG"));
        QCOMPARE(journal.value(3, "group_id"), QVariant(0));
        QVERIFY(journal.value(4, "node_id").isNull());

        // A write that fails leaves only its text behind.
        Database::logInfo("Чужой узел", "node", 999);
        QCOMPARE(count("journal"), 5);
        QCOMPARE(lastError(), QStringLiteral("[+journal] FOREIGN KEY constraint failed"));
    }
};

QTEST_GUILESS_MAIN(RowsTest)
#include "tst_rows.moc"
