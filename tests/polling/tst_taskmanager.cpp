// The polling layer. One polling run against a scripted device polling server
// in this process. The task manager's queue with fake runs that need no
// polling server, on a test clock: its second's tick, retry waits, the cancel
// grace and the time limit pass when the test advances the clock; the runs
// themselves go on pool threads, and the tests wait for the states they reach.
// The scheduler's due rule, and the scheduler itself on a test clock: its pass
// every minute, month ends, daylight-saving changes and a wall clock set back,
// each at chosen instants; a task it starts "runs" at once (its last run is
// saved, as the task manager does when a run ends).

#include "checkparams.h"
#include "nextexecution.h"
#include "nodes.h"
#include "task.h"
#include "taskmanager.h"
#include "taskparams.h"
#include "tasks.h"
#include "outcome.h"
#include "scheduler.h"
#include "tempdatabasehome.h"
#include "testcommand.h"
#include "zeltobusyguard.h"
#include "zeltoenvironment.h"
#include "zeltoserver.h"
#include "zeltosystem.h"
#include "zeltotestclock.h"

#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

using RunState = TaskManager::RunState;

// The run of task reaches state (the run goes on a pool thread; its end comes by the event loop).
#define QTRY_STATE(task, state) QTRY_COMPARE_WITH_TIMEOUT(m_polling->runState(task), RunState::state, 10000)

namespace {

// A run scripted by its channel's "fake": "ok" reads a day of hours, "fail" fails with its "error", "hold" runs
// until released, "hang" ignores cancels and runs until aborted, then brings a day of hours all the same.
class FakeTask : public Task
{
public:
    using Task::Task;

    static inline std::atomic<int> running{0}, mostRunning{0}, runs{0}, ended{0};
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
        if (!isAborted())   // what a run ended here brings is dropped: its log may not race the manager's
            setLog({QStringLiteral("строка журнала опроса")});
        if (script == QLatin1String("fail"))
            token().setError(params().value("channel").toMap().value("error", "Прибор не отвечает").toString());
        else if (!isCanceled() || script == QLatin1String("hang"))
            setResult(dayOfHours());
        --running;
        end();   // finished is posted to the main thread before ended counts
        ++ended;
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

using Answer = std::function<QVariant(const QVariantList &)>;

// What the scripted server is asked and how it answers; main thread only.
struct Script
{
    QStringList calls;
    QMap<QString, Answer> answers;
};

Script g_script;

// Notes each request and answers it as scripted; an answer without a value is the polling server's failure.
ZeltoResult<QVariant> scripted(const QString &name, const QVariantList &params)
{
    g_script.calls.append(name);
    const Answer answer = g_script.answers.value(name);
    const QVariant value = answer ? answer(params) : QVariant(true);
    if (!value.isValid())
        return ZeltoStatus::failed(QStringLiteral("Сбой сервера опроса"));
    return value;
}

#define SCRIPTED(name) {name, [](const QVariantList &params) { return scripted(QStringLiteral(name), params); }}
TestCommand g_commands[] = {SCRIPTED("createTask"), SCRIPTED("setCommand"), SCRIPTED("startTask"), SCRIPTED("cancelTask"),
                            SCRIPTED("getState"), SCRIPTED("takeLog"), SCRIPTED("getResult"), SCRIPTED("removeTask")};

Answer reply(const QVariant &value) { return [value](const QVariantList &) { return value; }; }

// The script of a run that goes well: finished at the second state poll.
void scriptSuccess()
{
    g_script = Script();
    g_script.answers.insert("createTask", reply(7));
    // Answers are copied for each call: the count lives outside them.
    auto polls = std::make_shared<int>(0);
    g_script.answers.insert("getState", [polls](const QVariantList &) -> QVariant {
        return ++*polls == 1 ? QVariantList{0, false} : QVariantList{0, true, 100, "Готово"};
    });
    g_script.answers.insert("takeLog", reply(QVariantList{0, QStringList{"первая", "вторая"}}));
    g_script.answers.insert("getResult", reply(QVariantList{0, true, QVariantList{QVariant::fromValue(FakeTask::dayOfHours())}}));
}

QVariantMap params(const QVariant &port = ZeltoServer::global()->tcpPort())
{
    return {{"varnel_ip", "127.0.0.1"}, {"varnel_port", port}, {"channel", QVariantMap{{"code", "COM"}}},
            {"driver", QVariantMap{{"code", "QRVK"}}}, {"command", "readArchive"},
            {"params", QVariantMap{{"data", QStringList{"hourData"}}}}};
}

const int kSecond = 1000;
const int kMinute = 60 * kSecond;

QDateTime at(const QString &text) { return QDateTime::fromString(text, "yyyy-MM-dd hh:mm:ss"); }
QDateTime at(const char *text) { return QDateTime::fromString(QLatin1String(text), "yyyy-MM-dd hh:mm"); }

const QVariantMap kChannel{{"code", "COM"}};

QVariantMap hourly(const QVariant &minute)
{
    return minute.isValid() ? QVariantMap{{"mode", "hourly"}, {"minute", minute}} : QVariantMap{{"mode", "hourly"}};
}

QVariantMap byTimes(const char *mode, const QStringList &times, qint64 dayMask = 0)
{
    return {{"mode", QLatin1String(mode)}, {"times", times}, {"dayMask", dayMask}};
}

} // namespace

class TestTaskManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The catalogue gives the drivers: the repository's own.
        ZeltoEnvironment::set("ORVEX_DATA_DIR", QFileInfo(QStringLiteral(ORVEX_METADATA_DIR)).absolutePath());
        qputenv("TZ", "Europe/Berlin");   // with daylight saving time
        tzset();
        QCOMPARE(outcome(m_home.open()), "ok");
        testDatabase().setStampClock(&m_clock);
        m_node = Nodes::save(serverContext(), {{"model_code", "QRV5"}, {"model_name", "ТВ-5"}, {"number", 1}}).valueOr(-1);
        QVERIFY(m_node > 0);
        QVERIFY(ZeltoServer::global()->listenTcp(0, QHostAddress::LocalHost));   // the scripted polling server
    }

    void init()
    {
        QVERIFY(settings({{"maxRunningTaskCount", 10}, {"taskAttemptCount", 3}, {"taskAttemptInterval", 10},
                          {"taskRunTimeout", 120}}));
        FakeTask::running = FakeTask::mostRunning = FakeTask::runs = FakeTask::ended = 0;
        FakeTask::release = false;
        m_polling.reset(new TaskManager(
            &testDatabase(), [](QObject *parent) { return new FakeTask(parent); }, &m_clock));
    }

    void cleanup()
    {
        FakeTask::release = true;
        m_polling.reset();
        g_script = Script();   // what it holds would outlive the leak check at exit
    }

    // Each failed attempt waits the interval to the second; only the last one is recorded with the task.
    void retriesAfterTheIntervalThenRecordsTheLastError()
    {
        // The polling server's error, of any length, is kept as long as the task's field may be.
        const QString error = QStringLiteral("Прибор не отвечает") + QString(5000, QLatin1Char('.'));
        const int task = newTask("COM7", "fail", error);
        QVERIFY(m_polling->startTask(task, false).ok());
        QCOMPARE(m_polling->runState(task), RunState::Queued);
        for (const int left : {2, 1}) {
            tick();
            QCOMPARE(stateOf(task), QStringLiteral("Запуск опроса"));   // until its server tells its own
            QTRY_STATE(task, WaitingRetry);
            const QVariantMap state = m_polling->taskState(task);
            QCOMPARE(QVariantList({state.value("attempts"), state.value("last_error"), state.value("started"),
                                   state.value("state"), field(task, "last_exec").isNull()}),
                     QVariantList({left, error.left(4000), m_clock.now(), "Ожидание повторного опроса", true}));
            m_clock.advance(10 * kMinute - kSecond);
            QCOMPARE(m_polling->runState(task), RunState::WaitingRetry);
            tick();   // the interval is over: back in the queue, on the pool at the next tick
            QCOMPARE(QVariantList({int(m_polling->runState(task)), stateOf(task)}),
                     QVariantList({int(RunState::Queued), "Ожидание очереди"}));
        }
        tick();
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
        QCOMPARE(FakeTask::runs.load(), 3);
        QCOMPARE(QVariantList({field(task, "last_error"), field(task, "last_exec"),
                               Tasks::log(serverContext(), task).valueOr(QStringList())}),
                 QVariantList({error.left(4000), m_clock.now(), QStringList{"строка журнала опроса"}}));
        QCOMPARE(m_polling->runState(task), RunState::Idle);
    }

    void savesTheResultAndRecordsTheRun()
    {
        const int task = newTask("COM8", "ok");
        const int node = field(task, "node_id").toInt();
        QVERIFY(m_polling->startTask(task, false).ok());
        QVERIFY(m_polling->startTask(task, false).ok());   // already live: no second run
        QCOMPARE(m_polling->stateTable().rowCount(), 1);
        tick();
        QVERIFY(m_polling->runState(task) == RunState::Running || !m_polling->hasTask(task));
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
        QCOMPARE(QVariantList({FakeTask::runs.load(), field(task, "last_error").isNull(), field(task, "is_fail"),
                               hourRows(node), field(task, "last_exec")}),
                 QVariantList({1, true, 0, 24, m_clock.now()}));
        // The device tells its version; it cannot rename the node or move it.
        const QVariantMap nodeRow = Nodes::find(serverContext(), node).valueOr(QVariantMap());
        QCOMPARE(QVariantList({nodeRow.value("version"), nodeRow.value("group_id"), nodeRow.value("last_update")}),
                 QVariantList({3, 0, m_clock.now()}));
        QVERIFY(nodeRow.value("name").toString() != QStringLiteral("Чужое имя"));
        QCOMPARE(m_polling->taskState(task), QVariantMap({{"id", task}, {"is_run", QVariant()}, {"started", QVariant()},
                                                            {"elapsed", QVariant()}, {"remaining", QVariant()},
                                                            {"attempts", QVariant()}, {"progress", QVariant()},
                                                            {"state", QVariant()}}));
        QCOMPARE(testDatabase().rows("SELECT message FROM journal WHERE node_id = ? AND level = 'INFO'", {node}).value()
                     .columnValues("message"), QVariantList{"Опрос прибора"});
    }

    // The server's progress and state text while a run is on the pool; the remaining time from the clock.
    void showsWhatTheServerTells()
    {
        const int task = newTask("COM18", "hold");
        QVERIFY(m_polling->startTask(task, false).ok());
        const QDateTime queuedAt = m_clock.now();
        m_clock.advance(30 * kSecond);   // dispatched at the first of the ticks
        QTRY_COMPARE(stateOf(task), QStringLiteral("Чтение архивов"));
        const QVariantMap state = m_polling->taskState(task);
        QCOMPARE(QVariantList({state.value("started"), state.value("elapsed"), state.value("remaining"),
                               state.value("progress"), int(m_polling->runState(task))}),
                 QVariantList({queuedAt.addSecs(1), 29, 87, 25, int(RunState::Running)}));
        FakeTask::release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
    }

    void cancelsQueuedAndRunning()
    {
        const auto [runningTask, queuedTask] = holdingAndQueued("COM9", "COM10");
        QVERIFY(runningTask > 0);

        // A queued run is dropped at once and noted.
        m_polling->cancelTask(queuedTask);
        QCOMPARE(m_polling->runState(queuedTask), RunState::Idle);
        QCOMPARE(QVariantList({field(queuedTask, "last_error"), field(queuedTask, "last_exec")}),
                 QVariantList({"Задание отменено", m_clock.now()}));

        // A running one ends through its run, is not retried and stores nothing.
        m_polling->cancelTask(runningTask);
        QCOMPARE(m_polling->runState(runningTask), RunState::Cancelling);
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(runningTask), 10000);
        QCOMPARE(field(runningTask, "last_error").toString(), QStringLiteral("Задание отменено"));
        QCOMPARE(QList<int>({hourRows(field(runningTask, "node_id").toInt()), FakeTask::runs}), QList<int>({0, 1}));
        m_polling->cancelTask(987654);   // no run: nothing happens

        // One waiting to retry is dropped at once too.
        const int failing = newTask("COM17", "fail");
        QVERIFY(m_polling->startTask(failing, false).ok());
        tick();
        QTRY_STATE(failing, WaitingRetry);
        m_polling->cancelTask(failing);
        QCOMPARE(QVariantList({int(m_polling->runState(failing)), field(failing, "last_error")}),
                 QVariantList({int(RunState::Idle), "Задание отменено"}));
        m_clock.advance(11 * kMinute);
        QCOMPARE(FakeTask::runs.load(), 2);
    }

    // A run that never ends by itself is ended here: after the grace that follows a cancel, or past the time
    // limit. Its slot and channel are free at once, its pool thread gets out, and what it brings then is dropped.
    // Both count on the monotonic clock: setting the wall clock forward ends nothing.
    void hungRunsAreEndedHere()
    {
        const auto [hung, queued] = holdingAndQueued("COM20", "COM21", "hang");
        QVERIFY(hung > 0);
        m_polling->cancelTask(hung);
        m_clock.setNow(m_clock.now().addDays(1));
        m_clock.advance(TaskManager::kCancelGraceMs - kSecond);
        QCOMPARE(m_polling->runState(hung), RunState::Cancelling);
        tick();   // the grace is over: ended, and the queued run takes the slot at the same tick
        QCOMPARE(QVariantList({int(m_polling->runState(hung)), int(m_polling->runState(queued))}),
                 QVariantList({int(RunState::Idle), int(RunState::Running)}));
        const QString unconfirmed = "Сервер опроса не подтвердил отмену за 5 с: опрос прекращён сервером данных";
        QCOMPARE(QVariantList({field(hung, "last_error"), Tasks::log(serverContext(), hung).valueOr(QStringList())}),
                 QVariantList({"Задание отменено", QStringList{unconfirmed}}));
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(queued), 10000);
        QVERIFY(field(queued, "last_error").isNull());
        // The aborted run brings its data after all: dropped.
        QTRY_COMPARE(FakeTask::ended.load(), 2);
        QTRY_COMPARE(QVariantList({hourRows(field(hung, "node_id").toInt()), field(hung, "last_error")}),
                     QVariantList({0, "Задание отменено"}));

        // Both attempts cut by the limit, the second one a run of its own.
        QVERIFY(settings({{"taskAttemptCount", 2}, {"taskRunTimeout", 2}}));
        QCoreApplication::processEvents();   // the settings reach the task manager by queued signals
        QVERIFY(m_polling->startTask(hung, false).ok());
        tick();
        m_clock.setNow(m_clock.now().addDays(1));
        m_clock.advance(2 * kMinute - kSecond);
        QCOMPARE(m_polling->runState(hung), RunState::Running);
        tick();
        QCOMPARE(m_polling->runState(hung), RunState::Overrunning);
        m_clock.advance(TaskManager::kCancelGraceMs);
        QCOMPARE(QVariantList({int(m_polling->runState(hung)), m_polling->taskState(hung).value("attempts")}),
                 QVariantList({int(RunState::WaitingRetry), 1}));
        m_clock.advance(10 * kMinute + kSecond);
        QCOMPARE(m_polling->runState(hung), RunState::Running);
        m_clock.advance(2 * kMinute + TaskManager::kCancelGraceMs);
        QCOMPARE(m_polling->runState(hung), RunState::Idle);
        const QString limit = QStringLiteral("Опрос прерван: он длился дольше 2 мин. (настройка taskRunTimeout)");
        QCOMPARE(QVariantList({field(hung, "last_error"), Tasks::log(serverContext(), hung).valueOr(QStringList())}),
                 QVariantList({limit, QStringList{limit}}));
        QTRY_COMPARE(QList<int>({FakeTask::ended.load(), FakeTask::runs.load()}), QList<int>({4, 4}));
        QCOMPARE(hourRows(field(hung, "node_id").toInt()), 0);
    }

    // One slot: a freed slot takes the next queued run at once. Monitor runs.
    void oneSlotAndMonitorRuns()
    {
        QVERIFY(testDatabase().putSetting("maxRunningTaskCount", 1).ok());   // applied live
        QCoreApplication::processEvents();   // the setting: otherwise the run queued below may find ten slots
        const int blocker = newTask("COM11", "hold");
        const int task = newTask("COM12", "ok");
        QVERIFY(m_polling->startTask(blocker, false).ok());
        tick();
        QTRY_COMPARE(FakeTask::running.load(), 1);

        // A queued monitor run is replaced by a full poll of the same task, which waits for the slot.
        QVERIFY(m_polling->startTask(task, true).ok() && m_polling->startTask(task, true).ok());
        QCOMPARE(m_polling->stateTable().rowCount(), 2);
        QVERIFY(m_polling->startTask(task, false).ok() && m_polling->stateTable().rowCount() == 2);
        m_clock.advance(30 * kSecond);
        QCOMPARE(QVariantList({int(m_polling->runState(task)), stateOf(task), FakeTask::runs.load()}),
                 QVariantList({int(RunState::Queued), "Ожидание очереди", 1}));
        // The freed slot takes it at once, with no tick: the clock stands still.
        FakeTask::release = true;
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
        QCOMPARE(QVariantList({field(task, "last_exec"), FakeTask::mostRunning.load(), FakeTask::runs.load()}),
                 QVariantList({m_clock.now(), 1, 2}));

        // A monitor run leaves the task's last run as it was. (The reading it hands over, with its task, node and no
        // error, and the archives it leaves alone: test_monitor, test_opc test_2_values_follow_monitor_runs.)
        const QVariant lastExec = field(task, "last_exec");
        QVERIFY(m_polling->startTask(task, true).ok());
        QCOMPARE(stateOf(task), QStringLiteral("Ожидание очереди"));   // queued with a slot free: off at once
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
        QCOMPARE(field(task, "last_exec"), lastExec);
    }

    void removedTaskLeavesTheQueue()
    {
        const auto [blocker, queued] = holdingAndQueued("COM14", "COM15");
        QVERIFY(blocker > 0);
        QVERIFY(Tasks::remove(serverContext(), queued).ok() && Tasks::remove(serverContext(), blocker).ok());
        QTRY_VERIFY(!m_polling->hasTask(queued) && !m_polling->hasTask(blocker));
        QCOMPARE(m_polling->stateTable().rowCount(), 0);
        // The running one was cancelled and goes when it ends; the queued one never runs.
        QTRY_COMPARE(FakeTask::ended.load(), 1);
        m_clock.advance(5 * kSecond);
        QCoreApplication::processEvents();
        QCOMPARE(QList<int>({FakeTask::runs, m_polling->queueLength(), m_polling->runningCount()}),
                 QList<int>({1, 0, 0}));
    }

    // A run that ends while a save runs a check script (which turns the event loop) waits for that save; a task
    // removed while its own save runs a script is let go when the save is done.
    void endsDuringSaves()
    {
        const int task = newTask("COM16", "ok");
        QVERIFY(m_polling->startTask(task, false).ok());
        {
            ZeltoBusyGuard busy;
            tick();
            QTRY_COMPARE(FakeTask::ended.load(), 1);
            QCoreApplication::processEvents();   // the finished run is delivered, and put off
            QCOMPARE(QVariantList({int(m_polling->runState(task)), field(task, "last_exec").isNull()}),
                     QVariantList({int(RunState::Running), true}));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
        QCOMPARE(field(task, "last_exec"), QVariant(m_clock.now()));

        const int node = field(task, "node_id").toInt();
        QVERIFY(settings({{"scriptRowTimeout", 100}})
                && CheckParams::set(serverContext(), node, {{"script", "while (true) {}"}}).ok());
        QVERIFY(m_polling->startTask(task, false).ok());
        {
            ZeltoBusyGuard busy;
            tick();
            QTRY_COMPARE(FakeTask::ended.load(), 2);
        }
        // The save begins at the next turn of the event loop; the removal is announced while its script runs.
        const QVariant lastExec = field(task, "last_exec");
        m_clock.advance(kMinute);
        QTimer::singleShot(10, [task]() { ZeltoSystem::instance()->notify(QStringLiteral("taskRemoved"), task); });
        QTRY_VERIFY_WITH_TIMEOUT(!m_polling->hasTask(task), 10000);
        QCOMPARE(QVariantList({m_polling->stateTable().rowCount(), field(task, "last_exec"), hourRows(node)}),
                 QVariantList({0, lastExec, 24}));
        QVERIFY(testDatabase().putSetting("scriptRowTimeout", 1000).ok());
    }

    // What a run that goes well reports, a run again, the requests of one cancelled. (The requests of a run that goes
    // well and their parameters: every polling e2e test, whose simulator refuses them out of order or ill-formed, and
    // test_polling's scheduled job collected.)
    void conversationOfARun()
    {
        scriptSuccess();
        Task task;
        QSignalSpy states(&task, &Task::stateChanged);
        QVERIFY2(runToEnd(task) && !task.isFailed(), qPrintable(task.errorString()));
        // A two-element state changes nothing but is still reported.
        QCOMPARE(QVariantList({states.count(), task.progress(), task.state(), task.log()}),
                 QVariantList({2, 100, "Готово", QStringList({"первая", "вторая"})}));
        QCOMPARE(task.result(), FakeTask::dayOfHours());

        // The same object runs again afresh, as for a retry.
        scriptSuccess();
        g_script.answers.insert("getResult", reply(QVariantList{0, false, "Ошибка прибора"}));
        QVERIFY(runToEnd(task) && task.isFailed() && task.result().isEmpty());
        QCOMPARE(task.errorString(), QStringLiteral("Ошибка прибора"));
        QCOMPARE(g_script.calls.last(), QStringLiteral("removeTask"));

        // Cancelled: one cancel is sent, no result taken. The job goes on for a poll after the cancel, then
        // reports its end.
        scriptSuccess();
        int pollsAfterCancel = 0;
        g_script.answers.insert("getState", [&](const QVariantList &) -> QVariant {
            if (g_script.calls.contains("cancelTask") && ++pollsAfterCancel > 1)
                return QVariantList{0, true, 40, "Отменено"};
            return QVariantList{0, false, 40, "Чтение"};
        });
        Task cancelled;
        connect(&cancelled, &Task::stateChanged, this, [&cancelled]() { cancelled.cancel(); }, Qt::QueuedConnection);
        QVERIFY(runToEnd(cancelled) && cancelled.isCanceled() && !cancelled.isFailed());
        QVERIFY(g_script.calls.count("cancelTask") == 1 && !g_script.calls.contains("getResult") && cancelled.progress() == 40);
        QCOMPARE(g_script.calls.mid(g_script.calls.size() - 2), QStringList({"takeLog", "removeTask"}));

        // Cancelled before it starts: no request at all.
        g_script = Script();
        Task early;
        early.cancel();
        QVERIFY(runToEnd(early) && g_script.calls.isEmpty());
    }

    // What a run asks the polling server to read: from the day after the node's last stored day, when it has one.
    void readParamsOfARun_data()
    {
        QTest::addColumn<QVariant>("lastDay");
        QTest::addColumn<bool>("monitor");
        QTest::addColumn<QVariantMap>("read");
        const QStringList archives{"hourData", "dayData"};
        const QDateTime day(QDate(2026, 3, 31), QTime(0, 0));
        QTest::newRow("a day stored, across a month end")
            << QVariant(day) << false << QVariantMap{{"data", archives}, {"firstDate", QDateTime(QDate(2026, 4, 1), QTime(0, 0))}};
        QTest::newRow("a last day that is not a date") << QVariant("вчера") << false << QVariantMap{{"data", archives}};
        QTest::newRow("monitor") << QVariant(day) << true << QVariantMap{{"data", QVariantList{"currentData"}}};
    }

    void readParamsOfARun()
    {
        QFETCH(QVariant, lastDay);
        QFETCH(bool, monitor);
        QFETCH(QVariantMap, read);
        const QVariantMap built = TaskParams::build({}, {{"code", "COM"}}, {"hourData", "dayData"}, {{"last_day", lastDay}},
                                                    "QRV2", monitor);
        const QVariantMap params = built.value("params").toMap();
        QCOMPARE(params.keys(), read.keys());
        QCOMPARE(params.value("firstDate"), read.value("firstDate"));
        QCOMPARE(params.value("data").toStringList(), read.value("data").toStringList());
    }

    // Replies of the wrong shape, and polling servers the run cannot talk to.
    void failedRuns_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QVariant>("answer");   // invalid: an error reply
        QTest::addColumn<QString>("error");
        QTest::addColumn<QVariant>("taskParams");   // invalid: those of the scripted server
        const auto row = [](const char *name, const char *request, const QVariant &answer, const QString &error,
                            const QVariant &taskParams = QVariant()) {
            QTest::newRow(name) << QString(request) << answer << error << taskParams;
        };
        const QString wrong = "Неверный ответ сервера опроса на запрос ";
        row("error reply", "createTask", QVariant(), "Сбой сервера опроса");
        row("job id not a number", "createTask", "abc", wrong + "createTask");
        row("state not a list", "getState", "garbage", wrong + "getState");
        row("finished flag not a bool", "getState", QVariantList{0, "да"}, "признак завершения");
        row("progress not a number", "getState", QVariantList{0, true, "x"}, "ход выполнения");
        row("log not a list", "takeLog", 5, "takeLog");
        row("short result", "getResult", QVariantList{0, true}, wrong + "getResult");
        row("no data", "getResult", QVariantList{0, true, QVariantList()}, "Данные не считаны");
        row("data not tables", "getResult", QVariantList{0, true, QVariantList{42}}, "не являются набором таблиц");
        // None of these sends a request.
        row("no parameters", "", QVariant(), "Не заданы параметры задачи", QVariantMap());
        row("a port that is not one", "", QVariant(), "Неверный порт", params("порт"));
        QTcpServer closed;
        const quint16 port = closed.listen(QHostAddress::LocalHost) ? closed.serverPort() : 1;
        closed.close();
        row("unreachable", "", QVariant(), "Не удалось подключиться", params(port));
    }

    void failedRuns()
    {
        QFETCH(QString, request);
        QFETCH(QVariant, answer);
        QFETCH(QString, error);
        QFETCH(QVariant, taskParams);
        scriptSuccess();
        g_script.answers.insert(request, [answer](const QVariantList &) { return answer; });
        Task task;
        QVERIFY2(runToEnd(task, taskParams.isValid() ? taskParams.toMap() : params()) && task.isFailed()
                     && task.errorString().contains(error) && task.result().isEmpty(),
                 qPrintable(task.errorString()));
        // The job is removed once its result was asked for; a failure before leaves it.
        QCOMPARE(g_script.calls.value(g_script.calls.size() - 1), request == "getResult" ? "removeTask" : request);
    }

    // A polling server that never answers. (The task's own address: the runs above; the default one, with the port of
    // varnel.ini: every polling e2e test.)
    void unansweredRequests()
    {
        scriptSuccess();
        g_script.answers.insert("getState", [](const QVariantList &) -> QVariant {
            ZeltoServer::global()->deferReply();   // and never finished
            return true;
        });
        Task task;
        task.setReplyTimeout(600);
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(runToEnd(task) && task.errorString().contains("не ответил на запрос getState"),
                 qPrintable(task.errorString()));
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(g_script.calls.last(), QStringLiteral("getState"));   // the job is left on the server

        // At shutdown the wait is given up at once.
        Task stopping;
        QTimer::singleShot(300, this, [&stopping]() { stopping.abort(); });
        clock.restart();
        QVERIFY2(runToEnd(stopping) && stopping.errorString().contains("останавливается"),
                 qPrintable(stopping.errorString()));
        QVERIFY(clock.elapsed() < 3000);
    }

    // The rule alone, for what the passes below do not meet.
    void dueRule_data()
    {
        QTest::addColumn<QVariantMap>("timetable");
        QTest::addColumn<QDateTime>("last");
        QTest::addColumn<QDateTime>("now");
        QTest::addColumn<bool>("due");
        const auto row = [](const char *name, const QVariantMap &timetable, const char *last, const char *now,
                            bool due) {
            QTest::newRow(name) << timetable << at(last) << at(now) << due;
        };
        const QVariantMap yearly{{"mode", "yearly"}};
        row("no mode, never run", QVariantMap(), "", "2024-05-06 10:00", false);
        row("unknown mode after a run", yearly, "2024-05-01 10:00", "2024-05-06 10:00", false);
        row("hourly minute absent reads 0", hourly(QVariant()), "2024-05-06 09:10", "2024-05-06 10:00", true);
        row("daily bad times", byTimes("daily", {"25:99", "soon"}), "2024-05-05 08:30", "2024-05-06 15:00", false);
    }

    void dueRule()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(QDateTime, last);
        QFETCH(QDateTime, now);
        QTEST(NextExecution::isDue(timetable, last, now), "due");
    }

    // The scheduler made at "from" (its first pass then, the next ones a minute apart), the clock advanced to
    // "until": the passes that start the task. "setBack" puts the wall clock back an hour at that instant.
    void passes_data()
    {
        QTest::addColumn<QVariantMap>("timetable");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("until");
        QTest::addColumn<QString>("setBack");
        QTest::addColumn<QStringList>("starts");
        const auto row = [](const char *name, const QVariantMap &timetable, const char *last, const char *from,
                            const char *until, const QStringList &starts, const char *setBack = "") {
            QTest::newRow(name) << timetable << QString(last) << QString(from) << QString(until) << QString(setBack)
                                << starts;
        };
        row("never run: at the first pass, whatever the mode", {{"mode", "yearly"}}, "", "2024-05-06 10:00:10",
            "2024-05-06 12:00:00", {"05-06 10:00"});
        row("daily: two times, never two runs in one hour", byTimes("daily", {"08:00", "08:30"}),
            "2024-05-05 20:00:00", "2024-05-06 07:58:10", "2024-05-06 10:00:00", {"05-06 08:00", "05-06 09:00"});
        row("weekly on Mondays only", byTimes("weekly", {"08:00"}, 0x01), "2024-04-29 08:00:00",
            "2024-05-05 07:59:10", "2024-05-07 09:00:00", {"05-06 08:00"});
        const QVariantMap on31st = byTimes("monthly", {"09:00"}, qint64(1) << 30);
        row("31st: on the last of April", on31st, "2024-03-31 09:00:00", "2024-04-29 08:59:10",
            "2024-05-01 10:00:00", {"04-30 09:00"});
        row("31st: on 29 February of a leap year", on31st, "2024-01-31 09:00:00", "2024-02-28 08:59:10",
            "2024-03-01 10:00:00", {"02-29 09:00"});
        row("31st: on 28 February", on31st, "2023-01-31 09:00:00", "2023-02-27 08:59:10", "2023-03-01 10:00:00",
            {"02-28 09:00"});
        row("1st: not on the last day", byTimes("monthly", {"09:00"}, 1), "2024-04-01 09:00:00",
            "2024-04-30 08:59:10", "2024-05-01 10:00:00", {"05-01 09:00"});
        row("spring: the hour that is not", hourly(30), "2024-03-31 00:31:00", "2024-03-31 01:28:10",
            "2024-03-31 04:00:00", {"03-31 01:30", "03-31 03:30"});
        row("autumn: the hour that comes twice runs once", hourly(30), "2024-10-27 01:31:00", "2024-10-27 01:58:10",
            "2024-10-27 04:00:00", {"10-27 02:30", "10-27 03:30"});
        row("wall clock set back: its hour is not run again", hourly(0), "2024-05-06 09:00:00",
            "2024-05-06 09:58:10", "2024-05-06 11:30:00", {"05-06 10:00", "05-06 11:00"}, "2024-05-06 10:05:10");
    }

    void passes()
    {
        QFETCH(QVariantMap, timetable);
        QFETCH(QString, last);
        QFETCH(QString, from);
        QFETCH(QString, until);
        QFETCH(QString, setBack);
        const int task = scheduledTask(timetable, at(last));
        QVERIFY(task > 0);

        ZeltoTestClock clock(at(from));
        QStringList starts;
        // The run ends at once: its last run is saved, and the scheduler learns of it by "taskSaved".
        auto scheduler = std::make_unique<Scheduler>(
            &testDatabase(), [&](int id) {
                if (id != task)
                    return;
                starts << clock.now().toString("MM-dd hh:mm");
                QVERIFY(Tasks::save(serverContext(), {{"id", id}, {"last_exec", clock.now()}}).valueOr(-1) == id);
            },
            &clock);
        QCoreApplication::processEvents();
        while (clock.now() < at(until)) {
            clock.advance(Scheduler::kPassMs);
            if (clock.now().toString("yyyy-MM-dd hh:mm:ss") == setBack) {
                clock.setNow(clock.now().addSecs(-3600));
                setBack.clear();
            }
            QCoreApplication::processEvents();
        }
        scheduler.reset();
        QCOMPARE(outcome(Tasks::remove(serverContext(), task)), "ok");
        QTEST(starts, "starts");
    }

    // Changes reach the scheduler by the notifications of task saves and removals.
    void followsTasks()
    {
        const int gone = scheduledTask(hourly(0)), unscheduled = scheduledTask(QVariantMap());
        const int daily = scheduledTask(byTimes("daily", {"08:00"}), at("2024-05-01 15:00"));
        QVERIFY(gone > 0 && unscheduled > 0 && daily > 0);

        ZeltoTestClock clock(at("2024-05-01 15:00"));
        QList<int> started;
        auto scheduler = std::make_unique<Scheduler>(&testDatabase(), [&](int id) { started.append(id); }, &clock);
        // The first pass: the task that never ran; never one without a mode.
        QVERIFY(started.contains(gone) && !started.contains(unscheduled) && !started.contains(daily));
        // A removed task is dropped; a new timetable counts from the next pass (saving it clears the last run).
        QCOMPARE(outcome(Tasks::remove(serverContext(), gone)), "ok");
        const QVariantMap form{{"id", unscheduled}, {"channel", kChannel}, {"timetable", hourly(0)}};
        QCOMPARE(Tasks::save(serverContext(), form).valueOr(-1), unscheduled);
        QCoreApplication::processEvents();
        started.clear();
        clock.advance(Scheduler::kPassMs);
        QCOMPARE(started, QList<int>{unscheduled});
        scheduler.reset();
        QVERIFY(Tasks::remove(serverContext(), unscheduled).ok() && Tasks::remove(serverContext(), daily).ok());
    }

private:
    // A task of a new node whose fake run (see FakeTask) polls a port of its own.
    int newTask(const QString &port, const QString &fake, const QString &error = "Прибор не отвечает")
    {
        const QVariantMap node{{"model_code", "QRV2"}, {"model_name", "QRV2"}, {"number", m_serial++}};
        const QVariantMap channel{{"code", "COM"}, {"port", port}, {"fake", fake}, {"error", error}};
        return Tasks::save(serverContext(), {{"node_id", Nodes::save(serverContext(), node).valueOr(-1)},
                                             {"channel", channel}, {"archives", QStringList{"hourData"}}}).valueOr(-1);
    }

    // With one slot: a run that holds it and one queued behind it.
    QPair<int, int> holdingAndQueued(const QString &holdingPort, const QString &queuedPort,
                                     const QString &fake = "hold")
    {
        if (!testDatabase().putSetting("maxRunningTaskCount", 1).ok())
            return {-1, -1};
        const int holding = newTask(holdingPort, fake);
        const int queued = newTask(queuedPort, "ok");
        if (!m_polling->startTask(holding, false).ok() || !m_polling->startTask(queued, false).ok())
            return {-1, -1};
        QCoreApplication::processEvents();   // the setting
        tick();
        if (!QTest::qWaitFor([] { return FakeTask::running == 1; }, 5000)
            || m_polling->runState(holding) != RunState::Running || m_polling->runState(queued) != RunState::Queued)
            return {-1, -1};
        return {holding, queued};
    }

    // A task of the node with this timetable that last ran at last (if valid); its notifications delivered.
    int scheduledTask(const QVariantMap &timetable, const QDateTime &last = QDateTime())
    {
        const QVariantMap form{{"node_id", m_node}, {"channel", kChannel}, {"timetable", timetable}};
        const int task = Tasks::save(serverContext(), form).valueOr(-1);
        if (last.isValid() && Tasks::save(serverContext(), {{"id", task}, {"last_exec", last}}).valueOr(-1) != task)
            return -1;
        QCoreApplication::processEvents();
        return task;
    }

    // Runs the task with these parameters on a pool thread and serves the scripted server until it ends; the
    // end is queued, so a run that fails at once is not missed.
    bool runToEnd(Task &task, const QVariantMap &taskParams = params())
    {
        task.setParams(taskParams);
        QEventLoop loop;
        connect(&task, &Task::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        QTimer::singleShot(15000, &loop, [&loop] { loop.exit(1); });
        QThreadPool::globalInstance()->start(&task);
        const bool inTime = loop.exec() == 0;
        QThreadPool::globalInstance()->waitForDone();
        return inTime && task.isDone() && !task.isRunning();
    }

    void tick() { m_clock.advance(TaskManager::kTickMs); }
    static bool settings(const QVariantMap &values)
    {
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            if (!testDatabase().putSetting(it.key(), it.value()).ok())
                return false;
        return true;
    }
    QVariant field(int task, const QString &column)
    {
        return Tasks::find(serverContext(), task).valueOr(QVariantMap()).value(column);
    }
    int hourRows(int node)
    {
        return testDatabase().data("nodes", node, "hour_data").value().value<ZeltoTable>().rowCount();
    }
    QString stateOf(int task) { return m_polling->taskState(task).value("state").toString(); }

    ZeltoTestClock m_clock{QDateTime(QDate(2024, 5, 6), QTime(10, 0))};
    TempDatabaseHome m_home;
    std::unique_ptr<TaskManager> m_polling;
    int m_serial = 1;
    int m_node = -1;   // the scheduler's tasks' node
};

QTEST_GUILESS_MAIN(TestTaskManager)
#include "tst_taskmanager.moc"
