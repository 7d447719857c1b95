#include "pgtestcluster.h"
#include "sqldialect.h"

#include <QtTest>

// The dialect's statements run on both databases and do the same on each.
class TestSqlDialect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void sameOnBoth_data();
    void sameOnBoth();
    void binaryParameters_data();
    void binaryParameters();

private:
    PgTestCluster m_cluster;
    bool m_hasCluster = false;
};

namespace {

QVariantList column(QSqlQuery &query)
{
    QVariantList values;
    while (query.next())
        values << query.value(0);
    return values;
}

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
        *result = column(query);
    return true;
}

} // namespace

void TestSqlDialect::initTestCase()
{
    m_hasCluster = m_cluster.load();
    if (!m_hasCluster)
        return;
    const QString name = m_cluster.createDatabase(QStringLiteral("dialect"));
    QVERIFY2(!name.isEmpty(), qPrintable(m_cluster.why()));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg"));
    db.setHostName(m_cluster.host);
    db.setPort(m_cluster.port);
    db.setUserName(m_cluster.user);
    db.setDatabaseName(name);
    QVERIFY2(db.open(), qPrintable(db.lastError().text()));
    QVERIFY(run(db, QStringLiteral("CREATE TABLE t (seq BIGSERIAL, k1 INTEGER NOT NULL, k2 TEXT NOT NULL, v TEXT, "
                                   "UNIQUE (k1, k2))")));
    QVERIFY(run(db, QStringLiteral("CREATE TABLE pair (a INTEGER NOT NULL, b INTEGER NOT NULL, PRIMARY KEY (a, b))")));
}

void TestSqlDialect::cleanupTestCase()
{
    QSqlDatabase::removeDatabase(QStringLiteral("pg"));
    QSqlDatabase::removeDatabase(QStringLiteral("lite"));
}

void TestSqlDialect::sameOnBoth_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("SQLite") << int(SqlDialect::SQLite);
    QTest::newRow("PostgreSQL") << int(SqlDialect::PostgreSQL);
}

void TestSqlDialect::sameOnBoth()
{
    QFETCH(int, kind);
    QSqlDatabase db;
    if (kind == SqlDialect::PostgreSQL) {
        if (!m_hasCluster)
            QSKIP(qPrintable(m_cluster.why()));
        db = QSqlDatabase::database(QStringLiteral("pg"));
    } else {
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lite"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        QVERIFY(run(db, QStringLiteral("CREATE TABLE t (k1 INTEGER NOT NULL, k2 TEXT NOT NULL, v TEXT, UNIQUE (k1, k2))")));
        QVERIFY(run(db, QStringLiteral("CREATE TABLE pair (a INTEGER NOT NULL, b INTEGER NOT NULL, PRIMARY KEY (a, b))")));
        // SQLite's own sqlite_sequence comes with it.
        QVERIFY(run(db, QStringLiteral("CREATE TABLE counted (id INTEGER PRIMARY KEY AUTOINCREMENT)")));
        QVERIFY(run(db, QStringLiteral("INSERT INTO counted DEFAULT VALUES")));
    }
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
    QVERIFY(run(db, QStringLiteral("SELECT %1 FROM t WHERE k1 = 1").arg(dialect.joined(v)), {}, &values));
    QStringList joined = values.value(0).toString().split(QLatin1Char(','));
    joined.sort();
    QCOMPARE(joined, (QStringList{QStringLiteral("y"), QStringLiteral("z")}));
    // Nulls are left out; numbers come as text.
    QVERIFY(run(db, QStringLiteral("SELECT %1 FROM t").arg(dialect.joined(QStringLiteral("CASE WHEN k1 = 2 THEN k1 END"))),
                {}, &values));
    QCOMPARE(values.value(0).toString(), QStringLiteral("2"));
    // A value's presence, a null's absence.
    QVERIFY(run(db, replace, {3, "a", QVariant(QVariant::String)}));
    QVERIFY(run(db, QStringLiteral("SELECT %1 FROM t ORDER BY k1, k2").arg(dialect.holdsValue(v)), {}, &values));
    QList<bool> held;
    for (const QVariant &value : values)
        held << value.toBool();   // SQLite answers 1 and 0, PostgreSQL true and false
    QCOMPARE(held, (QList<bool>{true, true, true, false}));

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

void TestSqlDialect::binaryParameters_data()
{
    QTest::addColumn<QString>("statement");
    QTest::addColumn<QString>("binary");   // per placeholder: b for a BLOB column, - for any other
    QTest::newRow("setting") << SqlDialect(SqlDialect::PostgreSQL).insertOrReplace(
        QStringLiteral("settings"), {QStringLiteral("name"), QStringLiteral("value")}, {QStringLiteral("name")}) << "-b";
    QTest::newRow("insert") << "INSERT INTO users_data (id, access) VALUES (?, ?)" << "-b";
    QTest::newRow("update") << "UPDATE tasks_data SET channel = ?, archives = ?, timetable = ? WHERE id = ?" << "bbb-";
    // The same column name in another table is text.
    QTest::newRow("text of the same name") << "UPDATE tasks SET archives = ?, last_exec = ? WHERE id = ?" << "---";
    QTest::newRow("literal and bound") << "UPDATE nodes_data SET current_data = null, day_data = ? WHERE id = ?" << "b-";
    QTest::newRow("condition") << "SELECT value FROM settings WHERE name = ? AND value = ?" << "--";
}

void TestSqlDialect::binaryParameters()
{
    QFETCH(QString, statement);
    QFETCH(QString, binary);
    QString found;
    for (const bool blob : SqlDialect(SqlDialect::PostgreSQL).binaryParameters(statement))
        found += blob ? QLatin1Char('b') : QLatin1Char('-');
    QCOMPARE(found, binary);
    // SQLite keeps numbers and text in BLOB columns as they are.
    QVERIFY(SqlDialect(SqlDialect::SQLite).binaryParameters(statement).isEmpty());
}

QTEST_GUILESS_MAIN(TestSqlDialect)
#include "tst_sqldialect.moc"
