#include "activelock.h"
#include "databasesettings.h"
#include "pgtestcluster.h"
#include "serverrole.h"

#include <QtTest>

#include <memory>

// Which server is active, on a real PostgreSQL cluster.
class TestActiveLock : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void settings_data();
    void settings();
    void oneHolderPerDatabase();
    void unreachableServer();
    void rolesHandOver();

private:
    DatabaseSettings settingsFor(const QString &database, const QString &extra = QString());
    DatabaseSettings settingsOf(const QByteArray &ini);

    PgTestCluster m_cluster;
    QTemporaryDir m_dir;
};

void TestActiveLock::initTestCase()
{
    if (!m_cluster.load())
        QSKIP(qPrintable(m_cluster.why()));
    // Password files: one readable by the group, one by its owner alone.
    for (const auto &[name, permissions] : {std::pair<const char *, QFile::Permissions>{"shared", QFile::ReadGroup},
                                            {"private", QFile::Permissions()}}) {
        QFile file(m_dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("s3cret\n") == 7);
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | permissions));
    }
}

DatabaseSettings TestActiveLock::settingsFor(const QString &database, const QString &extra)
{
    return DatabaseSettings::fromIni(m_cluster.writeIni(m_dir, database, extra));
}

// Settings read from an INI file of this text; none when the text is empty.
DatabaseSettings TestActiveLock::settingsOf(const QByteArray &ini)
{
    QFile file(m_dir.filePath(QStringLiteral("settings.ini")));
    if (ini.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(ini) != ini.size())
        return DatabaseSettings::fromIni(QString());
    file.close();
    return DatabaseSettings::fromIni(file.fileName());
}

void TestActiveLock::settings_data()
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
    QTest::newRow("port not a number") << "[Database]\ndriver=QPSQL\nport=abc\n" << "Database/port" << QString();
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

void TestActiveLock::settings()
{
    QFETCH(QString, ini);
    QFETCH(QString, error);
    QFETCH(QString, describe);
    const DatabaseSettings settings = settingsOf(ini.toUtf8());
    QVERIFY2(settings.error().contains(error) && settings.isValid() == error.isEmpty(), qPrintable(settings.error()));
    if (!describe.isEmpty())
        QCOMPARE(settings.describe(), describe);
}

void TestActiveLock::oneHolderPerDatabase()
{
    const QString database = m_cluster.createDatabase(QStringLiteral("lock"));
    const QString other = m_cluster.createDatabase(QStringLiteral("lock_other"));
    QVERIFY2(!database.isEmpty() && !other.isEmpty(), qPrintable(m_cluster.why()));

    auto first = std::make_unique<ActiveLock>(settingsFor(database));
    ActiveLock second(settingsFor(database));
    ActiveLock elsewhere(settingsFor(other));
    QVERIFY2(first->tryAcquire(), qPrintable(first->lastError()));
    QVERIFY(first->tryAcquire());   // held already
    QVERIFY(!second.tryAcquire());
    QVERIFY2(!second.lastError().isEmpty(), "a refused attempt says why");
    QVERIFY2(elsewhere.tryAcquire(), "another database has an active server of its own");
    QVERIFY(first->stillHeld());

    first->release();
    QVERIFY(!first->isActive());
    QVERIFY2(second.tryAcquire(), qPrintable(second.lastError()));
    QVERIFY(!first->tryAcquire());

    // A holder that goes away (the server stopped) ends its session and frees the lock.
    second.release();
    QVERIFY(first->tryAcquire());
    first.reset();
    QVERIFY2(second.tryAcquire(), qPrintable(second.lastError()));
}

void TestActiveLock::unreachableServer()
{
    // Nothing listens on a port of the cluster's folder that was never made.
    ActiveLock lock(settingsOf("[Database]\ndriver=QPSQL\nhost=/nonexistent-socket-dir\nport=5\ndatabaseName=x\n"));
    QSignalSpy acquired(&lock, &ActiveLock::acquired);
    QVERIFY(!lock.tryAcquire());
    QVERIFY2(!lock.lastError().isEmpty(), "the reason is kept for the log");
    lock.start(50, 50);
    QCOMPARE(acquired.count(), 0);
    QVERIFY(!lock.isActive());

    // SQLite has no server to hold a lock on.
    ActiveLock sqlite(settingsOf(QByteArray()));
    QVERIFY(!sqlite.tryAcquire());
}

// Two servers' roles on one database: the one that loses the lock stops its
// work, one that cannot start gives the lock up, and once the roles settle
// the work of exactly one runs.
void TestActiveLock::rolesHandOver()
{
    const QString database = m_cluster.createDatabase(QStringLiteral("roles"));
    QVERIFY2(!database.isEmpty(), qPrintable(m_cluster.why()));
    int running = 0;   // servers whose work is up
    QStringList events;
    bool secondStarts = false;   // the second server's start fails until this is set
    auto role = [&](const QString &name, bool *starts) {
        return std::make_unique<ServerRole>(
            settingsFor(database),
            [&, name, starts]() {
                if (starts && !*starts) {
                    events << name + QStringLiteral(" failed");
                    return false;
                }
                ++running;
                events << name + QStringLiteral(" up");
                return true;
            },
            [&, name, starts]() {
                if (!starts || *starts) {
                    --running;
                    events << name + QStringLiteral(" down");
                }
            },
            nullptr, name);   // two servers in one process: a connection each
    };
    auto first = role(QStringLiteral("first"), nullptr);
    auto second = role(QStringLiteral("second"), &secondStarts);
    first->begin(60000, 50);   // tries once, then only its checks run
    QVERIFY(first->isActive());
    second->begin(50, 50);
    QVERIFY(!second->isActive());
    QCOMPARE(running, 1);

    // The first one's session ends: its work stops. The second takes the
    // lock but cannot start, so it gives the lock up again.
    QVERIFY2(m_cluster.endSessions(database), qPrintable(m_cluster.why()));
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("first down")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(events.contains(QStringLiteral("second failed")), 10000);
    QVERIFY(!first->isActive() && !second->isActive());
    QCOMPARE(running, 0);
    // Then it can, and does at its next attempt; the first, trying again, cannot.
    secondStarts = true;
    QTRY_VERIFY_WITH_TIMEOUT(second->isActive(), 10000);
    QCOMPARE(running, 1);
    ActiveLock third(settingsFor(database));
    QVERIFY(!third.tryAcquire());
    second.reset();   // the service stops
    QCOMPARE(running, 0);
    QCOMPARE(events.last(), QStringLiteral("second down"));
}

QTEST_GUILESS_MAIN(TestActiveLock)
#include "tst_activelock.moc"
