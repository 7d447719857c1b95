#include "database.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltosystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopedPointer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString lastError()
{
    return ZeltoSystem::instance()->lastError();
}

QVariant scalar(const QString &statement)
{
    QSqlQuery query;
    if (!query.exec(statement) || !query.next())
        return QVariant();
    return query.value(0);
}

// Reads one value from another database file on a connection of its own.
QVariant scalarIn(const QString &file, const QString &statement)
{
    const QString name = QStringLiteral("copy");
    QVariant value;
    {
        QSqlDatabase copy = QSqlDatabase::addDatabase("QSQLITE", name);
        copy.setDatabaseName(file);
        if (copy.open()) {
            QSqlQuery query(copy);
            if (query.exec(statement) && query.next())
                value = query.value(0);
        }
    }
    QSqlDatabase::removeDatabase(name);
    return value;
}

QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

void writeFile(const QString &path, const QDateTime &modified)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("старая копия");
    QVERIFY(file.flush());   // a later flush would stamp the file with the current time
    QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
}

const QRegularExpression CopyName(QStringLiteral("^\\d{6}_\\d{6}\\.db$"));

} // namespace

class BackupTest : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<TempDatabaseHome> m_home;

    QString path(const QString &name) const { return m_home->filePath(name); }

    void addJournal(const QDateTime &ctime, const QString &message)
    {
        QVERIFY(Database::saveRecord("journal", {{"ctime", ctime}, {"level", "INFO"}, {"message", message}}) > 0);
    }

private slots:
    void init()
    {
        m_home.reset(new TempDatabaseHome);
        QVERIFY(m_home->open());
    }

    void cleanup()
    {
        m_home.reset();
    }

    void copyIsAWholeDatabase()
    {
        QVERIFY(Database::saveRecord("nodes", {{"name", "Узел"}, {"model_code", "TV7"}, {"number", 1}}) > 0);
        QVERIFY(Database::backup());

        // With no folder configured: "backup" in the program's folder, now remembered as the setting.
        const QString folder = path("backup");
        QCOMPARE(Database::getSetting("backupDir").toString(), folder);
        QCOMPARE(Database::getSetting("backupCount").toInt(), 5);
        const QStringList files = filesIn(folder);
        QCOMPARE(files.size(), 1);
        QVERIFY2(CopyName.match(files.first()).hasMatch(), qPrintable(files.first()));
        QVERIFY(QDateTime::fromString(files.first().left(13), "yyMMdd_hhmmss").isValid());

        const QString copy = folder + '/' + files.first();
        QCOMPARE(scalarIn(copy, "PRAGMA user_version").toInt(), 7);
        QCOMPARE(scalarIn(copy, "SELECT name FROM nodes").toString(), QStringLiteral("Узел"));
        QCOMPARE(scalarIn(copy, "SELECT count(*) FROM sqlite_master").toInt(),
                 scalar("SELECT count(*) FROM sqlite_master").toInt());
        // The live connection goes on working.
        QVERIFY(Database::saveRecord("groups", {{"name", "После копии"}}) > 0);
    }

    void rotationKeepsTheNewest_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("existing");
        QTest::addColumn<int>("kept");
        QTest::newRow("count 0") << 0 << 4 << 0;
        QTest::newRow("count negative") << -3 << 2 << 0;
        QTest::newRow("count 1") << 1 << 3 << 0;
        QTest::newRow("count 5, 7 files") << 5 << 7 << 4;
        QTest::newRow("count 5, 2 files") << 5 << 2 << 2;
    }

    void rotationKeepsTheNewest()
    {
        QFETCH(int, count);
        QFETCH(int, existing);
        QFETCH(int, kept);
        const QString folder = path("копии");
        QVERIFY(QDir().mkpath(folder + "/подпапка"));
        QVERIFY(Database::setSetting("backupDir", folder));
        QVERIFY(Database::setSetting("backupCount", count));

        // Any name takes part, hidden ones too; file k is k hours older than file 1.
        const QDateTime now = QDateTime::currentDateTime();
        QStringList byAge;
        for (int k = 1; k <= existing; ++k) {
            const QString name = k == 2 ? QStringLiteral(".скрытый") : QStringLiteral("файл%1.txt").arg(k);
            writeFile(folder + '/' + name, now.addSecs(-3600 * k));
            byAge << name;
        }

        QVERIFY2(Database::backup(), qPrintable(lastError()));
        const QStringList after = filesIn(folder);
        QCOMPARE(after.size(), kept + 1);
        for (int k = 0; k < existing; ++k)
            QCOMPARE(after.contains(byAge.at(k)), k < kept);
        int copies = 0;
        for (const QString &name : after)
            copies += CopyName.match(name).hasMatch() ? 1 : 0;
        QCOMPARE(copies, 1);
        QVERIFY(QFileInfo(folder + "/подпапка").isDir());   // only plain files rotate
    }

    void backupFailures()
    {
        QFile plain(path("plain.txt"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        const QString impossible = path("plain.txt/backup");
        QVERIFY(Database::setSetting("backupDir", impossible));
        QVERIFY(!Database::backup());
        QCOMPARE(lastError(), QStringLiteral("Ошибка создания каталога резервных копий: ") + QDir(impossible).absolutePath());

        // No connection, no handle to copy from.
        Database::destroy();
        QVERIFY(!Database::backup());
        QCOMPARE(lastError(), QStringLiteral("Ошибка резервного копирования: нулевой дескриптор драйвера БД"));
    }

    void cleanJournalKeepsTheCurrentSecond()
    {
        QVERIFY(Database::setSetting("journalDayCount", 0));
        const QString bulk = QString(400, QChar(0x0416));
        bool sameSecond = false;
        for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
            QVERIFY(Database::execute("DELETE FROM journal"));
            const QDateTime start = QDateTime::currentDateTime();
            {
                TransactionScope scope;
                for (int i = 0; i < 2000; ++i)
                    addJournal(start.addDays(-2).addSecs(-i), bulk);
                QVERIFY(scope.commit());
            }
            addJournal(start.addSecs(-2), "недавняя");
            const qint64 sizeBefore = QFileInfo(path("telvan.db")).size();

            const QDateTime now = QDateTime::currentDateTime();
            addJournal(now, "текущая");
            QVERIFY2(Database::cleanJournal(), qPrintable(lastError()));
            sameSecond = QDateTime::currentDateTime().toSecsSinceEpoch() == now.toSecsSinceEpoch();
            if (!sameSecond)
                continue;   // the clock moved on: "current" is no longer current, try again

            QCOMPARE(scalar("SELECT count(*) FROM journal").toInt(), 1);
            QCOMPARE(scalar("SELECT message FROM journal").toString(), QStringLiteral("текущая"));
            // VACUUM gave the freed pages back to the file system.
            QCOMPARE(scalar("PRAGMA freelist_count").toInt(), 0);
            QVERIFY(QFileInfo(path("telvan.db")).size() < sizeBefore / 4);
        }
        QVERIFY(sameSecond);
    }

    void cleanJournalKeepsTheConfiguredDays()
    {
        const QDateTime now = QDateTime::currentDateTime();
        addJournal(now.addDays(-8), "старая");
        addJournal(now.addDays(-6), "неделя");
        QVERIFY(Database::cleanJournal());
        QCOMPARE(Database::getSetting("journalDayCount"), QVariant(7));
        QCOMPARE(scalar("SELECT count(*) FROM journal").toInt(), 1);
        QCOMPARE(scalar("SELECT message FROM journal").toString(), QStringLiteral("неделя"));

        // VACUUM cannot run inside a transaction: the failure is the driver's text.
        TransactionScope scope;
        QVERIFY(!Database::cleanJournal());
        QCOMPARE(lastError(), QStringLiteral("cannot VACUUM from within a transaction"));
    }
};

QTEST_GUILESS_MAIN(BackupTest)
#include "tst_backup.moc"
