// The RPC server's connections: requests and deferred work wait for the outermost
// busy guard; a WebSocket handed over keeps every byte the listener had read; its
// frames from bytes alone (messages, control frames and errors, the same whether the
// bytes come at once or one by one). The dispatcher's error code for each kind of failure.

#include "zeltobusyguard.h"
#include "zeltocommand.h"
#include "zeltorpcdispatcher.h"
#include "zeltoserver.h"
#include "zeltosystem.h"
#include "zeltowebframereader.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
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

const QByteArray kUpgradeRequest = "GET /rpc HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

const qint64 kMaxMessage = 300;

// One frame as a client sends it, masked unless told otherwise.
QByteArray frame(int opcode, const QByteArray &payload, bool final = true, bool masked = true)
{
    QByteArray out(1, char((final ? 0x80 : 0) | opcode));
    const char maskBit = masked ? char(0x80) : char(0);
    if (payload.size() < 126) {
        out += char(maskBit | payload.size());
    } else {
        out += char(maskBit | 126);
        uchar length[2];
        qToBigEndian<quint16>(quint16(payload.size()), length);
        out.append(reinterpret_cast<const char *>(length), 2);
    }
    const char mask[4] = {0x37, char(0xfa), 0x21, 0x3d};
    if (!masked)
        return out + payload;
    out.append(mask, 4);
    for (int i = 0; i < payload.size(); ++i)
        out += char(payload.at(i) ^ mask[i % 4]);
    return out;
}

QByteArray withLength64(quint64 length)
{
    QByteArray out("\x81\xff", 2);
    uchar bytes[8];
    qToBigEndian<quint64>(length, bytes);
    return out + QByteArray(reinterpret_cast<const char *>(bytes), 8) + QByteArray(4, '\0') + "x";
}

// Every event the reader gives for `bytes` fed in pieces of `step` bytes,
// as "message:text", "ping:x", "pong:x", "close:code", "error", "too big".
QStringList events(const QByteArray &bytes, int step)
{
    ZeltoWebFrameReader reader(kMaxMessage);
    QStringList seen;
    QByteArray pending;
    for (int at = 0; at < bytes.size(); at += step) {
        pending += bytes.mid(at, step);
        for (;;) {
            qint64 consumed = 0;
            const ZeltoWebFrameReader::Event event = reader.read(pending.constData(), pending.size(), consumed);
            pending.remove(0, int(consumed));
            switch (event) {
            case ZeltoWebFrameReader::NeedMore: break;
            case ZeltoWebFrameReader::Message: seen << "message:" + QString::fromLatin1(reader.takeMessage()); continue;
            case ZeltoWebFrameReader::Ping: seen << "ping:" + QString::fromLatin1(reader.payload()); continue;
            case ZeltoWebFrameReader::Pong: seen << "pong:" + QString::fromLatin1(reader.payload()); continue;
            case ZeltoWebFrameReader::Close: seen << "close:" + QString::number(reader.closeCode()); continue;
            case ZeltoWebFrameReader::ProtocolError: seen << "error"; break;
            case ZeltoWebFrameReader::TooBig: seen << "too big"; break;
            }
            if (event != ZeltoWebFrameReader::NeedMore) {
                // Nothing more is taken after an error.
                qint64 more = -1;
                if (reader.read(pending.constData(), pending.size(), more) != event || more != 0)
                    seen << "read on";
                return seen;
            }
            break;
        }
    }
    return seen;
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

    void reads_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("expected");
        const QByteArray long1(200, 'l');
        QTest::newRow("text") << frame(1, "abc") << QStringList{"message:abc"};
        QTest::newRow("binary, empty") << frame(2, "") + frame(1, "z") << QStringList{"message:", "message:z"};
        QTest::newRow("fragments, ping among them")
            << frame(1, "ab", false) + frame(9, "tick") + frame(0, "cd", false) + frame(0, "e")
            << QStringList{"ping:tick", "message:abcde"};
        QTest::newRow("16-bit length") << frame(2, long1) << QStringList{"message:" + QString(long1)};
        QTest::newRow("pong, close with code")
            << frame(10, "p") + frame(8, QByteArray("\x03\xe9", 2)) << QStringList{"pong:p", "close:1001"};
        QTest::newRow("close without code") << frame(8, "") << QStringList{"close:1000"};
        QTest::newRow("unmasked") << frame(1, "a", true, false) << QStringList{"error"};
        QTest::newRow("reserved bit") << QByteArray("\xc1\x80", 2) + QByteArray(4, '\0') << QStringList{"error"};
        QTest::newRow("unknown opcode") << frame(3, "a") << QStringList{"error"};
        QTest::newRow("unknown control opcode") << frame(11, "a") << QStringList{"error"};
        QTest::newRow("continuation first") << frame(0, "a") << QStringList{"error"};
        QTest::newRow("new message inside one") << frame(1, "a", false) + frame(1, "b") << QStringList{"error"};
        QTest::newRow("control fragmented") << frame(9, "a", false) << QStringList{"error"};
        QTest::newRow("control too long") << frame(9, QByteArray(126, 'c')) << QStringList{"error"};
        QTest::newRow("length with the top bit") << withLength64(quint64(1) << 63) << QStringList{"error"};
        QTest::newRow("message just fits") << frame(1, QByteArray(kMaxMessage, 'f'))
                                           << QStringList{"message:" + QString(kMaxMessage, 'f')};
        QTest::newRow("message too big") << frame(1, "ok") + frame(1, QByteArray(kMaxMessage + 1, 'f'))
                                         << QStringList{"message:ok", "too big"};
        QTest::newRow("fragments too big together")
            << frame(1, QByteArray(kMaxMessage, 'f'), false) + frame(0, "g") << QStringList{"too big"};
        QTest::newRow("64-bit length too big") << withLength64(quint64(1) << 40) << QStringList{"too big"};
    }

    void reads()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QCOMPARE(events(bytes, bytes.size()), expected);
        QCOMPARE(events(bytes, 1), expected);
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
        server->close();
    }

    void requestsArriveWithTheUpgrade()
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_listener.serverPort());
        QVERIFY(client.waitForConnected(5000));
        const int before = ZeltoServer::global()->clientCount();
        client.write(kUpgradeRequest + frame(1, R"({"jsonrpc":"2.0","id":7,"method":"count","params":[]})"));
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
