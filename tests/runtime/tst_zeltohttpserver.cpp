// The operators' HTTP listener: the request head from bytes alone (what is accepted
// and how it reads, what is refused with which status, heads that arrive in pieces);
// over a real socket routing, refusals, answers given later; the
// static folder it serves the console from; the metrics text. And what the listeners
// share: the account of bytes held for requests, the per-address connection cap and the
// Host names that are this server's.

#include "zeltoaddresscap.h"
#include "zeltohostnames.h"
#include "zeltohttphead.h"
#include "zeltohttpserver.h"
#include "zeltometrics.h"
#include "zeltorequestbuffers.h"
#include "zeltostaticfolder.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QtTest>

namespace {

const qint64 kMaxBody = 1000;

// What a parse gave, in one comparable line: "incomplete", "refused 400 <reason>", or
// "METHOD path ?query size length host" for a complete head.
QByteArray outcome(const ZeltoHttpHead &head)
{
    switch (head.state) {
    case ZeltoHttpHead::Incomplete:
        return "incomplete";
    case ZeltoHttpHead::Refused:
        return "refused " + QByteArray::number(head.status) + ' ' + head.reason.trimmed();
    case ZeltoHttpHead::Complete:
        break;
    }
    return head.request.method + ' ' + head.request.path + " ?" + head.request.query + ' '
        + QByteArray::number(head.size) + ' ' + (head.hasContentLength ? QByteArray::number(head.contentLength) : "-")
        + (head.http10 ? " 1.0" : ' ' + head.request.header("host"));
}

} // namespace

class TestZeltoHttpServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A console folder beside a secret file and a sibling folder whose name begins with the console's: requests
        // must reach the console's files and nothing else, however they are written.
        QVERIFY(m_base.isValid());
        const QString base = m_base.path();
        for (const char *dir : {"console/js", "console/css", "console/sub", "console-evil"})
            QVERIFY(QDir(base).mkpath(QLatin1String(dir)));
        for (const char *name : {"console/index.html", "console/js/app.js", "console/css/a.css", "console/имя файла.txt",
                                 "console/.hidden", "console/data.bin", "secret.txt", "console-evil/x.txt"}) {
            QFile file(base + QLatin1Char('/') + QString::fromUtf8(name));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1);
        }
        for (const auto &link : {std::make_pair("/secret.txt", "link-out"), std::make_pair("/console/js/app.js", "link-in"),
                                 std::make_pair("", "up"), std::make_pair("/console-evil/x.txt", "sibling")})
            QVERIFY(QFile::link(base + QLatin1String(link.first), base + QStringLiteral("/console/") + QLatin1String(link.second)));
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

    // (A junk line and a head too large that never ends, refused on the WebSocket port: test_exposure.)
    void parses_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray big(20000, 'a');
        const auto row = [](const char *name, const QByteArray &bytes, const QByteArray &expected) {
            QTest::newRow(name) << bytes << expected;
        };
        row("query, body after the head", "GET /m?x=1 HTTP/1.1\r\nHost: a:80\r\n\r\nBODY", "GET /m ?x=1 35 - a:80");
        row("length", "PUT /e HTTP/1.1\r\nHost: a\r\nContent-Length: 4\r\n\r\n", "PUT /e ? 47 4 a");
        row("bare line feeds", "GET / HTTP/1.1\nHost: a\n\n", "GET / ? 24 - a");
        row("HTTP/1.0 without Host", "GET / HTTP/1.0\r\n\r\n", "GET / ? 18 - 1.0");
        row("not ended yet", "GET / HTTP/1.1\r\nHost: a\r\n", "incomplete");
        row("first line not ended", "xxxxxxxx", "incomplete");
        row("target not a path", "GET m HTTP/1.1\r\nHost: a\r\n\r\n", "refused 400 Malformed request line");
        row("control in the target", "GET /a\x01 HTTP/1.1\r\nHost: a\r\n\r\n", "refused 400 Malformed request line");
        row("binary method", "G\x01T / HTTP/1.1\r\nHost: a\r\n\r\n", "refused 400 Malformed request line");
        row("other version", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", "refused 505 Only HTTP/1.0 and HTTP/1.1 are served");
        row("folded", "GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n", "refused 400 Malformed header line");
        row("blank in a name", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", "refused 400 Malformed header line");
        row("CR inside a value", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", "refused 400 Malformed header line");
        row("no Host", "GET / HTTP/1.1\r\n\r\n", "refused 400 One Host header is required");
        row("two Hosts", "GET / HTTP/1.0\r\nHost: a\r\nhost: a\r\n\r\n", "refused 400 One Host header is required");
        row("chunked", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n",
            "refused 411 Send the body with Content-Length");
        row("the same length twice", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\n",
            "refused 400 Content-Length given more than once");
        for (const char *length : {"+5", "-5", "0x10", "1 2", "99999999999999999999", ""})
            QTest::addRow("length \"%s\"", length)
                << "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: " + QByteArray(length) + "\r\n\r\n"
                << QByteArray("refused 400 Malformed Content-Length");
        row("body too large", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1001\r\n\r\n",
            "refused 413 Request body too large");
        row("head too large, ended", "GET / HTTP/1.1\r\nHost: a\r\nX: " + big + "\r\n\r\n",
            "refused 431 Request head too large");
    }

    void parses()
    {
        QFETCH(QByteArray, bytes);
        QTEST(outcome(ZeltoHttpHead::parse(bytes, kMaxBody)), "expected");
    }

    // Requests that arrive in pieces: the head byte by byte, then the body in packets and after 100-continue.
    void requestsInPieces()
    {
        // Byte by byte, each parse searching only where the end may begin:
        // incomplete up to the last byte of the head, then the whole head.
        const QByteArray bytes = "POST /x HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\n\r\nab";
        for (const QByteArray &lineEnd : {QByteArray("\r\n"), QByteArray("\n")}) {
            const QByteArray sent = QByteArray(bytes).replace("\r\n", lineEnd);
            const int size = sent.indexOf("ab");
            int scanned = 0;
            for (int n = 1; n <= size; ++n) {
                const ZeltoHttpHead head = ZeltoHttpHead::parse(sent.left(n), kMaxBody, 16384, qMax(0, scanned - 3));
                scanned = n;
                QCOMPARE(outcome(head), n < size ? QByteArray("incomplete")
                                                 : "POST /x ? " + QByteArray::number(size) + " 2 h");
            }
        }

        // A request that comes in several packets.
        QTcpSocket socket;
        QVERIFY(connectTo(socket));
        for (const char *piece : {"PUT /echo HTTP/1.1\r\nHost: localhost\r\nContent-", "Length: 6\r\n\r\nab", "cdef"}) {
            socket.write(piece);
            socket.flush();
            QTest::qWait(50);
        }
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).endsWith("PUT  abcdef"), 10000);

        // A client that waits for leave to send its body.
        QTcpSocket waiting;
        QVERIFY(connectTo(waiting));
        waiting.write("PUT /echo HTTP/1.1\r\nHost: localhost\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\n");
        QByteArray interim;
        QTRY_COMPARE(interim += waiting.readAll(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
        waiting.write("xy");
        QTRY_VERIFY((answer += waiting.readAll()).endsWith("PUT  xy"));
    }

    void answers_data()
    {
        // How heads are read: parses; here what the listener does with them (a path of none: test_metrics).
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("statusLine");
        QTest::addColumn<QByteArray>("body");   // empty: not looked at
        const auto row = [](const char *name, const QByteArray &request, const char *status, const char *body = "") {
            QTest::newRow(name) << request << "HTTP/1.1 " + QByteArray(status) << QByteArray(body);
        };
        row("exact route, query kept", "GET /metrics?x=1 HTTP/1.1\r\nHost: localhost:1\r\n\r\n", "200 OK",
            "metrics for x=1");
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
        // Another site's name pointed at us: refused before routing, whatever the path (a known one: test_exposure).
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

    // A silent client is cut off when the request time ends (half a request gets 408: test_xmlrpc test_http_edge);
    // a flood of connections is bounded.
    void slowAndFloodingClients()
    {
        ZeltoHttpServer server;
        server.setRequestTimeout(200);
        QVERIFY(server.listen(0, QHostAddress::LocalHost));
        QTcpSocket silent;
        QVERIFY(connectTo(silent, server.port()));
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 3000);
        QCOMPARE(silent.readAll(), QByteArray());

        // Connections beyond the limit are closed at once; served again once the others go.
        ZeltoHttpServer capped;
        capped.setMaxConnections(5);
        capped.route("/", [](const ZeltoHttpRequest &, ZeltoHttpResponse &response) { response.body = "here"; });
        QVERIFY(capped.listen(0, QHostAddress::LocalHost));
        std::vector<std::unique_ptr<QTcpSocket>> held(8);
        for (auto &socket : held) {
            socket.reset(new QTcpSocket);
            socket->connectToHost(QHostAddress::LocalHost, capped.port());
            QTest::qWait(2);
        }
        QTRY_COMPARE(std::count_if(held.begin(), held.end(),
                                   [](const auto &s) { return s->state() == QAbstractSocket::UnconnectedState; }),
                     long(3));
        held.clear();
        QTRY_VERIFY(exchange("GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", capped.port()).endsWith("here"));
    }

    // A client gone before its deferred answer is not answered. (An answer given once the event loop has turned:
    // every call of test_xmlrpc, which the XML-RPC listener answers so.)
    void deferredAnswer()
    {
        QList<ZeltoHttpDeferredResponse> waiting;
        m_server.route("/later", [&](const ZeltoHttpRequest &, ZeltoHttpResponse &response) {
            waiting.append(response.defer());
        });
        QTcpSocket leaves;
        QVERIFY(connectTo(leaves));
        leaves.write("POST /later HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1\r\n\r\nq");
        QTRY_COMPARE(waiting.size(), 1);
        QVERIFY(waiting.at(0).isOpen() && waiting.at(0).request()->body == "q");
        leaves.abort();
        QTRY_VERIFY(!waiting.at(0).isOpen());
        QVERIFY(!waiting.at(0).request());
        waiting.at(0).send(ZeltoHttpResponse());   // nobody to answer: nothing happens
    }

    // The console's files by their paths, typed by their names (a link by the name of the file it leads to);
    // anything but a file inside the folder, however the path is written, is not found: every form of path traversal.
    void resolve()
    {
        const ZeltoStaticFolder folder(m_base.path() + QStringLiteral("/console"));
        const char *const js = "text/javascript; charset=utf-8";
        const struct { const char *path, *file, *type; } files[] = {
            {"/", "index.html", "text/html; charset=utf-8"}, {"/js/app.js", "js/app.js", js}, {"/link-in", "js/app.js", js},
            {"/css/a.css", "css/a.css", "text/css; charset=utf-8"}, {"/data.bin", "data.bin", "application/octet-stream"},
            {"/%D0%B8%D0%BC%D1%8F%20%D1%84%D0%B0%D0%B9%D0%BB%D0%B0.txt", "имя файла.txt", "text/plain; charset=utf-8"}};
        for (const auto &file : files) {
            const ZeltoStaticFolder::File found = folder.resolve(file.path);
            const QString expected = QFileInfo(m_base.path() + "/console/" + QString::fromUtf8(file.file)).canonicalFilePath();
            QCOMPARE(QStringList({file.path, QString::number(found.status), found.path, found.contentType}).join(' '),
                     QStringList({file.path, "200", expected, file.type}).join(' '));
        }
        for (const char *path : { "/nothing.js", "/../secret.txt", "/js/../../secret.txt", "/js/../index.html",
                                  "/./index.html", "/%2e%2e/secret.txt", "/..%2fsecret.txt", "/%2E%2E%2Fsecret.txt",
                                  "/%252e%252e/secret.txt", "/..%5csecret.txt", "/js\\app.js",
                                  "/../console-evil/x.txt", "/index.html%00.png", "/.hidden", "/sub", "/sub/",
                                  "/js//app.js", "/link-out", "/sibling", "/up/secret.txt", "/%ff.txt", "index.html",
                                  "//etc/passwd" }) {
            const ZeltoStaticFolder::File found = folder.resolve(path);
            QVERIFY2(found.status == 404 && found.path.isEmpty(), path);
        }
        const ZeltoStaticFolder absent(m_base.path() + QStringLiteral("/absent"));
        QVERIFY(absent.root().isEmpty() && absent.resolve("/").status == 404 && absent.resolve("/../secret.txt").status == 404);
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

    // What the listeners share: the account of bytes held for requests (the one holding most goes), the
    // per-address connection cap.
    void buffersAndCapsOfTheListeners()
    {
        ZeltoRequestBuffers buffers(16);
        QStringList closed;
        const int a = buffers.enter([&] { closed << "a"; });
        const int b = buffers.enter([&] { closed << "b"; });
        const int c = buffers.enter([&] { closed << "c"; });
        QVERIFY(buffers.hold(a, 10) && buffers.hold(b, 3) && buffers.hold(c, 3));
        QVERIFY(closed.isEmpty());
        // c's growth passes the limit: a holds most and goes, c goes on.
        QVERIFY(buffers.hold(c, 5));
        QCOMPARE(closed, QStringList{"a"});
        QCOMPARE(buffers.total(), qint64(8));
        // Now c holds most: it is told to close itself, and b stays.
        QVERIFY(!buffers.hold(c, 14));
        QCOMPARE(closed, QStringList{"a"});
        QCOMPARE(buffers.total(), qint64(3));
        QVERIFY(!buffers.hold(a, 1));   // gone: nothing to hold
        // A shrinking holder is never closed, even when the limit was lowered under it.
        buffers.setLimit(2);
        QVERIFY(buffers.hold(b, 3));
        buffers.leave(b);
        QCOMPARE(buffers.total(), qint64(0));

        // (A number of MiB as the setting gives it: test_exposure.)
        QCOMPARE(ZeltoRequestBuffers::limitFromSetting("16"), qint64(16) << 20);
        for (const QVariant &other : {QVariant(0), QVariant(-3), QVariant("x"), QVariant(), QVariant(1.5)})
            QCOMPARE(ZeltoRequestBuffers::limitFromSetting(other), ZeltoRequestBuffers::DefaultLimit);

        // The connections one address may hold.
        ZeltoAddressCap cap;
        cap.setCap(2);
        const QHostAddress one("10.0.0.1"), mapped("::ffff:10.0.0.1");
        // An IPv4 peer of a dual-stack listener is the same address (other addresses, and one released: test_exposure).
        QVERIFY(cap.admit(one) && cap.admit(mapped) && !cap.admit(one));
        cap.setCap(0);   // no cap
        QVERIFY(cap.admit(one) && cap.admit(one));
        QCOMPARE(cap.count(one), 4);

        QCOMPARE(ZeltoAddressCap::capFromSetting(0), 0);
        QCOMPARE(ZeltoAddressCap::capFromSetting("5"), 5);
        for (const QVariant &other : {QVariant(-1), QVariant("many"), QVariant()})
            QCOMPARE(ZeltoAddressCap::capFromSetting(other), ZeltoAddressCap::DefaultCap);
    }

    // The Host names that are this server's: loopback names and addresses (all of 127/8, not only the interface's),
    // the setting's name and address (NAT), the machine's name and addresses, in any case; not other names,
    // malformed ones, nor IPv6 without its brackets.
    void hostNames()
    {
        ZeltoHostNames names;
        names.setExtra({"Scada.Example:443", " 203.0.113.7 ", "not a name"});
        QList<QByteArray> ours{"127.0.0.1:8080", "127.0.0.2", "localhost", "LocalHost.:80", "[::1]:9", "[::ffff:127.0.0.1]",
                               "scada.example", "SCADA.example:443", "203.0.113.7", QHostInfo::localHostName().toUtf8(),
                               QHostInfo::localHostName().toUpper().toUtf8() + ":1"};
        for (const QHostAddress &own : QNetworkInterface::allAddresses())
            if (own.protocol() == QAbstractSocket::IPv4Protocol && !own.isLoopback())
                ours << own.toString().toUtf8() + ":80";
        QList<QByteArray> wrong;
        for (const QByteArray &host : ours)
            if (!names.allows(host))
                wrong << "refused " + host;
        for (const char *host : {"rebind.attacker.example:8080", "localhost.attacker.example", "127.0.0.1.nip.io",
                                 "203.0.113.8", "::1", "[::1", "[::1]x", "127.0.0.1:80x", "a b", ""})
            if (names.allows(host))
                wrong << "allowed '" + QByteArray(host) + "'";
        QCOMPARE(wrong.join(", "), QByteArray());
    }

private:
    // Connects a client to the test's listener, or to another one's port.
    bool connectTo(QTcpSocket &socket, quint16 port = 0)
    {
        socket.connectToHost(QHostAddress::LocalHost, port ? port : m_server.port());
        return socket.waitForConnected(5000);
    }

    // Sends `request` in one piece and returns everything until the server closes.
    QByteArray exchange(const QByteArray &request, quint16 port = 0)
    {
        QTcpSocket socket;
        if (connectTo(socket, port))
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
    QTemporaryDir m_base;   // the console folder of the static folder tests
};

QTEST_GUILESS_MAIN(TestZeltoHttpServer)
#include "tst_zeltohttpserver.moc"
