// The task manager's queue with fake runs that need no polling server.

#include "database.h"
#include "lasterror.h"
#include "nodes.h"
#include "task.h"
#include "taskmanager.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "zeltobusyguard.h"
#include "zeltosystem.h"

#include <QtTest>

#include <algorithm>
#include <atomic>

namespace {

// A run scripted by its channel's "fake": "ok" reads a day of hours, "fail" fails with its "error", "hold" runs
// until released, "hang" ignores cancels and runs until aborted, then brings a day of hours all the same.
class FakeTask : public Task
{
public:
    using Task::Task;

    static inline std::atomic<int> running{0}, mostRunning{0}, runs{0};
    static inline std::atomic<bool> release{false};

    void run() override
    {
        begin();
        ++runs;
        mostRunning = qMax(mostRunning.load(), ++running);
        const QString script = params().value("channel").toMap().value("fake").toString();
        token().setProgress(25);
        token().setState(QStringLiteral("Чтение архивов"));
        emit stateChanged(this);
        while (script == QLatin1String("hold") && !release && !isCanceled())
            QThread::msleep(10);
        while (script == QLatin1String("hang") && !isAborted())
            QThread::msleep(10);
        QThread::msleep(50);
        setLog({QStringLiteral("строка журнала опроса")});
        if (script == QLatin1String("fail"))
            token().setError(params().value("channel").toMap().value("error", "Прибор не отвечает").toString());
        else if (!isCanceled() || script == QLatin1String("hang"))
            setResult(dayOfHours());
        --running;
        end();
    }

    static ZeltoTableMap dayOfHours()
    {
        ZeltoTable hours({"date", "S1_t1"});
        for (int hour = 0; hour < 24; ++hour)
            hours.appendRow(QVariantList{QDateTime(QDate(2024, 5, 1), QTime(hour, 0)), 70.0 + hour});
        ZeltoTable current({"date", "S1_t1"});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 2), QTime(0, 0)), 71.5});
        ZeltoTable info;
        info.appendRow(QVariantMap{{"version", 3}, {"name", "Чужое имя"}, {"group_id", 77}});
        return {{"hour_data", hours}, {"current_data", current}, {"info", info}};
    }
};

} // namespace

class TestTaskManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The catalogue gives the drivers: the repository's own.
        qputenv("ORVEX_DATA_DIR", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath().toUtf8());
        QVERIFY2(m_home.open(), qPrintable(lastError()));
    }

    void init()
    {
        Database::setSetting("maxRunningTaskCount", 10);
        Database::setSetting("taskAttemptCount", 3);
        Database::setSetting("taskAttemptInterval", 0);
        Database::setSetting("taskRunTimeout", 120);
        TaskManager::setCancelGrace(200);
        FakeTask::running = FakeTask::mostRunning = FakeTask::runs = 0;
        FakeTask::release = false;
        TaskManager::createInstance([](QObject *parent) { return new FakeTask(parent); });
    }

    void cleanup()
    {
        FakeTask::release = true;
        TaskManager::destroyInstance();
        QVERIFY(!TaskManager::instance());
    }

    void retriesThenRecordsTheLastError()
    {
        // The polling server's error, of any length, is kept as long as the task's field may be.
        const QString error = QStringLiteral("Прибор не отвечает") + QString(5000, QLatin1Char('.'));
        const int task = newTask("COM7", "fail", error);
        QVERIFY(TaskManager::startTask(task, false));
        QList<int> attempts;
        QString wrong;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                const QVariantMap now = TaskManager::taskState(task);
                const int left = now.value("attempts").toInt();
                if (now.value("state").toString() == QStringLiteral("Ожидание повторного опроса") && !attempts.contains(left)) {
                    attempts.append(left);
                    // Until the last attempt nothing is recorded with the task.
                    if (!field(task, "last_exec").isNull()
                        || now.value("last_error").toString() != error.left(4000))
                        wrong = "recorded before the last attempt";
                }
                return !TaskManager::hasTask(task);
            }(),
            15000);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
        QCOMPARE(FakeTask::runs.load(), 3);
        QCOMPARE(attempts, QList<int>({2, 1}));
        QCOMPARE(field(task, "last_error").toString(), error.left(4000));
        QVERIFY(field(task, "last_exec").toDateTime().isValid());
        QCOMPARE(Tasks::log(task), QStringList{"строка журнала опроса"});
    }

    void retryWaitsItsInterval()
    {
        Database::setSetting("taskAttemptInterval", 1);   // a minute
        const int task = newTask("COM17", "fail");
        QVERIFY(TaskManager::startTask(task, false));
        QTRY_COMPARE(stateOf(task), QStringLiteral("Ожидание повторного опроса"));
        QTest::qWait(2500);
        QCOMPARE(FakeTask::runs.load(), 1);
        QCOMPARE(stateOf(task), QStringLiteral("Ожидание повторного опроса"));
        // A waiting run is dropped at once when cancelled.
        TaskManager::cancelTask(task);
        QVERIFY(!TaskManager::hasTask(task));
        QCOMPARE(field(task, "last_error").toString(), QStringLiteral("Задание отменено"));
    }

    void savesTheResultAndRecordsTheRun()
    {
        const int task = newTask("COM8", "ok");
        const int node = field(task, "node_id").toInt();
        QVERIFY(TaskManager::startTask(task, false));
        QVERIFY(TaskManager::startTask(task, false));   // already live: no second run
        QCOMPARE(TaskManager::stateTable().rowCount(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
        QCOMPARE(QVariantList({FakeTask::runs.load(), field(task, "last_error").isNull(), field(task, "is_fail"),
                               hourRows(node)}), QVariantList({1, true, 0, 24}));
        // The device tells its version; it cannot rename the node or move it.
        const QVariantMap nodeRow = Nodes::get(node);
        QCOMPARE(QVariantList({nodeRow.value("version"), nodeRow.value("group_id")}), QVariantList({3, 0}));
        QVERIFY(nodeRow.value("name").toString() != QStringLiteral("Чужое имя"));
        QCOMPARE(TaskManager::taskState(task), QVariantMap({{"id", task}, {"is_run", QVariant()}, {"started", QVariant()},
                                                            {"elapsed", QVariant()}, {"remaining", QVariant()},
                                                            {"attempts", QVariant()}, {"progress", QVariant()},
                                                            {"state", QVariant()}}));
        QCOMPARE(Database::selectTable("SELECT message FROM journal WHERE node_id = ? AND level = 'INFO'", {node})
                     .columnValues("message"), QVariantList{"Опрос прибора"});
    }

    void cancelsQueuedAndRunning()
    {
        const auto [runningTask, queuedTask] = holdingAndQueued("COM9", "COM10");
        QVERIFY(runningTask > 0);

        // A queued run is dropped at once and noted.
        TaskManager::cancelTask(queuedTask);
        QVERIFY(!TaskManager::hasTask(queuedTask));
        QCOMPARE(field(queuedTask, "last_error").toString(), QStringLiteral("Задание отменено"));

        // A running one ends through its run, is not retried and stores nothing.
        TaskManager::cancelTask(runningTask);
        QVERIFY(TaskManager::hasTask(runningTask));
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(runningTask), 10000);
        QCOMPARE(field(runningTask, "last_error").toString(), QStringLiteral("Задание отменено"));
        QCOMPARE(QList<int>({hourRows(field(runningTask, "node_id").toInt()), FakeTask::runs}), QList<int>({0, 1}));
        TaskManager::cancelTask(987654);   // no run: nothing happens
    }

    // A run that never ends by itself is ended here: after the grace that follows a cancel, or past the time
    // limit. Its slot and channel are free at once, its pool thread gets out, and what it brings then is dropped.
    void hungRunsAreEndedHere()
    {
        const auto [hung, queued] = holdingAndQueued("COM20", "COM21", "hang");
        QVERIFY(hung > 0);
        TaskManager::cancelTask(hung);
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(hung) && !TaskManager::hasTask(queued), 10000);
        const QString unconfirmed = "Сервер опроса не подтвердил отмену за 0.2 с: опрос прекращён сервером данных";
        QCOMPARE(QVariantList({field(hung, "last_error"), Tasks::log(hung), field(queued, "last_error").isNull()}),
                 QVariantList({"Задание отменено", QStringList{unconfirmed}, true}));
        QTRY_COMPARE(FakeTask::running.load(), 0);
        QTest::qWait(300);
        QCOMPARE(QVariantList({hourRows(field(hung, "node_id").toInt()), field(hung, "last_error")}),
                 QVariantList({0, "Задание отменено"}));

        // Both attempts cut by the limit (0.6 s), the second one a run of its own.
        Database::setSetting("taskAttemptCount", 2);
        Database::setSetting("taskRunTimeout", 0.01);
        QTest::qWait(10);   // the settings reach the task manager by queued signals
        QVERIFY(TaskManager::startTask(hung, false));
        QTRY_COMPARE_WITH_TIMEOUT(TaskManager::taskState(hung).value("attempts").toInt(), 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(hung), 10000);
        const QString limit = QStringLiteral("Опрос прерван: он длился дольше 0.01 мин. (настройка taskRunTimeout)");
        QCOMPARE(QVariantList({field(hung, "last_error"), Tasks::log(hung), FakeTask::runs.load()}),
                 QVariantList({limit, QStringList{limit}, 4}));
        QTRY_COMPARE(FakeTask::running.load(), 0);
        QCOMPARE(hourRows(field(hung, "node_id").toInt()), 0);
    }

    void oneSlotAndMonitorRuns()
    {
        Database::setSetting("maxRunningTaskCount", 1);   // applied live
        const int blocker = newTask("COM11", "hold");
        const int task = newTask("COM12", "ok");
        QVERIFY(TaskManager::startTask(blocker, false));
        QTRY_COMPARE(FakeTask::running.load(), 1);

        // A queued monitor run is replaced by a full poll of the same task, which waits for the slot.
        QVERIFY(TaskManager::startTask(task, true) && TaskManager::startTask(task, true));
        QCOMPARE(TaskManager::stateTable().rowCount(), 2);
        QVERIFY(TaskManager::startTask(task, false) && TaskManager::stateTable().rowCount() == 2);
        QTRY_COMPARE(stateOf(blocker), QStringLiteral("Чтение архивов"));
        QTest::qWait(1500);
        QCOMPARE(stateOf(task), QStringLiteral("Ожидание очереди"));
        FakeTask::release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
        QVERIFY(field(task, "last_exec").toDateTime().isValid());
        QCOMPARE(QList<int>({FakeTask::mostRunning, FakeTask::runs}), QList<int>({1, 2}));

        // A monitor run stores nothing and hands its reading over.
        Database::setSetting("maxRunningTaskCount", 10);
        QSignalSpy readings(TaskManager::instance(), &TaskManager::monitored);
        const QVariant lastExec = field(task, "last_exec");
        QVERIFY(TaskManager::startTask(task, true));
        QCOMPARE(stateOf(task), QStringLiteral("Ожидание очереди"));
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
        QTRY_VERIFY(std::any_of(readings.cbegin(), readings.cend(), [&](const QList<QVariant> &args) {
            const ZeltoTable reading = args.at(0).value<ZeltoTable>();
            return reading.rowCount() == 1 && reading.value(0, "task_id").toInt() == task
                && reading.value(0, "S1_t1").toDouble() == 71.5 && reading.value(0, "MON_ERR").isNull()
                && reading.value(0, "node_id") == field(task, "node_id");
        }));
        QCOMPARE(field(task, "last_exec"), lastExec);
    }

    void removedTaskLeavesTheQueue()
    {
        const auto [blocker, queued] = holdingAndQueued("COM14", "COM15");
        QVERIFY(blocker > 0);
        QVERIFY(Tasks::remove(queued) && Tasks::remove(blocker));
        QTRY_VERIFY(!TaskManager::hasTask(queued) && !TaskManager::hasTask(blocker));
        QCOMPARE(TaskManager::stateTable().rowCount(), 0);
        // The running one was cancelled and goes when it ends; the queued one never ran.
        QTRY_COMPARE(FakeTask::running.load(), 0);
        QTest::qWait(1200);
        QCOMPARE(FakeTask::runs.load(), 1);
    }

    void finishedRunWaitsForARunningSave()
    {
        const int task = newTask("COM16", "ok");
        QVERIFY(TaskManager::startTask(task, false));
        {
            // As a check script does: events are processed in the middle of a save.
            ZeltoBusyGuard busy;
            QTest::qWait(2500);
            QCOMPARE(FakeTask::runs.load(), 1);
            QVERIFY(TaskManager::hasTask(task) && field(task, "last_exec").isNull());
        }
        QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
        QVERIFY(field(task, "last_exec").toDateTime().isValid());
    }

private:
    // A task of a new node whose fake run (see FakeTask) polls a port of its own.
    int newTask(const QString &port, const QString &fake, const QString &error = "Прибор не отвечает")
    {
        const int node = Nodes::save({{"model_code", "QRV2"}, {"model_name", "QRV2"}, {"number", m_serial++}});
        const QVariantMap channel{{"code", "COM"}, {"port", port}, {"fake", fake}, {"error", error}};
        return Tasks::save({{"node_id", node}, {"channel", channel}, {"archives", QStringList{"hourData"}}});
    }

    // With one slot: a run that holds it and one queued behind it.
    QPair<int, int> holdingAndQueued(const QString &holdingPort, const QString &queuedPort,
                                     const QString &fake = "hold")
    {
        Database::setSetting("maxRunningTaskCount", 1);
        const int holding = newTask(holdingPort, fake);
        const int queued = newTask(queuedPort, "ok");
        if (!TaskManager::startTask(holding, false) || !TaskManager::startTask(queued, false)
            || !QTest::qWaitFor([] { return FakeTask::running == 1; }, 5000))
            return {-1, -1};
        return {holding, queued};
    }

    QVariant field(int task, const QString &column) { return Tasks::get(task).value(column); }
    int hourRows(int node) { return Database::readData("nodes", node, "hour_data").value<ZeltoTable>().rowCount(); }
    QString stateOf(int task) { return TaskManager::taskState(task).value("state").toString(); }

    TempDatabaseHome m_home;
    int m_serial = 1;
};

QTEST_GUILESS_MAIN(TestTaskManager)
#include "tst_taskmanager.moc"
