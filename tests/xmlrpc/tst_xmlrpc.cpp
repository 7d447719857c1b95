// The XML-RPC layer: the call reader and response writer, methods invoked by their
// signature; the token table on a clock of the test's own (how long a token lives
// unused, that each use restarts that time, which tokens go when too many are live).
// Issue, logout and the password stamp: test_xmlrpc.py.

#include "maiaobject.h"
#include "maiaxmlrpcserver.h"
#include "xmlrpctokens.h"

#include <QtTest>

namespace {

const qint64 kIdle = 1000;

// The document without the blanks between elements.
QString compact(const QByteArray &xml) { return QString::fromUtf8(xml).replace(QRegularExpression(">\\s+<"), "><").trimmed(); }

QString valueOf(const QByteArray &response) { return compact(response).section("<param>", 1, 1).section("</param>", 0, 0); }

QByteArray call(const QString &method, const QString &params)
{
    return ("<?xml version=\"1.0\"?><methodCall><methodName>" + method + "</methodName><params>" + params
            + "</params></methodCall>").toUtf8();
}

QString param(const QString &value) { return "<param><value>" + value + "</value></param>"; }

// The parameters the call reader takes from a call of "m"; the fault's code when it refuses the call.
QVariant read(const QByteArray &body)
{
    QString method;
    QVariantList params;
    MaiaFault fault;
    if (!MaiaObject::readCall(body, method, params, fault))
        return fault.code();
    return method == "m" ? QVariant(params) : QVariant();
}

} // namespace

// A responder with slots of several signatures; each says what it got.
class Responder : public QObject
{
    Q_OBJECT

public slots:
    QVariant echo(const QString &text, int number) { return QVariantList{text, number}; }
    QVariant refuse(const QString &why) { return MaiaFault(0, why).toVariant(); }
    void noResult(const QString &) {}
};

class TestXmlRpc : public QObject
{
    Q_OBJECT

private slots:
    void writesValues_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("xml");
        const QDateTime at(QDate(2024, 3, 1), QTime(10, 20, 30), Qt::LocalTime);
        QTest::newRow("bool") << QVariant(true) << "<value><boolean>1</boolean></value>";
        QTest::newRow("double") << QVariant(7.0 / 3) << "<value><double>2.33333</double></value>";
        QTest::newRow("string") << QVariant("a<b & \"ц\"") << "<value><string>a&lt;b &amp; &quot;ц&quot;</string></value>";
        QTest::newRow("bytes") << QVariant(QByteArray("\x00\xff", 2)) << "<value><base64>AP8=</base64></value>";
        QTest::newRow("date-time") << QVariant(at) << "<value><dateTime.iso8601>20240301T10:20:30</dateTime.iso8601></value>";
        QTest::newRow("date-time, lower case")
            << QVariant(at) << "<value><datetime.iso8601>20240301T10:20:30</datetime.iso8601></value>";
        QTest::newRow("null int") << QVariant(QVariant::Int) << "<value/>";
        QTest::newRow("unsigned") << QVariant(5u) << "<value/>";
    }

    void writesValues()
    {
        QFETCH(QVariant, value);
        MaiaObject::setLowerCaseDateTime(QByteArray(QTest::currentDataTag()).endsWith("lower case"));
        const QByteArray response = MaiaObject::response(value);
        MaiaObject::setLowerCaseDateTime(false);
        QTEST(valueOf(response), "xml");
    }

    void keepsLayout()
    {
        // The layout clients have seen from the start, byte for byte (structs, arrays, empty ones).
        const QVariant value = QVariantMap{{"a", QVariantList{1, QVariantList(), QString(), QLatin1String("")}},
                                           {"b", QVariantMap()}};
        QCOMPARE(MaiaObject::response(value), QByteArray(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<methodResponse>\n <params>\n  <param>\n"
            "   <value>\n    <struct>\n     <member>\n      <name>a</name>\n      <value>\n"
            "       <array>\n        <data>\n         <value>\n          <int>1</int>\n"
            "         </value>\n         <value>\n          <array>\n           <data/>\n"
            "          </array>\n         </value>\n         <value/>\n         <value>\n"
            "          <string></string>\n         </value>\n        </data>\n       </array>\n"
            "      </value>\n     </member>\n     <member>\n      <name>b</name>\n      <value>\n"
            "       <struct/>\n      </value>\n     </member>\n    </struct>\n   </value>\n  </param>\n"
            " </params>\n</methodResponse>\n"));
    }

    void carriesAnyText_data()
    {
        // Every escape, characters XML cannot hold, non-ASCII of each UTF-8 length;
        // long texts are read back by the call reader's own pass.
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");   // what XML cannot hold becomes U+FFFD
        const QString pair = QStringView(u"\xD83D\xDE00").toString(), head = QStringLiteral("a<b>c&d\"e'f\tg\nh\ri]]>j");
        const QString hazards = head + QStringView(u"\x01\x1F\x7Fц€").toString() + pair
            + QStringView(u"\xD83Dx\xDE00\xFFFE\xFFFF\xFFFD\xE000").toString();
        const QString clean = head + QStringView(u"\xFFFD\xFFFD\x7Fц€").toString() + pair
            + QStringView(u"\xFFFDx\xFFFD\xFFFD\xFFFD\xFFFD\xE000").toString();
        QTest::newRow("short") << hazards << clean;
        const QString block(4095, QLatin1Char('x'));
        QTest::newRow("pair across a block") << block + pair + hazards.repeated(900) << block + pair + clean.repeated(900);
        const QString ys(20000, QLatin1Char('y'));
        QTest::newRow("high half last") << ys + QChar(0xD83D) << ys + QChar(0xFFFD);
    }

    void carriesAnyText()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        const QByteArray response = MaiaObject::response(text);
        QXmlStreamReader xml(response);
        while (!xml.atEnd() && !(xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QLatin1String("string")))
            ;
        QCOMPARE(xml.readElementText(), expected);
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));

        // The same text sent back in a call, as escaped by this writer and as a
        // stock client escapes it (quotes and line feeds raw).
        const int from = response.indexOf("<string>") + 8;
        const QByteArray escaped = response.mid(from, response.indexOf("</string>") - from);
        const QByteArray stock = QByteArray(escaped).replace("&quot;", "\"").replace("&#13;", "\r");
        for (const auto &sent : {qMakePair(escaped, expected), qMakePair(stock, QString(expected).replace('\r', '\n'))})
            QCOMPARE(read(call("m", param("<string>" + QString::fromUtf8(sent.first) + "</string>"))),
                     QVariant(QVariantList{sent.second}));
    }

    // (Escaped strings, dateTime.iso8601: test_xmlrpc test_login_and_readers and its imports.)
    void readsValues_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QVariant>("expected");
        const QDateTime at(QDate(2024, 3, 1), QTime(10, 20, 30), Qt::LocalTime);
        QTest::newRow("untyped") << " x " << QVariant(" x ");
        QTest::newRow("i4") << "<i4> 42 </i4>" << QVariant(42);
        QTest::newRow("int too wide") << "<int>99999999999</int>" << QVariant();
        QTest::newRow("i8 unknown") << "<i8>1</i8>" << QVariant();
        QTest::newRow("double") << "<double>-1.25e3</double>" << QVariant(-1250.0);
        QTest::newRow("boolean true") << "<boolean>true</boolean>" << QVariant(true);
        QTest::newRow("boolean 0") << "<boolean>0</boolean>" << QVariant(false);
        QTest::newRow("base64") << "<base64>AP8=</base64>" << QVariant(QByteArray("\x00\xff", 2));
        QTest::newRow("datetime") << "<datetime>2024-03-01T10:20:30</datetime>" << QVariant(at);
        QTest::newRow("bad date-time") << "<dateTime.iso8601>yesterday</dateTime.iso8601>" << QVariant();
        QTest::newRow("nil") << "<nil/>" << QVariant();
        QTest::newRow("array, indented")
            << "\n <array>\n  <data>\n   <value><int>1</int></value>\n   <value>t</value>\n  </data>\n </array>\n"
            << QVariant(QVariantList{1, "t"});
        const QString z(20000, QLatin1Char('z'));
        QTest::newRow("long string in CDATA") << "<string><![CDATA[<string>" + z + "</string>]]></string>"
                                              << QVariant("<string>" + z + "</string>");
        QTest::newRow("struct") << "<struct><member><name>k</name><value><int>1</int></value></member>"
                                   "<member><name>e</name><value/></member></struct>"
                                << QVariant(QVariantMap{{"k", 1}, {"e", QString()}});
    }

    void readsValues()
    {
        QFETCH(QString, value);
        QFETCH(QVariant, expected);
        const QVariantList params = read(call("m", param(value))).toList();
        QCOMPARE(params.size(), 1);
        QCOMPARE(qMakePair(params.first().userType(), params.first()), qMakePair(expected.userType(), expected));
    }

    void refusesCalls_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("code");
        QTest::newRow("two roots") << call("m", QString()) + "<x/>" << int(MaiaFault::ParseError);
        QTest::newRow("entity bomb")
            << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE m [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">"
                          "<!ENTITY c \"&b;&b;&b;&b;&b;\">]><methodCall><methodName>&c;</methodName></methodCall>")
            << int(MaiaFault::ParseError);
        QTest::newRow("undeclared entity, long string")
            << call("m", param(QStringLiteral("<string>") + QString(20000, QLatin1Char('z'))
                                               + QStringLiteral("&x;</string>"))) << int(MaiaFault::ParseError);
        QTest::newRow("no methodName") << QByteArray("<methodCall><params/></methodCall>") << int(MaiaFault::InvalidRequest);
        const QString deep = QStringLiteral("<value><array><data>").repeated(100)
            + QStringLiteral("</data></array></value>").repeated(100);
        QTest::newRow("nested too deep") << call("m", QStringLiteral("<param>") + deep + "</param>")
                                         << int(MaiaFault::InvalidRequest);
        // Elements in text, and elements nested deep anywhere: read one by one, they would exhaust the stack.
        const QString nested = QStringLiteral("<x>").repeated(100000) + QStringLiteral("</x>").repeated(100000);
        const int invalid = MaiaFault::InvalidRequest;
        QTest::newRow("element in a string") << call("m", param("<string>a<b/>c</string>")) << invalid;
        QTest::newRow("nested in a string") << call("m", param("<string>" + nested + "</string>")) << invalid;
        QTest::newRow("nested in a member name")
            << call("m", param("<struct><member><name>" + nested + "</name><value/></member></struct>")) << invalid;
        QTest::newRow("nested in an element skipped") << call("m", "<param>" + nested + "</param>") << invalid;
    }

    void refusesCalls()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, code);
        QCOMPARE(read(body), QVariant(code));
    }

    void invokesBySignature_data()
    {
        // The fault, as the writer tested above puts it. (Calls that are found, a fault of the method's own and a
        // parameter of the wrong type: test_xmlrpc test_rights_tokens_and_faults.)
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("params");
        QTest::addColumn<QByteArray>("answer");
        const QString s = param("<string>x</string>");
        const auto invalid = [](const char *detail) {
            return MaiaObject::fault(-32602, QStringLiteral("server error: invalid method parameters") + detail);
        };
        QTest::newRow("unreadable value")
            << "echo" << s + param("<int>x</int>") << invalid(": parameter 2 (number) of echo must be int, got nil");
        QTest::newRow("eleven")
            << "echo" << s.repeated(11) << invalid(": echo takes 2 parameters (text: string, number: int), got 11");
        QTest::newRow("too few") << "refuse" << QString() << invalid(": refuse takes 1 parameter (why: string), got 0");
        QTest::newRow("no result") << "noResult" << s << invalid("");
        QTest::newRow("unknown") << "nothing" << s << MaiaObject::fault(-32601, "server error: requested method not found");
    }

    void invokesBySignature()
    {
        QFETCH(QString, method);
        QFETCH(QString, params);
        Responder responder;
        // The listener itself is not used here.
        MaiaXmlRpcServer server;
        for (const char *name : {"echo", "refuse", "noResult"})
            server.addMethod(QLatin1String(name), &responder, name);
        QTEST(server.handle(call(method, params)), "answer");
    }

    void tokensAndTheirBound()
    {
        XmlRpcTokens tokens(kIdle);
        // Each use within the idle time starts it again; unused for that long, the token is gone for good.
        const QString used = tokens.issue(7, QStringLiteral("stamp"), 0);
        qint64 last = 0;
        for (qint64 at = 0; at < 4 * kIdle; last = at, at += kIdle - 1) {
            const XmlRpcTokens::Holder *holder = tokens.use(used, at);
            QVERIFY2(holder && holder->userId == 7 && holder->passwordStamp == "stamp", qPrintable(QString::number(at)));
        }
        QVERIFY(!tokens.use(used, last + kIdle) && !tokens.use(used, last + kIdle + 1));

        // One user, one password, two logins: two tokens (a logout ends its own alone: test_xmlrpc test_tokens).
        const QString first = tokens.issue(1, QStringLiteral("a"), 0), second = tokens.issue(1, QStringLiteral("a"), 0);
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(first).hasMatch() && first != second,
                 qPrintable(first));
        tokens.revoke(first);
        tokens.revoke(second);

        // A setting changed while tokens live applies to them.
        const QString lasting = tokens.issue(2, QString(), 0);
        tokens.setIdleMs(10 * kIdle);
        QVERIFY(tokens.use(lasting, 5 * kIdle));
        tokens.revoke(lasting);

        // Full: the idle ones go, then the longest unused; recently used ones stay.
        tokens.setIdleMs(kIdle);
        const QString old = tokens.issue(3, QString(), 0);
        const QStringList idle{tokens.issue(3, QString(), 1), tokens.issue(3, QString(), 2)};
        QStringList live;
        for (int i = 3; i < XmlRpcTokens::kMaxTokens; ++i)
            live << tokens.issue(4, QString(), kIdle / 2 + i % 100);
        QVERIFY(tokens.use(old, kIdle / 2 + 100));
        QCOMPARE(tokens.count(), XmlRpcTokens::kMaxTokens);
        tokens.issue(5, QString(), kIdle + 2);   // both idle ones make room
        QCOMPARE(tokens.count(), XmlRpcTokens::kMaxTokens - 1);
        QVERIFY(!tokens.use(idle[0], kIdle + 2) && !tokens.use(idle[1], kIdle + 2));
        tokens.issue(5, QString(), kIdle + 2);
        tokens.issue(5, QString(), kIdle + 3);   // nothing idle: the longest unused goes, one of the first live
        QCOMPARE(tokens.count(), XmlRpcTokens::kMaxTokens);
        int gone = 0;
        for (const QString &token : qAsConst(live))
            gone += tokens.use(token, kIdle + 4) ? 0 : 1;
        QCOMPARE(gone, 1);
        QVERIFY(tokens.use(old, kIdle + 4));
    }
};

QTEST_GUILESS_MAIN(TestXmlRpc)
#include "tst_xmlrpc.moc"
