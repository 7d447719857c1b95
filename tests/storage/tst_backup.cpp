#include "backupfolder.h"
#include "databasebackup.h"
#include "databaserestore.h"
#include "journalcompaction.h"
#include "rawquery.h"
#include "sqlitefile.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "walcheckpointer.h"
#include "zeltoenvironment.h"
#include "zeltometrics.h"
#include "zeltotestclock.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QVariant scalarIn(const QString &file, const QString &statement)
{
    SqliteFile db;
    return db.open(file, SqliteFile::ReadOnly) ? db.scalar(statement) : QVariant();
}

QStringList filesIn(const QString &folder) { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

void writeFile(const QString &path, const QByteArray &content = "не копия")
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// Keeps in `error` what a started backup or compaction finishes with: empty when it succeeded.
template <typename Job> void watch(Job *job, QString &error)
{
    error = QStringLiteral("не завершено");
    QObject::connect(job, &Job::finished, [&error](bool ok, const QString &text) {
        error = ok ? QString() : text.isEmpty() ? QStringLiteral("ошибка без текста") : text;
    });
}

// One backup, waited for: empty when it succeeded, else why not.
QString backupError()
{
    const ZeltoResult<DatabaseBackup *> started = DatabaseBackup::start(testDatabase());
    if (!started.ok())
        return started.status().message();
    DatabaseBackup *backup = started.value();
    QString error;
    watch(backup, error);
    backup->waitForFinished();
    return error;
}

// Names meant to differ are made from one instant: read apart, two of them could meet across a second's turn.
QString copyAgo(int secondsAgo, const QDateTime &now = QDateTime::currentDateTime())
{
    return BackupFolder::copyName(now.addSecs(-secondsAgo));
}

// Files that are not ours, which nothing may touch.
const QStringList Foreign{"notes.txt", ".hidden", "telvan.db", "200101_000000.db.bak", "200101_000000.sqlite"};

} // namespace

class BackupTest : public QObject
{
    Q_OBJECT

private:
    ZeltoTestClock m_clock{QDateTime(QDate(2025, 3, 9), QTime(14, 15))};   // names the copies when set
    QScopedPointer<TempDatabaseHome> m_home;

    QString path(const QString &name) const { return m_home->filePath(name); }
    qint64 onDisk() const { return QFileInfo(path("telvan.db")).size() + QFileInfo(path("telvan.db-wal")).size(); }
    QString firstCopy() const { return BackupFolder(path("backup")).filePath(BackupFolder(path("backup")).copies().value(0)); }

    // About `megabytes` of journal rows, so that a copy takes many steps.
    void fill(int megabytes, int daysAgo = 30)
    {
        TransactionScope scope(m_home->db(), "test");
        const QString bulk = QString(500, QChar(0x0416));   // 1000 bytes in UTF-8
        for (int i = 0; i < megabytes * 1000; ++i)
            QVERIFY(m_home->db().save("journal", {{"ctime", QDateTime::currentDateTime().addDays(-daysAgo)},
                                                  {"level", "INFO"}, {"message", bulk}}).ok());
        QCOMPARE(outcome(scope.finish()), "ok");
    }

    // A folder with copies of the current database under these names, and files that are not ours.
    QString folderWithCopies(const QStringList &copies)
    {
        const QString folder = path("копии");
        [&] {
            QVERIFY(m_home->db().putSetting("backupDir", folder).ok());
            QCOMPARE(backupError(), QString());
            const QString made = folder + "/сделанная";   // out of the way of the names given
            QVERIFY(QFile::rename(folder + '/' + BackupFolder(folder).copies().value(0), made));
            for (const QString &name : copies)
                QVERIFY(QFile::copy(made, folder + '/' + name));
            QVERIFY(QFile::remove(made));
            for (const QString &name : Foreign)
                writeFile(folder + '/' + name);
        }();
        return folder;
    }

private slots:
    void init()
    {
        // Copies and compaction of the SQLite file; PostgreSQL does its own (the test named postgres...).
        if (testsOnPostgres() != QByteArray(QTest::currentTestFunction()).startsWith("postgres"))
            QSKIP("the other database's");
        m_home.reset(new TempDatabaseHome);
        QCOMPARE(outcome(m_home->open()), "ok");
        ZeltoEnvironment::set("ORVEX_BACKUP_STEP_PAUSE_MS", QString());
    }

    void cleanup() { DatabaseBackup::abort(); m_home.reset(); }

    void copyIsTheDatabaseAsTheCopyBegan()
    {
        QVERIFY(addNode("Узел", 1) > 0);
        fill(4);
        ZeltoEnvironment::set("ORVEX_BACKUP_STEP_PAUSE_MS", "100");
        testDatabase().setStampClock(&m_clock);
        DatabaseBackup *backup = DatabaseBackup::start(testDatabase()).value();
        QVERIFY(backup);
        QString error;
        watch(backup, error);

        // The server writes on while the copy runs (no lock held across steps); the copy keeps the file as it was.
        QTRY_VERIFY(QFileInfo(path("backup/250309_141500.db.part")).size() > 0);
        QVERIFY(addNode("Во время копии", 2) > 0);
        QCOMPARE(DatabaseBackup::start(testDatabase()).status().message(),
                 "Резервное копирование уже выполняется: дождитесь его окончания");
        QTRY_VERIFY_WITH_TIMEOUT(!DatabaseBackup::running(), 60000);
        QCOMPARE(error, QString());

        // With no folder configured: "backup" in the home folder; one file, the copy.
        const QStringList files = filesIn(path("backup"));
        QCOMPARE(files, QStringList{"250309_141500.db"});   // the time of the database's clock
        const DatabaseFileCheck check = DatabaseFileCheck::inspect(firstCopy());
        QVERIFY2(check.isGood(), qPrintable(check.error()));
        // A plain rollback-journal file, readable from read-only media.
        QCOMPARE(QVariantList({check.version(), check.nodeCount(), scalarIn(firstCopy(), "SELECT name FROM nodes"),
                               scalarIn(firstCopy(), "PRAGMA journal_mode")}),
                 QVariantList({Database::supportedVersion(), 1, "Узел", "delete"}));
        QCOMPARE(scalar("SELECT count(*) FROM nodes").toInt(), 2);

        // Stopping the server stops a copy, and its temporary file goes.
        backup = DatabaseBackup::start(testDatabase()).value();
        QVERIFY(backup);
        QTRY_COMPARE(filesIn(path("backup")).size(), 2);
        QSignalSpy finished(backup, &DatabaseBackup::finished);
        Database::destroy();
        QCOMPARE(QList<QVariantList>(finished), QList<QVariantList>({{false, "Ошибка резервного копирования: прервано"}}));
        QCOMPARE(filesIn(path("backup")), files);
        QVERIFY(!DatabaseBackup::running());
    }

    void rotationCountsOnlyCopies_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QList<int>>("ages");   // of the copies already there, in seconds, newest first
        QTest::addColumn<int>("kept");
        QTest::newRow("count 0 keeps the new copy") << 0 << QList<int>{3600, 7200, 10800} << 0;
        QTest::newRow("count 5, 7 older") << 5 << QList<int>{3600, 7200, 10800, 14400, 18000, 21600, 25200} << 4;
        // The new copy takes the next free second instead of replacing one made in the same second.
        QTest::newRow("the coming seconds taken") << 10 << QList<int>{-3, -2, -1, 0} << 4;
    }

    void rotationCountsOnlyCopies()
    {
        QFETCH(int, count);
        QFETCH(QList<int>, ages);
        QFETCH(int, kept);
        QStringList copies;
        const QDateTime now = QDateTime::currentDateTime();
        for (int age : ages)
            copies << copyAgo(age, now);
        const QString folder = folderWithCopies(copies);
        const QString notAFile = folder + "/" + copyAgo(3600 * 100);
        QVERIFY(QDir().mkpath(notAFile));   // a folder with a copy's name is no copy
        QVERIFY(m_home->db().putSetting("backupCount", count).ok());

        QCOMPARE(backupError(), QString());
        const QStringList after = BackupFolder(folder).copies();
        QCOMPARE(after, QStringList(after.value(0)) + copies.mid(0, kept));   // the new copy and the newest kept
        for (const QString &name : Foreign)
            QVERIFY2(QFile::exists(folder + '/' + name), qPrintable(name));
        QVERIFY(QFileInfo(notAFile).isDir());
    }

    void leftoversOfUnfinishedCopiesGo()
    {
        const QString good = copyAgo(7200);
        const QString rolledBack = copyAgo(3600);
        const QString folder = folderWithCopies({good, rolledBack});
        const BackupFolder backups(folder);
        const QString hot = backups.filePath(rolledBack);

        // A good copy an earlier release overwrote in place and was killed: with its hot journal.
        {
            SqliteFile writer;
            QVERIFY(writer.open(hot, SqliteFile::ReadWrite));
            QVERIFY(writer.exec("PRAGMA cache_size = 1; BEGIN; DELETE FROM settings; DELETE FROM users_data"));
            QVERIFY(writer.exec("CREATE TABLE filler (x); INSERT INTO filler VALUES (zeroblob(200000))"));
            QVERIFY(QFile::copy(hot, hot + ".frozen") && QFile::copy(hot + "-journal", hot + ".frozen-journal"));
            writer.close();   // rolls back; the frozen pair is what a killed writer leaves
            QVERIFY(QFile::remove(hot) && QFile::rename(hot + ".frozen", hot));
            QVERIFY(QFile::rename(hot + ".frozen-journal", hot + "-journal"));
        }
        // One that was new when it was cut short (this release's temporary files killed copies leave: test_backups).
        const QString broken = backups.filePath(copyAgo(60));
        writeFile(broken, QByteArray(4096, '\0'));
        writeFile(broken + "-journal", QByteArray(512, 'j'));
        QCOMPARE(backups.copies(), QStringList{good});   // a copy with a journal beside it does not count

        DatabaseBackup::removeLeftovers(testDatabase());
        QStringList expected = Foreign + QStringList{good, rolledBack};
        expected.sort();
        QCOMPARE(filesIn(folder), expected);
        const DatabaseFileCheck check = DatabaseFileCheck::inspect(hot);
        QVERIFY2(check.isGood(), qPrintable(check.error()));
        QVERIFY(scalarIn(hot, "SELECT count(*) FROM settings").toInt() > 0);
    }

    // (A folder that cannot be made: test_backups, which sees the error again at the next tick.)
    void failuresLeaveTheOldCopies_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("temporary file cannot be made") << "part" << "Ошибка резервного копирования: не удалось создать файл ";
        QTest::newRow("disk full") << "full" << "Ошибка резервного копирования: ";
        QTest::newRow("rename refused") << "rename" << "Ошибка резервного копирования: не удалось переименовать ";
        QTest::newRow("live database damaged") << "damaged" << "Ошибка резервного копирования: копия ";
    }

    void failuresLeaveTheOldCopies()
    {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        const QString folder = folderWithCopies({copyAgo(7200), copyAgo(3600)});
        QVERIFY(m_home->db().putSetting("backupCount", 1).ok());
        const QStringList before = filesIn(folder);   // the two copies and files not ours

        struct rlimit unlimited;
        getrlimit(RLIMIT_FSIZE, &unlimited);
        if (fault == "part" || fault == "rename") {
            for (int s = -1; s <= 5; ++s) {   // every name a copy started in the next seconds could take
                const QString name = fault == "part" ? BackupFolder::partName(copyAgo(-s)) : copyAgo(-s);
                QVERIFY(QDir().mkpath(folder + '/' + name + "/x"));
            }
        } else if (fault == "full") {
            fill(1);
            std::signal(SIGXFSZ, SIG_IGN);
            const struct rlimit small{64 * 1024, unlimited.rlim_max};
            QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        } else if (fault == "damaged") {
            // A damaged page in the file itself (the log moved back first).
            fill(1);
            QVERIFY(m_home->db().truncateLog().ok());
            QFile live(path("telvan.db"));
            QVERIFY(live.open(QIODevice::ReadWrite));
            QVERIFY(live.seek(live.size() / 2 / 4096 * 4096));
            live.write(QByteArray(4096, '\x5a'));
        }
        const QString error = backupError();
        setrlimit(RLIMIT_FSIZE, &unlimited);

        QVERIFY2(error.startsWith(message), qPrintable(error));
        QCOMPARE(filesIn(folder), before);   // nothing came or went
    }

    // The check of a copy refuses one without the schema or with a newer one, one beside a journal (a damaged one:
    // failuresLeaveTheOldCopies).
    void checkRefusesWhatIsNotAWholeCopy()
    {
        fill(1);
        QCOMPARE(backupError(), QString());
        const int version = Database::supportedVersion();
        const struct { QString damage, message; } rows[] = {
            {"empty", "нет таблиц схемы: users, users_data, groups"},
            {"newer", QStringLiteral("версия схемы %1 новее поддерживаемой %2").arg(version + 1).arg(version)},
            {"journal", "рядом лежит журнал незавершённой записи "}};
        for (const auto &row : rows) {
            const QString copy = path(row.damage + ".db");
            QVERIFY(row.damage == "empty" || QFile::copy(firstCopy(), copy));
            if (row.damage == "journal") {
                writeFile(copy + "-journal", "journal");
            } else {
                SqliteFile db;
                QVERIFY(db.open(copy, SqliteFile::ReadWrite));
                QVERIFY(db.exec(QStringLiteral("%1PRAGMA user_version = %2")
                                    .arg(row.damage == "empty" ? "CREATE TABLE other (x); " : "")
                                    .arg(version + (row.damage == "empty" ? 0 : 1))));
            }
            const DatabaseFileCheck check = DatabaseFileCheck::inspect(copy);
            QVERIFY2(!check.isGood() && check.error().startsWith(row.message), qPrintable(row.damage + ": " + check.error()));
        }
    }

    void restorePutsACopyInPlace()
    {
        QCOMPARE(backupError(), QString());
        const QString copy = firstCopy();
        Database::destroy();
        const QString live = path("telvan.db");
        writeFile(live + "-wal", "a journal of the live file goes with it");
        const qint64 liveSize = QFileInfo(live).size();

        // A file that is not a whole database is refused and changes nothing.
        writeFile(path("bad.db"), "SQLite format 3");
        DatabaseRestore refused;
        QVERIFY(!refused.restore(path("bad.db"), live, QDateTime::currentDateTime()));
        QVERIFY2(refused.error().contains("не является базой данных SQLite"), qPrintable(refused.error()));
        QVERIFY(QFileInfo::exists(live + "-wal"));
        QCOMPARE(QFileInfo(live).size(), liveSize);

        DatabaseRestore restore;
        QVERIFY2(restore.restore(copy, live, QDateTime(QDate(2025, 3, 9), QTime(14, 15, 0))), qPrintable(restore.error()));
        QCOMPARE(restore.keptAs(), path("telvan.replaced-250309_141500.db"));
        // (The copy's data and the kept file's bytes in place: test_backups test_restore_into_a_stopped_home.)
        QVERIFY(QFileInfo::exists(restore.keptAs() + "-wal"));
        QVERIFY(!QFileInfo::exists(live + "-wal") && !QFileInfo::exists(live + ".restore.part"));
    }

    // The journal keeps its configured days. The clean-up and the compaction go in steps, requests are served
    // between them, the freed pages go back to the file system, and nothing is done while a copy is made.
    void compactionKeepsTheConfiguredDaysInSteps()
    {
        QCOMPARE(scalar("PRAGMA auto_vacuum").toInt(), 2);   // a new file gives pages back in steps
        fill(4);
        QVERIFY(m_home->db().save("journal", {{"ctime", QDateTime::currentDateTime().addDays(-6)},
                                              {"level", "INFO"}, {"message", "неделя"}}).ok());
        QVERIFY(m_home->db().truncateLog().ok());
        const qint64 sizeBefore = onDisk();
        int served = 0;
        QCOMPARE(compact(&served), QString());
        QVERIFY2(served >= 10, qPrintable(QString("requests served during the compaction: %1").arg(served)));
        QCOMPARE(m_home->db().setting("journalDayCount").value(), QVariant(7));   // the default, written
        QCOMPARE(scalar("SELECT group_concat(message) FROM journal").toString(), QStringLiteral("неделя"));
        QCOMPARE(scalar("PRAGMA freelist_count").toInt(), 0);
        QVERIFY2(onDisk() < sizeBefore / 4, qPrintable(QString("%1 bytes, %2 before").arg(onDisk()).arg(sizeBefore)));

        // Under a copy it waits for the copy's end, however long the copy takes.
        fill(2);
        ZeltoEnvironment::set("ORVEX_BACKUP_STEP_PAUSE_MS", "20000");   // far longer than the turns below
        QVERIFY(DatabaseBackup::start(testDatabase()).ok());
        const ZeltoResult<JournalCompaction *> started = JournalCompaction::start(testDatabase(), {500, 16});
        QVERIFY2(started.ok(), qPrintable(started.status().message()));
        JournalCompaction *compaction = started.value();
        QSignalSpy done(compaction, &JournalCompaction::finished);
        for (int turn = 0; turn < 50; ++turn)
            QCoreApplication::processEvents();
        QCOMPARE(QVariantList({scalar("SELECT count(*) FROM journal"), JournalCompaction::running() == compaction}),
                 QVariantList({2001, true}));
        DatabaseBackup::abort();
        QTRY_COMPARE_WITH_TIMEOUT(done.count(), 1, 60000);
        QCOMPARE(QVariantList({done.at(0).at(0), scalar("SELECT count(*) FROM journal"), scalar("PRAGMA freelist_count")}),
                 QVariantList({true, 1, 0}));
    }

    // A commit that fills the write-ahead log leaves writing it back to a thread of its own (counted on the
    // metrics page); the log's truncation, that thread held meanwhile, cuts it to nothing.
    void logWrittenBackOffTheCommittingThread()
    {
        const double before = ZeltoMetrics::instance()->value(WalCheckpointer::kMetric);
        QVERIFY(m_home->db().run("CREATE TABLE big (b BLOB)").ok());
        QVERIFY(m_home->db().run("INSERT INTO big VALUES (zeroblob(8000000))").ok());
        QTRY_COMPARE(ZeltoMetrics::instance()->value(WalCheckpointer::kMetric), before + 1);
        // The blob reaches the database file only through a checkpoint.
        QVERIFY2(QFileInfo(path("telvan.db")).size() > 8000000,
                 qPrintable(QString("database file: %1 bytes").arg(QFileInfo(path("telvan.db")).size())));
        QVERIFY(m_home->db().truncateLog().ok());
        QCOMPARE(QFileInfo(path("telvan.db-wal")).size(), 0);
    }

    // A file of an older release (no incremental compaction) is switched over by one whole VACUUM, only once its
    // free pages pass a quarter of the file; before that they stay for reuse.
    void olderFileIsSwitchedOverOnceMuchIsFree()
    {
        QVERIFY(m_home->db().run("PRAGMA auto_vacuum = NONE").ok() && m_home->db().run("VACUUM").ok());
        QCOMPARE(scalar("PRAGMA auto_vacuum").toInt(), 0);
        fill(4, 1);
        fill(1);
        QCOMPARE(compact(), QString());
        QCOMPARE(QVariantList({scalar("PRAGMA auto_vacuum"), scalar("PRAGMA freelist_count").toInt() > 200,
                               scalar("SELECT count(*) FROM journal")}),
                 QVariantList({0, true, 4000}));
        fill(4);
        QCOMPARE(compact(), QString());
        QCOMPARE(QVariantList({scalar("PRAGMA auto_vacuum"), scalar("PRAGMA freelist_count"),
                               scalar("SELECT count(*) FROM journal")}),
                 QVariantList({2, 0, 4000}));
    }

    // On PostgreSQL a copy is refused with where to make one, and the clean-up deletes old journal rows in
    // steps (requests served between them) and leaves the space to PostgreSQL.
    void postgresKeepsItsOwnCopiesAndSpace()
    {
        QCOMPARE(outcome(DatabaseBackup::start(m_home->db())),
                 "failed: БД хранится в PostgreSQL: резервные копии делаются средствами PostgreSQL (pg_dump, "
                 "базовая копия и архивирование WAL), а не сервером");
        QVERIFY(!QDir(path("backup")).exists());
        fill(2);
        QVERIFY(m_home->db().save("journal", {{"ctime", QDateTime::currentDateTime().addDays(-6)},
                                              {"level", "INFO"}, {"message", "неделя"}}).ok());
        int served = 0;
        QCOMPARE(compact(&served), QString());
        QVERIFY2(served >= 3, qPrintable(QString("requests served during the clean-up: %1").arg(served)));
        QCOMPARE(scalar("SELECT string_agg(message, ',') FROM journal").toString(), QStringLiteral("неделя"));
    }

private:
    // Runs a clean-up with small steps to its end: empty when it succeeded, else why not. Counts in served the
    // cheap requests (one posted again at each turn of the event loop) that got in before it ended.
    QString compact(int *served = nullptr)
    {
        testDatabase().setStampClock(ZeltoClock::system());   // the age of the rows fill() writes
        const ZeltoResult<JournalCompaction *> started = JournalCompaction::start(testDatabase(), {500, 16});
        if (!started.ok())
            return started.status().message();
        JournalCompaction *compaction = started.value();
        QString error;
        watch(compaction, error);
        bool done = false;
        std::function<void()> request = [&]() {
            if (JournalCompaction::running() != compaction || done)
                return;
            if (served)
                ++*served;
            QTimer::singleShot(0, request);
        };
        QTimer::singleShot(0, request);
        if (!QTest::qWaitFor([&] { return error != QStringLiteral("не завершено"); }, 60000))
            JournalCompaction::abort();
        done = true;
        return error;
    }
};

QTEST_GUILESS_MAIN(BackupTest)
#include "tst_backup.moc"
