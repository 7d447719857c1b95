// The HTTP request head from bytes alone: what is accepted and how it reads,
// what is refused with which status, and heads that arrive in pieces.

#include "zeltohttphead.h"

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

class TestZeltoHttpHead : public QObject
{
    Q_OBJECT

private slots:
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
        row("junk line", "hello there\r\n", "refused 400 Malformed request line");
        row("target not a path", "GET m HTTP/1.1\r\nHost: a\r\n\r\n", "refused 400 Malformed request line");
        row("control in the target", "GET /a\x01 HTTP/1.1\r\nHost: a\r\n\r\n", "refused 400 Malformed request line");
        row("binary method", "G\x01T / HTTP/1.1\r\nHost: a\r\n\r\n", "refused 400 Malformed request line");
        row("other version", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", "refused 505 Only HTTP/1.0 and HTTP/1.1 are served");
        row("no colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", "refused 400 Malformed header line");
        row("folded", "GET / HTTP/1.1\r\nHost: a\r\n b\r\n\r\n", "refused 400 Malformed header line");
        row("blank in a name", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", "refused 400 Malformed header line");
        row("CR inside a value", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", "refused 400 Malformed header line");
        row("no Host", "GET / HTTP/1.1\r\n\r\n", "refused 400 One Host header is required");
        row("two Hosts", "GET / HTTP/1.0\r\nHost: a\r\nhost: a\r\n\r\n", "refused 400 One Host header is required");
        row("chunked", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n",
            "refused 411 Send the body with Content-Length");
        row("two lengths that differ", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\ncontent-length: 2\r\n\r\n",
            "refused 400 Content-Length given more than once");
        row("the same length twice", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\n",
            "refused 400 Content-Length given more than once");
        for (const char *length : {"+5", "-5", "0x10", "1 2", "99999999999999999999", ""})
            QTest::addRow("length \"%s\"", length)
                << "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: " + QByteArray(length) + "\r\n\r\n"
                << QByteArray("refused 400 Malformed Content-Length");
        row("body too large", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1001\r\n\r\n",
            "refused 413 Request body too large");
        row("head too large, not ended", "GET / HTTP/1.1\r\nX: " + big, "refused 431 Request head too large");
        row("head too large, ended", "GET / HTTP/1.1\r\nHost: a\r\nX: " + big + "\r\n\r\n",
            "refused 431 Request head too large");
    }

    void parses()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, expected);
        QCOMPARE(outcome(ZeltoHttpHead::parse(bytes, kMaxBody)), expected);
    }

    void headInPieces()
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
    }
};

QTEST_GUILESS_MAIN(TestZeltoHttpHead)
#include "tst_zeltohttphead.moc"
