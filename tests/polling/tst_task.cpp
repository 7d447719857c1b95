// One polling run against a scripted device polling server in this process.

#include "task.h"
#include "zelto.h"
#include "zeltocommand.h"
#include "zeltoserver.h"
#include "zeltosystem.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThreadPool>
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
    explicit ScriptedCommand(const char *name) : ZeltoCommand(QLatin1String(name), -1) {}
    QVariant execute(const QVariantList &params) override
    {
        g_script.calls.append(name());
        g_script.params.append(params);
        const Answer answer = g_script.answers.value(name());
        return answer ? answer(params) : QVariant(true);
    }
};

ScriptedCommand g_commands[] = {ScriptedCommand("createTask"), ScriptedCommand("setCommand"),
                                ScriptedCommand("startTask"),  ScriptedCommand("cancelTask"),
                                ScriptedCommand("getState"),   ScriptedCommand("takeLog"),
                                ScriptedCommand("getResult"),  ScriptedCommand("removeTask")};

Answer reply(const QVariant &value) { return [value](const QVariantList &) { return value; }; }

Answer failure(const QString &text)
{
    return [text](const QVariantList &) {
        ZeltoSystem::instance()->error(text, true);
        return QVariant();
    };
}

ZeltoTableMap someTables()
{
    ZeltoTable hours({"date", "S1_t1"});
    hours.appendRow(QVariantList{QDateTime(QDate(2024, 5, 1), QTime(10, 0)), 71.25});
    return {{"hour_data", hours}};
}

QVariant tables(const ZeltoTableMap &map) { return QVariantList{0, true, QVariantList{QVariant::fromValue(map)}}; }

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
    g_script.answers.insert("getResult", reply(tables(someTables())));
}

} // namespace

class TestTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("ORVEX_HOME", m_home.path().toUtf8());
        QVERIFY(ZeltoServer::global()->listenTcp(0, QHostAddress::LocalHost));
    }

    void conversationOfASuccessfulRun()
    {
        scriptSuccess();
        Task task;
        task.setParams(params(ZeltoServer::global()->tcpPort()));
        QSignalSpy states(&task, &Task::stateChanged);
        QVERIFY(runToEnd(task));
        QVERIFY2(!task.isFailed(), qPrintable(task.errorString()));
        QCOMPARE(g_script.calls, QStringList({"createTask", "setCommand", "startTask", "getState", "getState", "takeLog",
                                              "getResult", "removeTask"}));
        QCOMPARE(g_script.params.at(0), QVariantList({params(0).value("channel"), params(0).value("driver")}));
        QCOMPARE(g_script.params.at(1).value(0).toInt(), 7);
        QCOMPARE(g_script.params.at(1).value(1).toString(), QStringLiteral("readArchive"));
        QCOMPARE(g_script.params.at(1).value(2).toMap().value("data").toStringList(), QStringList{"hourData"});
        QCOMPARE(g_script.params.at(7), QVariantList{7});
        // A two-element state changes nothing but is still reported.
        QCOMPARE(states.count(), 2);
        QCOMPARE(task.progress(), 100);
        QCOMPARE(task.state(), QStringLiteral("Готово"));
        QCOMPARE(task.log(), QStringList({"первая", "вторая"}));
        QCOMPARE(task.result(), someTables());

        // The same object runs again afresh, as for a retry.
        scriptSuccess();
        g_script.answers.insert("getResult", reply(QVariantList{0, false, "Ошибка прибора"}));
        QVERIFY(runToEnd(task));
        QVERIFY(task.isFailed());
        QCOMPARE(task.errorString(), QStringLiteral("Ошибка прибора"));
        QVERIFY(task.result().isEmpty());
        QCOMPARE(g_script.calls.last(), QStringLiteral("removeTask"));
    }

    void repliesOfTheWrongShapeFailTheRun_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QVariant>("answer");   // invalid: an error reply
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("lastCall");

        QTest::newRow("error reply") << "createTask" << QVariant() << "Сбой сервера опроса" << "createTask";
        QTest::newRow("job id not a number") << "createTask" << QVariant("abc")
                                             << "Неверный ответ сервера опроса на запрос createTask" << "createTask";
        QTest::newRow("state not a list") << "getState" << QVariant("garbage")
                                          << "Неверный ответ сервера опроса на запрос getState" << "getState";
        QTest::newRow("finished flag not a bool") << "getState" << QVariant(QVariantList{0, "да"})
                                                  << "признак завершения" << "getState";
        QTest::newRow("progress not a number") << "getState" << QVariant(QVariantList{0, true, "x"})
                                               << "ход выполнения" << "getState";
        QTest::newRow("log not a list") << "takeLog" << QVariant(5) << "takeLog" << "takeLog";
        QTest::newRow("short result") << "getResult" << QVariant(QVariantList{0, true})
                                      << "Неверный ответ сервера опроса на запрос getResult" << "removeTask";
        QTest::newRow("no data") << "getResult" << QVariant(QVariantList{0, true, QVariantList()}) << "Данные не считаны"
                                 << "removeTask";
        QTest::newRow("data not tables") << "getResult" << QVariant(QVariantList{0, true, QVariantList{42}})
                                         << "не являются набором таблиц" << "removeTask";
    }

    void repliesOfTheWrongShapeFailTheRun()
    {
        QFETCH(QString, request);
        QFETCH(QVariant, answer);
        QFETCH(QString, error);
        QFETCH(QString, lastCall);
        scriptSuccess();
        g_script.answers.insert(request, answer.isValid() ? reply(answer) : failure("Сбой сервера опроса"));
        Task task;
        task.setParams(params(ZeltoServer::global()->tcpPort()));
        QVERIFY(runToEnd(task));
        QVERIFY(task.isFailed());
        QVERIFY2(task.errorString().contains(error), qPrintable(task.errorString()));
        QCOMPARE(g_script.calls.last(), lastCall);
        QVERIFY(task.result().isEmpty());
    }

    void cancelSendsOneCancelAndTakesNoResult()
    {
        scriptSuccess();
        bool cancelled = false;
        g_script.answers.insert("cancelTask", [&](const QVariantList &) -> QVariant {
            cancelled = true;
            return true;
        });
        // The job goes on for a poll after the cancel, then reports its end.
        int pollsAfterCancel = 0;
        g_script.answers.insert("getState", [&](const QVariantList &) -> QVariant {
            if (cancelled && ++pollsAfterCancel > 1)
                return QVariantList{0, true, 40, "Отменено"};
            return QVariantList{0, false, 40, "Чтение"};
        });
        Task task;
        task.setParams(params(ZeltoServer::global()->tcpPort()));
        connect(&task, &Task::stateChanged, this, [&task]() { task.cancel(); }, Qt::QueuedConnection);
        QVERIFY(runToEnd(task));
        QVERIFY(task.isCanceled());
        QVERIFY(!task.isFailed());
        QCOMPARE(g_script.calls.count(QStringLiteral("cancelTask")), 1);
        QVERIFY(!g_script.calls.contains("getResult"));
        QCOMPARE(g_script.calls.mid(g_script.calls.size() - 2), QStringList({"takeLog", "removeTask"}));
        QCOMPARE(task.progress(), 40);

        // Cancelled before it starts: no request at all.
        g_script = Script();
        Task early;
        early.setParams(params(ZeltoServer::global()->tcpPort()));
        early.cancel();
        QVERIFY(runToEnd(early));
        QVERIFY(g_script.calls.isEmpty());
    }

    void serverThatNeverAnswers()
    {
        scriptSuccess();
        g_script.answers.insert("getState", [](const QVariantList &) -> QVariant {
            ZeltoServer::global()->deferReply();   // and never finished
            return true;
        });
        Task task;
        task.setParams(params(ZeltoServer::global()->tcpPort()));
        task.setReplyTimeout(600);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(runToEnd(task));
        QVERIFY2(task.errorString().contains("не ответил на запрос getState"), qPrintable(task.errorString()));
        QVERIFY(clock.elapsed() < 5000);
        QCOMPARE(g_script.calls.last(), QStringLiteral("getState"));   // the job is left on the server

        // At shutdown the wait is given up at once.
        Task stopping;
        stopping.setParams(params(ZeltoServer::global()->tcpPort()));
        QTimer::singleShot(300, this, [&stopping]() { stopping.abort(); });
        clock.restart();
        QVERIFY(runToEnd(stopping));
        QVERIFY2(stopping.errorString().contains("останавливается"), qPrintable(stopping.errorString()));
        QVERIFY(clock.elapsed() < 3000);

        // A server that is not there.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        Task unreachable;
        unreachable.setParams(params(port));
        QVERIFY(runToEnd(unreachable));
        QVERIFY2(unreachable.errorString().contains("Не удалось подключиться"), qPrintable(unreachable.errorString()));

        Task empty;
        QVERIFY(runToEnd(empty));
        QCOMPARE(empty.errorString(), QStringLiteral("Не заданы параметры задачи"));
    }

    void findsItsServer()
    {
        const QVariantMap defaults{{"varnel_ip", QVariant()}, {"varnel_port", QVariant()}};
        QCOMPARE(Task::host(defaults), QStringLiteral("localhost"));
        QCOMPARE(Task::port(defaults), quint16(5411));
        QFile ini(m_home.filePath("varnel.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Server]\nport=5499\n");
        ini.close();
        QCOMPARE(Task::port(defaults), quint16(5499));
        QCOMPARE(Task::port({{QStringLiteral("varnel_port"), 6000}}), quint16(6000));
        QCOMPARE(Task::host({{QStringLiteral("varnel_ip"), QStringLiteral("10.0.0.5")}}), QStringLiteral("10.0.0.5"));
        ini.remove();

        // A port that is not one fails the run before connecting.
        g_script = Script();
        Task task;
        QVariantMap bad = params(0);
        bad.insert("varnel_port", "порт");
        task.setParams(bad);
        QVERIFY(runToEnd(task));
        QVERIFY2(task.errorString().contains("Неверный порт"), qPrintable(task.errorString()));
        QVERIFY(g_script.calls.isEmpty());
    }

private:
    // Runs the task on a pool thread and waits for its end.
    bool runToEnd(Task &task, int timeoutMs = 15000)
    {
        QSignalSpy finished(&task, &Task::finished);
        QThreadPool::globalInstance()->start(&task);
        const bool ended = finished.wait(timeoutMs);
        QThreadPool::globalInstance()->waitForDone();
        return ended && task.isDone() && !task.isRunning();
    }

    QVariantMap params(quint16 port) const
    {
        return {{"varnel_ip", "127.0.0.1"},
                {"varnel_port", port},
                {"channel", QVariantMap{{"code", "COM"}}},
                {"driver", QVariantMap{{"code", "QRVK"}}},
                {"command", "readArchive"},
                {"params", QVariantMap{{"data", QStringList{"hourData"}}}}};
    }

    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TestTask)
#include "tst_task.moc"
