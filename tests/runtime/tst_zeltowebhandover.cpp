#include "zeltocommand.h"
#include "zeltoserver.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

class WhoCommand : public ZeltoCommand
{
public:
    WhoCommand() : ZeltoCommand(QStringLiteral("who"), 0) {}
    QVariant execute(const QVariantList &) override { return ZeltoServer::global()->clientId(); }
};
WhoCommand whoCommand;

const QByteArray kKey = "dGhlIHNhbXBsZSBub25jZQ==";

QByteArray upgradeRequest()
{
    return "GET /rpc HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: " + kKey + "\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

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

// The HTTP listener hands an upgrade request's socket to the RPC server with
// every byte it has read: the stand-in below reads up to the end of the head,
// and whatever came with it (the client's first frame, sent at once).
class ZeltoWebHandoverTest : public QObject
{
    Q_OBJECT

private slots:
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

    void requestsArriveWithTheUpgrade()
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_listener.serverPort());
        QVERIFY(client.waitForConnected(5000));
        const int before = ZeltoServer::global()->clientCount();
        client.write(upgradeRequest() + textFrame(R"({"jsonrpc":"2.0","id":7,"method":"who","params":[]})"));
        QByteArray answer;
        QTRY_VERIFY((answer += client.readAll()).contains(R"("id":7)"));
        // The handshake's answer, then the reply to the frame that came with it.
        QVERIFY(answer.startsWith("HTTP/1.1 101 Switching Protocols\r\n") && answer.contains("\r\n\r\n\x81"));
        QCOMPARE(ZeltoServer::global()->clientCount(), before + 1);

        // Further frames go the same way.
        client.write(textFrame(R"({"jsonrpc":"2.0","id":8,"method":"who"})"));
        QByteArray more;
        QTRY_VERIFY2((more += client.readAll()).contains(R"("id":8)"), more.toHex().constData());
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
        client.write(upgradeRequest());
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

QTEST_GUILESS_MAIN(ZeltoWebHandoverTest)
#include "tst_zeltowebhandover.moc"
