#include "zeltoclient.h"
#include "zeltocommand.h"
#include "zeltoserver.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <functional>

namespace {

// A command whose body is a function.
class TestCommand : public ZeltoCommand
{
public:
    TestCommand(const char *name, std::function<QVariant(const QVariantList &)> body)
        : ZeltoCommand(QString::fromLatin1(name), -1), m_body(std::move(body))
    {
    }
    QVariant execute(const QVariantList &params) override { return m_body(params); }

private:
    std::function<QVariant(const QVariantList &)> m_body;
};

TestCommand echoCommand("echoFirst", [](const QVariantList &params) { return params.value(0); });
TestCommand refuseCommand("refuse", [](const QVariantList &) {
    ZeltoSystem::instance()->error(QStringLiteral("Недостаточно прав для выполнения команды"), true);
    return QVariant();
});
TestCommand whoCommand("who", [](const QVariantList &) { return ZeltoServer::global()->clientId(); });

// Runs body on a worker thread while the main thread keeps serving.
void onWorker(const std::function<void()> &body)
{
    QThread *worker = QThread::create(body);
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 60000);
    delete worker;
}

// A client connected to the port, or a failed one.
bool connectClient(ZeltoClient &client, quint16 port)
{
    client.connectToHost(QStringLiteral("127.0.0.1"), port);
    return client.waitForConnected(10000);
}

// The result of one call, or an invalid value with the reason in the error channel.
QVariant call(ZeltoClient &client, const char *command, const QVariantList &params = {})
{
    return client.request(QString::fromLatin1(command), params) && client.waitForResponse(10000) ? client.result()
                                                                                                  : QVariant();
}

} // namespace

class ZeltoClientTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(ZeltoServer::global()->listenTcp(0, QHostAddress::LocalHost));
        QVERIFY(ZeltoServer::global()->tcpPort() != 0);
    }

    void requestsFromAWorkerThread()
    {
        const quint16 port = ZeltoServer::global()->tcpPort();
        ZeltoTable table(QStringList{"date", "S1_t1"});
        table.appendRow(QVariantList{QDateTime(QDate(2024, 5, 1), QTime(1, 0)), 65.25});
        QVariant echoed, refused = true, firstId, secondId;
        QString refusal;
        onWorker([&]() {
            ZeltoClient client, other;
            if (!connectClient(client, port) || !connectClient(other, port))
                return;
            echoed = call(client, "echoFirst", {QVariant::fromValue(table)});
            refused = call(client, "refuse");
            refusal = ZeltoSystem::instance()->lastError();
            firstId = call(client, "who");
            secondId = call(other, "who");
        });
        QCOMPARE(echoed.value<ZeltoTable>(), table);
        QVERIFY(!refused.isValid());
        QCOMPARE(refusal, QStringLiteral("Недостаточно прав для выполнения команды"));
        QVERIFY(firstId.toInt() > 0 && secondId.toInt() > 0 && firstId != secondId);
        QCOMPARE(ZeltoServer::global()->clientId(), -1);  // outside any call
    }

    void transportFailures()
    {
        // A port nobody listens on.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();

        // A peer that accepts and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QList<QTcpSocket *> accepted;
        connect(&silent, &QTcpServer::newConnection, this, [&]() { accepted.append(silent.nextPendingConnection()); });

        QString refusedText, timeoutText, notConnectedText;
        bool timedOut = false;
        onWorker([&]() {
            ZeltoClient client;
            if (!client.request(QStringLiteral("who")))
                notConnectedText = ZeltoSystem::instance()->lastError();
            client.connectToHost(QStringLiteral("127.0.0.1"), closedPort);
            if (!client.waitForConnected(5000))
                refusedText = ZeltoSystem::instance()->lastError();

            client.connectToHost(QStringLiteral("127.0.0.1"), silent.serverPort());
            if (client.waitForConnected(5000) && client.request(QStringLiteral("who"))) {
                timedOut = !client.waitForResponse(300);
                timeoutText = ZeltoSystem::instance()->lastError();
            }
        });
        QVERIFY(!notConnectedText.isEmpty());
        QVERIFY2(refusedText.contains(QString::number(closedPort)), qPrintable(refusedText));
        QVERIFY(timedOut);
        QVERIFY2(timeoutText.contains(QStringLiteral("300")), qPrintable(timeoutText));
        qDeleteAll(accepted);
    }

    void peerHangsUp()
    {
        QTcpServer rude;
        QVERIFY(rude.listen(QHostAddress::LocalHost));
        connect(&rude, &QTcpServer::newConnection, this, [&]() {
            QTcpSocket *socket = rude.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket]() {
                socket->readAll();
                socket->write("{\"jsonrpc\":\"2.0\",\"id\":1,");  // half a reply, then gone
                socket->disconnectFromHost();
            });
        });
        bool ok = true;
        QString text;
        onWorker([&]() {
            ZeltoClient client;
            client.connectToHost(QStringLiteral("127.0.0.1"), rude.serverPort());
            ok = client.waitForConnected(5000) && client.request(QStringLiteral("who")) && client.waitForResponse(20000);
            text = ZeltoSystem::instance()->lastError();
        });
        QVERIFY(!ok);
        QVERIFY2(text.contains(QStringLiteral("разорвано")), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(ZeltoClientTest)
#include "tst_zeltoclient.moc"
