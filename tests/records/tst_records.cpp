// What the wire cannot show of the record rules: the order of change notifications,
// held back while a transaction is open; what the node list reads to tell whether a
// node has archives; the next run shown with a task, at a
// chosen "now" (the zone has daylight saving time: calendar steps keep the
// wall-clock time across a change). Which stored password forms let a password in,
// and which of them are to be stored anew: forms the server never writes itself
// (Argon2 strings of other limits or of the older variant) cannot be made through the
// wire. The rest (saving, older digests and logging in: test_security.py) is tested
// end to end.

#include "groups.h"
#include "nextexecution.h"
#include "nodes.h"
#include "outcome.h"
#include "passwordhash.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "users.h"
#include "zeltosystem.h"

#include <QCryptographicHash>
#include <QSqlDriver>
#include <QtTest>

#include <functional>

#include <sodium.h>
#include <sqlite3.h>

namespace {

// Notification names in order, each with its id.
QStringList notes(const QSignalSpy &spy)
{
    QStringList result;
    for (const QList<QVariant> &args : spy)
        result.append(args.at(0).toString() + QLatin1Char(' ') + args.at(1).toString());
    return result;
}

QString note(const char *name, int id) { return QLatin1String(name) + QLatin1Char(' ') + QString::number(id); }

QDateTime at(const char *text) { return QDateTime::fromString(QLatin1String(text), "yyyy-MM-dd hh:mm:ss"); }

QVariantMap timetable(const QString &mode, const QVariantList &times = {}, qlonglong dayMask = 0)
{
    return {{QStringLiteral("mode"), mode}, {QStringLiteral("times"), times}, {QStringLiteral("dayMask"), dayMask}};
}

QVariantMap hourly(int minute) { return {{"mode", "hourly"}, {"minute", minute}}; }

// base with the values of more put in.
QVariantMap with(QVariantMap base, const QVariantMap &more)
{
    for (auto it = more.constBegin(); it != more.constEnd(); ++it)
        base.insert(it.key(), it.value());
    return base;
}

const QDateTime kRanBefore = QDateTime(QDate(2020, 1, 1), QTime(0, 0));

QString argon2(const char *password, unsigned long long ops, size_t mem, int alg = crypto_pwhash_ALG_ARGON2ID13)
{
    char text[crypto_pwhash_STRBYTES];
    const QByteArray bytes(password);
    if (crypto_pwhash_str_alg(text, bytes.constData(), quint64(bytes.size()), ops, mem, alg) != 0)
        return QString();
    return QString::fromLatin1(text);
}

} // namespace

class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QCOMPARE(outcome(m_home.open()), "ok");
        QVERIFY(sodium_init() >= 0);
    }

    void passwordCheck_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("check");

        const QString made = PasswordHash::make(QStringLiteral("пароль")).value();
        const QString weak = argon2("пароль", crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN);
        const QString older = argon2("пароль", crypto_pwhash_argon2i_OPSLIMIT_INTERACTIVE,
                                     crypto_pwhash_argon2i_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2I13);
        // (A made hash with the right password and a wrong one, logging in: test_security, test_api.)
        QTest::newRow("weaker limits, right") << weak << "пароль" << int(PasswordHash::Outdated);
        QTest::newRow("the older variant, right") << older << "пароль" << int(PasswordHash::Outdated);
        QTest::newRow("an older digest, in capitals")
            << QString(QCryptographicHash::hash("secret", QCryptographicHash::Md5).toHex().toUpper()) << "secret"
            << int(PasswordHash::Outdated);
        QTest::newRow("nothing stored") << "" << "" << int(PasswordHash::Wrong);
        QTest::newRow("a broken hash") << made.left(made.size() - 3) << "пароль" << int(PasswordHash::Wrong);
        QTest::newRow("neither form") << "secret" << "secret" << int(PasswordHash::Wrong);
    }

    void passwordCheck()
    {
        QFETCH(QString, stored);
        QFETCH(QString, password);
        QVERIFY2(!stored.isEmpty() || password.isEmpty(), "the fixture's hash was not made");
        QTEST(int(PasswordHash::check(stored, password)), "check");
    }

    void changeNotifications()
    {
        const int group = Groups::save(serverContext(), {{"name", "Удаляемая"}}).valueOr(-1);
        const int a = node(group), b = node(group), t1 = task(a), t2 = task(b);
        QVERIFY(group > 0 && a > 0 && b > 0 && t1 > 0 && t2 > 0);
        QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
        QCOMPARE(outcome(Groups::remove(serverContext(), group)), "ok");
        QStringList got = notes(spy);
        QCOMPARE(got.size(), 5);
        QCOMPARE(got.first(), note("groupRemoved", group));
        std::sort(got.begin() + 1, got.begin() + 3);
        std::sort(got.begin() + 3, got.end());
        QCOMPARE(got.mid(1), (QStringList{note("nodeRemoved", a), note("nodeRemoved", b), note("taskRemoved", t1),
                                          note("taskRemoved", t2)}));

        // Saves inside a transaction announce nothing; their announcements are made afterwards.
        spy.clear();
        int id = -1, taskId = -1;
        {
            TransactionScope scope(testDatabase(), "test");
            id = node();
            taskId = task(id);
            const QVariantMap form{{"id", taskId}, {"channel", QVariantMap{{"code", "TCP"}}},
                                   {"timetable", QVariantMap()}};
            QCOMPARE(Tasks::save(serverContext(), form).valueOr(-1), taskId);
            QCOMPARE(outcome(scope.finish()), "ok");
        }
        QVERIFY(id > 0 && taskId > 0 && spy.isEmpty());
        Nodes::changed(testDatabase(), id);
        Tasks::changed(testDatabase(), taskId);
        QCOMPARE(notes(spy), (QStringList{note("nodeSaved", id), note("taskSaved", taskId)}));
    }

    // What a record says of the node's archives (what the list and a record cost beside a plain SELECT, the
    // archives' megabytes left unread: bench_scale); a save of its fields reads nothing that refers to the node
    // (its journal here).
    void theNodeList()
    {
        const int id = node();
        task(id);
        QCOMPARE(outcome(testDatabase().run("UPDATE nodes_data SET day_data = ?, hour_data = ? WHERE id = ?",
                                            {QByteArray(4096, 'd'), QByteArray(4 << 20, 'h'), id})), "ok");
        const QVariantMap record = Nodes::find(serverContext(), id).valueOr(QVariantMap());
        QCOMPARE(QVariantList({record.value("has_day_data"), record.value("has_hour_data"), record.value("has_current_data"),
                               record.value("has_archives"), record.value("has_report_data")}),
                 QVariantList({1, 1, 0, 1, 0}));
        QCOMPARE(outcome(testDatabase().run("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                            "WHERE i < 20000) INSERT INTO journal (ctime, node_id, level, message) "
                                            "SELECT '2025-01-01T00:00:00.000', ?, 'INFO', 'запись' FROM n",
                                            {id})), "ok");
        const int saved = pagesRead([&] { QCOMPARE(Nodes::save(serverContext(), {{"id", id}, {"note", "н"}}).valueOr(-1), id); });
        QVERIFY2(saved < 64, qPrintable(QStringLiteral("%1 pages read for a save of one node").arg(saved)));

        // The list counts each node's rows in one pass per table; every row of it
        // is the node's own record, whatever the node has or lacks.
        const int group = Groups::save(serverContext(), {{"name", "Перечень"}}).valueOr(-1);
        const int full = node(group), bare = node(group), logged = node();
        const int tasks[] = {task(full), task(full), task(full), task(logged)};
        const QDateTime stamp = at("2025-03-01 10:00:00"), earlier = at("2025-02-01 10:00:00");
        // Statement, then the values of each row it writes.
        const QList<QPair<QString, QList<QVariantList>>> rows = {
            {"UPDATE tasks SET last_error = ? WHERE id = ?", {{"Нет ответа", tasks[0]}, {"Обрыв", tasks[2]}}},
            {"UPDATE nodes SET last_update = ? WHERE id = ?", {{stamp, full}}},
            {"INSERT INTO setting_data VALUES (?, ?, ?)", {{full, "Ду", "50"}, {full, "Схема", "1"}}},
            {"INSERT INTO journal_data VALUES (?, ?, ?, ?, ?)",
             {{full, earlier, "Ду", "40", "50"}, {full, stamp, "Ду", "50", "65"}, {full, stamp, "Схема", "2", "1"}}},
            {"INSERT INTO check_log VALUES (?, ?, ?, ?, ?)",
             {{full, stamp, stamp, "hour_data", "t1 выше 95"}, {full, stamp, earlier, "hour_data", "t1 выше 95"},
              {full, earlier, earlier, "day_data", "нет суток"}, {logged, earlier, earlier, "day_data", "нет суток"}}}};
        for (const auto &[statement, values] : rows)
            for (const QVariantList &binds : values)
                QCOMPARE(outcome(testDatabase().run(statement, binds)), "ok");

        const ZeltoTable list = Nodes::list(serverContext()).valueOr(ZeltoTable());
        QMap<int, QVariantMap> listed;
        for (int row = 0; row < list.rowCount(); ++row)
            listed.insert(list.value(row, "id").toInt(), list.toMap(row));
        // SQL's null comes typed, and a typed null equals 0: nulls as such, as clients get them.
        const auto plain = [](QVariantMap record) {
            for (QVariant &value : record)
                value = value.isNull() ? QVariant() : value;
            return record;
        };
        for (const int id : {full, bare, logged}) {
            const QVariantMap inList = plain(listed.value(id));
            const QVariantMap record = plain(Nodes::find(serverContext(), id).valueOr(QVariantMap()));
            QStringList differing, keys = inList.keys() + record.keys();
            keys.removeDuplicates();
            for (const QString &key : qAsConst(keys))
                if (!inList.contains(key) || !record.contains(key) || inList.value(key) != record.value(key))
                    differing << QString("%1: %2 in the list, %3 alone").arg(key, inList.value(key).toString(), record.value(key).toString());
            QVERIFY2(differing.isEmpty() && !record.isEmpty(), qPrintable(QString("node %1: %2").arg(id).arg(differing.join("; "))));
        }
        const auto counts = [&](int id) {
            const QVariantMap r = plain(listed.value(id));
            return QVariantList{r.value("has_setting_data"), r.value("has_journal_data"), r.value("has_check_log"),
                                r.value("check_fails"), r.value("read_error")};
        };
        QCOMPARE(counts(full), (QVariantList{2, 3, 3, 2, "Нет ответа,Обрыв"}));
        QCOMPARE(counts(bare), (QVariantList{0, 0, 0, 0, QVariant()}));
        QCOMPARE(counts(logged), (QVariantList{0, 0, 1, 0, QVariant()}));
    }

    // A stored value that cannot be written undoes the row written before it.
    void fullTaskFormIsAllOrNothing()
    {
        const int id = task(node());
        const QVariantMap before = Tasks::find(serverContext(), id).valueOr(QVariantMap());
        QVERIFY(testDatabase().run("CREATE TEMP TRIGGER refuse BEFORE UPDATE ON tasks_data "
                                   "BEGIN SELECT RAISE(ABORT, 'отказ'); END").ok());
        const QVariantMap form{{"id", id}, {"mon_interval", 5}, {"channel", QVariantMap{{"code", "TCP"}}}};
        QCOMPARE(Tasks::save(serverContext(), form).valueOr(-1), -1);
        QVERIFY(testDatabase().run("DROP TRIGGER refuse").ok());
        QCOMPARE(Tasks::find(serverContext(), id).valueOr(QVariantMap()), before);
    }

    // Each record kind bounds its fields at the limit, and the refusal writes nothing.
    void fieldsAreBounded_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QVariantMap>("input");
        QTest::addColumn<QString>("refusal");   // empty: saved
        const auto text = [](int length) { return QString(length, QChar(0x0416)); };   // "Ж": two bytes each in UTF-8
        const auto tooLong = [](const char *field, int most) {
            return QStringLiteral("Слишком длинное значение поля %1: не более %2 символов")
                .arg(QLatin1String(field))
                .arg(most);
        };
        const auto tooBig = [](const char *field) {
            return QStringLiteral("Слишком большое значение поля %1: не более 65536 байт").arg(QLatin1String(field));
        };
        const auto row = [](const char *name, const char *record, const QVariantMap &input, const QString &refusal) {
            QTest::newRow(name) << QString(record) << input << refusal;
        };
        row("node name at the limit", "node", {{"name", text(255)}, {"param24", text(255)}}, QString());
        row("node parameter", "node", {{"param24", text(256)}}, tooLong("param24", 255));
        // Integer columns: SQLite would keep other text, PostgreSQL refuse it in its own words.
        const QString notWhole = QStringLiteral("Неверное значение поля %1: ожидается целое число");
        row("node numbers as numbers or their text", "node",
            {{"number", " 77 "}, {"version", 2.0}, {"firmware", QVariant()}}, QString());
        row("node version", "node", {{"version", 1.5}}, notWhole.arg("version"));
        row("task node id beyond an int", "task", {{"node_id", 4294967297LL}}, notWhole.arg("node_id"));
        row("group name", "group", {{"name", text(256)}}, tooLong("name", 255));
        row("user fields at the limit", "user", {{"fio", text(255)}, {"note", text(4000)}}, QString());
        row("user phone", "user", {{"phone", QByteArray(256, '7')}}, tooLong("phone", 255));
        row("user rights", "user", {{"access", QStringList(QVector<QString>(700, text(50)).toList())}},
            tooBig("access"));
        row("task channel code", "task", {{"channel", QVariantMap{{"code", text(256)}}}}, tooLong("channel_code", 255));
        row("task timetable", "task", {{"timetable", QVariantMap{{"x", text(33000)}}}}, tooBig("timetable"));
        row("task error (short form)", "task", {{"last_error", text(4001)}}, tooLong("last_error", 4000));
    }

    void fieldsAreBounded()
    {
        QFETCH(QString, record);
        QFETCH(QVariantMap, input);
        QFETCH(QString, refusal);
        const auto counts = [] {
            return testDatabase().row("SELECT (SELECT count(*) FROM nodes) AS n, (SELECT count(*) FROM groups) AS g, "
                                      "(SELECT count(*) FROM users) AS u, (SELECT count(*) FROM tasks) AS t").value();
        };
        QVariantMap stored;   // the task a short-form save would change
        if (record == "task") {
            const int nodeId = node(), taskId = task(nodeId);
            if (!input.contains("channel") && !input.contains("timetable")) {
                input.insert("id", taskId);
                stored = Tasks::find(serverContext(), taskId).valueOr(QVariantMap());
            } else {
                input.insert("node_id", nodeId);
                if (!input.contains("channel"))
                    input.insert("channel", QVariantMap{{"code", "COM"}});
            }
        }
        const QVariantMap before = counts();
        const ZeltoStatus saved = record == "node"
            ? Nodes::save(serverContext(), with({{"model_code", "QRV5"}, {"number", ++m_serial}}, input)).status()
            : record == "group" ? Groups::save(serverContext(), input).status()
            : record == "user" ? Users::save(&testDatabase(), with({{"login", QStringLiteral("u%1").arg(++m_serial)},
                                                                     {"password", "п"}}, input)).status()
            : Tasks::save(serverContext(), input).status();
        QCOMPARE(saved.message(), refusal);
        if (!refusal.isEmpty()) {
            QCOMPARE(counts(), before);
            if (!stored.isEmpty())
                QCOMPARE(Tasks::find(serverContext(), stored.value("id").toInt()).valueOr(QVariantMap()), stored);
        }
    }

    void next_data()
    {
        QTest::addColumn<QVariantMap>("timetable");
        QTest::addColumn<bool>("hasRun");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<QDateTime>("expected");   // null: never due
        const auto row = [](const char *name, const QVariantMap &tt, const char *now, const char *expected, bool hasRun = true) {
            QTest::newRow(name) << tt << hasRun << at(now) << (*expected ? at(expected) : QDateTime());
        };
        const QString daily = QStringLiteral("daily"), weekly = QStringLiteral("weekly"), monthly = QStringLiteral("monthly");
        const QVariantList eight{QStringLiteral("08:00")};
        row("no mode, never run", timetable(QString(), eight), "2024-05-15 10:20:30", "", false);
        // A task that has never run is started at the scheduler's next pass...
        row("never run", timetable(daily, eight), "2024-05-15 10:20:30", "2024-05-15 10:21:30", false);
        // ... but once it has run, an unknown mode never falls due.
        row("unknown mode", timetable(QStringLiteral("yearly"), eight, 1), "2024-05-15 10:20:30", "");

        row("hourly, this hour", hourly(30), "2024-05-15 10:29:10", "2024-05-15 10:30:00");
        row("hourly, next hour", hourly(30), "2024-05-15 10:45:00", "2024-05-15 11:30:00");
        // The slot of the current minute is this hour's, even seconds after it.
        row("hourly, this minute", hourly(30), "2024-05-15 10:30:20", "2024-05-15 10:30:00");
        row("hourly, minute 75", hourly(75), "2024-05-15 10:01:00", "");
        row("hourly, minute -1", hourly(-1), "2024-05-15 10:01:00", "");

        // Stored order counts, not the earliest time.
        const QVariantMap evening = timetable(daily, {QStringLiteral("18:00"), QStringLiteral("06:00")});
        row("daily, tomorrow", evening, "2024-05-15 19:00:00", "2024-05-16 18:00:00");
        const QVariantMap sorted = timetable(daily, {QTime(6, 0), QTime(18, 0, 30)});
        row("daily, second time", sorted, "2024-05-15 06:00:00", "2024-05-15 18:00:30");
        // The night before the clocks go forward: tomorrow at the same wall-clock time.
        row("daily, spring change", sorted, "2024-03-30 19:00:00", "2024-03-31 06:00:00");
        row("daily without times", timetable(daily), "2024-05-15 07:00:00", "");
        row("daily, bad times passed over", timetable(daily, {QStringLiteral("x"), QVariantMap(), QStringLiteral("09:15")}),
            "2024-05-15 07:00:00", "2024-05-15 09:15:00");

        // 0x01 is Monday only, 0x11 Monday and Friday.
        const QVariantMap monday = timetable(weekly, eight, 0x01);
        row("weekly, autumn change", monday, "2024-10-21 09:00:00", "2024-10-28 08:00:00");
        const QVariantMap twice = timetable(weekly, {QStringLiteral("20:00"), QStringLiteral("08:00")}, 0x11);
        row("weekly, Friday to Monday", twice, "2024-05-17 21:00:00", "2024-05-20 20:00:00");

        const QVariantMap first = timetable(monthly, eight, 0x1);
        row("monthly, next month", first, "2024-05-15 10:00:00", "2024-06-01 08:00:00");
        // The 31st (bit 30) within the next 31 days, else one month on, clamped to the
        // end of February; the scheduler's last-day rule does not apply.
        const QVariantMap last = timetable(monthly, eight, qlonglong(1) << 30);
        row("monthly, leap February", last, "2024-01-31 09:00:00", "2024-02-29 08:00:00");
        row("monthly, 30-day month", last, "2024-04-10 10:00:00", "");
    }

    void next()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(bool, hasRun);
        QFETCH(QDateTime, now);
        QTEST(NextExecution::compute(timetable, hasRun ? kRanBefore : QDateTime(), now), "expected");
    }

private:
    // Pages of the database the work read, from SQLite's cache or the file.
    static int pagesRead(const std::function<void()> &work)
    {
        const QVariant handle = QSqlDatabase::database().driver()->handle();
        sqlite3 *db = *static_cast<sqlite3 *const *>(handle.constData());
        int hits = 0, misses = 0, highWater = 0;
        sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_HIT, &hits, &highWater, 1);
        sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highWater, 1);
        work();
        sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_HIT, &hits, &highWater, 0);
        sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highWater, 0);
        return hits + misses;
    }

    int node(int group = 0)
    {
        const QVariantMap record{{"model_code", "QRV5"}, {"model_name", "ТВ-5"}, {"number", ++m_serial},
                                 {"group_id", group}};
        return Nodes::save(serverContext(), record).valueOr(-1);
    }
    int task(int nodeId)
    {
        const QVariantMap form{{"node_id", nodeId}, {"channel", QVariantMap{{"code", "COM"}}}};
        return Tasks::save(serverContext(), form).valueOr(-1);
    }

    TempDatabaseHome m_home;
    int m_serial = 0;
};

QTEST_GUILESS_MAIN(TestRecords)
#include "tst_records.moc"
