#include "database.h"
#include "schema.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMetaObject>
#include <QScopedPointer>
#include <QSettings>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sqlite3.h>

namespace {

QVariant scalar(const QString &statement)
{
    QSqlQuery query;
    if (!query.exec(statement) || !query.next())
        return QVariant();
    return query.value(0);
}

// "type name -> sql" of every schema object, sorted.
QStringList masterRows()
{
    QStringList rows;
    QSqlQuery query;
    query.exec(QStringLiteral("SELECT type, name, sql FROM sqlite_master ORDER BY type, name"));
    while (query.next())
        rows << query.value(0).toString() + QLatin1Char(' ') + query.value(1).toString() + QStringLiteral(" -> ")
                + query.value(2).toString();
    return rows;
}

QMap<QString, QString> sqlOf(const QString &type)
{
    QMap<QString, QString> sql;
    QSqlQuery query;
    query.exec(QStringLiteral("SELECT name, sql FROM sqlite_master WHERE type = '%1'").arg(type));
    while (query.next())
        sql.insert(query.value(0).toString(), query.value(1).toString());
    return sql;
}

QStringList columnsOf(const QString &table)
{
    QStringList columns;
    QSqlQuery query;
    query.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table));
    while (query.next())
        columns << query.value(1).toString() + QLatin1Char(' ') + query.value(2).toString();
    return columns;
}

QStringList columnNamesOf(const QString &table)
{
    QStringList names;
    for (const QString &column : columnsOf(table))
        names << column.section(QLatin1Char(' '), 0, 0);
    return names;
}

// Archive with one row per scheme triple.
ZeltoTable schemeArchive(const QList<QList<int>> &triples)
{
    ZeltoTable table(QStringList{"date", "DB", "S1_scheme", "S2_scheme", "S1_t1"});
    QDateTime date(QDate(2016, 3, 1), QTime(0, 0));
    for (const QList<int> &t : triples) {
        table.appendRow(QVariantList{date, t.at(0), t.at(1), t.at(2), 55.5});
        date = date.addDays(1);
    }
    return table;
}

QList<QList<uint>> triplesOf(const QVariant &value)
{
    QList<QList<uint>> triples;
    const ZeltoTable table = value.value<ZeltoTable>();
    for (int row = 0; row < table.rowCount(); ++row)
        triples << QList<uint>{table.value(row, "DB").toUInt(), table.value(row, "S1_scheme").toUInt(),
                               table.value(row, "S2_scheme").toUInt()};
    return triples;
}

// Statements as they reach SQLite on the open connection (trigger bodies left out).
QStringList *s_traced = nullptr;

int traced(unsigned type, void *, void *, void *text)
{
    const char *sql = static_cast<const char *>(text);
    if (type == SQLITE_TRACE_STMT && s_traced && sql && std::strncmp(sql, "--", 2) != 0)
        *s_traced << QString::fromUtf8(sql);
    return 0;
}

void traceInto(QStringList *statements)
{
    s_traced = statements;
    const QVariant handle = QSqlDatabase::database().driver()->handle();
    sqlite3_trace_v2(*static_cast<sqlite3 *const *>(handle.constData()), statements ? SQLITE_TRACE_STMT : 0,
                     statements ? &traced : nullptr, nullptr);
}

int nodeId(const QString &name)
{
    return Database::findRowId("nodes", "name = ?", {name});
}

} // namespace

class SchemaTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_home;

    void useHome(const QString &path)
    {
        qputenv("ORVEX_HOME", path.toUtf8());
    }

    // Builds a file at the given version with the steps themselves, as an
    // older release left it; the connection stays open for test data.
    void makeFileAtVersion(int version)
    {
        QVERIFY(Database::open());
        QVERIFY(Database::execute("PRAGMA foreign_keys = ON"));
        for (int step = 0; step <= version; ++step) {
            bool done = false;
            const QByteArray slot = "update" + QByteArray::number(step);
            QVERIFY(QMetaObject::invokeMethod(Database::instance(), slot.constData(), Qt::DirectConnection,
                                              Q_RETURN_ARG(bool, done)));
            QVERIFY2(done, qPrintable(ZeltoSystem::instance()->lastError()));
        }
        QVERIFY(Database::execute(QStringLiteral("PRAGMA user_version = %1").arg(version)));
    }

    void addSchemeNode(const QString &name, const QString &model, int number, bool withCurrent)
    {
        const int id = Database::saveRecord("nodes", {{"name", name}, {"model_code", model}, {"number", number}});
        QVERIFY(id > 0);
        if (withCurrent)
            QVERIFY(Database::writeData("nodes", id, "current_data",
                                        QVariant::fromValue(schemeArchive({{9, 9, 9}, {1, 2, 3}}))));
        QVERIFY(Database::writeData("nodes", id, "month_data",
                                    QVariant::fromValue(schemeArchive({{1, 2, 3}, {1, 3, 2}, {0, 5, 6}}))));
        QVERIFY(Database::writeData("nodes", id, "day_data", QVariant::fromValue(schemeArchive({{2, 2, 3}}))));
        QVERIFY(Database::writeData("nodes", id, "hour_data", QVariant::fromValue(schemeArchive({{1, 2, 3}}))));
        QVERIFY(Database::writeData("nodes", id, "day_totals", QVariant::fromValue(schemeArchive({{0, 5, 6}}))));
    }

    void verifySchemesUntouched(const QString &name)
    {
        const int id = nodeId(name);
        QCOMPARE(triplesOf(Database::readData("nodes", id, "month_data")),
                 (QList<QList<uint>>{{1, 2, 3}, {1, 3, 2}, {0, 5, 6}}));
        QCOMPARE(triplesOf(Database::readData("nodes", id, "day_data")), (QList<QList<uint>>{{2, 2, 3}}));
    }

private slots:
    void init()
    {
        m_home.reset(new QTemporaryDir);
        QVERIFY(m_home->isValid());
        useHome(m_home->path());
        ZeltoSystem::instance()->setSettingsPath(QString());
        ZeltoSystem::instance()->clearError();
    }

    void cleanup()
    {
        Database::destroy();
        m_home.reset();
    }

    void freshFileHasTheWholeSchema()
    {
        QCOMPARE(Database::version(), -1);
        QVERIFY(Database::init());
        QCOMPARE(Database::version(), 7);
        QCOMPARE(scalar("PRAGMA user_version").toInt(), 7);
        QVERIFY(QFile::exists(m_home->filePath("telvan.db")));

        const QString nodeColumns = QStringLiteral(
            ", checking DATETIME, address TEXT, contract TEXT, s1_type TEXT, s2_type TEXT, s3_type TEXT, s4_type TEXT, "
            "s5_type TEXT, s6_type TEXT, s7_type TEXT, s8_type TEXT, param1 TEXT, param2 TEXT, param3 TEXT, param4 TEXT, "
            "param5 TEXT, param6 TEXT, param7 TEXT, param8 TEXT, param9 TEXT, param10 TEXT, param11 TEXT, param12 TEXT, "
            "param13 TEXT, param14 TEXT, param15 TEXT, param16 TEXT, param17 TEXT, param18 TEXT, param19 TEXT, "
            "param20 TEXT, param21 TEXT, param22 TEXT, param23 TEXT, param24 TEXT");
        QString nodes = QLatin1String(Schema::CreateNodes);
        nodes.insert(nodes.indexOf("gap_count INTEGER") + int(strlen("gap_count INTEGER")), nodeColumns);
        QString tasks = QLatin1String(Schema::CreateTasks);
        tasks.insert(tasks.indexOf("last_error TEXT") + int(strlen("last_error TEXT")), ", next_exec DATETIME");

        const QMap<QString, QString> expectedTables = {
            {"users", Schema::CreateUsers},           {"users_data", Schema::CreateUsersData},
            {"groups", Schema::CreateGroups},         {"user_groups", Schema::CreateUserGroups},
            {"nodes", nodes},                         {"nodes_data", Schema::CreateNodesData},
            {"setting_data", Schema::CreateSettingData}, {"journal_data", Schema::CreateJournalData},
            {"check_log", Schema::CreateCheckLog},    {"tasks", tasks},
            {"tasks_data", Schema::CreateTasksData},  {"journal", Schema::CreateJournal},
            {"settings", Schema::CreateSettings}};
        QCOMPARE(sqlOf("table"), expectedTables);

        const QMap<QString, QString> expectedTriggers = {
            {"prevent_delete_admin", Schema::refusingTrigger(Schema::PreventDeleteAdmin)},
            {"create_user_data", Schema::CreateUserDataTrigger},
            {"prevent_update_admin_data", Schema::refusingTrigger(Schema::PreventUpdateAdminData)},
            {"prevent_delete_common_group", Schema::refusingTrigger(Schema::PreventDeleteCommonGroup)},
            {"prevent_update_common_group", Schema::refusingTrigger(Schema::PreventUpdateCommonGroup)},
            {"add_common_group_to_user", Schema::AddCommonGroupToUserTrigger},
            {"prevent_update_node_main_info", Schema::refusingTrigger(Schema::PreventUpdateNodeMainInfo)},
            {"create_node_data", Schema::CreateNodeDataTrigger},
            {"reset_old_main_task", Schema::ResetOldMainTaskTrigger},
            {"create_task_data", Schema::CreateTaskDataTrigger}};
        QCOMPARE(sqlOf("trigger"), expectedTriggers);

        // Typed out once more, so that a slip in the constants cannot pass unseen.
        const QMap<QString, QString> tables = sqlOf("table");
        const QMap<QString, QString> triggers = sqlOf("trigger");
        QCOMPARE(tables.value("tasks"),
                 QStringLiteral("CREATE TABLE tasks ( id INTEGER PRIMARY KEY, node_id INTEGER NOT NULL, is_main INTEGET "
                                "NOT NULL DEFAULT 0, mon_interval INTEGER NOT NULL DEFAULT 60, varnel_ip TEXT, varnel_port "
                                "INTEGER, channel_code TEXT NOT NULL, phone_or_ip TEXT, device_id TEXT, archives TEXT, "
                                "timetable_mode TEXT, last_exec DATETIME, last_error TEXT, next_exec DATETIME, FOREIGN KEY "
                                "(node_id) REFERENCES nodes (id) ON DELETE CASCADE)"));
        QCOMPARE(triggers.value("prevent_delete_admin"),
                 QStringLiteral("CREATE TRIGGER prevent_delete_admin BEFORE DELETE ON users WHEN old.id = 0 BEGIN  "
                                "SELECT RAISE(ABORT, 'Удаление администратора запрещено'); END"));
        QCOMPARE(triggers.value("reset_old_main_task"),
                 QStringLiteral("CREATE TRIGGER reset_old_main_task AFTER UPDATE ON tasks WHEN new.is_main = 1 BEGIN  "
                                "UPDATE tasks SET is_main = 0 WHERE node_id == new.node_id AND id <> new.id; END"));

        // The rows the schema creates.
        const QVariantMap admin = Database::readRecord("users", 0);
        QCOMPARE(admin.value("login").toString(), QStringLiteral("admin"));
        QCOMPARE(admin.value("password").toString(), QStringLiteral("37d7cf8dccd9778dc510b0c68dfee247"));
        QCOMPARE(Database::readRecord("groups", 0).value("name").toString(), QStringLiteral("Общие"));
        QVERIFY(Database::existsId("users_data", 0));
        QVERIFY(!Database::exists("user_groups", "user_id = 0"));
        QCOMPARE(scalar("SELECT count(*) FROM users").toInt(), 1);
        QCOMPARE(scalar("SELECT count(*) FROM groups").toInt(), 1);
        QCOMPARE(scalar("PRAGMA foreign_keys").toInt(), 1);

        // A second start on the same file only rewrites the version.
        const QStringList before = masterRows();
        Database::destroy();
        QVERIFY(Database::init());
        QCOMPARE(Database::version(), 7);
        QCOMPARE(masterRows(), before);
    }

    void startUpStatementsInOrder()
    {
        QStringList statements;
        QVERIFY(Database::open());
        traceInto(&statements);
        QVERIFY(Database::prepareSchema());
        traceInto(nullptr);
        const QStringList pragmas = {"PRAGMA cache_size = 10000", "PRAGMA foreign_keys = ON",
                                     "PRAGMA journal_size_limit = 67108864", "PRAGMA journal_mode = WAL"};
        QStringList expected = pragmas;
        expected << "SELECT count(*) FROM sqlite_master WHERE type = 'table'" << "BEGIN";
        expected << Schema::initialSchema() << Schema::journalDataRebuild() << Schema::nodeColumnsOfStep1()
                 << "ALTER TABLE tasks ADD COLUMN next_exec DATETIME" << Schema::nodeParamColumns(6, 24)
                 << "PRAGMA user_version = 7" << "COMMIT";
        QCOMPARE(statements, expected);
        QCOMPARE(expected.at(6 + 5), QStringLiteral("INSERT INTO users (id, login, password) VALUES (0, 'admin', "
                                                    "'37d7cf8dccd9778dc510b0c68dfee247')"));
        QCOMPARE(expected.at(6 + 9), QStringLiteral("INSERT INTO groups (id, name) VALUES (0, 'Общие')"));
        QCOMPARE(expected.at(6 + 25 + 6), QStringLiteral("ALTER TABLE nodes ADD COLUMN checking DATETIME"));
        Database::destroy();

        // A file at the current version: the version is read and written back, nothing else.
        statements.clear();
        QVERIFY(Database::open());
        traceInto(&statements);
        QVERIFY(Database::prepareSchema());
        traceInto(nullptr);
        QCOMPARE(statements, pragmas + QStringList({"SELECT count(*) FROM sqlite_master WHERE type = 'table'",
                                                    "PRAGMA user_version", "BEGIN", "PRAGMA user_version = 7", "COMMIT"}));
    }

    void upgradesEndLikeAFreshFile_data()
    {
        QTest::addColumn<int>("version");
        for (int version = 0; version <= 6; ++version)
            QTest::addRow("from %d", version) << version;
    }

    void upgradesEndLikeAFreshFile()
    {
        QFETCH(int, version);
        QTemporaryDir freshHome;
        useHome(freshHome.path());
        QVERIFY(Database::init());
        const QStringList freshSchema = masterRows();
        QMap<QString, QStringList> freshColumns;
        for (const QString &table : sqlOf("table").keys())
            freshColumns.insert(table, columnsOf(table));
        Database::destroy();

        useHome(m_home->path());
        makeFileAtVersion(version);
        QCOMPARE(scalar("PRAGMA user_version").toInt(), version);
        Database::destroy();

        QVERIFY2(Database::init(), qPrintable(ZeltoSystem::instance()->lastError()));
        QCOMPARE(Database::version(), 7);
        QCOMPARE(scalar("PRAGMA user_version").toInt(), 7);
        QCOMPARE(masterRows(), freshSchema);
        for (auto it = freshColumns.cbegin(); it != freshColumns.cend(); ++it)
            QCOMPARE(columnsOf(it.key()), it.value());
    }

    void stepOneEmptiesDeviceJournalNulls()
    {
        makeFileAtVersion(0);
        const int node = Database::saveRecord("nodes", {{"name", "Узел"}, {"model_code", "TV7"}, {"number", 1}});
        QVERIFY(node > 0);
        const QString insert = "INSERT INTO journal_data (node_id, ctime, param, old_value, new_value) VALUES (?, ?, ?, ?, ?)";
        const QDateTime at(QDate(2016, 3, 3), QTime(10, 0));
        QVERIFY(Database::execute(insert, {node, at, "T1", QVariant(), "5"}));
        QVERIFY(Database::execute(insert, {node, at, "T1", "", "5"}));     // the same once NULL becomes ''
        QVERIFY(Database::execute(insert, {node, at, "T2", "1", QVariant()}));
        Database::destroy();

        QVERIFY(Database::init());
        QCOMPARE(scalar("SELECT count(*) FROM journal_data").toInt(), 2);
        QCOMPARE(scalar("SELECT count(*) FROM journal_data WHERE old_value IS NULL OR new_value IS NULL").toInt(), 0);
        const ZeltoTable rows = Database::selectTable("SELECT param, old_value, new_value, ctime FROM journal_data ORDER BY param");
        QCOMPARE(rows.value(0, "old_value").toString(), QString(""));
        QCOMPARE(rows.value(1, "new_value").toString(), QString(""));
        QCOMPARE(rows.value(0, "ctime").toDateTime(), at);
    }

    void schemeFixOnlyAfterVersionTwo_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<bool>("fixed");
        QTest::newRow("version 2") << 2 << true;
        QTest::newRow("version 1") << 1 << false;
    }

    void schemeFixOnlyAfterVersionTwo()
    {
        QFETCH(int, version);
        QFETCH(bool, fixed);
        makeFileAtVersion(version);
        addSchemeNode("RNH7 с текущими", "RNH7", 1, true);
        addSchemeNode("RNH7 без текущих", "RNH7", 2, false);
        addSchemeNode("Другая модель", "TV7", 3, true);
        Database::destroy();

        QVERIFY2(Database::init(), qPrintable(ZeltoSystem::instance()->lastError()));
        verifySchemesUntouched("RNH7 без текущих");
        verifySchemesUntouched("Другая модель");
        const int id = nodeId("RNH7 с текущими");
        if (!fixed) {
            verifySchemesUntouched("RNH7 с текущими");
            return;
        }
        // Reference (1, 2, 3) from the last current row; differing rows have S1 and S2 swapped.
        const QVariant month = Database::readData("nodes", id, "month_data");
        QCOMPARE(triplesOf(month), (QList<QList<uint>>{{1, 2, 3}, {1, 2, 3}, {0, 6, 5}}));
        const ZeltoTable monthTable = month.value<ZeltoTable>();
        QCOMPARE(monthTable.value(1, "S1_scheme").userType(), int(QMetaType::UInt));
        QCOMPARE(monthTable.value(0, "S1_scheme").userType(), int(QMetaType::Int));   // matching row left as it was
        QCOMPARE(monthTable.value(2, "S1_t1").toDouble(), 55.5);
        QCOMPARE(monthTable.columnNames(), (QStringList{"date", "DB", "S1_scheme", "S2_scheme", "S1_t1"}));
        QCOMPARE(triplesOf(Database::readData("nodes", id, "day_data")), (QList<QList<uint>>{{2, 3, 2}}));
        QCOMPARE(triplesOf(Database::readData("nodes", id, "hour_data")), (QList<QList<uint>>{{1, 2, 3}}));
        QCOMPARE(triplesOf(Database::readData("nodes", id, "day_totals")), (QList<QList<uint>>{{0, 5, 6}}));
        QVERIFY(Database::readData("nodes", id, "month_totals").isNull());

        // Once at version 7, a restart does not swap again.
        Database::destroy();
        QVERIFY(Database::init());
        QCOMPARE(triplesOf(Database::readData("nodes", id, "month_data")),
                 (QList<QList<uint>>{{1, 2, 3}, {1, 2, 3}, {0, 6, 5}}));
    }

    void failingStepLeavesFileAsItWas_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QString>("column");
        QTest::newRow("first step fails") << "tasks" << "next_exec";
        QTest::newRow("later step fails") << "nodes" << "param16";
    }

    void failingStepLeavesFileAsItWas()
    {
        QFETCH(QString, table);
        QFETCH(QString, column);
        makeFileAtVersion(3);
        QVERIFY(Database::execute(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 TEXT").arg(table, column)));
        const QStringList before = masterRows();
        Database::destroy();

        QVERIFY(!Database::init());
        QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("duplicate column name: ") + column);
        QCOMPARE(Database::version(), 3);
        QCOMPARE(scalar("PRAGMA user_version").toInt(), 3);
        QCOMPARE(masterRows(), before);
        QVERIFY(!columnNamesOf("tasks").contains("next_exec") || table == "tasks");
        QVERIFY(!columnNamesOf("nodes").contains("param6"));
        QCOMPARE(Database::transactionDepth(), 0);
    }

    void newerFileKeepsItsVersion()
    {
        QVERIFY(Database::init());
        QVERIFY(Database::execute("PRAGMA user_version = 9"));
        const QStringList before = masterRows();
        Database::destroy();

        ZeltoSystem::instance()->clearError();
        QVERIFY(Database::init());
        QCOMPARE(Database::version(), 9);
        QCOMPARE(scalar("PRAGMA user_version").toInt(), 9);
        QCOMPARE(masterRows(), before);
        QVERIFY(ZeltoSystem::instance()->lastError().contains("9"));
    }

    void badFilesFailWithAMessage_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        const QString notSqlite = QStringLiteral("не является базой данных SQLite");
        QTest::newRow("text") << QByteArray("это не база данных\n").repeated(500) << notSqlite;
        QTest::newRow("one byte") << QByteArray("x") << notSqlite;
        QByteArray header("SQLite format 3");
        header.append('\0');
        QTest::newRow("truncated header") << header + QByteArray(40, '\xff') << QString();
        QTest::newRow("garbage after header") << header + QByteArray(8192, '\xff') << QString();
    }

    void badFilesFailWithAMessage()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QFile file(m_home->filePath("telvan.db"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();

        QVERIFY(!Database::init());
        const QString error = ZeltoSystem::instance()->lastError();
        QVERIFY(!error.isEmpty());
        QVERIFY2(error.contains(message), qPrintable(error));
        QCOMPARE(Database::transactionDepth(), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
    }

    void databaseNameFromIniFile()
    {
        const QString ini = m_home->filePath("orvex-server.ini");
        ZeltoSystem::instance()->setSettingsPath(ini);
        const QString custom = m_home->filePath("данные/база.db");
        QVERIFY(QDir().mkpath(m_home->filePath("данные")));
        {
            QSettings settings(ini, QSettings::IniFormat);
            settings.setValue("Database/databaseName", custom);
        }
        QVERIFY(Database::init());
        QVERIFY(QFile::exists(custom));
        QVERIFY(!QFile::exists(m_home->filePath("telvan.db")));
        Database::destroy();

        // A folder that cannot exist: the open fails with the driver's text.
        QFile plain(m_home->filePath("plain.txt"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        {
            QSettings settings(ini, QSettings::IniFormat);
            settings.setValue("Database/databaseName", m_home->filePath("plain.txt/telvan.db"));
        }
        QVERIFY(!Database::init());
        QVERIFY(ZeltoSystem::instance()->lastError().contains("unable to open database file"));
        ZeltoSystem::instance()->setSettingsPath(QString());
    }

    void triggersRefuseProtectedChanges()
    {
        QVERIFY(Database::init());
        QVERIFY(!Database::removeRecord("users", 0));
        QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("[-users] Удаление администратора запрещено"));
        QVERIFY(!Database::writeData("users", 0, "access", QStringList{"getNodes"}));
        QCOMPARE(ZeltoSystem::instance()->lastError(),
                 QStringLiteral("[*users] Редактирование данных администратора запрещено"));
        QVERIFY(!Database::removeRecord("groups", 0));
        QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("[-groups] Удаление общей группы запрещено"));
        QCOMPARE(Database::saveRecord("groups", {{"id", 0}, {"name", "Все"}}), -1);
        QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("[*groups] Редактирование общей группы запрещено"));

        const int node = Database::saveRecord("nodes", {{"name", "Узел"}, {"model_code", "TV7"}, {"number", 100}});
        QVERIFY(node > 0);
        QCOMPARE(Database::saveRecord("nodes", {{"id", node}, {"model_code", "RNH7"}}), -1);
        QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("[*nodes] Данные не соответствуют узлу"));
        QCOMPARE(Database::saveRecord("nodes", {{"id", node}, {"number", 101}}), -1);
        QCOMPARE(ZeltoSystem::instance()->lastError(), QStringLiteral("[*nodes] Данные не соответствуют узлу"));
        QCOMPARE(Database::saveRecord("nodes", {{"id", node}, {"name", "Новое имя"}}), node);   // other columns may change

        QCOMPARE(Database::readRecord("users", 0).value("login").toString(), QStringLiteral("admin"));
        QCOMPARE(Database::readRecord("groups", 0).value("name").toString(), QStringLiteral("Общие"));
        QCOMPARE(Database::readRecord("nodes", node).value("model_code").toString(), QStringLiteral("TV7"));
    }

    void triggersCreateCompanionRows()
    {
        QVERIFY(Database::init());
        const int user = Database::saveRecord("users", {{"login", "ivanov"}, {"password", "x"}});
        QVERIFY(user > 0);
        QVERIFY(Database::existsId("users_data", user));
        QVERIFY(Database::exists("user_groups", "user_id = ? AND group_id = 0", {user}));
        const int node = Database::saveRecord("nodes", {{"name", "Узел"}, {"model_code", "TV7"}, {"number", 1}});
        QVERIFY(Database::existsId("nodes_data", node));
        const int task = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "tcp"}});
        QVERIFY(Database::existsId("tasks_data", task));

        // One main task per node: marking another one clears the first.
        const int second = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "gsm"}});
        const int otherNode = Database::saveRecord("nodes", {{"name", "Другой"}, {"model_code", "TV7"}, {"number", 2}});
        const int foreign = Database::saveRecord("tasks", {{"node_id", otherNode}, {"channel_code", "tcp"}, {"is_main", 1}});
        QCOMPARE(Database::saveRecord("tasks", {{"id", task}, {"is_main", 1}}), task);
        QCOMPARE(Database::saveRecord("tasks", {{"id", second}, {"is_main", 1}}), second);
        QCOMPARE(Database::readRecord("tasks", task).value("is_main").toInt(), 0);
        QCOMPARE(Database::readRecord("tasks", second).value("is_main").toInt(), 1);
        QCOMPARE(Database::readRecord("tasks", foreign).value("is_main").toInt(), 1);
    }

    void deletionsCascadeOrClearReferences()
    {
        QVERIFY(Database::init());
        const int group = Database::saveRecord("groups", {{"name", "Район"}});
        const int user = Database::saveRecord("users", {{"login", "petrov"}, {"password", "x"}});
        const int node = Database::saveRecord("nodes", {{"name", "Узел"}, {"model_code", "TV7"}, {"number", 1}});
        const int keptNode = Database::saveRecord("nodes", {{"name", "Другой"}, {"model_code", "TV7"}, {"number", 2}});
        const int task = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "tcp"}});
        const int keptTask = Database::saveRecord("tasks", {{"node_id", keptNode}, {"channel_code", "tcp"}});
        QVERIFY(group > 0 && user > 0 && node > 0 && keptNode > 0 && task > 0 && keptTask > 0);
        const QDateTime now = QDateTime::currentDateTime();
        QVERIFY(Database::execute("INSERT INTO setting_data (node_id, name, value) VALUES (?, 'a', '1')", {node}));
        QVERIFY(Database::execute("INSERT INTO journal_data (node_id, ctime, param) VALUES (?, ?, 'p')", {node, now}));
        QVERIFY(Database::execute("INSERT INTO check_log (node_id, ctime, atime, archive, message) "
                                  "VALUES (?, ?, ?, 'day_data', 'm')", {node, now, now}));
        QVERIFY(Database::saveRecord("journal", {{"ctime", now}, {"node_id", node}, {"level", "INFO"}, {"message", "n"}}) > 0);
        QVERIFY(Database::saveRecord("journal", {{"ctime", now}, {"task_id", keptTask}, {"level", "INFO"}, {"message", "t"}}) > 0);
        QVERIFY(Database::saveRecord("journal", {{"ctime", now}, {"group_id", group}, {"user_id", user},
                                                  {"level", "INFO"}, {"message", "g"}}) > 0);

        QVERIFY(Database::removeRecord("nodes", node));
        for (const char *table : {"nodes_data", "tasks_data"})
            QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE id IN (%2, %3)").arg(table).arg(node).arg(task)).toInt(), 0);
        for (const char *table : {"setting_data", "journal_data", "check_log", "tasks", "journal"})
            QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE node_id = %2").arg(table).arg(node)).toInt(), 0);
        QVERIFY(Database::existsId("nodes_data", keptNode));

        QVERIFY(Database::removeRecord("tasks", keptTask));
        QVERIFY(Database::removeRecord("users", user));
        QVERIFY(Database::removeRecord("groups", group));
        QCOMPARE(scalar("SELECT count(*) FROM journal").toInt(), 2);
        QCOMPARE(scalar("SELECT count(*) FROM journal WHERE task_id IS NULL AND message = 't'").toInt(), 1);
        QCOMPARE(scalar("SELECT count(*) FROM journal WHERE group_id IS NULL AND user_id IS NULL AND message = 'g'").toInt(), 1);
        QVERIFY(!Database::existsId("tasks_data", keptTask));
        QVERIFY(!Database::existsId("users_data", user));
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "tst_schema.moc"
