#include "zeltohttpserver.h"
#include "zeltometrics.h"

#include <QTcpSocket>
#include <QtTest>

// The operators' HTTP listener over a real socket: routing, refusals, handing a
// socket over to a handler; and the metrics text it serves.
class TestZeltoHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        m_server.route("/metrics", [](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
            if (ZeltoHttpServer::allowOnly(request, response, {"GET", "HEAD"}))
                response.body = "metrics for " + request.query;
        });
        m_server.route("/echo", [](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
            response.body = request.method + " " + request.header("x-tag") + " " + request.body;
        });
        // Each handler names itself and the path it was given.
        const auto says = [](const QByteArray &name) {
            return [name](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) { response.body = name + " " + request.path; };
        };
        m_server.routePrefix("/files/", says("files"));
        m_server.routePrefix("/files/deep/", says("deep"));
        m_server.route("/files/exact", says("exact"));
        QVERIFY(m_server.listen(0, QHostAddress::LocalHost));
    }

    void answers_data()
    {
        // How heads are read: tst_zeltohttphead; here what the listener does with them.
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<QByteArray>("body");   // empty: not looked at
        const auto row = [](const char *name, const QByteArray &request, const char *status, const char *body = "") {
            QTest::newRow(name) << request << "HTTP/1.1 " + QByteArray(status) << QByteArray(body);
        };
        row("exact route, query kept", "GET /metrics?x=1 HTTP/1.1\r\nHost: localhost:1\r\n\r\n", "200 OK",
            "metrics for x=1");
        row("unknown path", "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "404 Not Found");
        row("prefix", "GET /files/a.css HTTP/1.1\r\nHost: [::1]:80\r\n\r\n", "200 OK", "files /files/a.css");
        row("longest prefix", "GET /files/deep/b HTTP/1.0\r\n\r\n", "200 OK", "deep /files/deep/b");
        row("exact over prefix", "GET /files/exact HTTP/1.1\r\nHost: localhost\r\n\r\n", "200 OK",
            "exact /files/exact");
        row("method refused", "POST /metrics HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n",
            "405 Method Not Allowed");
        row("headers and body",
            "PUT /echo HTTP/1.1\r\nHost: localhost\r\nX-Tag: a\r\nx-tag: b\r\nContent-Length: 4\r\n\r\nbody", "200 OK",
            "PUT a, b body");
        row("bytes after the body dropped",
            "PUT /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\n\r\nabGET /metrics HTTP/1.1\r\n\r\n",
            "200 OK", "PUT  ab");
        // Another site's name pointed at us: refused before routing, whatever the path.
        row("name not ours", "GET /metrics HTTP/1.1\r\nHost: rebind.attacker.example:80\r\n\r\n",
            "421 Misdirected Request");
        row("name not ours, unknown path", "GET /nothing HTTP/1.1\r\nHost: rebind.attacker.example\r\n\r\n",
            "421 Misdirected Request");
        row("name not ours, body too large",
            "POST /echo HTTP/1.1\r\nHost: rebind.attacker.example\r\nContent-Length: 1048577\r\n\r\n",
            "421 Misdirected Request");
        row("two lengths", "POST /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\nab",
            "400 Bad Request");
        row("body too large", "POST /echo HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1048577\r\n\r\n",
            "413 Content Too Large");
        row("head too large", "GET /metrics HTTP/1.1\r\nX: " + QByteArray(20000, 'a') + "\r\n\r\n",
            "431 Request Header Fields Too Large");
    }

    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, statusLine);
        QFETCH(QByteArray, body);
        const QByteArray answer = exchange(request);
        QCOMPARE(answer.left(answer.indexOf("\r\n")), statusLine);
        const int headEnd = answer.indexOf("\r\n\r\n");
        QVERIFY(headEnd > 0 && answer.contains("\r\nConnection: close\r\n"));
        const QByteArray content = answer.mid(headEnd + 4);
        QVERIFY(answer.contains("\r\nContent-Length: " + QByteArray::number(content.size()) + "\r\n"));
        if (!body.isEmpty())
            QCOMPARE(content, body);
        if (statusLine.contains("405"))
            QVERIFY(answer.contains("\r\nAllow: GET, HEAD\r\n"));
    }

    void bodyInPieces()
    {
        // A request that comes in several packets, and HEAD, which gets no body.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_server.port());
        QVERIFY(socket.waitForConnected(5000));
        for (const char *piece : {"PUT /echo HTTP/1.1\r\nHost: localhost\r\nContent-", "Length: 6\r\n\r\nab", "cdef"}) {
            socket.write(piece);
            socket.flush();
            QTest::qWait(50);
        }
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).endsWith("PUT  abcdef"), 10000);

        // A client that waits for leave to send its body.
        QTcpSocket waiting;
        waiting.connectToHost(QHostAddress::LocalHost, m_server.port());
        QVERIFY(waiting.waitForConnected(5000));
        waiting.write("PUT /echo HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
        QByteArray interim;
        QTRY_COMPARE(interim += waiting.readAll(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
        waiting.write("xy");
        QTRY_VERIFY((answer += waiting.readAll()).endsWith("PUT  xy"));

        const QByteArray head = exchange("HEAD /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n");
        QVERIFY2(head.startsWith("HTTP/1.1 200 OK") && head.endsWith("\r\n\r\n") && head.contains("Content-Length: 12\r\n"),
                 head.constData());
    }

    void slowRequestTimesOut()
    {
        ZeltoHttpServer server;
        server.setRequestTimeout(200);
        QVERIFY(server.listen(0, QHostAddress::LocalHost));
        QTcpSocket half, silent;
        half.connectToHost(QHostAddress::LocalHost, server.port());
        silent.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(half.waitForConnected(5000) && silent.waitForConnected(5000));
        half.write("GET /metr");
        QTRY_COMPARE_WITH_TIMEOUT(half.state(), QAbstractSocket::UnconnectedState, 3000);
        QVERIFY(half.readAll().startsWith("HTTP/1.1 408 Request Timeout"));
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(silent.readAll(), QByteArray());
    }

    void handlerTakesOverSocket()
    {
        // A WebSocket upgrade: the handler gets the socket and the bytes read so far.
        QPointer<QTcpSocket> taken;
        QByteArray received;
        m_server.route("/upgrade", [&](const ZeltoHttpRequest &, ZeltoHttpResponse &response) {
            response.takeOver([&](QTcpSocket *socket, const QByteArray &bytes) {
                taken = socket;
                received = bytes;
                socket->write("switched\n");
            });
        });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, m_server.port());
        QVERIFY(client.waitForConnected(5000));
        const QByteArray request = "GET /upgrade HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n\r\n";
        client.write(request);
        QTRY_VERIFY(client.bytesAvailable() > 0);
        QCOMPARE(client.readAll(), QByteArray("switched\n"));
        QCOMPARE(received, request);
        QVERIFY(taken && taken->parent() == nullptr);
        // The listener no longer reads from it.
        client.write("more");
        QTRY_COMPARE(taken->bytesAvailable(), qint64(4));
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
        delete taken;
    }

    void floodIsBounded()
    {
        // Connections beyond the limit are closed at once; served again once the others go.
        ZeltoHttpServer server;
        server.setMaxConnections(5);
        server.route("/", [](const ZeltoHttpRequest &, ZeltoHttpResponse &response) { response.body = "here"; });
        QVERIFY(server.listen(0, QHostAddress::LocalHost));
        std::vector<std::unique_ptr<QTcpSocket>> held(8);
        for (auto &socket : held) {
            socket.reset(new QTcpSocket);
            socket->connectToHost(QHostAddress::LocalHost, server.port());
            QTest::qWait(2);
        }
        QTRY_COMPARE(std::count_if(held.begin(), held.end(),
                                   [](const auto &s) { return s->state() == QAbstractSocket::UnconnectedState; }),
                     long(3));
        held.clear();
        QTRY_VERIFY(exchange("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", server.port()).endsWith("here"));
    }

    void deferredAnswer()
    {
        // A handler that answers once the event loop has turned; a client gone meanwhile is not answered.
        QList<ZeltoHttpDeferredResponse> waiting;
        m_server.route("/later", [&](const ZeltoHttpRequest &request, ZeltoHttpResponse &response) {
            waiting.append(response.defer());
            QCOMPARE(request.body, QByteArray("q"));
        });
        const QByteArray request = "POST /later HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1\r\n\r\nq";
        QTcpSocket stays, leaves;
        for (QTcpSocket *client : {&stays, &leaves}) {
            client->connectToHost(QHostAddress::LocalHost, m_server.port());
            QVERIFY(client->waitForConnected(5000));
            client->write(request);
        }
        QTRY_COMPARE(waiting.size(), 2);
        QVERIFY(waiting.at(0).isOpen() && waiting.at(0).request()->body == "q");
        QTest::qWait(100);
        QCOMPARE(stays.bytesAvailable(), qint64(0));
        leaves.abort();
        QTRY_VERIFY(!waiting.at(1).isOpen());
        QVERIFY(!waiting.at(1).request());
        ZeltoHttpResponse answer;
        answer.body = "now";
        waiting.at(1).send(answer);   // nobody to answer: nothing happens
        waiting.at(0).send(answer);
        QTRY_COMPARE(stays.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(stays.readAll().endsWith("\r\n\r\nnow"));
        QVERIFY(!waiting.at(0).isOpen());
    }

    // The text the /metrics page serves: families in name order, labels
    // escaped, histogram buckets cumulative with inclusive upper bounds.
    void rendersExpositionFormat()
    {
        ZeltoMetrics metrics;
        metrics.describe("b_total", ZeltoMetrics::Counter, "Labelled.", {}, "command");
        metrics.describe("e_total", ZeltoMetrics::Counter, "Labelled, nothing counted yet.", {}, "command");
        metrics.describe("a_total", ZeltoMetrics::Counter, "Nothing counted yet.");
        metrics.describe("c_seconds", ZeltoMetrics::Histogram, "Durations.", {0.5, 1});
        metrics.describe("c_seconds", ZeltoMetrics::Counter, "Described again: ignored.");
        double level = 2.5;
        metrics.describeGauge("d_level", "Read when rendered.", [&level]() { return level; });
        metrics.add("b_total", 1, "command", QStringLiteral("getNodes"));
        metrics.add("b_total", 2, "command", QStringLiteral("getNodes"));
        metrics.add("b_total", 1, "command", QStringLiteral("say \"hi\"\\\nnow"));
        for (double seconds : {0.1, 0.5, 0.75, 1.0, 7.0})
            metrics.observe("c_seconds", seconds);
        metrics.observe("b_total", 3);   // not a histogram: nothing happens
        level = 1e-3;

        QCOMPARE(metrics.value("b_total", QStringLiteral("getNodes")), 3.0);
        const QByteArray expected = "# HELP a_total Nothing counted yet.\n# TYPE a_total counter\na_total 0\n"
                                    "# HELP b_total Labelled.\n# TYPE b_total counter\nb_total{command=\"getNodes\"} 3\n"
                                    "b_total{command=\"say \\\"hi\\\"\\\\\\nnow\"} 1\n"
                                    "# HELP c_seconds Durations.\n# TYPE c_seconds histogram\nc_seconds_bucket{le=\"0.5\"} 2\n"
                                    "c_seconds_bucket{le=\"1\"} 4\nc_seconds_bucket{le=\"+Inf\"} 5\nc_seconds_sum 9.35\nc_seconds_count 5\n"
                                    "# HELP d_level Read when rendered.\n# TYPE d_level gauge\nd_level 0.001\n"
                                    "# HELP e_total Labelled, nothing counted yet.\n# TYPE e_total counter\n";
        QCOMPARE(metrics.render(), expected);
    }

private:
    // Sends `request` in one piece and returns everything until the server closes.
    QByteArray exchange(const QByteArray &request, quint16 port = 0)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port ? port : m_server.port());
        if (socket.waitForConnected(5000))
            socket.write(request);
        QByteArray answer;
        const QDeadlineTimer deadline(5000);
        // The server runs on this thread: wait with the event loop turning.
        while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            QTest::qWait(5);
            answer += socket.readAll();
        }
        return answer + socket.readAll();
    }

    ZeltoHttpServer m_server;
};

QTEST_GUILESS_MAIN(TestZeltoHttpServer)
#include "tst_zeltohttpserver.moc"
