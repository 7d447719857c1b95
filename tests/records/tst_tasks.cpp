// Task records against a fresh database: the main-task rule, the display
// columns derived from the editable form, the next run kept with the row,
// and the order of change notifications, which the wire cannot show.

#include "database.h"
#include "nextexecution.h"
#include "nodes.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "transactionscope.h"
#include "zeltosystem.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

using Notes = QList<QPair<QString, QVariant>>;

Notes notes(const QSignalSpy &spy)
{
    Notes result;
    for (const QList<QVariant> &args : spy)
        result.append({args.at(0).toString(), args.at(1)});
    return result;
}

QString lastError()
{
    return ZeltoSystem::instance()->lastError();
}

QVariantMap channel(const QString &code = QStringLiteral("COM"))
{
    return {{QStringLiteral("code"), code}, {QStringLiteral("port"), QStringLiteral("COM3")}};
}

QVariantMap dailyAt(const QString &time)
{
    return {{QStringLiteral("mode"), QStringLiteral("daily")}, {QStringLiteral("times"), QVariantList{time}}};
}

int countTasks()
{
    return Database::selectRecord(QStringLiteral("SELECT count(*) AS n FROM tasks")).value(QStringLiteral("n")).toInt();
}

} // namespace

class TestTasks : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void firstTaskOfNodeBecomesMain();
    void setMainSwitchesAndAnnounces();
    void derivesDisplayColumns();
    void keepsTimetableInShortForm();
    void removesAndNotesNode();
    void refusesBadInputUnchanged();

private:
    int newNode();

    TempDatabaseHome m_home;
    int m_serial = 1;
};

void TestTasks::initTestCase()
{
    QVERIFY2(m_home.open(), qPrintable(lastError()));
}

int TestTasks::newNode()
{
    return Nodes::save({{QStringLiteral("model_code"), QStringLiteral("QRV5")},
                        {QStringLiteral("model_name"), QStringLiteral("ТВ-5")},
                        {QStringLiteral("number"), m_serial++}});
}

void TestTasks::firstTaskOfNodeBecomesMain()
{
    const int node = newNode();
    QVERIFY(node > 0);
    QCOMPARE(Tasks::mainTaskOfNode(node), -1);
    QCOMPARE(lastError(), QStringLiteral("Задача опроса не найдена"));

    const QVariantMap form{{QStringLiteral("node_id"), node}, {QStringLiteral("channel"), channel()}};
    const int first = Tasks::save(form);
    const int second = Tasks::save(form);
    QVariantMap explicitMain = form;
    explicitMain.insert(QStringLiteral("is_main"), 1);
    const int third = Tasks::save(explicitMain);
    QVERIFY2(first > 0 && second > 0 && third > 0, qPrintable(lastError()));
    QCOMPARE(Tasks::get(first).value(QStringLiteral("is_main")).toInt(), 1);
    QCOMPARE(Tasks::get(second).value(QStringLiteral("is_main")).toInt(), 0);
    QCOMPARE(Tasks::get(third).value(QStringLiteral("is_main")).toInt(), 0);
    QCOMPARE(Tasks::mainTaskOfNode(node), first);

    // Another node's first task is main too; a missing node is refused.
    const int other = Tasks::save({{QStringLiteral("node_id"), newNode()}, {QStringLiteral("channel"), channel()}});
    QCOMPARE(Tasks::get(other).value(QStringLiteral("is_main")).toInt(), 1);
    QCOMPARE(Tasks::mainTaskOfNode(987654), -1);
    QCOMPARE(lastError(), QStringLiteral("Недостаточно прав для выполнения команды"));
}

void TestTasks::setMainSwitchesAndAnnounces()
{
    const int node = newNode();
    const QVariantMap form{{QStringLiteral("node_id"), node}, {QStringLiteral("channel"), channel()}};
    const int first = Tasks::save(form);
    const int second = Tasks::save(form);
    QVERIFY(first > 0 && second > 0);

    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    QVERIFY(Tasks::setMain(second, 1));
    QCOMPARE(notes(spy), Notes({{QStringLiteral("taskSaved"), first}, {QStringLiteral("taskSaved"), second}}));
    QCOMPARE(Tasks::get(first).value(QStringLiteral("is_main")).toInt(), 0);
    QCOMPARE(Tasks::get(second).value(QStringLiteral("is_main")).toInt(), 1);

    // Already main: nothing changes and nothing is announced.
    spy.clear();
    QVERIFY(Tasks::setMain(second, 1));
    QCOMPARE(spy.count(), 0);

    // Clearing leaves the node without a main task.
    QVERIFY(Tasks::setMain(second, 0));
    QCOMPARE(notes(spy), Notes({{QStringLiteral("taskSaved"), second}}));
    QCOMPARE(Tasks::mainTaskOfNode(node), -1);

    spy.clear();
    QVERIFY(!Tasks::setMain(987654, 1));
    QCOMPARE(lastError(), QStringLiteral("Недостаточно прав для выполнения команды"));
    QCOMPARE(spy.count(), 0);
}

void TestTasks::derivesDisplayColumns()
{
    const int node = newNode();
    const QVariantMap timetable{{QStringLiteral("mode"), QStringLiteral("weekly")},
                                {QStringLiteral("times"), QVariantList{QStringLiteral("08:00")}},
                                {QStringLiteral("dayMask"), 3}};
    const QVariantMap gsm{{QStringLiteral("code"), QStringLiteral("GSM")},
                          {QStringLiteral("phoneNumber"), QStringLiteral("+79001234567")},
                          {QStringLiteral("hostName"), QStringLiteral("meter.local")},
                          {QStringLiteral("deviceId"), 17}};
    const int id = Tasks::save({{QStringLiteral("node_id"), node},
                                {QStringLiteral("mon_interval"), 90},
                                {QStringLiteral("varnel_ip"), QStringLiteral("127.0.0.1")},
                                {QStringLiteral("varnel_port"), 5413},
                                {QStringLiteral("channel"), gsm},
                                {QStringLiteral("archives"), QStringList{QStringLiteral("hourData"), QStringLiteral("monthData")}},
                                {QStringLiteral("timetable"), timetable}});
    QVERIFY2(id > 0, qPrintable(lastError()));
    const QVariantMap task = Tasks::get(id);
    QCOMPARE(task.value(QStringLiteral("archives")).toString(), QStringLiteral("М,Ч"));
    QCOMPARE(task.value(QStringLiteral("phone_or_ip")).toString(), QStringLiteral("+79001234567"));
    QCOMPARE(task.value(QStringLiteral("channel_code")).toString(), QStringLiteral("GSM"));
    QCOMPARE(task.value(QStringLiteral("device_id")).toString(), QStringLiteral("17"));
    QCOMPARE(task.value(QStringLiteral("timetable_mode")).toString(), QStringLiteral("Еженедельно"));
    QCOMPARE(task.value(QStringLiteral("is_fail")).toInt(), 0);
    QCOMPARE(task.value(QStringLiteral("has_log")).toInt(), 0);

    // The editable form comes back as it was sent.
    const QVariantMap data = Tasks::getData(id);
    QCOMPARE(data.value(QStringLiteral("channel")).toMap(), gsm);
    QCOMPARE(data.value(QStringLiteral("archives")).toStringList(),
             QStringList({QStringLiteral("hourData"), QStringLiteral("monthData")}));
    QCOMPARE(data.value(QStringLiteral("timetable")).toMap(), timetable);
    QVERIFY(Tasks::log(id).isEmpty());
    QVERIFY(Database::writeData(QStringLiteral("tasks"), id, QStringLiteral("log"), QStringList{QStringLiteral("связь")}));
    QCOMPARE(Tasks::log(id), QStringList{QStringLiteral("связь")});
    QCOMPARE(Tasks::get(id).value(QStringLiteral("has_log")).toInt(), 1);

    // Host name without a phone number; all four kinds in fixed order; none stores null.
    const int tcp = Tasks::save({{QStringLiteral("id"), id},
                                 {QStringLiteral("channel"), QVariantMap{{QStringLiteral("code"), QStringLiteral("TCP")},
                                                                         {QStringLiteral("hostName"), QStringLiteral("meter.local")}}},
                                 {QStringLiteral("archives"), QStringList{QStringLiteral("journalData"), QStringLiteral("dayData"),
                                                                          QStringLiteral("hourData"), QStringLiteral("monthData")}},
                                 {QStringLiteral("timetable"), QVariantMap{{QStringLiteral("mode"), QStringLiteral("sometimes")}}}});
    QCOMPARE(tcp, id);
    QCOMPARE(Tasks::get(id).value(QStringLiteral("phone_or_ip")).toString(), QStringLiteral("meter.local"));
    QCOMPARE(Tasks::get(id).value(QStringLiteral("archives")).toString(), QStringLiteral("М,С,Ч,Ж"));
    QVERIFY(Tasks::get(id).value(QStringLiteral("timetable_mode")).isNull());
    QVERIFY(Tasks::get(id).value(QStringLiteral("device_id")).isNull());
    // The full form replaces the channel too, so it is sent again.
    QCOMPARE(Tasks::save({{QStringLiteral("id"), id}, {QStringLiteral("channel"), channel()}, {QStringLiteral("archives"), QStringList()}}), id);
    QVERIFY(Tasks::get(id).value(QStringLiteral("archives")).isNull());
    QVERIFY(Tasks::get(id).value(QStringLiteral("phone_or_ip")).isNull());
}

void TestTasks::keepsTimetableInShortForm()
{
    const int node = newNode();
    const QDateTime earlier = QDateTime::currentDateTime().addDays(-3);
    const QDateTime before = QDateTime::currentDateTime();
    const int id = Tasks::save({{QStringLiteral("node_id"), node},
                                {QStringLiteral("channel"), channel()},
                                {QStringLiteral("timetable"), dailyAt(QStringLiteral("06:00"))},
                                {QStringLiteral("last_exec"), earlier}});
    const QDateTime after = QDateTime::currentDateTime();
    QVERIFY2(id > 0, qPrintable(lastError()));
    // A new timetable clears the last run: the task is due at the next pass.
    QVariantMap task = Tasks::get(id);
    QVERIFY(task.value(QStringLiteral("last_exec")).isNull());
    const QDateTime nextExec = task.value(QStringLiteral("next_exec")).toDateTime();
    QVERIFY(nextExec >= before.addSecs(59) && nextExec <= after.addSecs(61));

    // The task manager's bookkeeping: the stored timetable stays, the next run follows it.
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    const QDateTime ran = QDateTime(QDate::currentDate(), QTime(5, 0));
    const QDateTime from = QDateTime::currentDateTime();
    QCOMPARE(Tasks::save({{QStringLiteral("id"), id},
                          {QStringLiteral("node_id"), node},
                          {QStringLiteral("last_exec"), ran},
                          {QStringLiteral("last_error"), QStringLiteral("Нет ответа")}}),
             id);
    const QDateTime to = QDateTime::currentDateTime();
    task = Tasks::get(id);
    QCOMPARE(task.value(QStringLiteral("last_exec")).toDateTime(), ran);
    QCOMPARE(task.value(QStringLiteral("is_fail")).toInt(), 1);
    QCOMPARE(task.value(QStringLiteral("timetable_mode")).toString(), QStringLiteral("Ежедневно"));
    QCOMPARE(Tasks::getData(id).value(QStringLiteral("timetable")).toMap(), dailyAt(QStringLiteral("06:00")));
    const QDateTime expected = NextExecution::compute(dailyAt(QStringLiteral("06:00")), ran, from);
    QVERIFY(expected.time() == QTime(6, 0));
    const QDateTime stored = task.value(QStringLiteral("next_exec")).toDateTime();
    QVERIFY(stored == expected || stored == NextExecution::compute(dailyAt(QStringLiteral("06:00")), ran, to));
    QCOMPARE(notes(spy), Notes({{QStringLiteral("taskSaved"), id}, {QStringLiteral("nodeSaved"), node}}));

    // Without a mode there is no next run; inside a transaction nothing is announced yet.
    spy.clear();
    {
        TransactionScope scope;
        QCOMPARE(Tasks::save({{QStringLiteral("id"), id}, {QStringLiteral("channel"), channel()},
                              {QStringLiteral("timetable"), QVariantMap()}}),
                 id);
        QVERIFY(scope.commit());
    }
    QCOMPARE(spy.count(), 0);
    QVERIFY(Tasks::get(id).value(QStringLiteral("next_exec")).isNull());
    QCOMPARE(Tasks::get(id).value(QStringLiteral("last_exec")).toDateTime(), ran);
}

void TestTasks::removesAndNotesNode()
{
    const int node = newNode();
    const int id = Tasks::save({{QStringLiteral("node_id"), node}, {QStringLiteral("channel"), channel()}});
    QVERIFY(id > 0);
    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    QVERIFY(Tasks::remove(id));
    QCOMPARE(notes(spy), Notes({{QStringLiteral("taskRemoved"), id}}));
    QVERIFY(Tasks::get(id).isEmpty());
    QVERIFY(Tasks::getData(id).isEmpty());
    QVERIFY(!Database::exists(QStringLiteral("tasks_data"), QStringLiteral("id = ?"), {id}));
    const QVariantMap entry = Database::selectRecord(
        QStringLiteral("SELECT level, message, node_id, task_id FROM journal WHERE message = ? ORDER BY rowid DESC"),
        {QStringLiteral("Удаление задачи")});
    QCOMPARE(entry.value(QStringLiteral("level")).toString(), QStringLiteral("INFO"));
    QCOMPARE(entry.value(QStringLiteral("node_id")).toInt(), node);

    spy.clear();
    QVERIFY(!Tasks::remove(id));
    QCOMPARE(lastError(), QStringLiteral("Недостаточно прав для выполнения команды"));
    QCOMPARE(spy.count(), 0);
}

void TestTasks::refusesBadInputUnchanged()
{
    const int node = newNode();
    const int id = Tasks::save({{QStringLiteral("node_id"), node}, {QStringLiteral("channel"), channel()}});
    QVERIFY(id > 0);
    const QVariantMap task = Tasks::get(id);
    const int tasks = countTasks();

    QSignalSpy spy(ZeltoSystem::instance(), &ZeltoSystem::notification);
    // Each kind of refusal once; the wire test runs through the rest.
    const QList<QVariantMap> bad{
        {{QStringLiteral("id"), QStringLiteral("1 OR 1=1")}, {QStringLiteral("mon_interval"), 5}},
        {{QStringLiteral("id"), id}, {QStringLiteral("archives"), QVariantList{1, 2}}},
        {{QStringLiteral("id"), id}, {QStringLiteral("timetable"), QVariantMap{{QStringLiteral("dayMask"), -1}}}},
        {{QStringLiteral("id"), id}, {QStringLiteral("last_exec"), QStringLiteral("yesterday")}},
        // A channel without a code breaks the NOT NULL rule: the transaction is rolled back.
        {{QStringLiteral("node_id"), node}, {QStringLiteral("channel"), QVariantMap()}},
        {{QStringLiteral("id"), id}, {QStringLiteral("channel"), QVariantMap()}, {QStringLiteral("archives"), QStringList{QStringLiteral("dayData")}}},
    };
    for (const QVariantMap &input : bad) {
        ZeltoSystem::instance()->clearError();
        QCOMPARE(Tasks::save(input), -1);
        QVERIFY2(!lastError().isEmpty(), qPrintable(QVariant(input).toString()));
    }
    QCOMPARE(spy.count(), 0);
    QCOMPARE(countTasks(), tasks);
    QCOMPARE(Tasks::get(id), task);
    QCOMPARE(Tasks::getData(id).value(QStringLiteral("channel")).toMap(), channel());
}

QTEST_GUILESS_MAIN(TestTasks)
#include "tst_tasks.moc"
