#include "databasesettings.h"
#include "outcome.h"
#include "pgtestcluster.h"
#include "postgresschema.h"
#include "sqldialect.h"
#include "tempdatabasehome.h"

#include <QSqlRecord>
#include <QtTest>

namespace {

bool run(QSqlDatabase db, const QString &statement, const QVariantList &binds = {}, QVariantList *result = nullptr)
{
    // PostgreSQL's driver prepares with PREPARE, which takes no DDL: statements without binds run as they are.
    QSqlQuery query(db);
    if (!binds.isEmpty() && !query.prepare(statement)) {
        qWarning() << statement << query.lastError().text();
        return false;
    }
    for (const QVariant &value : binds)
        query.addBindValue(value);
    if (!(binds.isEmpty() ? query.exec(statement) : query.exec())) {
        qWarning() << statement << query.lastError().text();
        return false;
    }
    if (result)
        result->clear();
    while (result && query.next())
        *result << query.value(0);
    return true;
}

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

// PostgreSQL against SQLite: the dialect's statements run on both databases and do the
// same on each; the schema has the same tables, columns and indexes at the same version
// (its triggers: tst_schema, which runs on both). The connection settings (the lock
// that makes one of two servers sharing a database the active one: test_standby,
// test_failover).
class TestSqlDialect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QSqlDatabase lite = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lite"));
        lite.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(lite.open());
        // SQLite's own sqlite_sequence comes with it.
        QVERIFY(run(lite, QStringLiteral("CREATE TABLE counted (id INTEGER PRIMARY KEY AUTOINCREMENT)"))
                && run(lite, QStringLiteral("INSERT INTO counted DEFAULT VALUES")));
        // Password files: one readable by the group, one by its owner alone.
        for (const auto &[name, permissions] : {std::pair<const char *, QFile::Permissions>{"shared", QFile::ReadGroup},
                                                {"private", QFile::Permissions()}}) {
            QFile file(m_dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("s3cret\n") == 7);
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | permissions));
        }
        QList<QSqlDatabase> both{lite};
        m_hasCluster = m_cluster.load();
        if (m_hasCluster) {
            both << m_cluster.openNew(QStringLiteral("pg"), QStringLiteral("dialect"));
            QVERIFY2(both.last().isOpen(), qPrintable(m_cluster.why()));
            QCOMPARE(outcome(m_home.open()), "ok");
            QCOMPARE(testDatabase().schemaVersion(), Database::supportedVersion());
            m_pg = m_cluster.openNew(QStringLiteral("pg-schema"), QStringLiteral("schema"));
            QVERIFY2(m_pg.isOpen(), qPrintable(m_cluster.why()));
            QCOMPARE(outcome(m_pg, PostgresSchema::countTables()), QStringLiteral("0"));
            QVERIFY(m_pg.transaction());
            for (const QString &statement : PostgresSchema::statements(Database::supportedVersion())) {
                QSqlQuery query(m_pg);
                QVERIFY2(query.exec(statement), qPrintable(statement + QStringLiteral(": ") + query.lastError().text()));
            }
            QVERIFY(m_pg.commit());
        }
        for (QSqlDatabase db : both) {
            // PostgreSQL keeps the insertion order in a column of its own.
            const QString seq = db.driverName() == QLatin1String("QPSQL") ? QStringLiteral("seq BIGSERIAL, ") : QString();
            QVERIFY(run(db, QStringLiteral("CREATE TABLE t (%1k1 INTEGER NOT NULL, k2 TEXT NOT NULL, v TEXT, UNIQUE (k1, k2))")
                                .arg(seq)));
            QVERIFY(run(db, QStringLiteral("CREATE TABLE pair (a INTEGER NOT NULL, b INTEGER NOT NULL, PRIMARY KEY (a, b))")));
        }
    }

    void cleanupTestCase()
    {
        m_pg = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("pg-schema"));
        QSqlDatabase::removeDatabase(QStringLiteral("pg"));
        QSqlDatabase::removeDatabase(QStringLiteral("lite"));
    }

    void sameOnBoth_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("SQLite") << int(SqlDialect::SQLite);
        QTest::newRow("PostgreSQL") << int(SqlDialect::PostgreSQL);
    }

    void sameOnBoth()
    {
        QFETCH(int, kind);
        if (kind == SqlDialect::PostgreSQL && !m_hasCluster)
            QSKIP(qPrintable(m_cluster.why()));
        QSqlDatabase db = QSqlDatabase::database(kind == SqlDialect::PostgreSQL ? QStringLiteral("pg") : QStringLiteral("lite"));
        const SqlDialect dialect{SqlDialect::Kind(kind)};
        const QString k1 = QStringLiteral("k1"), k2 = QStringLiteral("k2"), v = QStringLiteral("v");

        // A row with the key of another takes its place; other keys are rows of their own.
        const QString replace = dialect.insertOrReplace(QStringLiteral("t"), {k1, k2, v}, {k1, k2});
        for (const QVariantList &row : {QVariantList{1, "a", "x"}, QVariantList{1, "b", "y"}, QVariantList{2, "a", "w"},
                                        QVariantList{1, "a", "z"}})
            QVERIFY(run(db, replace, row));
        QVariantList values;
        QVERIFY(run(db, QStringLiteral("SELECT v FROM t WHERE k1 = 1 ORDER BY %1").arg(dialect.insertionOrder()), {}, &values));
        QCOMPARE(values.size(), 2);
        QVERIFY2(values.contains(QStringLiteral("z")) && values.contains(QStringLiteral("y")), qPrintable(values.at(0).toString()));
        // (Values joined into one text: tst_schema, which runs on both; a value's presence: the node list's archive
        // flags, tst_records and test_archives on both.)

        // When every column is a key column the first row stays, without an error.
        const QStringList pair = {QStringLiteral("a"), QStringLiteral("b")};
        QVERIFY(run(db, dialect.insertOrReplace(QStringLiteral("pair"), pair, pair), {1, 2}));
        QVERIFY(run(db, dialect.insertOrReplace(QStringLiteral("pair"), pair, pair), {1, 2}));
        QVERIFY(run(db, QStringLiteral("SELECT count(*) FROM pair"), {}, &values));
        QCOMPARE(values.value(0).toInt(), 1);

        // Tables and columns by name in any case; the database's own tables are not found.
        QVERIFY(run(db, dialect.findTable(), {QStringLiteral("PAIR")}, &values));
        QCOMPARE(values, QVariantList{QStringLiteral("pair")});
        for (const char *own : {"sqlite_sequence", "pg_class", "tables", "nosuch"}) {
            QVERIFY(run(db, dialect.findTable(), {QString::fromLatin1(own)}, &values));
            QVERIFY2(values.isEmpty(), own);
        }
        QVERIFY(run(db, dialect.findColumn(), {QStringLiteral("t"), QStringLiteral("K2")}, &values));
        QCOMPARE(values, QVariantList{QStringLiteral("k2")});
        QVERIFY(run(db, dialect.findColumn(), {QStringLiteral("t"), QStringLiteral("nosuch")}, &values));
        QVERIFY(values.isEmpty());
    }

    void sameTablesAndColumns()
    {
        if (!m_hasCluster)
            QSKIP(qPrintable(m_cluster.why()));
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

    void settings_data()
    {
        QTest::addColumn<QString>("ini");
        QTest::addColumn<QString>("error");   // a part of the error; empty: valid
        QTest::addColumn<QString>("describe");

        QTest::newRow("default sqlite") << QString() << QString() << QString();
        QTest::newRow("sqlite file") << "[Database]\ndatabaseName=/srv/x.db\n" << QString() << "/srv/x.db";
        QTest::newRow("postgres defaults") << "[Database]\ndriver=QPSQL\n" << QString() << "localhost:5432/orvex";
        QTest::newRow("postgres, any case") << "[Database]\ndriver=qpsql\nhost=db1\nport=6543\ndatabaseName=heat\n"
                                            << QString() << "db1:6543/heat";
        QTest::newRow("unknown driver") << "[Database]\ndriver=QMYSQL\n" << "QMYSQL" << QString();
        QTest::newRow("port out of range") << "[Database]\ndriver=QPSQL\nport=70000\n" << "Database/port" << QString();
        QTest::newRow("both passwords") << "[Database]\ndriver=QPSQL\npassword=a\npasswordFile=/nonexistent\n"
                                        << "passwordFile" << QString();
        QTest::newRow("missing password file") << "[Database]\ndriver=QPSQL\npasswordFile=/nonexistent/pw\n"
                                               << "/nonexistent/pw" << QString();
        const QString passwordFile = "[Database]\ndriver=QPSQL\npasswordFile=" + m_dir.filePath("%1") + "\n";
        QTest::newRow("password file others may read") << passwordFile.arg("shared") << m_dir.filePath("shared")
                                                       << QString();
        QTest::newRow("password file of its owner alone") << passwordFile.arg("private") << QString() << QString();
    }

    void settings()
    {
        QFETCH(QString, ini);
        QFETCH(QString, error);
        QFETCH(QString, describe);
        const DatabaseSettings settings = settingsOf(ini.toUtf8());
        QVERIFY2(settings.error().contains(error) && settings.isValid() == error.isEmpty(), qPrintable(settings.error()));
        if (!describe.isEmpty())
            QCOMPARE(settings.describe(), describe);
    }

private:
    // Settings read from an INI file of this text; none when the text is empty.
    DatabaseSettings settingsOf(const QByteArray &ini)
    {
        QFile file(m_dir.filePath(QStringLiteral("settings.ini")));
        if (ini.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(ini) != ini.size())
            return DatabaseSettings::fromIni(QString());
        file.close();
        return DatabaseSettings::fromIni(file.fileName());
    }

    PgTestCluster m_cluster;
    bool m_hasCluster = false;
    QSqlDatabase m_pg;         // the schema made on PostgreSQL...
    TempDatabaseHome m_home;   // ... and SQLite's database as the server makes it
    QTemporaryDir m_dir;       // the settings files and password files
};

QTEST_GUILESS_MAIN(TestSqlDialect)
#include "tst_sqldialect.moc"
