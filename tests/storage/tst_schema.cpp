#include "database.h"
#include "rawquery.h"
#include "zeltoenvironment.h"

#include <QtTest>

namespace {

// "type name -> sql" of every schema object (columns included), sorted.
QVariantList masterRows()
{
    const QString all = "SELECT type || ' ' || name || ' -> ' || ifnull(sql, '') AS o FROM sqlite_master ORDER BY type, name";
    return Database::selectTable(all).columnValues("o");
}

// Archive with one row per scheme triple, written as digits "DB S1 S2": "123 132".
ZeltoTable schemeArchive(const QString &triples)
{
    ZeltoTable table(QStringList{"date", "DB", "S1_scheme", "S2_scheme", "S1_t1"});
    int day = 0;
    for (const QString &t : triples.split(' '))
        table.appendRow(QVariantList{QDateTime(QDate(2016, 3, ++day), QTime(0, 0)), t.mid(0, 1).toInt(), t.mid(1, 1).toInt(),
                                     t.mid(2, 1).toInt(), 55.5});
    return table;
}

// The triples of a stored archive in the same form.
QString triplesOf(int nodeId, const QString &archive)
{
    QStringList triples;
    const ZeltoTable table = Database::readData("nodes", nodeId, archive).value<ZeltoTable>();
    for (int row = 0; row < table.rowCount(); ++row)
        triples << table.value(row, "DB").toString() + table.value(row, "S1_scheme").toString()
                       + table.value(row, "S2_scheme").toString();
    return triples.join(' ');
}

int nodeId(const QString &name) { return Database::findRowId("nodes", "name = ?", {name}); }

} // namespace

class SchemaTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<QTemporaryDir> m_home;
    QVariantList m_freshSchema;

    // A file at the given version, built by the steps; the connection stays open.
    void makeFileAtVersion(int version)
    {
        QVERIFY(Database::open().ok());
        QVERIFY(Database::execute("PRAGMA foreign_keys = ON"));
        for (int step = 0; step <= version; ++step) {
            bool done = false;
            const QByteArray slot = "update" + QByteArray::number(step);
            QVERIFY(QMetaObject::invokeMethod(Database::instance(), slot.constData(), Qt::DirectConnection,
                                              Q_RETURN_ARG(bool, done)));
            QVERIFY2(done, qPrintable(lastError()));
        }
        QVERIFY(Database::execute(QStringLiteral("PRAGMA user_version = %1").arg(version)));
    }

    void addSchemeNode(const QString &name, const QString &model, int number, bool withCurrent)
    {
        const int id = Database::saveRecord("nodes", {{"name", name}, {"model_code", model}, {"number", number}});
        const QStringList archives{"current_data", "month_data", "day_data", "hour_data", "day_totals"};
        const QStringList triples{"999 123", "123 132 056", "223", "123", "056"};
        for (int i = withCurrent ? 0 : 1; i < archives.size(); ++i)
            QVERIFY(Database::writeData("nodes", id, archives.at(i), QVariant::fromValue(schemeArchive(triples.at(i)))));
    }

private slots:
    void initTestCase()
    {
        QTemporaryDir freshHome;
        ZeltoEnvironment::set("ORVEX_HOME", freshHome.path());
        QVERIFY(Database::init().ok());
        m_freshSchema = masterRows();
        QVERIFY(m_freshSchema.size() > 20);
        Database::destroy();
    }

    void init()
    {
        m_home.reset(new QTemporaryDir);
        QVERIFY(m_home->isValid());
        ZeltoEnvironment::set("ORVEX_HOME", m_home->path());
        ZeltoSystem::instance()->setSettingsPath(QString());
        ZeltoSystem::instance()->clearError();
    }

    void cleanup() { Database::destroy(); m_home.reset(); }

    void freshFileHasTheWholeSchema()
    {
        QCOMPARE(Database::version(), -1);
        QVERIFY(Database::init().ok());
        QCOMPARE(Database::version(), 8);
        // WAL: readers go on while a writer (a backup, a save) works; the log stays bounded. Freed pages
        // are not zeroed (2, "fast"): a save frees its row's old pages, and zeroing them doubled its writes.
        QCOMPARE(QVariantList({scalar("PRAGMA user_version"), scalar("PRAGMA foreign_keys"), scalar("PRAGMA journal_mode"),
                               scalar("PRAGMA journal_size_limit"), scalar("PRAGMA secure_delete")}),
                 QVariantList({8, 1, "wal", 67108864, 2}));
        // What the node list looks up per node is indexed (step 8).
        QCOMPARE(scalar("SELECT group_concat(name || ' ' || tbl_name) FROM (SELECT name, tbl_name FROM sqlite_master "
                        "WHERE type = 'index' AND sql IS NOT NULL ORDER BY name)").toString(),
                 QStringLiteral("check_log_node_ctime check_log,tasks_node_id tasks"));
        QVERIFY(QFile::exists(m_home->filePath("telvan.db")));

        // The rows the schema creates: the administrator (password "tavro", as MD5) and the common group.
        QCOMPARE(scalar("SELECT (SELECT password FROM users WHERE id = 0) || ' ' || (SELECT name FROM groups WHERE id = 0)"),
                 QVariant("37d7cf8dccd9778dc510b0c68dfee247 Общие"));
        QCOMPARE(scalar("SELECT (SELECT count(*) FROM users) || (SELECT count(*) FROM groups) "
                        "|| (SELECT count(*) FROM users_data) || (SELECT count(*) FROM user_groups)").toString(), "1110");

        // A second start on the same file changes nothing.
        Database::destroy();
        QVERIFY(Database::init().ok());
        QCOMPARE(Database::version(), 8);
        QCOMPARE(masterRows(), m_freshSchema);
    }

    void stepOneEmptiesDeviceJournalNulls()
    {
        makeFileAtVersion(0);
        const int node = addNode("Узел", 1);
        const QDateTime at(QDate(2016, 3, 3), QTime(10, 0));   // the second row is the first once NULL becomes ''
        QVERIFY(Database::execute("INSERT INTO journal_data (node_id, ctime, param, old_value, new_value) VALUES "
                                  "(?, ?, 'T1', NULL, '5'), (?, ?, 'T1', '', '5'), (?, ?, 'T2', '1', NULL)",
                                  {node, at, node, at, node, at}));
        Database::destroy();

        QVERIFY(Database::init().ok());
        QCOMPARE(scalar("SELECT group_concat(param || ' ' || quote(old_value) || ' ' || quote(new_value) || ' ' || ctime, "
                        "'; ') FROM (SELECT * FROM journal_data ORDER BY param)").toString(),
                 QStringLiteral("T1 '' '5' 2016-03-03T10:00:00.000; T2 '1' '' 2016-03-03T10:00:00.000"));
    }

    void schemeFixOnlyAfterVersionTwo_data()
    {
        QTest::addColumn<int>("version");
        QTest::newRow("version 2") << 2;
        QTest::newRow("version 1, not fixed") << 1;
    }

    void schemeFixOnlyAfterVersionTwo()
    {
        QFETCH(int, version);
        makeFileAtVersion(version);
        addSchemeNode("RNH7 с текущими", "RNH7", 1, true);
        addSchemeNode("RNH7 без текущих", "RNH7", 2, false);
        addSchemeNode("Другая модель", "TV7", 3, true);
        Database::destroy();

        const ZeltoStatus opened = Database::init();
        QVERIFY2(opened.ok(), qPrintable(opened.message()));
        QStringList untouched{"RNH7 без текущих", "Другая модель"};
        if (version < 2)
            untouched << "RNH7 с текущими";
        for (const QString &name : untouched)
            QCOMPARE(triplesOf(nodeId(name), "month_data") + '/' + triplesOf(nodeId(name), "day_data"), "123 132 056/223");
        if (version < 2)
            return;
        const int id = nodeId("RNH7 с текущими");
        // Reference (1, 2, 3) from the last current row; differing rows have S1 and S2 swapped.
        QCOMPARE(triplesOf(id, "month_data"), QStringLiteral("123 123 065"));
        const ZeltoTable month = Database::readData("nodes", id, "month_data").value<ZeltoTable>();
        // The matching row (0) left as it was.
        QCOMPARE(QVariantList({month.value(1, "S1_scheme").userType(), month.value(0, "S1_scheme").userType(),
                               month.value(2, "S1_t1")}), QVariantList({int(QMetaType::UInt), int(QMetaType::Int), 55.5}));
        QCOMPARE(month.columnNames(), (QStringList{"date", "DB", "S1_scheme", "S2_scheme", "S1_t1"}));
        QCOMPARE(triplesOf(id, "day_data") + '/' + triplesOf(id, "hour_data") + '/' + triplesOf(id, "day_totals"),
                 QStringLiteral("232/123/056"));
        QVERIFY(Database::readData("nodes", id, "month_totals").isNull());

        // Once upgraded, a restart does not swap again.
        Database::destroy();
        QVERIFY(Database::init().ok());
        QCOMPARE(triplesOf(id, "month_data"), QStringLiteral("123 123 065"));
    }

    void fileOfAnotherVersion_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<QString>("change");   // made to the file at that version
        QTest::addColumn<bool>("opens");
        QTest::addColumn<int>("after");
        QTest::addColumn<QString>("error");
        for (int version = 0; version <= 7; ++version)
            QTest::addRow("upgrade from %d", version) << version << QString() << true << 8 << QString();
        const QString add = "ALTER TABLE %1 ADD COLUMN %2 TEXT", duplicate = "duplicate column name: ";
        QTest::newRow("first step fails") << 3 << add.arg("tasks", "next_exec") << false << 3 << duplicate + "next_exec";
        QTest::newRow("later step fails") << 3 << add.arg("nodes", "param16") << false << 3 << duplicate + "param16";
        QTest::newRow("last step fails") << 7 << "CREATE INDEX tasks_node_id ON tasks (id)" << false << 7
                                         << "index tasks_node_id already exists";
        QTest::newRow("newer file kept") << 8 << "PRAGMA user_version = 9" << true << 9 << "9";
    }

    // An upgrade ends like a fresh file; a failed one, or a newer file, is left as it was.
    void fileOfAnotherVersion()
    {
        QFETCH(int, version);
        QFETCH(QString, change);
        QFETCH(bool, opens);
        QFETCH(int, after);
        QFETCH(QString, error);
        makeFileAtVersion(version);
        QVERIFY(change.isEmpty() || Database::execute(change));
        const QVariantList before = masterRows();
        Database::destroy();

        const ZeltoStatus opened = Database::init();
        QCOMPARE(opened.ok(), opens);
        QVERIFY2(opened.message().contains(error), qPrintable(opened.message()));
        QCOMPARE(QVariantList({Database::version(), scalar("PRAGMA user_version")}), QVariantList({after, after}));
        QCOMPARE(masterRows(), after == 8 ? m_freshSchema : before);
        QCOMPARE(Database::transactionDepth(), 0);
    }

    void badFilesFailWithAMessage_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("message");
        const QString notSqlite = "не является базой данных SQLite";
        QTest::newRow("text") << QByteArray("это не база данных\n").repeated(500) << notSqlite;
        const QByteArray header("SQLite format 3\0", 16);
        QTest::newRow("truncated header") << header + QByteArray(40, '\xff') << QString();
        QTest::newRow("garbage after header") << header + QByteArray(8192, '\xff') << QString();
    }

    void badFilesFailWithAMessage()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, message);
        QFile file(m_home->filePath("telvan.db"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        file.close();

        const ZeltoStatus opened = Database::init();
        QVERIFY(!opened.ok());
        QVERIFY2(!opened.message().isEmpty() && opened.message().contains(message), qPrintable(opened.message()));
        QCOMPARE(Database::transactionDepth(), 0);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
    }

    void databaseNameFromIniFile()
    {
        const QString ini = m_home->filePath("orvex-server.ini");
        ZeltoSystem::instance()->setSettingsPath(ini);
        const auto useFile = [&](const QString &file) {
            QSettings(ini, QSettings::IniFormat).setValue("Database/databaseName", file);
        };
        const QString custom = m_home->filePath("данные/база.db");
        QVERIFY(QDir().mkpath(m_home->filePath("данные")));
        useFile(custom);
        QVERIFY(Database::init().ok());
        QVERIFY(QFile::exists(custom) && !QFile::exists(m_home->filePath("telvan.db")));
        Database::destroy();

        // A folder that cannot exist: the open fails with the driver's text.
        QVERIFY(QFile(m_home->filePath("plain.txt")).open(QIODevice::WriteOnly));
        useFile(m_home->filePath("plain.txt/telvan.db"));
        const ZeltoStatus opened = Database::init();
        QVERIFY2(!opened.ok() && opened.message().contains("unable to open database file"), qPrintable(opened.message()));
    }

    void triggersGuardAndCompleteRecords()
    {
        QVERIFY(Database::init().ok());
        QCOMPARE(failure(!Database::removeRecord("users", 0)), "[-users] Удаление администратора запрещено");
        QCOMPARE(failure(!Database::writeData("users", 0, "access", QStringList{"getNodes"})),
                 "[*users] Редактирование данных администратора запрещено");
        QVERIFY(!Database::removeRecord("groups", 0));
        QCOMPARE(failure(Database::saveRecord("groups", {{"id", 0}, {"name", "Все"}}) == -1),
                 "[*groups] Редактирование общей группы запрещено");
        QCOMPARE(Database::readRecord("groups", 0).value("name").toString(), QStringLiteral("Общие"));

        // A node's model and number are fixed; its other columns may change.
        const int node = addNode("Узел", 1);
        QCOMPARE(failure(Database::saveRecord("nodes", {{"id", node}, {"model_code", "RNH7"}}) == -1),
                 "[*nodes] Данные не соответствуют узлу");
        QCOMPARE(Database::saveRecord("nodes", {{"id", node}, {"name", "Новое имя"}}), node);

        // Companion rows: user data and the common group, node data, task data.
        const int user = Database::saveRecord("users", {{"login", "ivanov"}, {"password", "x"}});
        const int task = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "tcp"}});
        QVERIFY(Database::existsId("users_data", user) && Database::existsId("nodes_data", node)
                && Database::existsId("tasks_data", task));
        QVERIFY(Database::exists("user_groups", "user_id = ? AND group_id = 0", {user}));

        // One main task per node: marking another one clears the first, on its node only.
        const int second = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "gsm"}});
        const int otherNode = addNode("Другой", 2);
        const int foreign = Database::saveRecord("tasks", {{"node_id", otherNode}, {"channel_code", "tcp"}, {"is_main", 1}});
        QCOMPARE(Database::saveRecord("tasks", {{"id", task}, {"is_main", 1}}), task);
        QCOMPARE(Database::saveRecord("tasks", {{"id", second}, {"is_main", 1}}), second);
        QCOMPARE(scalar(QStringLiteral("SELECT group_concat(is_main) FROM (SELECT is_main FROM tasks WHERE id IN (%1, %2, %3) "
                                       "ORDER BY id)").arg(task).arg(second).arg(foreign)).toString(),
                 QStringLiteral("0,1,1"));
    }

    void deletionsCascadeOrClearReferences()
    {
        QVERIFY(Database::init().ok());
        const int group = Database::saveRecord("groups", {{"name", "Район"}});
        const int user = Database::saveRecord("users", {{"login", "petrov"}, {"password", "x"}});
        const int node = addNode("Узел", 1);
        const int keptNode = addNode("Другой", 2);
        const int task = Database::saveRecord("tasks", {{"node_id", node}, {"channel_code", "tcp"}});
        const int keptTask = Database::saveRecord("tasks", {{"node_id", keptNode}, {"channel_code", "tcp"}});
        const int grouped = Database::saveRecord("nodes", {{"name", "В районе"}, {"model_code", "TV7"}, {"number", 3},
                                                           {"group_id", group}});
        const int groupedTask = Database::saveRecord("tasks", {{"node_id", grouped}, {"channel_code", "tcp"}});
        QVERIFY(group > 0 && user > 0 && node > 0 && keptNode > 0 && task > 0 && keptTask > 0 && grouped > 0
                && groupedTask > 0);
        const QDateTime now = QDateTime::currentDateTime();
        QVERIFY(Database::execute("INSERT INTO setting_data (node_id, name, value) VALUES (?, 'a', '1')", {node}));
        QVERIFY(Database::execute("INSERT INTO journal_data (node_id, ctime, param) VALUES (?, ?, 'p')", {node, now}));
        QVERIFY(Database::execute("INSERT INTO check_log (node_id, ctime, atime, archive, message) "
                                  "VALUES (?, ?, ?, 'day_data', 'm')", {node, now, now}));
        QVERIFY(Database::execute("INSERT INTO journal (ctime, level, node_id, task_id, group_id, user_id, message) VALUES "
                                  "(?, 'INFO', ?, NULL, NULL, NULL, 'n'), (?, 'INFO', NULL, ?, NULL, NULL, 't'), "
                                  "(?, 'INFO', NULL, NULL, ?, ?, 'g')", {now, node, now, keptTask, now, group, user}));

        QVERIFY(Database::removeRecord("nodes", node));
        for (const char *table : {"nodes_data", "tasks_data"})
            QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE id IN (?, ?)").arg(table), {node, task}).toInt(), 0);
        for (const char *table : {"setting_data", "journal_data", "check_log", "tasks", "journal"})
            QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE node_id = %2").arg(table).arg(node)).toInt(), 0);
        QVERIFY(Database::existsId("nodes_data", keptNode));

        // Removing a task, user or group keeps their journal entries, unlinked.
        QVERIFY(Database::removeRecord("tasks", keptTask));
        QVERIFY(Database::removeRecord("users", user));
        QVERIFY(Database::removeRecord("groups", group));
        QCOMPARE(scalar("SELECT group_concat(message) FROM journal WHERE task_id IS NULL AND group_id IS NULL "
                        "AND user_id IS NULL").toString(), QStringLiteral("t,g"));
        QVERIFY(!Database::existsId("tasks_data", keptTask) && !Database::existsId("users_data", user));
        QVERIFY(!Database::existsId("nodes", grouped) && !Database::existsId("tasks", groupedTask));   // gone with their group
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "tst_schema.moc"
