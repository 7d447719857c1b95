// The task manager's queue with fake runs that need no polling server:
// slots, retries, cancelling, monitor runs, removed tasks, the state table,
// and the end of a run that waits while a save is running a check script.
// Channels and refusals are seen end to end (e2e/test_polling.py).

#include "archivestore.h"
#include "database.h"
#include "nodes.h"
#include "task.h"
#include "taskmanager.h"
#include "tasks.h"
#include "tempdatabasehome.h"
#include "zeltobusyguard.h"
#include "zeltosystem.h"

#include <QDir>
#include <QMutex>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>

namespace {

// A run scripted by its channel's "fake" setting: "ok" reads a day of
// hours, "fail" fails, "hold" runs until released or cancelled.
class FakeTask : public Task
{
public:
    using Task::Task;

    static std::atomic<int> running;
    static std::atomic<int> mostRunning;
    static std::atomic<int> runs;
    static std::atomic<bool> release;

    void run() override
    {
        begin();
        ++runs;
        mostRunning = qMax(mostRunning.load(), ++running);
        const QString script = params().value(QStringLiteral("channel")).toMap().value(QStringLiteral("fake")).toString();
        token().setProgress(25);
        token().setState(QStringLiteral("Чтение архивов"));
        emit stateChanged(this);
        if (script == QLatin1String("hold")) {
            while (!release && !isCanceled())
                QThread::msleep(10);
        } else {
            QThread::msleep(50);
        }
        setLog({QStringLiteral("строка журнала опроса")});
        if (script == QLatin1String("fail"))
            token().setError(QStringLiteral("Прибор не отвечает"));
        else if (!isCanceled())
            setResult(dayOfHours());
        --running;
        end();
    }

    static ZeltoTableMap dayOfHours()
    {
        ZeltoTable hours({QStringLiteral("date"), QStringLiteral("S1_t1")});
        for (int hour = 0; hour < 24; ++hour)
            hours.appendRow(QVariantList{QDateTime(QDate(2024, 5, 1), QTime(hour, 0)), 70.0 + hour});
        ZeltoTable current({QStringLiteral("date"), QStringLiteral("S1_t1")});
        current.appendRow(QVariantList{QDateTime(QDate(2024, 5, 2), QTime(0, 0)), 71.5});
        ZeltoTable info;
        info.appendRow(QVariantMap{{QStringLiteral("version"), 3},
                                   {QStringLiteral("name"), QStringLiteral("Чужое имя")},
                                   {QStringLiteral("group_id"), 77}});
        return {{QStringLiteral("hour_data"), hours}, {QStringLiteral("current_data"), current},
                {QStringLiteral("info"), info}};
    }
};

std::atomic<int> FakeTask::running{0};
std::atomic<int> FakeTask::mostRunning{0};
std::atomic<int> FakeTask::runs{0};
std::atomic<bool> FakeTask::release{false};

QString lastError()
{
    return ZeltoSystem::instance()->lastError();
}

QVariantMap state(int task)
{
    return TaskManager::taskState(task);
}

// The channel of a fake run on its own port.
QVariantMap fake(const QString &port, const QString &script)
{
    return {{QStringLiteral("port"), port}, {QStringLiteral("fake"), script}};
}

} // namespace

class TestTaskManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void runsOneAtATimeWithOneSlot();
    void retriesThenRecordsTheLastError();
    void retryWaitsItsInterval();
    void savesTheResultAndRecordsTheRun();
    void cancelsQueuedAndRunning();
    void monitorRunGivesWayAndReports();
    void removedTaskLeavesTheQueue();
    void finishedRunWaitsForARunningSave();

private:
    int newTask(const QVariantMap &channel, const QString &model = QStringLiteral("QRV2"));
    // With one slot: a run that holds it and one queued behind it.
    QPair<int, int> holdingAndQueued(const QString &holdingPort, const QString &queuedPort);
    QVariantMap taskRow(int task) { return Tasks::get(task); }

    TempDatabaseHome m_home;
    int m_serial = 1;
};

void TestTaskManager::initTestCase()
{
    QVERIFY2(m_home.open(), qPrintable(lastError()));
    // The catalogue gives the drivers; it reads the home folder's metadata.
    QDir source(QStringLiteral(ORVEX_METADATA_DIR));
    QVERIFY(QDir(m_home.path()).mkpath(QStringLiteral("metadata")));
    for (const QString &file : source.entryList(QDir::Files))
        QVERIFY(QFile::copy(source.filePath(file), m_home.filePath(QStringLiteral("metadata/") + file)));
}

void TestTaskManager::init()
{
    Database::setSetting(QStringLiteral("maxRunningTaskCount"), 10);
    Database::setSetting(QStringLiteral("taskAttemptCount"), 3);
    Database::setSetting(QStringLiteral("taskAttemptInterval"), 0);
    FakeTask::running = 0;
    FakeTask::mostRunning = 0;
    FakeTask::runs = 0;
    FakeTask::release = false;
    TaskManager::createInstance([](QObject *parent) { return new FakeTask(parent); });
}

void TestTaskManager::cleanup()
{
    FakeTask::release = true;
    TaskManager::destroyInstance();
    QVERIFY(!TaskManager::instance());
}

int TestTaskManager::newTask(const QVariantMap &channel, const QString &model)
{
    const int node = Nodes::save({{QStringLiteral("model_code"), model},
                                  {QStringLiteral("model_name"), model},
                                  {QStringLiteral("number"), m_serial++}});
    QVariantMap fullChannel = channel;
    fullChannel.insert(QStringLiteral("code"), QStringLiteral("COM"));
    return Tasks::save({{QStringLiteral("node_id"), node},
                        {QStringLiteral("channel"), fullChannel},
                        {QStringLiteral("archives"), QStringList{QStringLiteral("hourData")}}});
}

QPair<int, int> TestTaskManager::holdingAndQueued(const QString &holdingPort, const QString &queuedPort)
{
    Database::setSetting(QStringLiteral("maxRunningTaskCount"), 1);   // applied live
    const int holding = newTask(fake(holdingPort, QStringLiteral("hold")));
    const int queued = newTask(fake(queuedPort, QStringLiteral("ok")));
    if (!TaskManager::startTask(holding, false) || !TaskManager::startTask(queued, false)
        || !QTest::qWaitFor([] { return FakeTask::running == 1; }, 5000))
        return {-1, -1};
    return {holding, queued};
}

void TestTaskManager::runsOneAtATimeWithOneSlot()
{
    const auto [first, second] = holdingAndQueued(QStringLiteral("COM1"), QStringLiteral("COM2"));
    QVERIFY(first > 0);
    QCOMPARE(state(second).value(QStringLiteral("state")).toString(), QStringLiteral("Ожидание очереди"));
    QTRY_COMPARE(state(first).value(QStringLiteral("state")).toString(), QStringLiteral("Чтение архивов"));
    QTest::qWait(1500);
    QCOMPARE(state(second).value(QStringLiteral("state")).toString(), QStringLiteral("Ожидание очереди"));
    QCOMPARE(FakeTask::mostRunning.load(), 1);
    FakeTask::release = true;
    QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(second), 10000);
    QCOMPARE(FakeTask::mostRunning.load(), 1);
    QCOMPARE(FakeTask::runs.load(), 2);
}

void TestTaskManager::retriesThenRecordsTheLastError()
{
    const int task = newTask(fake(QStringLiteral("COM7"), QStringLiteral("fail")));
    QVERIFY(TaskManager::startTask(task, false));
    QList<int> attempts;
    QString wrong;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const QVariantMap now = state(task);
            if (now.value(QStringLiteral("state")).toString() == QStringLiteral("Ожидание повторного опроса")
                && !attempts.contains(now.value(QStringLiteral("attempts")).toInt())) {
                attempts.append(now.value(QStringLiteral("attempts")).toInt());
                // Until the last attempt nothing is recorded with the task.
                if (!taskRow(task).value(QStringLiteral("last_exec")).isNull()
                    || now.value(QStringLiteral("last_error")).toString() != QStringLiteral("Прибор не отвечает"))
                    wrong = QStringLiteral("recorded before the last attempt");
            }
            return !TaskManager::hasTask(task);
        }(),
        15000);
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong));
    QCOMPARE(FakeTask::runs.load(), 3);
    QCOMPARE(attempts, QList<int>({2, 1}));
    const QVariantMap row = taskRow(task);
    QCOMPARE(row.value(QStringLiteral("last_error")).toString(), QStringLiteral("Прибор не отвечает"));
    QVERIFY(row.value(QStringLiteral("last_exec")).toDateTime().isValid());
    QCOMPARE(Tasks::log(task), QStringList{QStringLiteral("строка журнала опроса")});
}

void TestTaskManager::retryWaitsItsInterval()
{
    Database::setSetting(QStringLiteral("taskAttemptInterval"), 1);   // a minute
    const int task = newTask(fake(QStringLiteral("COM17"), QStringLiteral("fail")));
    QVERIFY(TaskManager::startTask(task, false));
    QTRY_COMPARE(state(task).value(QStringLiteral("state")).toString(), QStringLiteral("Ожидание повторного опроса"));
    QTest::qWait(2500);
    QCOMPARE(FakeTask::runs.load(), 1);
    QCOMPARE(state(task).value(QStringLiteral("state")).toString(), QStringLiteral("Ожидание повторного опроса"));
    // A waiting run is dropped at once when cancelled.
    TaskManager::cancelTask(task);
    QVERIFY(!TaskManager::hasTask(task));
    QCOMPARE(taskRow(task).value(QStringLiteral("last_error")).toString(), QStringLiteral("Задание отменено"));
}

void TestTaskManager::savesTheResultAndRecordsTheRun()
{
    const int task = newTask(fake(QStringLiteral("COM8"), QStringLiteral("ok")));
    const int node = taskRow(task).value(QStringLiteral("node_id")).toInt();
    QVERIFY(TaskManager::startTask(task, false));
    QVERIFY(TaskManager::startTask(task, false));   // already live: no second run
    QCOMPARE(TaskManager::stateTable().rowCount(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
    QCOMPARE(FakeTask::runs.load(), 1);
    const QVariantMap row = taskRow(task);
    QVERIFY(row.value(QStringLiteral("last_error")).isNull());
    QCOMPARE(row.value(QStringLiteral("is_fail")).toInt(), 0);
    ZeltoTable hours;
    QVERIFY(ArchiveStore::read(node, QStringLiteral("hour_data"), hours));
    QCOMPARE(hours.rowCount(), 24);
    // The device tells its version; it cannot rename the node or move it.
    const QVariantMap nodeRow = Nodes::get(node);
    QCOMPARE(nodeRow.value(QStringLiteral("version")).toInt(), 3);
    QVERIFY(nodeRow.value(QStringLiteral("name")).toString() != QStringLiteral("Чужое имя"));
    QCOMPARE(nodeRow.value(QStringLiteral("group_id")).toInt(), 0);
    QCOMPARE(TaskManager::taskState(task),
             QVariantMap({{QStringLiteral("id"), task}, {QStringLiteral("is_run"), QVariant()},
                          {QStringLiteral("started"), QVariant()}, {QStringLiteral("elapsed"), QVariant()},
                          {QStringLiteral("remaining"), QVariant()}, {QStringLiteral("attempts"), QVariant()},
                          {QStringLiteral("progress"), QVariant()}, {QStringLiteral("state"), QVariant()}}));
    const ZeltoTable journal = Database::selectTable(
        QStringLiteral("SELECT message FROM journal WHERE node_id = ? AND level = 'INFO'"), {node});
    QCOMPARE(journal.columnValues(QStringLiteral("message")), QVariantList{QStringLiteral("Опрос прибора")});
}

void TestTaskManager::cancelsQueuedAndRunning()
{
    const auto [runningTask, queuedTask] = holdingAndQueued(QStringLiteral("COM9"), QStringLiteral("COM10"));
    QVERIFY(runningTask > 0);

    // A queued run is dropped at once and noted.
    TaskManager::cancelTask(queuedTask);
    QVERIFY(!TaskManager::hasTask(queuedTask));
    QCOMPARE(taskRow(queuedTask).value(QStringLiteral("last_error")).toString(), QStringLiteral("Задание отменено"));

    // A running one ends through its run, is not retried and stores nothing.
    TaskManager::cancelTask(runningTask);
    QVERIFY(TaskManager::hasTask(runningTask));
    QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(runningTask), 10000);
    QCOMPARE(taskRow(runningTask).value(QStringLiteral("last_error")).toString(), QStringLiteral("Задание отменено"));
    ZeltoTable hours;
    QVERIFY(ArchiveStore::read(taskRow(runningTask).value(QStringLiteral("node_id")).toInt(), QStringLiteral("hour_data"),
                               hours));
    QCOMPARE(hours.rowCount(), 0);
    QCOMPARE(FakeTask::runs.load(), 1);
    TaskManager::cancelTask(987654);   // no run: nothing happens
}

void TestTaskManager::monitorRunGivesWayAndReports()
{
    Database::setSetting(QStringLiteral("maxRunningTaskCount"), 1);
    const int blocker = newTask(fake(QStringLiteral("COM11"), QStringLiteral("hold")));
    const int task = newTask(fake(QStringLiteral("COM12"), QStringLiteral("ok")));
    QVERIFY(TaskManager::startTask(blocker, false));
    QTRY_COMPARE(FakeTask::running.load(), 1);

    // A queued monitor run is replaced by a full poll of the same task.
    QVERIFY(TaskManager::startTask(task, true));
    QVERIFY(TaskManager::startTask(task, true));
    QCOMPARE(TaskManager::stateTable().rowCount(), 2);
    QVERIFY(TaskManager::startTask(task, false));
    QCOMPARE(TaskManager::stateTable().rowCount(), 2);
    FakeTask::release = true;
    QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
    QVERIFY(taskRow(task).value(QStringLiteral("last_exec")).toDateTime().isValid());

    // A monitor run stores nothing and hands its reading over.
    Database::setSetting(QStringLiteral("maxRunningTaskCount"), 10);
    QSignalSpy notes(ZeltoSystem::instance(), &ZeltoSystem::notification);
    const QVariant lastExec = taskRow(task).value(QStringLiteral("last_exec"));
    QVERIFY(TaskManager::startTask(task, true));
    QVERIFY(TaskManager::taskState(task).value(QStringLiteral("state")).toString() == QStringLiteral("Ожидание очереди"));
    QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
    QTRY_VERIFY([&] {
        for (const QList<QVariant> &args : notes) {
            if (args.at(0).toString() != QStringLiteral("monitored"))
                continue;
            const ZeltoTable reading = args.at(1).value<ZeltoTable>();
            return reading.rowCount() == 1 && reading.value(0, QStringLiteral("task_id")).toInt() == task
                && reading.value(0, QStringLiteral("S1_t1")).toDouble() == 71.5
                && reading.value(0, QStringLiteral("MON_ERR")).isNull()
                && reading.value(0, QStringLiteral("node_id")) == taskRow(task).value(QStringLiteral("node_id"));
        }
        return false;
    }());
    QCOMPARE(taskRow(task).value(QStringLiteral("last_exec")), lastExec);
}

void TestTaskManager::removedTaskLeavesTheQueue()
{
    const auto [blocker, queued] = holdingAndQueued(QStringLiteral("COM14"), QStringLiteral("COM15"));
    QVERIFY(blocker > 0);
    QVERIFY(Tasks::remove(queued));
    QVERIFY(Tasks::remove(blocker));
    QTRY_VERIFY(!TaskManager::hasTask(queued) && !TaskManager::hasTask(blocker));
    QCOMPARE(TaskManager::stateTable().rowCount(), 0);
    // The running one was cancelled and goes when it ends; the queued one never ran.
    QTRY_COMPARE(FakeTask::running.load(), 0);
    QTest::qWait(1200);
    QCOMPARE(FakeTask::runs.load(), 1);
}

void TestTaskManager::finishedRunWaitsForARunningSave()
{
    const int task = newTask(fake(QStringLiteral("COM16"), QStringLiteral("ok")));
    QVERIFY(TaskManager::startTask(task, false));
    {
        // As a check script does: events are processed in the middle of a save.
        ZeltoBusyGuard busy;
        QTest::qWait(2500);
        QCOMPARE(FakeTask::runs.load(), 1);
        QVERIFY(TaskManager::hasTask(task));
        QVERIFY(taskRow(task).value(QStringLiteral("last_exec")).isNull());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!TaskManager::hasTask(task), 10000);
    QVERIFY(taskRow(task).value(QStringLiteral("last_exec")).toDateTime().isValid());
}

QTEST_GUILESS_MAIN(TestTaskManager)
#include "tst_taskmanager.moc"
