// One polling run against a scripted device polling server in this process.

#include "task.h"
#include "zeltocommand.h"
#include "zeltoenvironment.h"
#include "zeltoserver.h"

#include <QTcpServer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

using Answer = std::function<QVariant(const QVariantList &)>;

// What the scripted server is asked and how it answers; main thread only.
struct Script
{
    QStringList calls;
    QList<QVariantList> params;
    QMap<QString, Answer> answers;
};

Script g_script;

class ScriptedCommand : public ZeltoCommand
{
public:
    ScriptedCommand(const char *name) : ZeltoCommand(QLatin1String(name), -1) {}
    // An answer without a value is the polling server's failure.
    ZeltoResult<QVariant> call(const QVariantList &params) override
    {
        g_script.calls.append(name());
        g_script.params.append(params);
        const Answer answer = g_script.answers.value(name());
        const QVariant value = answer ? answer(params) : QVariant(true);
        if (!value.isValid())
            return ZeltoStatus::failed(QStringLiteral("Сбой сервера опроса"));
        return value;
    }
};

ScriptedCommand g_commands[] = {"createTask", "setCommand", "startTask", "cancelTask",
                                "getState",   "takeLog",    "getResult", "removeTask"};

Answer reply(const QVariant &value) { return [value](const QVariantList &) { return value; }; }

ZeltoTableMap someTables()
{
    ZeltoTable hours({"date", "S1_t1"});
    hours.appendRow(QVariantList{QDateTime(QDate(2024, 5, 1), QTime(10, 0)), 71.25});
    return {{"hour_data", hours}};
}

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
    g_script.answers.insert("getResult", reply(QVariantList{0, true, QVariantList{QVariant::fromValue(someTables())}}));
}

QVariantMap params(const QVariant &port = ZeltoServer::global()->tcpPort())
{
    return {{"varnel_ip", "127.0.0.1"}, {"varnel_port", port}, {"channel", QVariantMap{{"code", "COM"}}},
            {"driver", QVariantMap{{"code", "QRVK"}}}, {"command", "readArchive"},
            {"params", QVariantMap{{"data", QStringList{"hourData"}}}}};
}

} // namespace

class TestTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        ZeltoEnvironment::set("ORVEX_HOME", m_home.path());
        QVERIFY(ZeltoServer::global()->listenTcp(0, QHostAddress::LocalHost));
    }

    void conversationOfASuccessfulRun()
    {
        scriptSuccess();
        Task task;
        QSignalSpy states(&task, &Task::stateChanged);
        QVERIFY2(runToEnd(task) && !task.isFailed(), qPrintable(task.errorString()));
        QCOMPARE(g_script.calls, QStringList({"createTask", "setCommand", "startTask", "getState", "getState", "takeLog",
                                              "getResult", "removeTask"}));
        const QVariantMap sent = params();
        QCOMPARE(g_script.params.mid(0, 3) << g_script.params.at(7),
                 QList<QVariantList>(
                     {{sent.value("channel"), sent.value("driver")}, {7, "readArchive", sent.value("params")}, {7}, {7}}));
        // A two-element state changes nothing but is still reported.
        QCOMPARE(QVariantList({states.count(), task.progress(), task.state(), task.log()}),
                 QVariantList({2, 100, "Готово", QStringList({"первая", "вторая"})}));
        QCOMPARE(task.result(), someTables());

        // The same object runs again afresh, as for a retry.
        scriptSuccess();
        g_script.answers.insert("getResult", reply(QVariantList{0, false, "Ошибка прибора"}));
        QVERIFY(runToEnd(task) && task.isFailed() && task.result().isEmpty());
        QCOMPARE(task.errorString(), QStringLiteral("Ошибка прибора"));
        QCOMPARE(g_script.calls.last(), QStringLiteral("removeTask"));
    }

    void repliesOfTheWrongShapeFailTheRun_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QVariant>("answer");   // invalid: an error reply
        QTest::addColumn<QString>("error");
        const auto row = [](const char *name, const char *request, const QVariant &answer, const QString &error) {
            QTest::newRow(name) << QString(request) << answer << error;
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
    }

    void repliesOfTheWrongShapeFailTheRun()
    {
        QFETCH(QString, request);
        QFETCH(QVariant, answer);
        QFETCH(QString, error);
        scriptSuccess();
        g_script.answers.insert(request, [answer](const QVariantList &) { return answer; });
        Task task;
        QVERIFY2(runToEnd(task) && task.isFailed() && task.errorString().contains(error) && task.result().isEmpty(),
                 qPrintable(task.errorString()));
        // The job is removed once its result was asked for; a failure before leaves it.
        QCOMPARE(g_script.calls.last(), request == "getResult" ? "removeTask" : request);
    }

    void cancelSendsOneCancelAndTakesNoResult()
    {
        scriptSuccess();
        // The job goes on for a poll after the cancel, then reports its end.
        int pollsAfterCancel = 0;
        g_script.answers.insert("getState", [&](const QVariantList &) -> QVariant {
            if (g_script.calls.contains("cancelTask") && ++pollsAfterCancel > 1)
                return QVariantList{0, true, 40, "Отменено"};
            return QVariantList{0, false, 40, "Чтение"};
        });
        Task task;
        connect(&task, &Task::stateChanged, this, [&task]() { task.cancel(); }, Qt::QueuedConnection);
        QVERIFY(runToEnd(task) && task.isCanceled() && !task.isFailed());
        QVERIFY(g_script.calls.count("cancelTask") == 1 && !g_script.calls.contains("getResult") && task.progress() == 40);
        QCOMPARE(g_script.calls.mid(g_script.calls.size() - 2), QStringList({"takeLog", "removeTask"}));

        // Cancelled before it starts: no request at all.
        g_script = Script();
        Task early;
        early.cancel();
        QVERIFY(runToEnd(early) && g_script.calls.isEmpty());
    }

    void serverThatNeverAnswers()
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

        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        Task unreachable;
        QVERIFY2(runToEnd(unreachable, params(port)) && unreachable.errorString().contains("Не удалось подключиться"),
                 qPrintable(unreachable.errorString()));

        Task empty;
        QVERIFY(runToEnd(empty, QVariantMap()));
        QCOMPARE(empty.errorString(), QStringLiteral("Не заданы параметры задачи"));
    }

    void findsItsServer()
    {
        const QVariantMap defaults{{"varnel_ip", QVariant()}, {"varnel_port", QVariant()}};
        QCOMPARE(Task::host(defaults) + ':' + QString::number(Task::port(defaults)), QStringLiteral("localhost:5411"));
        QFile ini(m_home.filePath("varnel.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly) && ini.write("[Server]\nport=5499\n") > 0);
        ini.close();
        QCOMPARE(QList<int>({Task::port(defaults), Task::port({{"varnel_port", 6000}})}), QList<int>({5499, 6000}));
        QCOMPARE(Task::host({{"varnel_ip", "10.0.0.5"}}), QStringLiteral("10.0.0.5"));
        ini.remove();

        // A port that is not one fails the run before connecting.
        g_script = Script();
        Task task;
        QVERIFY2(runToEnd(task, params("порт")) && task.errorString().contains("Неверный порт"),
                 qPrintable(task.errorString()));
        QVERIFY(g_script.calls.isEmpty());
    }

private:
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

    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestTask)
#include "tst_task.moc"
