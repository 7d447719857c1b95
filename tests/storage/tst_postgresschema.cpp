#include "database.h"
#include "pgtestcluster.h"
#include "postgresschema.h"
#include "outcome.h"
#include "tempdatabasehome.h"

#include <QSqlRecord>
#include <QtTest>

// The schema on PostgreSQL against SQLite's at the same version: the same
// tables and columns, and its triggers doing what SQLite's do.
class TestPostgresSchema : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameTablesAndColumns();
    void sameBehaviour();

private:
    QSqlDatabase m_pg;
    TempDatabaseHome m_home;   // SQLite's database as the server makes it
    PgTestCluster m_cluster;
};

namespace {

// The rows of a query as text, or its error as a person reads it: what a statement gives, to compare.
QString outcome(QSqlDatabase db, const QString &statement)
{
    QSqlQuery query(db);
    if (!query.exec(statement))
        return QStringLiteral("error: ")
            + SqlDialect(db.driverName() == QLatin1String("QPSQL") ? SqlDialect::PostgreSQL : SqlDialect::SQLite)
                  .errorText(query.lastError());
    QStringList rows;
    while (query.next()) {
        QStringList cells;
        for (int i = 0; i < query.record().count(); ++i)
            cells << (query.value(i).isNull() ? QStringLiteral("null") : query.value(i).toString());
        rows << cells.join(QLatin1Char('|'));
    }
    return rows.join(QLatin1Char(';'));
}

} // namespace

void TestPostgresSchema::initTestCase()
{
    if (!m_cluster.load())
        QSKIP(qPrintable(m_cluster.why()));
    QCOMPARE(outcome(m_home.open()), "ok");
    QCOMPARE(testDatabase().schemaVersion(), Database::supportedVersion());
    const QString name = m_cluster.createDatabase(QStringLiteral("schema"));
    QVERIFY2(!name.isEmpty(), qPrintable(m_cluster.why()));
    m_pg = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg"));
    m_pg.setHostName(m_cluster.host);
    m_pg.setPort(m_cluster.port);
    m_pg.setUserName(m_cluster.user);
    m_pg.setDatabaseName(name);
    QVERIFY2(m_pg.open(), qPrintable(m_pg.lastError().text()));
    QCOMPARE(outcome(m_pg, PostgresSchema::countTables()), QStringLiteral("0"));
    QVERIFY(m_pg.transaction());
    for (const QString &statement : PostgresSchema::statements(Database::supportedVersion())) {
        QSqlQuery query(m_pg);
        QVERIFY2(query.exec(statement), qPrintable(statement + QStringLiteral(": ") + query.lastError().text()));
    }
    QVERIFY(m_pg.commit());
}

void TestPostgresSchema::cleanupTestCase()
{
    m_pg = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("pg"));
}

void TestPostgresSchema::sameTablesAndColumns()
{
    QCOMPARE(outcome(m_pg, PostgresSchema::readVersion()), QString::number(Database::supportedVersion()));
    const QSqlDatabase lite = QSqlDatabase::database();
    const QString liteTables = outcome(lite, QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
    QCOMPARE(outcome(m_pg, QStringLiteral("SELECT table_name FROM information_schema.tables WHERE table_schema = "
                                          "current_schema() AND table_name <> 'schema_version' ORDER BY table_name")),
             liteTables);
    for (const QString &table : liteTables.split(QLatin1Char(';'))) {
        // SQLite's declared types in PostgreSQL's words, a key never null; setting_data's insertion order is a
        // column of its own there.
        QString expected = outcome(lite, QStringLiteral("SELECT name, CASE upper(type) WHEN 'BLOB' THEN 'bytea' "
                                                        "WHEN 'INTEGER' THEN 'integer' WHEN 'INTEGET' THEN 'integer' "
                                                        "ELSE 'text' END, CASE WHEN pk > 0 THEN 1 ELSE \"notnull\" END "
                                                        "FROM pragma_table_info('%1') ORDER BY cid")
                                              .arg(table));
        if (table == QLatin1String("setting_data"))
            expected += QStringLiteral(";seq|bigint|1");
        QCOMPARE(outcome(m_pg, QStringLiteral("SELECT column_name, data_type, CASE is_nullable WHEN 'NO' THEN 1 ELSE 0 END "
                                              "FROM information_schema.columns WHERE table_name = '%1' "
                                              "ORDER BY ordinal_position").arg(table)),
                 expected);
    }
    // The indexes the schema makes itself (not those of keys and unique columns): name, table, columns.
    QCOMPARE(outcome(m_pg, QStringLiteral("SELECT i.relname, t.relname, string_agg(a.attname, ',' ORDER BY k.n) "
                                          "FROM pg_index x JOIN pg_class i ON i.oid = x.indexrelid "
                                          "JOIN pg_class t ON t.oid = x.indrelid "
                                          "JOIN unnest(x.indkey) WITH ORDINALITY k(attnum, n) ON true "
                                          "JOIN pg_attribute a ON a.attrelid = t.oid AND a.attnum = k.attnum "
                                          "WHERE t.relnamespace = current_schema()::regnamespace "
                                          "AND NOT EXISTS (SELECT 1 FROM pg_constraint c WHERE c.conindid = i.oid) "
                                          "GROUP BY i.relname, t.relname ORDER BY i.relname")),
             outcome(lite, QStringLiteral("SELECT m.name, m.tbl_name, (SELECT group_concat(name, ',') FROM "
                                          "(SELECT name FROM pragma_index_info(m.name) ORDER BY seqno)) "
                                          "FROM sqlite_master m WHERE m.type = 'index' AND m.sql IS NOT NULL "
                                          "ORDER BY m.name")));
}

void TestPostgresSchema::sameBehaviour()
{
    // Each statement, then what the check after it reads; errors compare by the refusal's text.
    const QList<QPair<QString, QString>> steps = {
        {QStringLiteral("INSERT INTO users (login, password) VALUES ('u1', 'p')"),
         QStringLiteral("SELECT u.id, d.id, g.group_id FROM users u LEFT JOIN users_data d ON d.id = u.id "
                        "LEFT JOIN user_groups g ON g.user_id = u.id ORDER BY u.id")},
        {QStringLiteral("DELETE FROM users WHERE id = 0"), QStringLiteral("SELECT count(*) FROM users")},
        {QStringLiteral("UPDATE users_data SET access = NULL WHERE id = 0"), QString()},
        {QStringLiteral("UPDATE groups SET name = 'x' WHERE id = 0"), QStringLiteral("SELECT id, name FROM groups")},
        {QStringLiteral("DELETE FROM groups WHERE id = 0"), QString()},
        {QStringLiteral("INSERT INTO groups (name) VALUES ('g')"), QStringLiteral("SELECT id FROM groups ORDER BY id")},
        {QStringLiteral("INSERT INTO nodes (name, model_code, number) VALUES ('n', 'M', 7)"),
         QStringLiteral("SELECT n.id, d.id FROM nodes n JOIN nodes_data d ON d.id = n.id")},
        {QStringLiteral("UPDATE nodes SET number = 8 WHERE id = 1"), QStringLiteral("SELECT number FROM nodes")},
        {QStringLiteral("UPDATE nodes SET consumer = 'c' WHERE id = 1"), QStringLiteral("SELECT consumer FROM nodes")},
        {QStringLiteral("INSERT INTO tasks (node_id, channel_code) VALUES (1, 'a')"), QString()},
        {QStringLiteral("INSERT INTO tasks (node_id, channel_code) VALUES (1, 'b')"),
         QStringLiteral("SELECT t.id, d.id FROM tasks t JOIN tasks_data d ON d.id = t.id ORDER BY t.id")},
        {QStringLiteral("UPDATE tasks SET is_main = 1 WHERE id = 1"), QStringLiteral("SELECT id, is_main FROM tasks ORDER BY id")},
        {QStringLiteral("UPDATE tasks SET is_main = 1 WHERE id = 2"), QStringLiteral("SELECT id, is_main FROM tasks ORDER BY id")},
        // An id left out is the largest plus one, even after the largest went.
        {QStringLiteral("DELETE FROM users WHERE id = 1"), QString()},
        {QStringLiteral("INSERT INTO users (login, password) VALUES ('u2', 'p')"), QStringLiteral("SELECT id FROM users ORDER BY id")},
        {QStringLiteral("INSERT INTO users (id, login, password) VALUES (5, 'u5', 'p')"), QString()},
        {QStringLiteral("INSERT INTO users (login, password) VALUES ('u6', 'p')"), QStringLiteral("SELECT id FROM users ORDER BY id")},
        // Deleting a node takes its rows with it.
        {QStringLiteral("DELETE FROM nodes WHERE id = 1"),
         QStringLiteral("SELECT (SELECT count(*) FROM nodes_data) + (SELECT count(*) FROM tasks)")},
    };
    const QSqlDatabase lite = QSqlDatabase::database();
    for (const auto &step : steps) {
        QCOMPARE(outcome(m_pg, step.first), outcome(lite, step.first));
        if (!step.second.isEmpty())
            QCOMPARE(outcome(m_pg, step.second), outcome(lite, step.second));
    }
}

QTEST_GUILESS_MAIN(TestPostgresSchema)
#include "tst_postgresschema.moc"
