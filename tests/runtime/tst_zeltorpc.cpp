// The RPC protocol: the JSON text of its values (what is written, what is read,
// what is refused, at a zone of UTC+5); the server's connections: requests and
// deferred work wait for the outermost busy guard; replies leave before later work;
// a WebSocket handed over keeps every byte the listener had read; its frames from
// bytes alone (messages, control frames and errors, the same whether the bytes come
// at once or one by one), pings and protocol errors answered. The dispatcher's
// replies: ids as sent, the error code of each kind of failure and malformed request.
// The client, from a worker thread: tables in both forms, replies it refuses,
// transport failures.

#include "samevalue.h"
#include "streamtesting.h"
#include "testcommand.h"
#include "webframeevents.h"
#include "zeltobusyguard.h"
#include "zeltoclient.h"
#include "zeltoencodedtable.h"
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltomarkers.h"
#include "zeltorpcdispatcher.h"
#include "zeltoserver.h"
#include "zeltotable.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <QtTest>

#include <charconv>

namespace {

QVariant table(const QStringList &columns, QVector<QVector<QVariant>> rows)
{
    ZeltoTable t;
    return t.setContent(columns, std::move(rows)) ? QVariant::fromValue(t) : QVariant();
}

void setZone(const QByteArray &zone) { qputenv("TZ", zone); tzset(); }

bool identical(const QVariant &a, const QVariant &b) { QString why; return same(a, b, &why); }

QByteArray json(const QVariant &value, bool indented = false)
{
    QString error;
    const QByteArray text = ZeltoJsonWriter::toJson(value, indented, &error);
    if (text.isEmpty())
        qWarning("write failed: %s", qPrintable(error));
    return text;
}

// The value a text reads as. A refusal must have the expected status, leave no value, say at which byte, and
// leave the reader ready for the next text.
QVariant parse(const QByteArray &text, ZeltoJsonReader::Status expected = ZeltoJsonReader::Ok)
{
    ZeltoJsonReader reader;
    QVariant value = 42, next;
    const bool ok = reader.read(text, value);
    const ZeltoJsonReader::Status status = reader.status();
    const QString error = reader.errorString();
    const bool clean = ok || (!value.isValid() && error.contains(QStringLiteral("байт")) && reader.errorOffset() >= 0
                              && reader.errorOffset() <= text.size() && reader.read(QByteArray("[1]"), next)
                              && reader.errorString().isEmpty() && reader.errorOffset() == -1);
    if (status != expected || ok != (expected == ZeltoJsonReader::Ok) || !clean) {
        qWarning("read(%s): status %d, expected %d: %s", text.left(200).constData(), int(status), int(expected),
                 qPrintable(error));
        return QVariant::fromValue(QPoint(-1, -1));   // a value no JSON text gives
    }
    return value;
}

QVariant marker(bool outOfRange) { return outOfRange ? QVariant::fromValue(ZeltoOutOfRange()) : QVariant::fromValue(ZeltoUnused()); }

// Writes, reads back and demands the identical value and type.
bool roundTrips(const QVariant &value, bool indented = false)
{
    const QByteArray text = json(value, indented);
    const QVariant back = parse(text);
    if (identical(value, back))
        return true;
    qWarning("no round trip through %s", text.left(300).constData());
    return false;
}

int g_calls = 0;
TestCommand countCommand("count", [](const QVariantList &) { return QVariant(++g_calls); });
// Fails with the kind and text of its parameters.
TestCommand failCommand("failAs", [](const QVariantList &params) -> ZeltoResult<QVariant> {
    return ZeltoStatus(ZeltoStatus::Kind(params.value(0).toInt()), params.value(1).toString());
});
TestCommand echoCommand("echoFirst", [](const QVariantList &params) { return params.value(0); });
TestCommand pairCommand("pair", [](const QVariantList &) { return QVariant(QPoint(1, 2)); }, 2);   // not for the wire
TestCommand whoCommand("who", [](const QVariantList &) { return QVariant(ZeltoServer::global()->clientId()); });
QVariant g_reply;
TestCommand replyCommand("reply", [](const QVariantList &) { return g_reply; });

// Posts the hook to run after the turn that answers it.
std::function<void()> g_postHook;
TestCommand postCommand("post", [](const QVariantList &) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), g_postHook, Qt::QueuedConnection);
    return QVariant(true);
});

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

// Runs body on a worker thread while the main thread keeps serving.
void onWorker(const std::function<void()> &body)
{
    const std::unique_ptr<QThread> worker(QThread::create(body));
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 60000);
}

// The RPC server's TCP port; it listens again where a test closed it.
quint16 serverPort()
{
    ZeltoServer *server = ZeltoServer::global();
    if (server->tcpPort() == 0)
        server->listenTcp(0, QHostAddress::LocalHost);
    return server->tcpPort();
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

class TestZeltoRpc : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // UTC+5 without summer time, in POSIX form: no zone database needed.
        setZone("YEKT-5");
        // A stand-in HTTP listener: reads the request head and whatever came with it, hands over.
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

    // Pinned writer output of each kind of value; values that read back
    // identically say so. Doubles are pinned in numbersAndTimesAtTheirEdges. (Plain integers, true, null
    // and lists: every reply the e2e clients read.)
    void writesJson_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("roundTrips");
        const auto row = [](const char *name, const QVariant &value, const QByteArray &text, bool back) {
            QTest::newRow(name) << value << text << back;
        };
        const QString smile = QString::fromUcs4(U"\U0001F600");
        row("NaN", std::nan(""), "null", false);
        row("float", 2.5f, "2.5", false);
        row("uint", uint(4000000000u), "4000000000", false);
        row("int64 min", std::numeric_limits<qlonglong>::min(), "-9223372036854775808", true);
        row("uint64 max", std::numeric_limits<qulonglong>::max(), "18446744073709551615", true);
        // SQL NULL columns read back as typed nulls; they are no value, not 0.
        row("null double", QVariant(QVariant::Double), "null", false);
        // Quotes, backslashes and control characters escaped; '/' and non-ASCII text as they are.
        row("escapes", QStringLiteral("a\"b\\c/d\n\t\r\b\f") + QChar(1) + QChar(0x1f) + QChar(0) + "Тепло €",
            "\"a\\\"b\\\\c/d\\n\\t\\r\\b\\f\\u0001\\u001f\\u0000Тепло €\"", true);
        row("surrogate pair", smile, "\"\xF0\x9F\x98\x80\"", true);
        // Lone surrogates become U+FFFD.
        row("lone pair reversed", QString(QChar(0xdc00)) + QChar(0xd800), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", false);
        row("local time", QDateTime(QDate(2024, 3, 1), QTime(10, 5, 7, 42)), "{\"$datetime\":\"2024-03-01T10:05:07.042\"}", true);
        row("null date-time", QDateTime(), "{\"$datetime\":\"\"}", true);
        // UTC and offset values are written in local time (UTC+5 here).
        row("UTC", QDateTime(QDate(2024, 1, 15), QTime(22, 30, 0, 250), Qt::UTC), "{\"$datetime\":\"2024-01-16T03:30:00.250\"}", false);
        row("date", QDate(2024, 2, 29), "{\"$date\":\"2024-02-29\"}", true);
        row("early date", QDate(5, 1, 2), "{\"$date\":\"0005-01-02\"}", true);
        row("null date", QDate(), "{\"$date\":\"\"}", true);
        row("time", QTime(23, 59, 59, 999), "{\"$time\":\"23:59:59.999\"}", true);
        row("null time", QTime(), "{\"$time\":\"\"}", true);
        row("bytes", QByteArray("\xfa\xfb\xfc\xfd\xfe", 5), "{\"$bytes\":\"+vv8/f4=\"}", true);
        row("no bytes", QByteArray(""), "{\"$bytes\":\"\"}", true);
        row("out of range", marker(true), "{\"$marker\":\"OutOfRange\"}", true);
        row("unused", marker(false), "{\"$marker\":\"Unused\"}", true);
        row("string list", QStringList{QStringLiteral("a"), QStringLiteral("b")}, "[\"a\",\"b\"]", false);
        row("table", table({QStringLiteral("a"), QStringLiteral("b")}, {{1, 2.0}, {3}}),
            "{\"$table\":{\"columns\":[\"a\",\"b\"],\"rows\":[[1,2.0],[3]]}}", true);
        row("empty table", table({}, {}), "{\"$table\":{\"columns\":[],\"rows\":[]}}", true);
        row("no tables", QVariant::fromValue(ZeltoTableMap()), "{\"$tables\":{}}", true);
    }

    void writesJson()
    {
        QFETCH(QVariant, value);
        QFETCH(bool, roundTrips);
        QTEST(json(value), "text");
        QVERIFY(!roundTrips || ::roundTrips(value));
    }

    // Reader results of exact type, for what the writer never produces.
    void readsJson_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QVariant>("value");
        const auto row = [](const char *name, const char *text, const QVariant &value) {
            QTest::newRow(name) << QByteArray(text) << value;
        };
        const QString replacement(QChar(0xfffd));
        // The narrowest integer type that holds the value.
        row("-0", "-0", 0);
        row("int max", "2147483647", 2147483647);
        row("int min", "-2147483648", std::numeric_limits<int>::min());
        row("int max + 1", "2147483648", qlonglong(2147483648LL));
        row("int min - 1", "-2147483649", qlonglong(-2147483649LL));
        row("int64 max", "9223372036854775807", std::numeric_limits<qlonglong>::max());
        row("int64 max + 1", "9223372036854775808", qulonglong(9223372036854775808ULL));
        row("uint64 max + 1", "18446744073709551616", 18446744073709551616.0);
        row("int64 min - 1", "-9223372036854775809", -9223372036854775809.0);
        row("30 digits", "123456789012345678901234567890", 123456789012345678901234567890.0);
        row("5E+2", "5E+2", 500.0);
        row("white space", " \t\r\n-12.5e-1 \n", -1.25);
        // Below the smallest subnormal rounds to zero, sign kept.
        row("underflow", "1e-400", 0.0);
        row("negative underflow", "-0.000001e-400", -0.0);
        row("every escape", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00e9\\u20AC\"", QStringLiteral("\"\\/\b\f\n\r\tAé€"));
        row("NUL escape", "\"\\u0000\"", QString(QChar(0)));
        row("escaped pair", "\"x\\uD83D\\uDE00y\"", QLatin1Char('x') + QString::fromUcs4(U"\U0001F600") + QLatin1Char('y'));
        // Lone surrogates become U+FFFD.
        row("lone high", "\"\\ud800\"", replacement);
        row("lone low", "\"\\udc00x\"", replacement + QLatin1Char('x'));
        row("high then letter", "\"\\ud800\\u0041\"", replacement + QLatin1Char('A'));
        row("high then pair", "\"\\ud800\\ud800\\udc00\"", replacement + QString::fromUcs4(U"\U00010000"));
        row("seconds only", "{\"$datetime\":\"2024-03-01T10:05:07\"}", QDateTime(QDate(2024, 3, 1), QTime(10, 5, 7)));
        row("time seconds", "{\"$time\":\"07:08:09\"}", QTime(7, 8, 9));
        // Duplicate keys: the last one wins, as in most readers.
        row("duplicate key", "{\"k\":1,\"k\":2}", QVariantMap{{QStringLiteral("k"), 2}});
        row("dollar inside keys", "{\"a$b\":1,\"b$\":2}", QVariantMap{{QStringLiteral("a$b"), 1}, {QStringLiteral("b$"), 2}});
        // Short rows read as nulls in the missing cells; keys in either order.
        row("short rows", "{\"$table\":{\"rows\":[[1],[],[2,3]],\"columns\":[\"a\",\"b\"]}}",
            table({QStringLiteral("a"), QStringLiteral("b")}, {{1}, {}, {2, 3}}));
        row("byte order mark", "\xEF\xBB\xBF[1]", QVariantList{1});
        // U+FEFF inside a text is a character like any other, at its start too.
        const QString marks(2, QChar(0xFEFF));
        row("marks first in text", "\"\xEF\xBB\xBF\xEF\xBB\xBF\"", marks);
        row("mark before a dollar", "{\"\\uFEFF$x\":1}", QVariantMap{{QChar(0xFEFF) + QStringLiteral("$x"), 1}});
    }

    void readsJson()
    {
        QFETCH(QByteArray, text);
        QFETCH(QVariant, value);
        const QVariant read = parse(text);
        QVERIFY2(identical(read, value), qPrintable(json(read)));
        // Integers keep their text exactly.
        const int type = value.userType();
        if ((type == QMetaType::Int || type == QMetaType::LongLong || type == QMetaType::ULongLong) && text != "-0")
            QCOMPARE(json(read), text);
    }

    // Texts refused, as broken JSON or as a value the wire does not carry.
    void refusesJson_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("status");
        const int syntax = ZeltoJsonReader::SyntaxError, invalid = ZeltoJsonReader::InvalidValue;
        for (const char *text : {"", " \n ", "[1,2", "[1,]", "[,1]", "{\"a\"}", "{\"a\":}", "{a:1}", "{\"a\":1,}",
                                 "{\"a\" 1}", "{}}", "[]]", "[1] x", "1 2", "tru", "nul", "nulll", "True", "NaN", "Infinity",
                                 "-Infinity", "01", "-01", "1.", "1.e5", ".5", "-", "+1", "1e", "1e+", "0x10", "1_000",
                                 "\"abc", "\"a\nb\"", "\"tab\there\"", "\"\\x\"", "\"\\u12\"", "\"\\u12G4\"", "\"\\", "'a'",
                                 "[\"a\" \"b\"]", "\xEF\xBB\xBF", "\xff", "{\"$date\":\"2024-01-01\"",
                                 "{\"$table\":{\"columns\":[\"a\"],\"rows\":[[1,]]}}",
                                 "{\"$table\":{\"columns\":[\"a\"] \"rows\":[]}}", "{\"$tables\":{\"a\" {}}}",
                                 // Broken JSON is a syntax error even when it also breaks a tag rule.
                                 "{\"$nope\":1", "[{\"$nope\":1}, 01]", "{\"$date\":\"x\",\"y\":}"})
            QTest::newRow(text) << QByteArray(text) << syntax;
        QTest::newRow("NUL") << QByteArray("\0", 1) << syntax;
        QTest::newRow("NUL in list") << QByteArray("[1,\0]", 5) << syntax;
        for (const char *text : {
                 // Numbers above the largest double.
                 "1e400", "-123456789e305", "[1e99999999999999999999]",
                 // Unknown tags, tags with company, tagged values of the wrong form.
                 "{\"$unknown\":1}", "{\"$\":1}", "{\"$date\":\"2024-01-01\",\"x\":1}", "{\"x\":1,\"$date\":\"2024-01-01\"}",
                 "{\"$date\":\"2024-01-01\",\"$date\":\"2024-01-01\"}", "{\"$datetime\":\"2024-13-01T00:00:00.000\"}",
                 "{\"$datetime\":\"2024-01-01 10:00:00.000\"}", "{\"$datetime\":\"2024-01-01T25:00:00.000\"}",
                 "{\"$datetime\":\"2024-01-01T10:00:00.0\"}", "{\"$datetime\":\"2024-01-01\"}", "{\"$datetime\":\"garbage\"}",
                 "{\"$datetime\":5}", "{\"$datetime\":null}", "{\"$date\":\"2023-02-29\"}", "{\"$date\":\"0000-01-01\"}",
                 "{\"$date\":\"24-01-01\"}", "{\"$time\":\"24:00:00.000\"}", "{\"$time\":\"1:00:00\"}",
                 "[1,{\"a\":[{\"$nope\":[]}]},3]", "{\"\\u0024date\":1}", "{\"$bytes\":\"@@@@\"}", "{\"$bytes\":12}",
                 "{\"$bytes\":\"+vv8/f4\"}", "{\"$marker\":\"Broken\"}", "{\"$marker\":null}",
                 // Tables: rows longer than the columns, bad columns, missing or extra parts, bad cells.
                 "{\"$table\":{\"columns\":[\"a\"],\"rows\":[[1,2]]}}", "{\"$table\":{\"rows\":[[1],[1,2]],\"columns\":[\"a\"]}}",
                 "{\"$table\":{\"columns\":[\"a\",1],\"rows\":[]}}", "{\"$table\":{\"columns\":\"a\",\"rows\":[]}}",
                 "{\"$table\":{\"columns\":[\"a\",\"a\"],\"rows\":[]}}", "{\"$table\":{\"columns\":[\"a\"]}}",
                 "{\"$table\":{\"rows\":[]}}", "{\"$table\":{}}", "{\"$table\":{\"columns\":[],\"rows\":[],\"x\":1}}",
                 "{\"$table\":{\"columns\":[],\"columns\":[],\"rows\":[]}}", "{\"$table\":{\"columns\":[\"a\"],\"rows\":[1]}}",
                 "{\"$table\":{\"columns\":[\"a\"],\"rows\":{}}}", "{\"$table\":[]}",
                 "{\"$table\":{\"columns\":[\"a\"],\"rows\":[[{\"$date\":\"x\"}]]}}", "{\"$tables\":{\"a\":1}}",
                 "{\"$tables\":{\"a\":{\"$table\":{\"columns\":[],\"rows\":[]}},\"b\":{}}}",
                 "{\"$tables\":{\"a\":{\"$date\":\"2024-01-01\"}}}", "{\"$tables\":[]}"})
            QTest::newRow(text) << QByteArray(text) << invalid;
    }

    void refusesJson()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, status);
        QVERIFY(!parse(text, ZeltoJsonReader::Status(status)).isValid());
    }

    // Doubles round trip bit for bit; times around clock changes and beyond what the text holds.
    void numbersAndTimesAtTheirEdges()
    {
        QVector<double> values = {-0.0, 0.0, 1e-310, 5e-324, -5e-324, std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 9007199254740992.0};
        QRandomGenerator random(20240301);
        while (values.size() < 20000) {
            const double d = fromBits(random.generate64());
            if (std::isfinite(d))
                values.append(d);
        }
        // Readings with few decimals, of every magnitude, and round powers of ten.
        for (int i = 0; i < 100000; ++i) {
            const double reading = double(qint64(random.generate64() >> random.bounded(10, 64)))
                / std::pow(10.0, random.bounded(0, 9));
            values.append(random.bounded(2) ? reading : -reading);
        }
        for (int e = -12; e <= 22; ++e)
            values << 1.0 * std::pow(10.0, e) << 3.0 * std::pow(10.0, e) << 12345.0 * std::pow(10.0, e);
        for (double d : qAsConst(values)) {
            const QByteArray text = json(d);
            // The text to_chars gives, made to look like a double.
            char shortest[64];
            QByteArray expected(shortest, int(std::to_chars(shortest, shortest + 64, d).ptr - shortest));
            if (!expected.contains('.') && !expected.contains('e'))
                expected += ".0";
            QCOMPARE(text, expected);
            QVERIFY2(identical(parse(text), d), text.constData());
        }

        // Short decimals, as devices send them, take a shortcut that must agree with a full conversion.
        for (int i = 0; i < 20000; ++i) {
            QByteArray text = random.bounded(2) ? "-" : "";
            text += QByteArray::number(random.bounded(100000000));
            if (random.bounded(4))
                text += '.' + QByteArray::number(random.bounded(10000000)).rightJustified(int(random.bounded(1, 9)), '0');
            if (random.bounded(3) == 0)
                text += 'e' + QByteArray::number(int(random.bounded(-30, 30)));
            double expected = 0;
            std::from_chars(text.constData(), text.constData() + text.size(), expected);
            const QVariant parsed = parse(text);
            QVERIFY2(parsed.userType() == QMetaType::Double ? bitsOf(parsed.toDouble()) == bitsOf(expected)
                                                            : parsed.toLongLong() == qlonglong(expected), text.constData());
        }

        // Local times around clock changes, years the text cannot hold, where errors point, raw pointers.
        // A local time skipped by the switch to summer time does not exist; the
        // repeated hour of the switch back reads as one of its two instants.
        setZone("CET-1CEST,M3.5.0,M10.5.0/3");
        QVERIFY(!parse("{\"$datetime\":\"2024-03-31T02:30:00.000\"}", ZeltoJsonReader::InvalidValue).isValid());
        QVERIFY(parse("{\"$datetime\":\"2024-03-31T03:30:00.000\"}").toDateTime().isValid()
                && parse("{\"$datetime\":\"2024-10-27T02:30:00.000\"}").toDateTime().isValid());
        setZone("YEKT-5");
        // Years the four-digit text cannot hold are refused.
        QString error;
        QVERIFY(ZeltoJsonWriter::toJson(QDate(10000, 1, 1), false, &error).isEmpty());
        QVERIFY2(error.contains(QLatin1String("10000")), qPrintable(error));
        QVERIFY(ZeltoJsonWriter::toJson(QDateTime(QDate(-5, 1, 1), QTime(0, 0)), false, &error).isEmpty());
        // Offsets of errors point at the problem.
        ZeltoJsonReader reader;
        QVariant value;
        QVERIFY(!reader.read(QByteArray("[1, {\"$nope\":1}]"), value) && reader.errorOffset() == 5);
        QVERIFY(!reader.read(QByteArray("[1, 01]"), value) && reader.errorOffset() == 4);
        // Reading from a raw pointer stops at its length.
        QVERIFY(reader.read("[1]garbage", 3, value) && !reader.read(nullptr, 0, value));
    }

    // Containers and tables through the JSON text, compact and indented.
    void containersAndTheirForms()
    {
        QByteArray all(256, 0);
        std::iota(all.begin(), all.end(), 0);   // every byte
        QVERIFY(roundTrips(all) && roundTrips(QString(1000, QChar(0x42f))));
        const QString broken = parse("\"a\xff\xfe\xc3(b\"").toString();   // invalid UTF-8 is replaced, not trusted
        QVERIFY(broken.startsWith(QLatin1Char('a')) && broken.endsWith(QLatin1Char('b')) && broken.contains(QChar(0xfffd)));

        QVariantMap inner{{QStringLiteral("a$b"), 1}, {QStringLiteral("пусто"), QVariant()}, {QString(), QVariantList()}};
        QVERIFY(roundTrips(QVariantList{1, 2.0, QStringLiteral("x"), true, QVariant(), QVariantMap(), inner,
                                        QVariantList{QVariantList{qlonglong(1) << 40}}}));
        const QDateTime hour(QDate(2024, 1, 1), QTime(1, 0), Qt::LocalTime);
        const QVariant full = table({"date", "t1", "note"},
                                    {{hour, 70.5, QStringLiteral("ок")}, {hour.addSecs(3600), marker(true), QVariant()},
                                     {hour.addSecs(7200)}, {}, {QVariant(), marker(false), QVariantList{1, 2}}});
        // Also a table without rows, a table in a table cell, and tables in a list, a map and a set of tables.
        const ZeltoTableMap tables{{"hour_data", full.value<ZeltoTable>()}, {"$odd name", ZeltoTable({"x"})}};
        for (const QVariant &value : {full, table({"only"}, {}), table({"sub"}, {{full}}), QVariant::fromValue(tables),
                                      QVariant(QVariantList{full, QVariantMap{{QStringLiteral("t"), full}}})})
            QVERIFY(roundTrips(value));

        // Indented: nested containers one level deeper each; a table row stays on one line.
        const ZeltoTableMap set{{"t", table({"a", "b"}, {{1, 2}, {3}}).value<ZeltoTable>()}};
        const QVariantMap value{{QStringLiteral("tables"), QVariant::fromValue(set)},
                                {QStringLiteral("values"), QVariantList{2.5, QVariantList(), QVariantMap()}},
                                {QStringLiteral("when"), QDateTime(QDate(2024, 3, 1), QTime(10, 0))}};
        // Nested containers one level deeper each; a table row stays on one line.
        QCOMPARE(json(value, true), QByteArray("{\n"
                                               "  \"tables\": {\"$tables\": {\n"
                                               "    \"t\": {\"$table\": {\n"
                                               "      \"columns\": [\"a\",\"b\"],\n"
                                               "      \"rows\": [\n"
                                               "        [1,2],\n"
                                               "        [3]\n"
                                               "      ]\n"
                                               "    }}\n"
                                               "  }},\n"
                                               "  \"values\": [\n"
                                               "    2.5,\n"
                                               "    [],\n"
                                               "    {}\n"
                                               "  ],\n"
                                               "  \"when\": {\"$datetime\": \"2024-03-01T10:00:00.000\"}\n"
                                               "}"));
        QVERIFY(roundTrips(value, true));
        QVERIFY(!json(value).contains('\n') && !json(value).contains(": "));
    }

    // What the writer refuses, and the nesting limit of writer and reader.
    void writerErrorsAndDepth()
    {
        // Failure names the culprit: a type the wire does not carry, or a "$" key, which would read back as a tag.
        for (const auto &b : QList<QPair<QVariant, QString>>{{QVariantList{1, QUrl(QStringLiteral("http://x"))}, "QUrl"},
                                                             {QVariantList{QVariantMap{{"$date", 1}}}, "$date"}}) {
            QString error;
            QVERIFY2(ZeltoJsonWriter::toJson(b.first, false, &error).isEmpty() && error.contains(b.second), qPrintable(error));
        }

        const int max = ZeltoJsonReader::MaxDepth;
        QVERIFY(!parse(QByteArray(100000, '['), ZeltoJsonReader::SyntaxError).isValid());
        QVERIFY(!parse(QByteArray("{\"a\":").repeated(100000), ZeltoJsonReader::SyntaxError).isValid());
        // Exactly at the limit is fine, one more is not, in both directions.
        QVERIFY(parse(QByteArray(max, '[') + QByteArray(max, ']')).isValid());
        QVERIFY(!parse(QByteArray(max + 1, '[') + QByteArray(max + 1, ']'), ZeltoJsonReader::SyntaxError).isValid());
        QVariant deep = QVariantList();
        for (int i = 1; i < max; ++i)
            deep = QVariantList{deep};
        QVERIFY(roundTrips(deep));
        QString tooDeep;
        QVERIFY(ZeltoJsonWriter::toJson(QVariantList{deep}, false, &tooDeep).isEmpty() && !tooDeep.isEmpty());

        // A table counts its own levels: tag, body, rows, row.
        QVariant nested = table({QStringLiteral("c")}, {{1}});
        for (int level = 4; level + 4 <= max; level += 4)
            nested = table({QStringLiteral("c")}, {{nested}});
        QVERIFY(roundTrips(nested));
        QVERIFY(ZeltoJsonWriter::toJson(QVariantList{nested}).isEmpty());
        QVERIFY(!parse("[" + json(nested) + "]", ZeltoJsonReader::SyntaxError).isValid());
    }

    // What the dispatcher answers to a request, to the start of the message where it quotes the JSON reader.
    void replies_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("reply");   // empty: none (a notification)
        const auto row = [](const char *name, const QByteArray &request, const QByteArray &reply) {
            QTest::newRow(name) << request << reply;
        };
        const auto call = [](const QByteArray &id, const char *method, const QByteArray &params = "[true]") {
            return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"" + method + "\",\"params\":" + params + "}";
        };
        const auto failure = [](const QByteArray &id, int code, const QString &message) {
            return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"error\":{\"code\":" + QByteArray::number(code)
                + ",\"message\":\"" + message.toUtf8();
        };
        // The published codes (docs/protocol.md): a kind keeps its code for good.
        const QList<QPair<ZeltoStatus::Kind, int>> kinds{
            {ZeltoStatus::Failed, -32000}, {ZeltoStatus::NotLoggedIn, -32001}, {ZeltoStatus::NoRight, -32003},
            {ZeltoStatus::NotFound, -32004}, {ZeltoStatus::Conflict, -32009}, {ZeltoStatus::Busy, -32010},
            {ZeltoStatus::Unavailable, -32011}, {ZeltoStatus::Storage, -32020}, {ZeltoStatus::InvalidParameter, -32602}};
        for (const auto &kind : kinds)
            QTest::addRow("failure kind %d", kind.second)
                << call("7", "failAs", "[" + QByteArray::number(int(kind.first)) + ",\"Сбой БД\"]")
                << failure("7", kind.second, QStringLiteral("Сбой БД\"}}"));
        row("failure without a text", call("7", "failAs", "[1,\"\"]"), failure("7", -32000, "Команда failAs не выполнена\"}}"));
        row("a result the wire cannot carry", call("7", "pair", "[1,2]"),
            failure("7", -32000, "Ошибка кодирования ответа: "));
        // Ids come back as sent, and no failure before leaks into a success.
        for (const char *id : {"1.5", "-0.0", "1e3", "123456789012345678901234567890", "18446744073709551616", "\"\\u0041\""})
            QTest::addRow("id %s", id) << call(id, "echoFirst") << "{\"jsonrpc\":\"2.0\",\"id\":" + QByteArray(id) + ",\"result\":true}";
        row("notification", "{\"jsonrpc\":\"2.0\",\"method\":\"echoFirst\",\"params\":[true]}", "");
        row("unknown command", call("3", "noSuchCommand"), failure("3", -32601, "Неизвестная команда: noSuchCommand\"}}"));
        row("too few parameters", call("3", "pair", "[1]"),
            failure("3", -32602, "Неверное число параметров команды pair: ожидается 2, передано 1\"}}"));
        // Malformed requests: refused, whatever they hold.
        const QString version = QStringLiteral("Поддерживается только JSON-RPC 2.0\"}}");
        for (const char *text : {"\"1.0\"", "2.0", "null"})
            QTest::addRow("version %s", text) << "{\"jsonrpc\":" + QByteArray(text) + ",\"id\":7,\"method\":\"echoFirst\"}"
                                              << failure("7", -32600, version);
        row("not JSON", "{not json", failure("null", -32700, "Ошибка разбора JSON: "));
        row("not an object", "[1,2,3]", failure("null", -32600, "Запрос должен быть объектом JSON\"}}"));
        row("id an object", call("{\"x\":1}", "echoFirst"),
            failure("null", -32600, "Идентификатор запроса должен быть числом или строкой\"}}"));
        row("bad tagged value", call("5", "echoFirst", "[{\"$date\":\"2024-13-45\"}]"),
            failure("null", -32600, "Неверное значение в запросе: "));
        row("method a number", "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":5}",
            failure("2", -32600, "В запросе не указана команда\"}}"));
        row("parameters an object", call("3", "echoFirst", "{\"a\":1}"),
            failure("3", -32600, "Параметры команды должны быть массивом\"}}"));
        // Tables asked for "json" (as without the member) or "stream", nothing else.
        const QByteArray tables = call("5", "echoFirst").chopped(1) + ",\"tables\":";
        for (const char *form : {"\"xml\"", "1"})
            QTest::addRow("tables %s", form) << tables + form + "}"
                                             << failure("5", -32600, "Неверное значение tables: ожидается \\\"json\\\" "
                                                                     "или \\\"stream\\\"\"}}");
        row("tables json", tables + "\"json\"}", "{\"jsonrpc\":\"2.0\",\"id\":5,\"result\":true}");
    }

    void replies()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, reply);
        ZeltoRpcDispatcher dispatcher;
        QByteArray answer;
        const bool answered = dispatcher.handle(request, answer);
        QVERIFY2(answered ? answer.startsWith(reply) && !reply.isEmpty() : reply.isEmpty(),
                 qPrintable(QString("%1 (answered: %2), expected %3").arg(answer, answered ? "yes" : "no", reply)));
        QCOMPARE(dispatcher.failed(), answer.contains("\"error\""));
    }

    // WebSocket frames from bytes alone (a 64-bit length over the limit, answered with 1009: test_rpc).
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
    }

    void reads()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, expected);
        QCOMPARE(frameEvents(bytes, kMaxMessage, bytes.size()), expected);
        QCOMPARE(frameEvents(bytes, kMaxMessage, 1), expected);
    }

    // Deferred work runs after the outermost busy guard; so do requests.
    void busyWorkGoesFirst()
    {
        QStringList done;
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

        // Requests wait for busy work too.
        ZeltoServer *server = ZeltoServer::global();
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, serverPort());
        QVERIFY(client.waitForConnected(5000));
        QTRY_COMPARE(server->clientCount(), 1);
        const int before = g_calls;
        {
            ZeltoBusyGuard busy;
            client.write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"count\"}\n");
            QTest::qWait(300);
            QCOMPARE(g_calls, before);
            QCOMPARE(client.bytesAvailable(), qint64(0));
        }
        QTRY_VERIFY(client.canReadLine());
        QCOMPARE(g_calls, before + 1);
        QVERIFY(client.readLine().contains("\"result\""));

        // A reply goes to the system as it is sent, not when the event loop next
        // looks at the socket: work posted meanwhile (a long job's next step) finds it gone.
        int arrived = -1;
        g_postHook = [&] { arrived = client.waitForReadyRead(2000) ? 1 : 0; };
        client.write("{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"post\"}\n");
        QTRY_VERIFY(arrived >= 0);
        QCOMPARE(arrived, 1);
        server->close();
    }

    void webSocketHandedOver()
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

        // A ping is answered with its payload; an unmasked frame ends the connection with 1002.
        QByteArray frames;
        client.write(frame(9, "tick") + frame(1, "{}", true, false));
        QTRY_COMPARE(frames += client.readAll(), QByteArray("\x8a\x04tick\x88\x02\x03\xea", 10));
        QTRY_COMPARE(ZeltoServer::global()->clientCount(), before);

        // A client gone before the handover.
        m_closeBeforeHandover = true;
        QSignalSpy connected(ZeltoServer::global(), &ZeltoServer::connected);
        QSignalSpy disconnected(ZeltoServer::global(), &ZeltoServer::disconnected);
        QTcpSocket gone;
        gone.connectToHost(QHostAddress::LocalHost, m_listener.serverPort());
        QVERIFY(gone.waitForConnected(5000));
        gone.write(kUpgradeRequest);
        // Taken over and let go at once: nothing is left behind.
        QTRY_COMPARE(disconnected.count(), 1);
        QCOMPARE(connected.count(), 1);
        QCOMPARE(ZeltoServer::global()->clientCount(), 0);
        m_closeBeforeHandover = false;
    }

    // The client from a worker thread: ids; transport failures. (Its replies: tablesInStreamForm, badReplies; a
    // refusal's text: test_cli.)
    void clientFromAWorkerThread()
    {
        const quint16 port = serverPort();
        QVariantList ids;   // each client's, the first one's again, and a client's after both have gone
        onWorker([&]() {
            ZeltoClient client, other;
            if (connectClient(client, port) && connectClient(other, port))
                ids << call(client, "who") << call(other, "who") << call(client, "who");
        });
        QTRY_COMPARE(ZeltoServer::global()->clientCount(), 0);
        onWorker([&]() {
            ZeltoClient later;
            if (connectClient(later, port))
                ids << call(later, "who");
        });
        // Ids are distinct, stay with their client and are never used again.
        QVERIFY2(ids.size() == 4 && ids[0].toInt() > 0 && ids[1].toInt() > 0 && ids[1] != ids[0] && ids[2] == ids[0]
                     && ids[3].toInt() > qMax(ids[0].toInt(), ids[1].toInt()),
                 qPrintable(QVariant(ids).toStringList().join(' ')));

        // (A connection refused, naming the server: test_cli test_several_servers_the_one_that_answers.)
        QTcpServer silent;   // a peer that accepts and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        QString timeoutText, notConnectedText;
        bool timedOut = false;
        onWorker([&]() {
            ZeltoClient client;
            if (!client.request(QStringLiteral("who")))
                notConnectedText = client.errorString();
            if (connectClient(client, silent.serverPort()) && client.request(QStringLiteral("who"))) {
                timedOut = !client.waitForResponse(300);
                timeoutText = client.errorString();
            }
        });
        QVERIFY(!notConnectedText.isEmpty() && timedOut);
        QVERIFY2(timeoutText.contains(QStringLiteral("300")), qPrintable(timeoutText));
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
        const quint16 port = serverPort();
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

    // Refused, not believed: a broken $stream (the stream reader's own refusals: tst_zeltostream), one never asked
    // for, a half reply.
    void badReplies_data()
    {
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        ZeltoTable table(QStringList{"S1_t1"});
        table.appendRow(QVariantList{60.25});
        const QByteArray good = encodeStream(QVariant::fromValue(table));
        const auto reply = [](const QByteArray &text) {
            return "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"$stream\":\"" + text + "\"}}\n";
        };
        QTest::newRow("cut short") << true << reply(good.left(good.size() - 3).toBase64()) << -32700 << QStringLiteral("конец данных");
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

private:
    QTcpServer m_listener;
    QHash<QTcpSocket *, QByteArray> m_read;
    bool m_closeBeforeHandover = false;
};

QTEST_GUILESS_MAIN(TestZeltoRpc)
#include "tst_zeltorpc.moc"
