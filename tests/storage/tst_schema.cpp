#include "rawquery.h"

#include <QtTest>

namespace {

// The schema: on SQLite "type name -> sql" of every object (columns included), sorted; on PostgreSQL the
// counts of tables and triggers, the version and the count of version rows.
QVariantList schemaObjects()
{
    const QString all = testsOnPostgres()
        ? "SELECT (SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()) || ' ' || "
          "(SELECT count(*) FROM information_schema.triggers) || ' ' || (SELECT version FROM schema_version) || ' ' || "
          "(SELECT count(*) FROM schema_version) AS o"
        : "SELECT type || ' ' || name || ' -> ' || ifnull(sql, '') AS o FROM sqlite_master ORDER BY type, name";
    return testDatabase().rows(all).value().columnValues("o");
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
    const ZeltoTable table = testDatabase().data("nodes", nodeId, archive).value().value<ZeltoTable>();
    for (int row = 0; row < table.rowCount(); ++row)
        triples << table.value(row, "DB").toString() + table.value(row, "S1_scheme").toString()
                       + table.value(row, "S2_scheme").toString();
    return triples.join(' ');
}

int nodeId(const QString &name) { return testDatabase().findId("nodes", "name = ?", {name}).valueOr(-1); }

} // namespace

// SQLite files of this and earlier releases; a new PostgreSQL database: newDatabaseHasTheWholeSchema.
#define SQLITE_FILE_ONLY()                                                                                             \
    if (testsOnPostgres())                                                                                             \
    QSKIP("SQLite files")

class SchemaTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;
    QVariantList m_freshSchema;

    // A file at the given version, built by the steps; the connection stays open.
    void makeFileAtVersion(int version)
    {
        QVERIFY(Database::open().ok());
        QVERIFY(testDatabase().run("PRAGMA foreign_keys = ON").ok());
        for (int step = 0; step <= version; ++step) {
            bool done = false;
            const QByteArray slot = "update" + QByteArray::number(step);
            QVERIFY(QMetaObject::invokeMethod(&testDatabase(), slot.constData(), Qt::DirectConnection,
                                              Q_RETURN_ARG(bool, done)));
            QVERIFY2(done, slot.constData());
        }
        QVERIFY(testDatabase().run(QStringLiteral("PRAGMA user_version = %1").arg(version)).ok());
    }

    void addSchemeNode(const QString &name, const QString &model, int number, bool withCurrent)
    {
        const int id
            = testDatabase().save("nodes", {{"name", name}, {"model_code", model}, {"number", number}}).valueOr(-1);
        const QStringList archives{"current_data", "month_data", "day_data", "hour_data", "day_totals"};
        const QStringList triples{"999 123", "123 132 056", "223", "123", "056"};
        for (int i = withCurrent ? 0 : 1; i < archives.size(); ++i)
            QVERIFY(testDatabase()
                        .write("nodes", id, {{archives.at(i), QVariant::fromValue(schemeArchive(triples.at(i)))}})
                        .ok());
    }

private slots:
    void initTestCase()
    {
        if (testsOnPostgres())
            return;
        TempDatabaseHome fresh;
        QCOMPARE(outcome(fresh.open()), "ok");
        m_freshSchema = schemaObjects();
        QVERIFY(m_freshSchema.size() > 20);
    }

    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QCOMPARE(outcome(m_home->prepare()), "ok");
    }

    void cleanup() { m_home.reset(); }

    // A new database gets the whole schema at this release's version (its administrator and common group: every
    // end-to-end test logs in as the one and test_api lists the other); a second start keeps it.
    void newDatabaseHasTheWholeSchema()
    {
        const ZeltoStatus opened = Database::init();
        QVERIFY2(opened.ok(), qPrintable(opened.message()));
        QCOMPARE(testDatabase().schemaVersion(), 8);
        const QVariantList objects = schemaObjects();
        QVERIFY(QFile::exists(m_home->filePath("telvan.db")) != testsOnPostgres());
        if (testsOnPostgres()) {
            QCOMPARE(objects, QVariantList{"14 14 8 1"});
        } else {
            // WAL: readers go on while a writer (a backup, a save) works; the log stays bounded. Freed pages
            // are not zeroed (2, "fast"): a save frees its row's old pages, and zeroing them doubled its writes.
            QCOMPARE(QVariantList({scalar("PRAGMA user_version"), scalar("PRAGMA foreign_keys"),
                                   scalar("PRAGMA journal_mode"), scalar("PRAGMA journal_size_limit"),
                                   scalar("PRAGMA secure_delete")}),
                     QVariantList({8, 1, "wal", 67108864, 2}));
        }
        Database::destroy();
        QVERIFY(Database::init().ok());
        QCOMPARE(testDatabase().schemaVersion(), 8);
        QCOMPARE(schemaObjects(), objects);
    }

    void stepOneEmptiesDeviceJournalNulls()
    {
        SQLITE_FILE_ONLY();
        makeFileAtVersion(0);
        const int node = addNode("Узел", 1);
        const QDateTime at(QDate(2016, 3, 3), QTime(10, 0));   // the second row is the first once NULL becomes ''
        QVERIFY(testDatabase().run("INSERT INTO journal_data (node_id, ctime, param, old_value, new_value) VALUES "
                                  "(?, ?, 'T1', NULL, '5'), (?, ?, 'T1', '', '5'), (?, ?, 'T2', '1', NULL)",
                                  {node, at, node, at, node, at}).ok());
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
        SQLITE_FILE_ONLY();
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
        const ZeltoTable month = testDatabase().data("nodes", id, "month_data").value().value<ZeltoTable>();
        // The matching row (0) left as it was.
        QCOMPARE(QVariantList({month.value(1, "S1_scheme").userType(), month.value(0, "S1_scheme").userType(),
                               month.value(2, "S1_t1")}), QVariantList({int(QMetaType::UInt), int(QMetaType::Int), 55.5}));
        QCOMPARE(month.columnNames(), (QStringList{"date", "DB", "S1_scheme", "S2_scheme", "S1_t1"}));
        QCOMPARE(triplesOf(id, "day_data") + '/' + triplesOf(id, "hour_data") + '/' + triplesOf(id, "day_totals"),
                 QStringLiteral("232/123/056"));
        QVERIFY(testDatabase().data("nodes", id, "month_totals").value().isNull());

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
        QTest::newRow("later step fails") << 3 << add.arg("nodes", "param16") << false << 3 << duplicate + "param16";
        QTest::newRow("last step fails") << 7 << "CREATE INDEX tasks_node_id ON tasks (id)" << false << 7
                                         << "index tasks_node_id already exists";
        QTest::newRow("newer file kept") << 8 << "PRAGMA user_version = 9" << true << 9 << "9";
    }

    // An upgrade ends like a fresh file; a failed one, or a newer file, is left as it was.
    void fileOfAnotherVersion()
    {
        SQLITE_FILE_ONLY();
        QFETCH(int, version);
        QFETCH(QString, change);
        QFETCH(int, after);
        QFETCH(QString, error);
        makeFileAtVersion(version);
        QVERIFY(change.isEmpty() || testDatabase().run(change).ok());
        const QVariantList before = schemaObjects();
        Database::destroy();

        const ZeltoStatus opened = Database::init();
        QTEST(opened.ok(), "opens");
        QVERIFY2(opened.message().contains(error), qPrintable(opened.message()));
        QCOMPARE(QVariantList({testDatabase().schemaVersion(), scalar("PRAGMA user_version")}),
                 QVariantList({after, after}));
        QCOMPARE(schemaObjects(), after == 8 ? m_freshSchema : before);
        QCOMPARE(testDatabase().openScopes(), 0);
    }

    // A file that is no database, or a damaged one, fails to open with a message and stays as it was.
    void badFilesFailWithAMessage()
    {
        SQLITE_FILE_ONLY();
        const QByteArray header("SQLite format 3\0", 16);
        const QList<QPair<QByteArray, QString>> files{
            {QByteArray("это не база данных\n").repeated(500), "не является базой данных SQLite"},
            {header + QByteArray(40, '\xff'), QString()}, {header + QByteArray(8192, '\xff'), QString()}};
        for (const auto &content : files) {
            QFile file(m_home->filePath("telvan.db"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content.first) == content.first.size());
            file.close();

            const ZeltoStatus opened = Database::init();
            QVERIFY2(!opened.ok() && !opened.message().isEmpty() && opened.message().contains(content.second),
                     qPrintable(opened.message()));
            QCOMPARE(testDatabase().openScopes(), 0);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), content.first);
        }
    }

    void triggersGuardRecordsAndKeepOneMainTask()
    {
        QVERIFY(Database::init().ok());
        Database &db = testDatabase();
        QCOMPARE(outcome(db.remove("users", 0)), "conflict: [-users] Удаление администратора запрещено");
        QCOMPARE(outcome(db.write("users", 0, {{"access", QStringList{"getNodes"}}})),
                 "conflict: [*users] Редактирование данных администратора запрещено");
        // (The common group's removal refused as a conflict: test_api test_group_visibility.)
        QCOMPARE(outcome(db.save("groups", {{"id", 0}, {"name", "Все"}})),
                 "conflict: [*groups] Редактирование общей группы запрещено");
        QCOMPARE(db.record("groups", 0).value().value("name").toString(), QStringLiteral("Общие"));

        // A node's model and number are fixed; its other columns may change.
        const int node = addNode("Узел", 1);
        for (const QString fixed : {"model_code", "number"})
            QCOMPARE(fixed + ": " + outcome(db.save("nodes", {{"id", node}, {fixed, 5}})),
                     fixed + ": conflict: [*nodes] Данные не соответствуют узлу");
        QCOMPARE(db.save("nodes", {{"id", node}, {"name", "Новое имя"}}).valueOr(-1), node);

        // One main task per node: marking another one clears the first, on its node only. (The companion rows of
        // users, nodes and tasks the triggers add are read by every test of the commands.)
        const int task = db.save("tasks", {{"node_id", node}, {"channel_code", "tcp"}}).valueOr(-1);
        const int second = db.save("tasks", {{"node_id", node}, {"channel_code", "gsm"}}).valueOr(-1);
        const int otherNode = addNode("Другой", 2);
        const int foreign
            = db.save("tasks", {{"node_id", otherNode}, {"channel_code", "tcp"}, {"is_main", 1}}).valueOr(-1);
        QCOMPARE(db.save("tasks", {{"id", task}, {"is_main", 1}}).valueOr(-1), task);
        QCOMPARE(db.save("tasks", {{"id", second}, {"is_main", 1}}).valueOr(-1), second);
        QCOMPARE(scalar(QStringLiteral("SELECT %4 FROM (SELECT is_main FROM tasks WHERE id IN (%1, %2, %3) ORDER BY id) AS t")
                            .arg(task).arg(second).arg(foreign).arg(testDatabase().sqlDialect().joined("is_main"))).toString(),
                 QStringLiteral("0,1,1"));
    }

    void deletionsCascadeOrClearReferences()
    {
        QVERIFY(Database::init().ok());
        Database &db = testDatabase();
        const auto save
            = [&db](const QString &table, const QVariantMap &row) { return db.save(table, row).valueOr(-1); };
        const auto exists = [&db](const QString &table, int id) { return db.has(table, "id = ?", {id}).value(); };
        const int group = save("groups", {{"name", "Район"}});
        const int user = save("users", {{"login", "petrov"}, {"password", "x"}});
        const int node = addNode("Узел", 1);
        const int keptNode = addNode("Другой", 2);
        const int task = save("tasks", {{"node_id", node}, {"channel_code", "tcp"}});
        const int keptTask = save("tasks", {{"node_id", keptNode}, {"channel_code", "tcp"}});
        const int grouped
            = save("nodes", {{"name", "В районе"}, {"model_code", "TV7"}, {"number", 3}, {"group_id", group}});
        const int groupedTask = save("tasks", {{"node_id", grouped}, {"channel_code", "tcp"}});
        QVERIFY(group > 0 && user > 0 && node > 0 && keptNode > 0 && task > 0 && keptTask > 0 && grouped > 0
                && groupedTask > 0);
        const QDateTime now = QDateTime::currentDateTime();
        QVERIFY(db.run("INSERT INTO setting_data (node_id, name, value) VALUES (?, 'a', '1')", {node}).ok());
        QVERIFY(db.run("INSERT INTO journal_data (node_id, ctime, param) VALUES (?, ?, 'p')", {node, now}).ok());
        QVERIFY(
            db.run("INSERT INTO check_log (node_id, ctime, atime, archive, message) VALUES (?, ?, ?, 'day_data', 'm')",
                   {node, now, now})
                .ok());
        QVERIFY(db.run("INSERT INTO journal (ctime, level, node_id, task_id, group_id, user_id, message) VALUES "
                       "(?, 'INFO', ?, NULL, NULL, NULL, 'n'), (?, 'INFO', NULL, ?, NULL, NULL, 't'), "
                       "(?, 'INFO', NULL, NULL, ?, ?, 'g')", {now, node, now, keptTask, now, group, user}).ok());

        QVERIFY(db.remove("nodes", node).ok());
        for (const char *table : {"nodes_data", "tasks_data"})
            QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE id IN (?, ?)").arg(table), {node, task}).toInt(), 0);
        for (const char *table : {"setting_data", "journal_data", "check_log", "tasks", "journal"})
            QCOMPARE(scalar(QStringLiteral("SELECT count(*) FROM %1 WHERE node_id = %2").arg(table).arg(node)).toInt(), 0);
        QVERIFY(exists("nodes_data", keptNode));

        // Removing a task, user or group keeps their journal entries, unlinked.
        QVERIFY(db.remove("tasks", keptTask).ok() && db.remove("users", user).ok() && db.remove("groups", group).ok());
        QCOMPARE(scalar("SELECT " + testDatabase().sqlDialect().joined("message") + " FROM journal WHERE task_id IS NULL "
                        "AND group_id IS NULL AND user_id IS NULL").toString(), QStringLiteral("t,g"));
        QVERIFY(!exists("tasks_data", keptTask) && !exists("users_data", user));
        // An id left out is the largest there plus one: the largest, gone, is given again; one given is passed.
        QCOMPARE(save("users", {{"login", "sidorov"}, {"password", "x"}}), user);
        QVERIFY(db.run("INSERT INTO users (id, login, password) VALUES (?, 'u5', 'x')", {user + 5}).ok());
        QCOMPARE(save("users", {{"login", "kozlov"}, {"password", "x"}}), user + 6);
        QVERIFY(!exists("nodes", grouped) && !exists("tasks", groupedTask));   // gone with their group
    }
};

QTEST_GUILESS_MAIN(SchemaTest)
#include "tst_schema.moc"
