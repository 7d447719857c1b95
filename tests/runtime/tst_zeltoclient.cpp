#include "streamtesting.h"
#include "zeltoclient.h"
#include "zeltocommand.h"
#include "zeltoencodedtable.h"
#include "zeltoserver.h"
#include "zeltosystem.h"
#include "zeltotable.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// A command whose body is a function.
struct TestCommand : ZeltoCommand
{
    using Body = std::function<ZeltoResult<QVariant>(const QVariantList &)>;
    TestCommand(const char *name, Body body) : ZeltoCommand(QString::fromLatin1(name), -1), m_body(std::move(body)) {}
    ZeltoResult<QVariant> call(const QVariantList &params) override { return m_body(params); }
    const Body m_body;
};

TestCommand echoCommand("echoFirst", [](const QVariantList &params) { return params.value(0); });
TestCommand refuseCommand("refuse", [](const QVariantList &) -> ZeltoResult<QVariant> {
    return ZeltoStatus::failed(QStringLiteral("Недостаточно прав для выполнения команды"));
});
TestCommand whoCommand("who", [](const QVariantList &) { return QVariant(ZeltoServer::global()->clientId()); });
QVariant g_reply;
TestCommand replyCommand("reply", [](const QVariantList &) { return g_reply; });

// Runs body on a worker thread while the main thread keeps serving.
void onWorker(const std::function<void()> &body)
{
    const std::unique_ptr<QThread> worker(QThread::create(body));
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 60000);
}

// A client connected to the port, or a failed one.
bool connectClient(ZeltoClient &client, quint16 port)
{
    client.connectToHost(QStringLiteral("127.0.0.1"), port);
    return client.waitForConnected(10000);
}

// The result of one call, or an invalid value with the reason in the client's errorString.
QVariant call(ZeltoClient &client, const char *command, const QVariantList &params = {})
{
    return client.request(QString::fromLatin1(command), params) && client.waitForResponse(10000) ? client.result() : QVariant();
}

} // namespace

class ZeltoClientTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(ZeltoServer::global()->listenTcp(0, QHostAddress::LocalHost) && ZeltoServer::global()->tcpPort() != 0);
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
            refusal = client.errorString();
            firstId = call(client, "who");
            secondId = call(other, "who");
        });
        QCOMPARE(echoed.value<ZeltoTable>(), table);
        QVERIFY(!refused.isValid());
        QCOMPARE(refusal, QStringLiteral("Недостаточно прав для выполнения команды"));
        QVERIFY(firstId.toInt() > 0 && secondId.toInt() > 0 && firstId != secondId);
        QCOMPARE(ZeltoServer::global()->clientId(), -1);  // outside any call
    }

    // One reply in both forms of tables: streams give it exactly, JSON too or else viaJson.
    void tablesInStreamForm_data()
    {
        QTest::addColumn<QVariant>("reply");
        QTest::addColumn<QVariant>("exact");
        QTest::addColumn<QVariant>("viaJson");
        const QDateTime hour(QDate(2024, 3, 30), QTime(2, 0), Qt::LocalTime);
        ZeltoTable cells(QStringList{"date", "S1_t1", "day", "at", "note", "n"});
        cells.appendRow(QVariantList{hour, 65.25, QDate(2024, 3, 30), QTime(23, 59, 59, 999), QStringLiteral("ошибка"),
                                     qlonglong(1) << 40});
        cells.appendRow(QVariantList{hour.addSecs(3600), QVariant::fromValue(ZeltoOutOfRange()), QVariant(),
                                     QVariant::fromValue(ZeltoUnused()), QStringLiteral(""), true});
        cells.appendRow(QVariantList{hour.addSecs(7200)});   // a short row
        const QVariant table = QVariant::fromValue(cells);
        QTest::newRow("nulls, markers, dates") << table << table << QVariant();
        ZeltoTableMap set{{QStringLiteral("hour_data"), cells}, {QStringLiteral("empty"), ZeltoTable({"date"})}};
        QTest::newRow("set of tables") << QVariant::fromValue(set) << QVariant::fromValue(set) << QVariant();
        const QVariant encoded = QVariant::fromValue(ZeltoEncodedTable{encodeStream(table)});
        QTest::newRow("stored bytes") << encoded << table << QVariant();
        ZeltoTable special, lost;
        special.setContent({"a", "b", "c"}, {{qQNaN(), qInf(), -0.0}});
        lost.setContent({"a", "b", "c"}, {{QVariant(), QVariant(), -0.0}});
        QTest::newRow("NaN") << QVariant::fromValue(special) << QVariant::fromValue(special) << QVariant::fromValue(lost);
    }

    void tablesInStreamForm()
    {
        QFETCH(QVariant, reply);
        QFETCH(QVariant, exact);
        QFETCH(QVariant, viaJson);
        g_reply = reply;
        const quint16 port = ZeltoServer::global()->tcpPort();
        QVariant asJson, asStream;
        onWorker([&]() {
            ZeltoClient client;
            if (!connectClient(client, port))
                return;
            client.setStreamTables(false);
            asJson = call(client, "reply");
            client.setStreamTables(true);
            asStream = call(client, "reply");
        });
        // Equal stream bytes: equal values bit for bit, NaN too.
        QCOMPARE(encodeStream(asStream).toHex(), encodeStream(exact).toHex());
        QCOMPARE(encodeStream(asJson).toHex(), encodeStream(viaJson.isValid() ? viaJson : exact).toHex());
        // In process stored bytes read as the table they hold.
        if (reply.userType() == qMetaTypeId<ZeltoEncodedTable>())
            QCOMPARE(QVariant::fromValue(reply.value<ZeltoTable>()), exact);
    }

    // Refused, not believed: a broken $stream, one never asked for, a half reply.
    void badReplies_data()
    {
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        ZeltoTable table(QStringList{"S1_t1"});
        table.appendRow(QVariantList{60.25});
        const QByteArray good = encodeStream(QVariant::fromValue(table));
        QByteArray flipped = good;
        flipped[good.size() / 2] = char(flipped.at(good.size() / 2) ^ 0x10);
        const auto reply = [](const QByteArray &text) {
            return "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"$stream\":\"" + text + "\"}}\n";
        };
        QTest::newRow("cut short") << true << reply(good.left(good.size() - 3).toBase64()) << -32700 << QStringLiteral("конец данных");
        QTest::newRow("bit flipped") << true << reply(flipped.toBase64()) << -32700 << QStringLiteral("контрольная сумма");
        QTest::newRow("not a table") << true << reply(encodeStream(5).toBase64()) << -32700 << QStringLiteral("ровно одна таблица");
        QTest::newRow("two tables") << true << reply((good + good.mid(1)).toBase64()) << -32700 << QStringLiteral("ровно одна таблица");
        QTest::newRow("not base64") << true << reply("@@@@") << -32700 << QStringLiteral("base64");
        QTest::newRow("never asked") << false << reply(good.toBase64()) << -32700 << QStringLiteral("неизвестный тег $stream");
        QTest::newRow("hung up") << true << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,") << 0 << QStringLiteral("разорвано");
    }

    void badReplies()
    {
        QFETCH(bool, asked);
        QFETCH(QByteArray, reply);
        QFETCH(int, code);
        QFETCH(QString, message);
        QTcpServer fake;
        QVERIFY(fake.listen(QHostAddress::LocalHost));
        connect(&fake, &QTcpServer::newConnection, this, [&]() {
            QTcpSocket *socket = fake.nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [socket, reply]() {
                socket->readAll();
                socket->write(reply);
                if (!reply.endsWith('\n'))
                    socket->disconnectFromHost();
            });
        });
        bool ok = true;
        int got = -1;
        QString error;
        onWorker([&]() {
            ZeltoClient client;
            client.setStreamTables(asked);
            ok = connectClient(client, fake.serverPort()) && call(client, "reply").isValid();
            got = client.errorCode();
            error = client.errorString();
        });
        QCOMPARE((QVariantList{ok, got}), (QVariantList{false, code}));
        QVERIFY2(error.contains(message), qPrintable(error));
    }

    void transportFailures()
    {
        QTcpServer probe;   // a port nobody listens on
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        QTcpServer silent;   // a peer that accepts and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QString refusedText, timeoutText, notConnectedText;
        bool timedOut = false;
        onWorker([&]() {
            ZeltoClient client;
            if (!client.request(QStringLiteral("who")))
                notConnectedText = client.errorString();
            if (!connectClient(client, closedPort))
                refusedText = client.errorString();
            if (connectClient(client, silent.serverPort()) && client.request(QStringLiteral("who"))) {
                timedOut = !client.waitForResponse(300);
                timeoutText = client.errorString();
            }
        });
        QVERIFY(!notConnectedText.isEmpty() && timedOut);
        QVERIFY2(refusedText.contains(QString::number(closedPort)), qPrintable(refusedText));
        QVERIFY2(timeoutText.contains(QStringLiteral("300")), qPrintable(timeoutText));
    }
};

QTEST_GUILESS_MAIN(ZeltoClientTest)
#include "tst_zeltoclient.moc"
