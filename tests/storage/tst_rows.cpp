#include "rawquery.h"
#include "transactionscope.h"

#include <QtTest>

namespace {

int count(const QString &table) { return scalar("SELECT count(*) FROM " + table).toInt(); }

// What each database says, where their words differ.
QString said(const char *sqlite, const char *postgres) { return QString::fromUtf8(testsOnPostgres() ? postgres : sqlite); }

// SQLite's typeof() of a column: "null", "blob" or "text".
QString storedType(const QString &column, const QString &table, int id)
{
    const QString type = testsOnPostgres()
        ? QStringLiteral("CASE WHEN %1 IS NULL THEN 'null' WHEN pg_typeof(%1) = 'bytea'::regtype THEN 'blob' ELSE 'text' END")
        : QStringLiteral("typeof(%1)");
    return scalar(QStringLiteral("SELECT %1 FROM %2 WHERE id = ?").arg(type.arg(column), table), {id}).toString();
}

// Bytes written as a literal of the database's SQL.
QString blobLiteral(const char *hex)
{
    return testsOnPostgres() ? QStringLiteral("'\\x%1'::bytea").arg(QLatin1String(hex)) : QStringLiteral("X'%1'").arg(QLatin1String(hex));
}

bool isNullInt(const QVariant &value) { return value.isValid() && value.isNull() && value.userType() == QMetaType::Int; }

// A value with its type, for comparisons that must not convert.
QPair<QByteArray, QVariant> typed(const QVariant &value) { return {value.typeName(), value}; }
using Typed = QList<QPair<QByteArray, QVariant>>;

} // namespace

class RowsTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;
    Database &db() const { return m_home->db(); }

private slots:
    void init() { m_home.reset(new TempDatabaseHome); QCOMPARE(outcome(m_home->open()), "ok"); }

    void cleanup() { m_home.reset(); }

    // Only the outermost scope talks to SQLite: an inner commit or rollback only counts down.
    void nestedScopesShareOneTransaction()
    {
        for (const bool keep : {false, true}) {
            {
                TransactionScope outer(db(), "outer");
                {
                    TransactionScope inner(db(), "inner");
                    QCOMPARE(db().openScopes(), 2);
                    QVERIFY(db().save("groups", {{"name", "Первая"}}).ok() && inner.finish().ok());
                    QVERIFY(!inner.finish().ok());   // no longer active, and the depth untouched by it
                }
                {
                    TransactionScope inner(db(), "inner");
                    QVERIFY(db().save("groups", {{"name", "Вторая"}}).ok());
                }   // rolled back: counts down only
                QCOMPARE(db().openScopes(), 1);
                if (keep)
                    QCOMPARE(outcome(outer.finish()), "ok");
                else
                    outer.rollback();
                QVERIFY(!outer.isActive());
            }
            QCOMPARE(db().openScopes(), 0);
            QCOMPARE(count("groups"), keep ? 3 : 1);
        }

        // A statement refused inside a transaction leaves it going (PostgreSQL would abort it all).
        TransactionScope scope(db(), "refused");
        QVERIFY(db().save("groups", {{"name", "Третья"}}).ok());
        QCOMPARE(outcome(db().save("groups", {{"name", "Третья"}})), "conflict: [+groups] UNIQUE constraint failed: groups.name");
        QCOMPARE(outcome(db().save("groups", {{"name", "Четвёртая"}})), "ok");
        QCOMPARE(outcome(scope.finish()), "ok");
        QCOMPARE(count("groups"), 5);
    }

    // A failing COMMIT rolls back everything and reports the driver's text.
    void scopeThatCannotFinish()
    {
        if (testsOnPostgres())
            QSKIP("SQLite's statements: PostgreSQL has no deferred keys");
        {
            TransactionScope scope(db(), "test");
            QVERIFY(db().run("PRAGMA defer_foreign_keys = ON").ok());
            QVERIFY(db().run("INSERT INTO nodes (name, model_code, number, group_id) VALUES ('x', 'TV7', 1, 77)").ok());
            QCOMPARE(outcome(scope.finish()), "conflict: FOREIGN KEY constraint failed");
        }
        QCOMPARE(db().openScopes(), 0);
        QCOMPARE(count("nodes"), 0);
        QVERIFY(!db().run("ROLLBACK").ok());   // nothing left open
    }

    // Saving, lookups and reading rows back, with the failures each reports: a statement SQLite
    // refuses is a storage failure, a broken constraint a conflict, a value without a stored form
    // an invalid parameter that stops the statement before it runs.
    void rowsSavedFoundAndRead()
    {
        const int entry
            = db().save("journal", {{"ctime", QDateTime::currentDateTime()}, {"level", "INFO"}, {"message", "m"}})
                  .valueOr(-1);
        // The id of the row; PostgreSQL's journal has none (0).
        QCOMPARE(scalar(said("SELECT message FROM journal WHERE rowid = ?", "SELECT message FROM journal WHERE 0 = ?"), {entry}),
                 QVariant("m"));

        // An update writes the columns given and leaves the others.
        const int node = addNode("Узел", 1);
        const int second = addNode("Второй", 2);
        const QDateTime updated(QDate(2016, 3, 3), QTime(12, 0));
        QCOMPARE(db().save("nodes", {{"id", node}, {"consumer", "ТЭЦ"}}).valueOr(-1), node);
        QCOMPARE(db().save("nodes", {{"note", "примечание"}, {"id", node}, {"name", "Новое"}}).valueOr(-1), node);
        QCOMPARE(db().save("nodes", {{"id", second}, {"last_update", updated}, {"consumer", "ТЭЦ"}}).valueOr(-1),
                 second);
        const QVariantMap saved = db().record("nodes", node).value();
        QCOMPARE(QVariantList({saved["name"], saved["note"], saved["consumer"]}),
                 QVariantList({"Новое", "примечание", "ТЭЦ"}));
        // An update of a row that is not there "succeeds" with the given id.
        QCOMPARE(db().save("groups", {{"id", 5}, {"name", "Пятая"}}).valueOr(-1), 5);
        QCOMPARE(count("groups"), 1);   // the common group alone

        QCOMPARE(
            QVariantList({db().has("nodes", "number > ?", {1}).value(), db().has("nodes", "number > ?", {2}).value(),
                          db().findId("nodes", "name = ?", {"Второй"}).value(),
                          db().findId("nodes", "name = ?", {"Нет"}).value()}),
            QVariantList({true, false, second, -1}));
        QCOMPARE(db().distinct("nodes", "consumer").value(), QVariantList{"ТЭЦ"});
        QCOMPARE(db().distinct("nodes", "nodes.last_update", "id = ?", {second}).value(), QVariantList{updated});
        QCOMPARE(db().row("SELECT id, number, model_code, last_update FROM nodes WHERE id = ?", {node}).value(),
                 (QVariantMap{
                     {"id", node}, {"last_update", QVariant(QVariant::Int)}, {"model_code", "TV7"}, {"number", 1}}));
        QCOMPARE(outcome(db().row("SELECT * FROM nodes WHERE id = ?", {999})), "ok");
        QVERIFY(db().row("SELECT * FROM nodes WHERE id = ?", {999}).value().isEmpty());

        const QPoint point(1, 2);
        const QString encoding = "invalidParameter: Ошибка кодирования: неподдерживаемый тип [QPoint]";
        const QString syntax = "storage: " + said("near \"=\": syntax error", "syntax error at or near \"=\"");
        const QString noTable = "storage: " + said("no such table: nowhere", "relation \"nowhere\" does not exist");
        QCOMPARE(outcome(db().save("journal", QVariantMap())),
                 "invalidParameter: [journal] Сошибка записи: нет данных");
        QCOMPARE(outcome(db().save("journal", {{"level", "INFO"}, {"message", point}})), encoding);
        QCOMPARE(outcome(db().save("nodes", {{"name", "Без модели"}, {"number", 3}})),
                 "conflict: [+nodes] NOT NULL constraint failed: nodes.model_code");
        QCOMPARE(outcome(db().save("nodes", {{"id", second}, {"name", "Новое"}})),
                 "conflict: [*nodes] UNIQUE constraint failed: nodes.name");
        QCOMPARE(outcome(db().save("nowhere", {{"id", 1}})),
                 "storage: [*nowhere] " + said("no such table: nowhere", "relation \"nowhere\" does not exist"));
        QCOMPARE(outcome(db().findId("nodes", "name = = ?", {"x"})), syntax);
        QCOMPARE(outcome(db().distinct("nodes", "no_column")),
                 "storage: " + said("no such column: no_column", "column \"no_column\" does not exist"));
        QCOMPARE(outcome(db().run("UPDATE nodes SET missing = 1")),
                 "storage: " + said("no such column: missing", "column \"missing\" of relation \"nodes\" does not exist"));
        QCOMPARE(outcome(db().row("SELECT * FROM nowhere")), noTable);
        QCOMPARE(outcome(db().rows("SELECT * FROM nowhere WHERE id = ?", {1})), noTable);
        QCOMPARE(count("journal"), 1);
        QCOMPARE(scalar("SELECT count(*) FROM nodes WHERE note IS NOT NULL").toInt(), 1);

        QCOMPARE(outcome(db().remove("nodes", node)), "ok");
        QVERIFY(!db().has("nodes", "id = ?", {node}).value() && !db().has("nodes_data", "id = ?", {node}).value());
        QCOMPARE(outcome(db().remove("no_such_table", 1)),
                 "storage: [-no_such_table] " + said("no such table: no_such_table", "relation \"no_such_table\" does not exist"));
    }

    // Statements are prepared once and kept for the connection: a use that
    // stopped halfway does not disturb the next one of the same text (none is
    // left holding the file when compaction comes: tst_backup's compactions).
    void statementsAreKeptAndReused()
    {
        const QString insert = "INSERT INTO groups (name, parent_id) VALUES (?, ?)";
        QVERIFY(!db().run(insert, {"Первая", QPoint(1, 2)}).ok());
        QCOMPARE(outcome(db().run(insert, {"Первая", 0})), "ok");
        QCOMPARE(outcome(db().run(insert, {"Первая", 0})), "conflict: UNIQUE constraint failed: groups.name");
        QCOMPARE(outcome(db().run(insert, {"Вторая", 1})), "ok");
        const ZeltoTable groups = db().rows("SELECT name, parent_id FROM groups WHERE id > 0 ORDER BY id").value();
        QCOMPARE(groups.columnValues("name") + groups.columnValues("parent_id"), (QVariantList{"Первая", "Вторая", 0, 1}));

        // Texts made from names a caller chose do not pile up.
        StatementCache cache;
        for (int i = 0; i < 2 * StatementCache::Capacity; ++i)
            cache.acquire(QSqlDatabase::database(), db().sqlDialect(), QStringLiteral("SELECT %1").arg(i));
        QVERIFY2(cache.size() <= StatementCache::Capacity, qPrintable(QString::number(cache.size())));
    }

    // What the database keeps for the server: journal entries and settings.
    void journalAndSettings()
    {
        const int node = addNode("Узел", 1);
        const int task = db().save("tasks", {{"node_id", node}, {"channel_code", "tcp"}}).valueOr(-1);
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(db().log(Database::Info, "Опрос выполнен", "node", node).ok());
        QVERIFY(db().log(Database::Warn, "Без объекта").ok());
        QVERIFY(db().log(Database::Error, "Ошибка задания", "task", task).ok());
        QVERIFY(db().log(Database::Debug, "Отладка", "group", 0).ok());
        QVERIFY(db().log(Database::Info, "Без номера", "node", -1).ok());
        const QDateTime after = QDateTime::currentDateTime().addSecs(1);

        const ZeltoTable journal = db().rows(
            "SELECT ctime, level || ' ' || coalesce(CAST(group_id AS TEXT), '-') || ' ' || coalesce(CAST(node_id AS TEXT), '-') "
            "|| ' ' || coalesce(CAST(task_id AS TEXT), '-') || ' ' || message AS entry FROM journal"
            + said(" ORDER BY rowid", "")).value();   // PostgreSQL's journal, never updated, reads in its order
        QCOMPARE(journal.columnValues("entry"),
                 (QVariantList{QStringLiteral("INFO - %1 - Опрос выполнен").arg(node), QStringLiteral("WARN - - - Без объекта"),
                               QStringLiteral("ERROR - - %1 Ошибка задания").arg(task), QStringLiteral("DEBUG 0 - - Отладка"),
                               QStringLiteral("INFO - - - Без номера")}));
        for (const QVariant &ctime : journal.columnValues("ctime"))
            QVERIFY(ctime.toDateTime() >= before && ctime.toDateTime() <= after);
        QCOMPARE(scalar("SELECT count(*) FROM journal WHERE user_id IS NOT NULL").toInt(), 0);   // written by the server itself

        // A write that fails is a conflict with what is stored, and leaves nothing.
        QCOMPARE(outcome(db().log(Database::Info, "Чужой узел", "node", 999)),
                 "conflict: [+journal] FOREIGN KEY constraint failed");
        QCOMPARE(count("journal"), 5);

        // (In a caller's name, the entry carries the caller's id: test_api test_journal_of_removals_outlives_users.)

        // A setting written is published.
        QSignalSpy changes(ZeltoSystem::instance(), &ZeltoSystem::propertyChanged);
        QVERIFY(db().putSetting("backupEnabled", false).ok());
        QCOMPARE(QList<QVariantList>(changes), QList<QVariantList>({{"backupEnabled", false}}));
        QCOMPARE(ZeltoSystem::instance()->property("backupEnabled"), QVariant(false));
        QCOMPARE(typed(db().setting("backupEnabled", true).value()), typed(false));

        // A text setting named like a date/time column reads back as date/time (one named otherwise keeps its text:
        // test_server's lastBackup, test_backups').
        QVERIFY(db().putSetting("ctime", "2016-03-03T14:05:09.000").ok());
        QCOMPARE(typed(db().setting("ctime").value()), typed(QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))));
        QCOMPARE(db().settings().value().value("ctime").userType(), int(QMetaType::QDateTime));

        // Neither a value without a stored form nor a missing setting is written or published.
        changes.clear();
        QCOMPARE(outcome(db().putSetting("point", QVariant(QPoint(1, 2)))),
                 "invalidParameter: Ошибка кодирования: неподдерживаемый тип [QPoint]");
        QCOMPARE(outcome(db().setting("nothing")), "ok");
        QVERIFY(!db().setting("nothing").value().isValid());
        QCOMPARE(scalar("SELECT count(*) FROM settings WHERE name IN ('point', 'nothing')").toInt(), 0);
        QCOMPARE(changes.count(), 0);
    }

    void storedFormsAndReadBack()
    {
        // Plain values are stored as they are; everything else goes through the stream (a truth value read back:
        // journalAndSettings; lists and maps: test_api's settings over the wire).
        QVERIFY(isNullInt(Database::encodeValue(QVariant()).value()));
        for (const QVariant &plain : {QVariant(42), QVariant(42u), QVariant(2.5), QVariant("текст")})
            QCOMPARE(Database::encodeValue(plain).value(), plain);

        // Read back: nulls of every kind as a null int, wide integers cut to int, date-time columns by name.
        for (const QVariant &null : {QVariant(), QVariant(QVariant::String), QVariant(QByteArray())})   // String: SQL NULL
            QVERIFY(isNullInt(Database::decodeValue(null, "access").value()));
        const QString stamp = "2016-03-03T14:05:09.000";   // the column name match is case-sensitive
        for (const auto &[stored, column, read] : QList<std::tuple<QVariant, QString, QVariant>>{
                 {Q_INT64_C(7), "number", 7}, {Q_INT64_C(5000000000), "number", 705032704}, {Q_UINT64_C(9), "number", 9u},
                 {stamp, "ctime", QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))}, {stamp, "CTIME", stamp}})
            QCOMPARE(typed(Database::decodeValue(stored, column).value()), typed(read));

        QCOMPARE(outcome(Database::decodeValue(QPoint(1, 2), "x")), "storage: Ошибка декодирования: неподдерживаемый тип [QPoint]");
        // PostgreSQL's truth values (a condition read as a column) as SQLite's numbers.
        QCOMPARE((Typed{typed(Database::decodeValue(true, "x").value()), typed(Database::decodeValue(false, "x").value())}),
                 (Typed{typed(1), typed(0)}));

        // Through the database: a date/time keeps its seconds, loses its milliseconds.
        const int node = addNode("Узел", 1);
        const QDateTime withMs(QDate(2016, 3, 3), QTime(14, 5, 9, 789));
        QCOMPARE(db().save("nodes", {{"id", node}, {"last_update", withMs}}).valueOr(-1), node);
        QCOMPARE(scalar("SELECT last_update FROM nodes WHERE id = ?", {node}).toString(), stamp);
        QCOMPARE(typed(db().record("nodes", node).value().value("last_update")),
                 typed(QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9))));

        // A byte array never comes back as bytes; an invalid value binds NULL, read as a null int.
        QCOMPARE(db().save("nodes", {{"id", node}, {"note", QByteArray("ab\0cd", 5)}}).valueOr(-1), node);
        QCOMPARE(typed(db().record("nodes", node).value().value("note")), typed(QStringLiteral("ab")));
        // A text with a zero character: SQLite keeps it; PostgreSQL's text cannot hold one, and it is refused.
        const QString zero = QStringLiteral("a") + QChar(0) + QStringLiteral("b");
        QCOMPARE(outcome(db().save("nodes", {{"id", node}, {"note", zero}})),
                 said("ok", "invalidParameter: Текст с символом с кодом 0 не может быть сохранён в БД PostgreSQL"));
        QCOMPARE(db().record("nodes", node).value().value("note").toString(), testsOnPostgres() ? QStringLiteral("ab") : zero);
        QCOMPARE(db().save("nodes", {{"id", node}, {"note", QVariant()}}).valueOr(-1), node);
        QCOMPARE(storedType("note", "nodes", node), QStringLiteral("null"));
        QVERIFY(isNullInt(db().record("nodes", node).value().value("note")));
    }

    void dataColumnsAndTables()
    {
        const int node = addNode("Узел", 1);
        ZeltoTable archive(QStringList{"date", "S1_t1"});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 1), QTime(0, 0)), 55.5});
        archive.appendRow(QVariantList{QDateTime(QDate(2016, 3, 2), QTime(0, 0)), QVariant()});
        ZeltoTableMap archives{{"day_data", archive}};

        // A NULL and an empty BLOB column read as null.
        QVERIFY(isNullInt(db().data("nodes", node, "hour_data").value()));
        QVERIFY(db().run(QStringLiteral("UPDATE nodes_data SET day_data = %1 WHERE id = ?").arg(blobLiteral("")), {node}).ok());
        QCOMPARE(storedType("day_data", "nodes_data", node), "blob");
        QVERIFY(isNullInt(db().data("nodes", node, "day_data").value()));

        QCOMPARE(outcome(db().write("nodes", node, {{"day_data", QVariant::fromValue(archive)},
                                                   {"fill_data", QVariant::fromValue(archives)},
                                                   {"check_params", QVariantList()}})), "ok");
        QCOMPARE(storedType("check_params", "nodes_data", node), "blob");
        ZeltoTable data({"id", "day_data", "hour_data"});   // values compared with their types
        data.appendRow(QVariantList{node, QVariant::fromValue(archive), QVariant(QVariant::Int)});
        QCOMPARE(db().rows("SELECT id, day_data, hour_data FROM nodes_data").value(), data);
        QCOMPARE(typed(db().data("nodes", node, "day_data").value()), typed(QVariant::fromValue(archive)));
        QCOMPARE(db().data("nodes", node, "fill_data").value().value<ZeltoTableMap>(), archives);
        QCOMPARE(typed(db().data("nodes", node, "check_params").value()), typed(QVariantList()));
        QCOMPARE(db().storedData("nodes", node, "check_params").value().userType(), int(QMetaType::QByteArray));

        // Many rows' columns as stored, over more than one statement: each row once, ids without one give none.
        // Newest first: a place left in the last statement must not bring a row asked before.
        QList<int> ids{999, node, node};
        for (int number = 2; number < 140; ++number)
            ids.insert(3, addNode(QString("Узел %1").arg(number), number));
        QMap<int, QVector<QVariant>> read;
        int calls = 0;
        const auto keep = [&](int id, const QVector<QVariant> &values) {
            QVector<QVariant> kept;   // SQLite's bytes last only as long as the call: copied
            for (const QVariant &value : values) {
                const QByteArray bytes = value.toByteArray();
                kept << (value.userType() == QMetaType::QByteArray ? QVariant(QByteArray(bytes.constData(), bytes.size())) : value);
            }
            ++calls, read.insert(id, kept);
        };
        QCOMPARE(outcome(db().storedRows("nodes", ids, {"day_data", "hour_data"}, keep)), "ok");
        QCOMPARE(QList<int>({calls, read.size(), int(read.contains(999))}), QList<int>({139, 139, 0}));
        QCOMPARE(read.value(node), QVector<QVariant>({db().storedData("nodes", node, "day_data").value(),
                                                      db().storedData("nodes", node, "hour_data").value()}));
        QCOMPARE(read.value(ids.at(3)).value(0), db().storedData("nodes", ids.at(3), "day_data").value());

        // Writing a row that is not there changes nothing and is no failure.
        QCOMPARE(outcome(db().write("nodes", 999, {{"day_data", 1}})), "ok");
        QVERIFY(!db().has("nodes_data", "id = ?", {999}).value());

        // Reading one that is not there names the table and has no driver text.
        QCOMPARE(outcome(db().data("nodes", 999, "day_data")), "notFound: [#nodes] ");
        QCOMPARE(outcome(db().data("nodes", node, "no_such_column")),
                 "storage: [#nodes] " + said("no such column: no_such_column", "column \"no_such_column\" does not exist"));
        QCOMPARE(outcome(db().write("nodes", node, {{"no_such_column", 1}})),
                 "storage: [*nodes] " + said("no such column: no_such_column",
                                             "column \"no_such_column\" of relation \"nodes_data\" does not exist"));

        // A value without a stored form leaves the column as it was.
        QCOMPARE(outcome(db().write("nodes", node, {{"day_data", QVariant(QUrl("http://x"))}})),
                 "invalidParameter: Ошибка кодирования: неподдерживаемый тип [QUrl]");
        QCOMPARE(db().data("nodes", node, "day_data").value().value<ZeltoTable>(), archive);

        // Stream faults are tested with the stream; here, that a failed decode (an unknown tag) reaches the caller.
        QVERIFY(db().run(QStringLiteral("UPDATE nodes_data SET current_data = %1 WHERE id = ?").arg(blobLiteral("01ff00")), {node}).ok());
        QCOMPARE(outcome(db().data("nodes", node, "current_data")),
                 "storage: Ошибка декодирования: неподдерживаемый тип [QByteArray]");
        QCOMPARE(db().rows("SELECT current_data FROM nodes_data WHERE id = ?", {node}).value().value(0, "current_data"),
                 QVariant());

        // Tables read: a repeated name is one column; no rows keep their columns.
        QVERIFY(db().run("INSERT INTO check_log (node_id, ctime, atime, archive, message) VALUES (?, ?, ?, ?, ?)",
                         {node, QDateTime(QDate(2016, 3, 5), QTime(1, 0)), QDateTime(QDate(2016, 3, 4), QTime(0, 0)),
                          "day_data", "Разрыв"}).ok());
        const ZeltoTable log
            = db().rows("SELECT atime, message, atime FROM check_log WHERE node_id = ?", {node}).value();
        QCOMPARE(log.columnNames(), (QStringList{"atime", "message"}));   // a repeated name is one column
        QCOMPARE((Typed{typed(log.value(0, "atime")), typed(log.value(0, "message"))}),
                 (Typed{typed(QDateTime(QDate(2016, 3, 4), QTime(0, 0))), typed(QStringLiteral("Разрыв"))}));

        // Each kind of cell reads the same from either database: integers cut to int, reals, text (a date/time
        // in its columns), SQL NULL and empty bytes a null int.
        const ZeltoTable cells
            = db().rows(said("SELECT 5000000000 AS number, 2.5 AS real, 'текст' AS note, NULL AS empty, "
                             "'2016-03-03T14:05:09.000' AS ctime, X'' AS bytes",
                             "SELECT 5000000000 AS number, CAST(2.5 AS DOUBLE PRECISION) AS real, 'текст' AS note, "
                             "NULL AS empty, '2016-03-03T14:05:09.000' AS ctime, '\\x'::bytea AS bytes"))
                  .value();
        QCOMPARE((Typed{typed(cells.value(0, "number")), typed(cells.value(0, "real")), typed(cells.value(0, "note")),
                        typed(cells.value(0, "ctime"))}),
                 (Typed{testsOnPostgres() ? typed(705032704u) : typed(705032704),   // PostgreSQL's driver: unsigned
                        typed(2.5), typed(QStringLiteral("текст")),
                        typed(QDateTime(QDate(2016, 3, 3), QTime(14, 5, 9)))}));
        QVERIFY(isNullInt(cells.value(0, "empty")) && isNullInt(cells.value(0, "bytes")));
        // A statement that fails after its first row is a failure, not a shorter table.
        QCOMPARE(outcome(db().rows("SELECT abs(x) AS x FROM (SELECT 1 AS x UNION ALL SELECT -9223372036854775807 - 1) AS t")),
                 "storage: " + said("integer overflow", "bigint out of range"));

        QCOMPARE(db().rows("SELECT id, name FROM nodes WHERE id < 0").value(), ZeltoTable({"id", "name"}));
    }

};

QTEST_GUILESS_MAIN(RowsTest)
#include "tst_rows.moc"
