// The RPC server's connections: requests and deferred work wait for the outermost
// busy guard; replies leave before later work; a WebSocket handed over keeps every byte the listener had read.
// The dispatcher's error code for each kind of failure.

#include "zeltobusyguard.h"
#include "zeltocommand.h"
#include "zeltorpcdispatcher.h"
#include "zeltoserver.h"
#include "zeltosystem.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

struct CountCommand : ZeltoCommand
{
    CountCommand() : ZeltoCommand(QStringLiteral("count"), 0) {}
    ZeltoResult<QVariant> call(const QVariantList &) override { return QVariant(++calls); }
    int calls = 0;
};

CountCommand g_count;

// Fails with the kind and text of its parameters.
struct FailCommand : ZeltoCommand
{
    FailCommand() : ZeltoCommand(QStringLiteral("failAs"), 2) {}
    ZeltoResult<QVariant> call(const QVariantList &params) override
    {
        return ZeltoStatus(ZeltoStatus::Kind(params.at(0).toInt()), params.at(1).toString());
    }
};

FailCommand g_fail;

// Posts its hook to run after the turn that answers it.
struct PostCommand : ZeltoCommand
{
    PostCommand() : ZeltoCommand(QStringLiteral("post"), 0) {}
    ZeltoResult<QVariant> call(const QVariantList &) override
    {
        QMetaObject::invokeMethod(QCoreApplication::instance(), hook, Qt::QueuedConnection);
        return QVariant(true);
    }
    std::function<void()> hook;
};

PostCommand g_post;

const QByteArray kUpgradeRequest = "GET /rpc HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// One masked text frame, as a browser sends it.
QByteArray textFrame(const QByteArray &payload)
{
    const char mask[4] = {0x11, 0x22, 0x33, 0x44};
    QByteArray frame = QByteArray(1, char(0x81)) + char(0x80 | payload.size()) + QByteArray(mask, 4);
    for (int i = 0; i < payload.size(); ++i)
        frame += char(payload.at(i) ^ mask[i % 4]);
    return frame;
}

} // namespace

class TestZeltoServer : public QObject
{
    Q_OBJECT

private slots:
    void failureKindsHaveTheirCodes_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("code");
        // The published codes (docs/protocol.md): a kind keeps its code for good.
        QTest::newRow("failed") << int(ZeltoStatus::Failed) << QByteArray("-32000");
        QTest::newRow("notLoggedIn") << int(ZeltoStatus::NotLoggedIn) << QByteArray("-32001");
        QTest::newRow("noRight") << int(ZeltoStatus::NoRight) << QByteArray("-32003");
        QTest::newRow("notFound") << int(ZeltoStatus::NotFound) << QByteArray("-32004");
        QTest::newRow("conflict") << int(ZeltoStatus::Conflict) << QByteArray("-32009");
        QTest::newRow("busy") << int(ZeltoStatus::Busy) << QByteArray("-32010");
        QTest::newRow("unavailable") << int(ZeltoStatus::Unavailable) << QByteArray("-32011");
        QTest::newRow("storage") << int(ZeltoStatus::Storage) << QByteArray("-32020");
        QTest::newRow("invalidParameter") << int(ZeltoStatus::InvalidParameter) << QByteArray("-32602");
    }

    void failureKindsHaveTheirCodes()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, code);
        ZeltoRpcDispatcher dispatcher;
        QByteArray reply;
        const QByteArray request = QByteArray("{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"failAs\",\"params\":[")
            + QByteArray::number(kind) + ",\"Сбой БД\"]}";
        QVERIFY(dispatcher.handle(request, reply));
        QVERIFY2(dispatcher.failed() && reply.contains("\"code\":" + code + ",")
                     && reply.contains(QStringLiteral("Сбой БД").toUtf8()),
                 reply.constData());
    }

    // A stand-in HTTP listener: reads the request head and whatever came with it, hands over.
    void initTestCase()
    {
        QVERIFY(m_listener.listen(QHostAddress::LocalHost));
        connect(&m_listener, &QTcpServer::newConnection, this, [this]() {
            QTcpSocket *socket = m_listener.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
                m_read[socket] += socket->readAll();
                if (!m_read[socket].contains("\r\n\r\n"))
                    return;
                if (m_closeBeforeHandover)
                    socket->abort();
                socket->disconnect(this);
                ZeltoServer::global()->adoptWebSocket(socket, m_read.take(socket));
            });
        });
    }

    void deferredWorkRunsAfterTheOutermostGuard()
    {
        QStringList done;
        QVERIFY(!ZeltoBusyGuard::isBusy());
        QVERIFY(!ZeltoBusyGuard::defer(this, [&] { done << "idle"; }));   // not busy: the caller goes on
        auto *doomed = new QObject;
        {
            ZeltoBusyGuard outer;
            QVERIFY(ZeltoBusyGuard::defer(this, [&] { done << "first"; }));
            {
                ZeltoBusyGuard inner;
                QVERIFY(ZeltoBusyGuard::defer(this, [&] {
                    done << "second";
                    // Busy again when its turn comes: it waits once more.
                    ZeltoBusyGuard again;
                    ZeltoBusyGuard::defer(this, [&] { done << "third"; });
                }));
                QVERIFY(ZeltoBusyGuard::defer(doomed, [&] { done << "gone"; }));
            }
            QVERIFY(ZeltoBusyGuard::isBusy());
            QTest::qWait(50);   // events turn inside the busy work
            QVERIFY(done.isEmpty());
            delete doomed;
        }
        QVERIFY(!ZeltoBusyGuard::isBusy());
        QVERIFY(done.isEmpty());   // posted, not run inside the guard's end
        QTRY_COMPARE(done, QStringList({"first", "second", "third"}));
    }

    void requestsWaitForBusyWork()
    {
        ZeltoServer *server = ZeltoServer::global();
        QVERIFY(server->listenTcp(0, QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server->tcpPort());
        QVERIFY(client.waitForConnected(5000));
        QTRY_COMPARE(server->clientCount(), 1);
        const int before = g_count.calls;
        {
            ZeltoBusyGuard busy;
            client.write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"count\"}\n");
            QTest::qWait(300);
            QCOMPARE(g_count.calls, before);
            QCOMPARE(client.bytesAvailable(), qint64(0));
        }
        QTRY_VERIFY(client.canReadLine());
        QCOMPARE(g_count.calls, before + 1);
        QVERIFY(client.readLine().contains("\"result\""));

        // A reply goes to the system as it is sent, not when the event loop next
        // looks at the socket: work posted meanwhile (a long job's next step) finds it gone.
        int arrived = -1;
        g_post.hook = [&] { arrived = client.waitForReadyRead(2000) ? 1 : 0; };
        client.write("{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"post\"}\n");
        QTRY_VERIFY(arrived >= 0);
        QCOMPARE(arrived, 1);
        server->close();
    }

    void requestsArriveWithTheUpgrade()
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_listener.serverPort());
        QVERIFY(client.waitForConnected(5000));
        const int before = ZeltoServer::global()->clientCount();
        client.write(kUpgradeRequest + textFrame(R"({"jsonrpc":"2.0","id":7,"method":"count","params":[]})"));
        QByteArray answer;
        QTRY_VERIFY((answer += client.readAll()).contains(R"("id":7)"));
        // The handshake's answer, then the reply to the frame that came with it.
        QVERIFY(answer.startsWith("HTTP/1.1 101 Switching Protocols\r\n") && answer.contains("\r\n\r\n\x81"));
        QCOMPARE(ZeltoServer::global()->clientCount(), before + 1);

        client.disconnectFromHost();
        QTRY_COMPARE(ZeltoServer::global()->clientCount(), before);
    }

    void clientGoneBeforeTheHandover()
    {
        m_closeBeforeHandover = true;
        QSignalSpy connected(ZeltoServer::global(), &ZeltoServer::connected);
        QSignalSpy disconnected(ZeltoServer::global(), &ZeltoServer::disconnected);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_listener.serverPort());
        QVERIFY(client.waitForConnected(5000));
        client.write(kUpgradeRequest);
        // Taken over and let go at once: nothing is left behind.
        QTRY_COMPARE(disconnected.count(), 1);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(ZeltoServer::global()->clientCount(), 0);
        m_closeBeforeHandover = false;
    }

private:
    QTcpServer m_listener;
    QHash<QTcpSocket *, QByteArray> m_read;
    bool m_closeBeforeHandover = false;
};

QTEST_GUILESS_MAIN(TestZeltoServer)
#include "tst_zeltoserver.moc"
