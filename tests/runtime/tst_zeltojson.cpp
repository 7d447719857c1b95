#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltomarkers.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QPoint>
#include <QRandomGenerator>
#include <QUrl>
#include <QtTest>

#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace {

QVariant table(const QStringList &columns, QVector<QVector<QVariant>> rows)
{
    ZeltoTable t;
    t.setContent(columns, std::move(rows));
    return QVariant::fromValue(t);
}

bool sameBits(double a, double b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// Equality that also demands equal types all the way down: QVariant's own
// operator== takes 5 for 5.0.
bool same(const QVariant &a, const QVariant &b)
{
    if (a.userType() != b.userType())
        return false;
    switch (a.userType()) {
    case QMetaType::Double:
        return sameBits(a.toDouble(), b.toDouble());
    case QMetaType::QVariantList: {
        const QVariantList x = a.toList(), y = b.toList();
        if (x.size() != y.size())
            return false;
        for (int i = 0; i < x.size(); ++i) {
            if (!same(x.at(i), y.at(i)))
                return false;
        }
        return true;
    }
    case QMetaType::QVariantMap: {
        const QVariantMap x = a.toMap(), y = b.toMap();
        if (x.keys() != y.keys())
            return false;
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            if (!same(it.value(), y.value(it.key())))
                return false;
        }
        return true;
    }
    case QMetaType::QDateTime:
        return a.toDateTime() == b.toDateTime() && a.toDateTime().timeSpec() == b.toDateTime().timeSpec();
    default:
        break;
    }
    if (a.userType() == qMetaTypeId<ZeltoTable>()) {
        const ZeltoTable x = a.value<ZeltoTable>(), y = b.value<ZeltoTable>();
        if (x.columnNames() != y.columnNames() || x.rowCount() != y.rowCount())
            return false;
        for (int r = 0; r < x.rowCount(); ++r) {
            const QVector<QVariant> &cx = x.rowCells(r), &cy = y.rowCells(r);
            if (cx.size() != cy.size())
                return false;
            for (int c = 0; c < cx.size(); ++c) {
                if (!same(cx.at(c), cy.at(c)))
                    return false;
            }
        }
        return true;
    }
    if (a.userType() == qMetaTypeId<ZeltoTableMap>()) {
        const ZeltoTableMap x = a.value<ZeltoTableMap>(), y = b.value<ZeltoTableMap>();
        if (x.keys() != y.keys())
            return false;
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            if (!same(QVariant::fromValue(it.value()), QVariant::fromValue(y.value(it.key()))))
                return false;
        }
        return true;
    }
    return a == b;
}

QByteArray json(const QVariant &value, bool indented = false)
{
    QString error;
    const QByteArray text = ZeltoJsonWriter::toJson(value, indented, &error);
    if (text.isEmpty())
        qWarning("write failed: %s", qPrintable(error));
    return text;
}

QVariant parse(const QByteArray &text, ZeltoJsonReader::Status expected = ZeltoJsonReader::Ok)
{
    ZeltoJsonReader reader;
    QVariant value;
    const bool ok = reader.read(text, value);
    if (reader.status() != expected || ok != (expected == ZeltoJsonReader::Ok)) {
        qWarning("read(%s): status %d, expected %d: %s", text.left(200).constData(), int(reader.status()),
                 int(expected), qPrintable(reader.errorString()));
        return QVariant::fromValue(QPoint(-1, -1));   // a value no JSON text gives
    }
    if (!ok && (value.isValid() || reader.errorString().isEmpty() || reader.errorOffset() < 0
                || reader.errorOffset() > text.size()))
        return QVariant::fromValue(QPoint(-2, -2));
    return value;
}

// Writes, reads back and demands the identical value and type.
bool roundTrips(const QVariant &value, bool indented = false)
{
    const QByteArray text = json(value, indented);
    const QVariant back = parse(text);
    if (same(value, back))
        return true;
    qWarning("no round trip through %s", text.left(300).constData());
    return false;
}

} // namespace

class TestZeltoJson : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void numbers();
    void doublesRoundTripBitExact();
    void strings();
    void dateAndTime();
    void bytesAndMarkers();
    void containers();
    void writerErrors();
    void tables();
    void invalidValues();
    void syntaxErrors();
    void depthLimit();
    void indented();
    void fuzz();
};

void TestZeltoJson::initTestCase()
{
    // A fixed zone five hours east of UTC, without summer time, given in POSIX
    // form so that it needs no zone database.
    qputenv("TZ", "YEKT-5");
    tzset();
    const QDateTime probe(QDate(2024, 1, 15), QTime(12, 0), Qt::LocalTime);
    QCOMPARE(probe.offsetFromUtc(), 5 * 3600);
}

void TestZeltoJson::numbers()
{
    QCOMPARE(json(5), QByteArray("5"));
    QCOMPARE(json(5.0), QByteArray("5.0"));
    QCOMPARE(json(-0.0), QByteArray("-0.0"));
    QCOMPARE(json(1e300), QByteArray("1e+300"));
    QCOMPARE(json(0.1), QByteArray("0.1"));
    QCOMPARE(json(1e20), QByteArray("1e+20"));
    QCOMPARE(json(123456.0), QByteArray("123456.0"));
    QCOMPARE(json(std::numeric_limits<double>::quiet_NaN()), QByteArray("null"));
    QCOMPARE(json(std::numeric_limits<double>::infinity()), QByteArray("null"));
    QCOMPARE(json(-std::numeric_limits<double>::infinity()), QByteArray("null"));
    QCOMPARE(json(QVariant(2.5f)), QByteArray("2.5"));
    QCOMPARE(json(QVariant(3.0f)), QByteArray("3.0"));
    QCOMPARE(json(QVariant(uint(4000000000u))), QByteArray("4000000000"));
    QCOMPARE(json(QVariant(std::numeric_limits<qlonglong>::min())), QByteArray("-9223372036854775808"));
    QCOMPARE(json(QVariant(std::numeric_limits<qulonglong>::max())), QByteArray("18446744073709551615"));
    QCOMPARE(json(true), QByteArray("true"));
    QCOMPARE(json(QVariant()), QByteArray("null"));
    // SQL NULL columns read back as typed nulls; they are no value, not 0.
    QCOMPARE(json(QVariant(QVariant::Int)), QByteArray("null"));
    QCOMPARE(json(QVariant(QVariant::Double)), QByteArray("null"));
    QCOMPARE(json(QVariant(0)), QByteArray("0"));

    // The narrowest integer type that holds the value.
    const struct { const char *text; int type; } integers[] = {
        {"0", QMetaType::Int},
        {"-0", QMetaType::Int},
        {"2147483647", QMetaType::Int},
        {"-2147483648", QMetaType::Int},
        {"2147483648", QMetaType::LongLong},
        {"-2147483649", QMetaType::LongLong},
        {"9223372036854775807", QMetaType::LongLong},
        {"-9223372036854775808", QMetaType::LongLong},
        {"9223372036854775808", QMetaType::ULongLong},
        {"18446744073709551615", QMetaType::ULongLong},
        {"18446744073709551616", QMetaType::Double},
        {"-9223372036854775809", QMetaType::Double},
        {"123456789012345678901234567890", QMetaType::Double},
        {"5.0", QMetaType::Double},
        {"5e0", QMetaType::Double},
        {"5E+2", QMetaType::Double},
    };
    for (const auto &entry : integers) {
        const QVariant value = parse(entry.text);
        QVERIFY2(value.userType() == entry.type, entry.text);
        // Integers keep their text exactly; the rest keep their value.
        if (entry.type != QMetaType::Double && strcmp(entry.text, "-0") != 0)
            QCOMPARE(json(value), QByteArray(entry.text));
    }
    QCOMPARE(parse("-2147483648").toInt(), std::numeric_limits<int>::min());
    QCOMPARE(parse("-9223372036854775808").toLongLong(), std::numeric_limits<qlonglong>::min());
    QCOMPARE(parse("18446744073709551615").toULongLong(), std::numeric_limits<qulonglong>::max());
    QCOMPARE(parse("18446744073709551616").toDouble(), 18446744073709551616.0);
    QCOMPARE(parse("5E+2").toDouble(), 500.0);
    QCOMPARE(parse(" \t\r\n-12.5e-1 \n").toDouble(), -1.25);

    // Below the smallest subnormal rounds to zero, sign kept; above the
    // largest double is a value the wire cannot carry.
    QVERIFY(sameBits(parse("1e-400").toDouble(), 0.0));
    QVERIFY(sameBits(parse("-0.000001e-400").toDouble(), -0.0));
    QVERIFY(sameBits(parse("-0.0").toDouble(), -0.0));
    parse("1e400", ZeltoJsonReader::InvalidValue);
    parse("-123456789e305", ZeltoJsonReader::InvalidValue);
    parse("[1e99999999999999999999]", ZeltoJsonReader::InvalidValue);
}

void TestZeltoJson::doublesRoundTripBitExact()
{
    QVector<double> values = {0.1, 0.2, 1.0 / 3, -0.0, 0.0, 1e-310, 5e-324, -5e-324,
                              std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                              -std::numeric_limits<double>::max(), 1e300, 1e16, 9007199254740992.0,
                              123456789.125, -2.5e-8, 70.53, 1e21, 1e-7};
    QRandomGenerator random(20240301);
    while (values.size() < 20000) {
        double d;
        const quint64 bits = random.generate64();
        memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d))
            values.append(d);
    }
    // Readings with few decimals, of every magnitude, and round powers of ten.
    for (int i = 0; i < 100000; ++i) {
        const double reading = double(qint64(random.generate64() >> random.bounded(10, 64)))
            / std::pow(10.0, random.bounded(0, 9));
        values.append(random.bounded(2) ? reading : -reading);
    }
    for (int e = -12; e <= 22; ++e) {
        values.append(std::pow(10.0, e));
        values.append(3 * std::pow(10.0, e));
        values.append(12345 * std::pow(10.0, e));
    }
    for (double d : qAsConst(values)) {
        const QByteArray text = json(d);
        // The text to_chars gives, made to look like a double.
        char shortest[64];
        QByteArray expected(shortest, int(std::to_chars(shortest, shortest + 64, d).ptr - shortest));
        if (!expected.contains('.') && !expected.contains('e'))
            expected += ".0";
        QCOMPARE(text, expected);
        const QVariant back = parse(text);
        QVERIFY2(back.userType() == QMetaType::Double, text.constData());
        QVERIFY2(sameBits(back.toDouble(), d), text.constData());
    }

    // Short decimals, as devices send them, take a shortcut in the reader; it
    // must agree with a full conversion.
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
        if (parsed.userType() == QMetaType::Double)
            QVERIFY2(sameBits(parsed.toDouble(), expected), text.constData());
        else
            QVERIFY2(parsed.toLongLong() == qlonglong(expected), text.constData());
    }
}

void TestZeltoJson::strings()
{
    // Writer: quotes, backslashes and control characters escaped; '/' and
    // non-ASCII text stay as they are.
    const QString mixed = QStringLiteral("a\"b\\c/d\n\t\r\b\f") + QChar(1) + QChar(0x1f) + QChar(0)
        + QStringLiteral("Тепло €");
    const QByteArray text = json(mixed);
    QCOMPARE(text, QByteArray("\"a\\\"b\\\\c/d\\n\\t\\r\\b\\f\\u0001\\u001f\\u0000")
                       + QStringLiteral("Тепло €\"").toUtf8());
    QVERIFY(roundTrips(mixed));
    QVERIFY(roundTrips(QString()));
    QVERIFY(roundTrips(QString(1000, QChar(0x42f))));

    // Reader: every escape.
    QCOMPARE(parse("\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u0041\\u00e9\\u20AC\"").toString(),
             QStringLiteral("\"\\/\b\f\n\r\tAé€"));
    QCOMPARE(parse("\"\\u0000\"").toString(), QString(QChar(0)));
    QCOMPARE(parse("\"plain текст\"").toString(), QStringLiteral("plain текст"));

    // Surrogate pairs both ways; the writer gives four UTF-8 bytes.
    const QString smile = QString::fromUcs4(U"\U0001F600");
    QCOMPARE(parse("\"\\ud83d\\ude00\"").toString(), smile);
    QCOMPARE(parse("\"x\\uD83D\\uDE00y\"").toString(), QLatin1Char('x') + smile + QLatin1Char('y'));
    QCOMPARE(json(smile), QByteArray("\"\xF0\x9F\x98\x80\""));
    QVERIFY(roundTrips(smile + smile));

    // Lone surrogates become U+FFFD in both directions.
    const QString replacement(QChar(0xfffd));
    QCOMPARE(parse("\"\\ud800\"").toString(), replacement);
    QCOMPARE(parse("\"\\udc00x\"").toString(), replacement + QLatin1Char('x'));
    QCOMPARE(parse("\"\\ud800\\u0041\"").toString(), replacement + QLatin1Char('A'));
    QCOMPARE(parse("\"\\ud800\\ud800\\udc00\"").toString(), replacement + QString::fromUcs4(U"\U00010000"));
    QCOMPARE(json(QString(QChar(0xd800))), QByteArray("\"\xEF\xBF\xBD\""));
    QCOMPARE(json(QString(QChar(0xdc00)) + QChar(0xd800)), QByteArray("\"\xEF\xBF\xBD\xEF\xBF\xBD\""));

    // Invalid UTF-8 is replaced, not trusted.
    const QString broken = parse("\"a\xff\xfe\xc3(b\"").toString();
    QVERIFY(broken.startsWith(QLatin1Char('a')) && broken.endsWith(QLatin1Char('b')));
    QVERIFY(broken.contains(replacement));
}

void TestZeltoJson::dateAndTime()
{
    const QDateTime local(QDate(2024, 3, 1), QTime(10, 5, 7, 42), Qt::LocalTime);
    QCOMPARE(json(local), QByteArray("{\"$datetime\":\"2024-03-01T10:05:07.042\"}"));
    QVERIFY(roundTrips(local));
    QVERIFY(roundTrips(QDateTime()));
    QCOMPARE(json(QDateTime()), QByteArray("{\"$datetime\":\"\"}"));
    QCOMPARE(parse("{\"$datetime\":\"2024-03-01T10:05:07\"}").toDateTime(),
             QDateTime(QDate(2024, 3, 1), QTime(10, 5, 7), Qt::LocalTime));
    QVERIFY(parse("{\"$datetime\":\"\"}").toDateTime().isNull());

    // UTC and offset values are written in local time (UTC+5 here) and read
    // back as the same instant in local time.
    const QDateTime utc(QDate(2024, 1, 15), QTime(22, 30, 0, 250), Qt::UTC);
    QCOMPARE(json(utc), QByteArray("{\"$datetime\":\"2024-01-16T03:30:00.250\"}"));
    const QDateTime back = parse(json(utc)).toDateTime();
    QCOMPARE(back, utc);
    QCOMPARE(back.timeSpec(), Qt::LocalTime);
    const QDateTime moscow(QDate(2024, 1, 15), QTime(12, 0), Qt::OffsetFromUTC, 3 * 3600);
    QCOMPARE(json(moscow), QByteArray("{\"$datetime\":\"2024-01-15T14:00:00.000\"}"));

    // A local time skipped by the switch to summer time does not exist; the
    // repeated hour of the switch back reads as one of its two instants.
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    tzset();
    parse("{\"$datetime\":\"2024-03-31T02:30:00.000\"}", ZeltoJsonReader::InvalidValue);
    QVERIFY(parse("{\"$datetime\":\"2024-03-31T03:30:00.000\"}").toDateTime().isValid());
    QVERIFY(parse("{\"$datetime\":\"2024-10-27T02:30:00.000\"}").toDateTime().isValid());
    qputenv("TZ", "YEKT-5");
    tzset();

    QCOMPARE(json(QDate(2024, 2, 29)), QByteArray("{\"$date\":\"2024-02-29\"}"));
    QCOMPARE(json(QDate(5, 1, 2)), QByteArray("{\"$date\":\"0005-01-02\"}"));
    QCOMPARE(json(QTime(23, 59, 59, 999)), QByteArray("{\"$time\":\"23:59:59.999\"}"));
    QCOMPARE(json(QDate()), QByteArray("{\"$date\":\"\"}"));
    QCOMPARE(json(QTime()), QByteArray("{\"$time\":\"\"}"));
    QVERIFY(roundTrips(QDate(2024, 2, 29)));
    QVERIFY(roundTrips(QDate(5, 1, 2)));
    QVERIFY(roundTrips(QDate()));
    QVERIFY(roundTrips(QTime(0, 0)));
    QVERIFY(roundTrips(QTime(23, 59, 59, 999)));
    QVERIFY(roundTrips(QTime()));
    QCOMPARE(parse("{\"$time\":\"07:08:09\"}").toTime(), QTime(7, 8, 9));

    // Years the four-digit text cannot hold are refused.
    QString error;
    QVERIFY(ZeltoJsonWriter::toJson(QDate(10000, 1, 1), false, &error).isEmpty());
    QVERIFY2(error.contains(QLatin1String("10000")), qPrintable(error));
    QVERIFY(ZeltoJsonWriter::toJson(QDateTime(QDate(-5, 1, 1), QTime(0, 0)), false, &error).isEmpty());
}

void TestZeltoJson::bytesAndMarkers()
{
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    QVERIFY(roundTrips(all));
    for (int n = 0; n <= 5; ++n) {
        const QByteArray bytes = all.mid(250, n);
        QCOMPARE(json(bytes), QByteArray("{\"$bytes\":\"") + bytes.toBase64() + "\"}");
        QVERIFY(roundTrips(bytes));
    }
    parse("{\"$bytes\":\"@@@@\"}", ZeltoJsonReader::InvalidValue);
    parse("{\"$bytes\":12}", ZeltoJsonReader::InvalidValue);

    QCOMPARE(json(QVariant::fromValue(ZeltoOutOfRange())), QByteArray("{\"$marker\":\"OutOfRange\"}"));
    QCOMPARE(json(QVariant::fromValue(ZeltoUnused())), QByteArray("{\"$marker\":\"Unused\"}"));
    QVERIFY(roundTrips(QVariant::fromValue(ZeltoOutOfRange())));
    QVERIFY(roundTrips(QVariant::fromValue(ZeltoUnused())));
    parse("{\"$marker\":\"Broken\"}", ZeltoJsonReader::InvalidValue);
    parse("{\"$marker\":null}", ZeltoJsonReader::InvalidValue);
}

void TestZeltoJson::containers()
{
    QVariantMap inner;
    inner.insert(QStringLiteral("a$b"), 1);
    inner.insert(QStringLiteral("пусто"), QVariant());
    inner.insert(QString(), QVariantList());
    QVariantList list = {1, 2.0, QStringLiteral("x"), true, QVariant(), QVariantMap(), inner,
                         QVariantList{QVariantList{qlonglong(1) << 40}}};
    QVERIFY(roundTrips(list));
    QCOMPARE(json(QVariantList()), QByteArray("[]"));
    QCOMPARE(json(QVariantMap()), QByteArray("{}"));
    QCOMPARE(json(QVariantList{1, QStringLiteral("a")}), QByteArray("[1,\"a\"]"));

    // A string list reads back as a list of strings; a hash as a map, and its
    // keys are written sorted so equal hashes give equal text.
    QCOMPARE(json(QStringList{QStringLiteral("a"), QStringLiteral("b")}), QByteArray("[\"a\",\"b\"]"));
    QVERIFY(same(parse(json(QStringList{QStringLiteral("a")})), QVariantList{QStringLiteral("a")}));
    QVariantHash hash;
    for (int i = 0; i < 20; ++i)
        hash.insert(QString::number(i), i);
    const QByteArray hashText = json(hash);
    QVERIFY(hashText.startsWith("{\"0\":0,\"1\":1,\"10\":10,"));
    QVariantMap asMap;
    for (auto it = hash.cbegin(); it != hash.cend(); ++it)
        asMap.insert(it.key(), it.value());
    QVERIFY(same(parse(hashText), asMap));

    // Duplicate keys: the last one wins, as in most readers.
    QCOMPARE(parse("{\"k\":1,\"k\":2}").toMap().value(QStringLiteral("k")), QVariant(2));
    QCOMPARE(parse("{\"\\u0041\":1}").toMap().firstKey(), QStringLiteral("A"));
}

void TestZeltoJson::writerErrors()
{
    ZeltoJsonWriter writer;
    QByteArray out("prefix:");
    QVERIFY(writer.write(QVariantList{1}, out));
    QCOMPARE(out, QByteArray("prefix:[1]"));

    // Failure leaves what was there before.
    QVERIFY(!writer.write(QVariantList{1, QUrl(QStringLiteral("http://x"))}, out));
    QCOMPARE(out, QByteArray("prefix:[1]"));
    QVERIFY2(writer.errorString().contains(QLatin1String("QUrl")), qPrintable(writer.errorString()));
    QVERIFY(!writer.write(QVariant::fromValue(QPoint(1, 2)), out));
    QVERIFY2(writer.errorString().contains(QLatin1String("QPoint")), qPrintable(writer.errorString()));

    // A "$" key would read back as a tag.
    QVariantMap tagged;
    tagged.insert(QStringLiteral("$date"), 1);
    QVERIFY(!writer.write(QVariantList{tagged}, out));
    QVERIFY2(writer.errorString().contains(QLatin1String("$date")), qPrintable(writer.errorString()));
    QVariantHash taggedHash;
    taggedHash.insert(QStringLiteral("$x"), 1);
    QVERIFY(!writer.write(taggedHash, out));
    QCOMPARE(out, QByteArray("prefix:[1]"));

    // The writer is usable again after a failure.
    QVERIFY(writer.write(QStringLiteral("ok"), out));
    QCOMPARE(out, QByteArray("prefix:[1]\"ok\""));
    QVERIFY(writer.errorString().isEmpty());

    QString error = QStringLiteral("stale");
    QCOMPARE(ZeltoJsonWriter::toJson(1, false, &error), QByteArray("1"));
    QVERIFY(error.isEmpty());
}

void TestZeltoJson::tables()
{
    const QDateTime hour(QDate(2024, 1, 1), QTime(1, 0), Qt::LocalTime);
    const QVariant full = table({QStringLiteral("date"), QStringLiteral("t1"), QStringLiteral("note")},
                                {{hour, 70.5, QStringLiteral("ок")},
                                 {hour.addSecs(3600), QVariant::fromValue(ZeltoOutOfRange()), QVariant()},
                                 {hour.addSecs(7200)},
                                 {},
                                 {QVariant(), QVariant::fromValue(ZeltoUnused()), QVariantList{1, 2}}});
    QCOMPARE(json(table({QStringLiteral("a"), QStringLiteral("b")}, {{1, 2.0}, {3}})),
             QByteArray("{\"$table\":{\"columns\":[\"a\",\"b\"],\"rows\":[[1,2.0],[3]]}}"));
    QVERIFY(roundTrips(full));
    QVERIFY(roundTrips(table({}, {})));
    QVERIFY(roundTrips(table({QStringLiteral("only")}, {})));
    QCOMPARE(json(table({}, {})), QByteArray("{\"$table\":{\"columns\":[],\"rows\":[]}}"));

    // Short rows read as nulls in the missing cells; keys in either order.
    const QVariant shortRows = parse(
        "{\"$table\":{\"rows\":[[1],[],[2,3]],\"columns\":[\"a\",\"b\"]}}");
    QCOMPARE(shortRows.userType(), qMetaTypeId<ZeltoTable>());
    const ZeltoTable t = shortRows.value<ZeltoTable>();
    QCOMPARE(t.columnNames(), QStringList({QStringLiteral("a"), QStringLiteral("b")}));
    QCOMPARE(t.rowCount(), 3);
    QCOMPARE(t.value(0, 0), QVariant(1));
    QVERIFY(!t.value(0, 1).isValid());
    QVERIFY(!t.value(1, 0).isValid());
    QCOMPARE(t.value(2, 1), QVariant(3));

    // A table in a table cell, and tables in a list and a map.
    const QVariant nested = table({QStringLiteral("sub")}, {{full}});
    QVERIFY(roundTrips(nested));
    QVERIFY(roundTrips(QVariantList{full, QVariantMap{{QStringLiteral("t"), full}}}));

    ZeltoTableMap tables;
    tables.insert(QStringLiteral("hour_data"), full.value<ZeltoTable>());
    tables.insert(QStringLiteral("$odd name"), ZeltoTable({QStringLiteral("x")}));
    QVERIFY(roundTrips(QVariant::fromValue(tables)));
    QVERIFY(roundTrips(QVariant::fromValue(ZeltoTableMap())));
    QCOMPARE(json(QVariant::fromValue(ZeltoTableMap())), QByteArray("{\"$tables\":{}}"));

    const char *invalid[] = {
        "{\"$table\":{\"columns\":[\"a\"],\"rows\":[[1,2]]}}",            // row longer than columns
        "{\"$table\":{\"rows\":[[1],[1,2]],\"columns\":[\"a\"]}}",        // the same, rows first
        "{\"$table\":{\"columns\":[\"a\",1],\"rows\":[]}}",               // non-string column
        "{\"$table\":{\"columns\":\"a\",\"rows\":[]}}",
        "{\"$table\":{\"columns\":[\"a\",\"a\"],\"rows\":[]}}",           // repeated column
        "{\"$table\":{\"columns\":[\"a\"]}}",                              // no rows
        "{\"$table\":{\"rows\":[]}}",
        "{\"$table\":{}}",
        "{\"$table\":{\"columns\":[],\"rows\":[],\"x\":1}}",
        "{\"$table\":{\"columns\":[],\"columns\":[],\"rows\":[]}}",
        "{\"$table\":{\"columns\":[\"a\"],\"rows\":[1]}}",                 // row not an array
        "{\"$table\":{\"columns\":[\"a\"],\"rows\":{}}}",
        "{\"$table\":[]}",
        "{\"$table\":{\"columns\":[\"a\"],\"rows\":[[{\"$date\":\"x\"}]]}}", // bad cell
        "{\"$tables\":{\"a\":1}}",                                         // non-table member
        "{\"$tables\":{\"a\":{\"$table\":{\"columns\":[],\"rows\":[]}},\"b\":{}}}",
        "{\"$tables\":{\"a\":{\"$date\":\"2024-01-01\"}}}",
        "{\"$tables\":[]}",
    };
    for (const char *text : invalid)
        QVERIFY2(parse(text, ZeltoJsonReader::InvalidValue).userType() == QMetaType::UnknownType, text);
}

void TestZeltoJson::invalidValues()
{
    const char *invalid[] = {
        "{\"$unknown\":1}",
        "{\"$\":1}",
        "{\"$date\":\"2024-01-01\",\"x\":1}",      // a tag with a second key
        "{\"x\":1,\"$date\":\"2024-01-01\"}",
        "{\"$date\":\"2024-01-01\",\"$date\":\"2024-01-01\"}",
        "{\"$datetime\":\"2024-13-01T00:00:00.000\"}",
        "{\"$datetime\":\"2024-01-01 10:00:00.000\"}",
        "{\"$datetime\":\"2024-01-01T25:00:00.000\"}",
        "{\"$datetime\":\"2024-01-01T10:00:00.0\"}",
        "{\"$datetime\":\"2024-01-01\"}",
        "{\"$datetime\":\"garbage\"}",
        "{\"$datetime\":5}",
        "{\"$datetime\":null}",
        "{\"$date\":\"2023-02-29\"}",
        "{\"$date\":\"0000-01-01\"}",
        "{\"$date\":\"24-01-01\"}",
        "{\"$time\":\"24:00:00.000\"}",
        "{\"$time\":\"1:00:00\"}",
        "[1,{\"a\":[{\"$nope\":[]}]},3]",
        "{\"\\u0024date\":1}",                        // an escaped "$" is still a tag
    };
    for (const char *text : invalid) {
        ZeltoJsonReader reader;
        QVariant value = 42;
        QVERIFY2(!reader.read(QByteArray(text), value), text);
        QVERIFY2(reader.status() == ZeltoJsonReader::InvalidValue, text);
        QVERIFY2(!value.isValid(), text);
        QVERIFY2(reader.errorString().contains(QStringLiteral("байт")), qPrintable(reader.errorString()));
    }

    // Offsets point at the problem.
    ZeltoJsonReader reader;
    QVariant value;
    QVERIFY(!reader.read(QByteArray("[1, {\"$nope\":1}]"), value));
    QCOMPARE(reader.errorOffset(), qsizetype(5));
    QVERIFY(!reader.read(QByteArray("[1, 01]"), value));
    QCOMPARE(reader.errorOffset(), qsizetype(4));

    // Broken JSON is a syntax error even when it also breaks a tag rule.
    parse("{\"$nope\":1", ZeltoJsonReader::SyntaxError);
    parse("[{\"$nope\":1}, 01]", ZeltoJsonReader::SyntaxError);
    parse("{\"$date\":\"x\",\"y\":}", ZeltoJsonReader::SyntaxError);

    // The reader recovers between texts.
    QVERIFY(reader.read(QByteArray("{\"a$b\":1,\"b$\":2}"), value));
    QCOMPARE(reader.status(), ZeltoJsonReader::Ok);
    QVERIFY(reader.errorString().isEmpty());
    QCOMPARE(reader.errorOffset(), qsizetype(-1));
    QCOMPARE(value.toMap().size(), 2);
}

void TestZeltoJson::syntaxErrors()
{
    const QByteArray bad[] = {
        "", " \n ", "[1,2", "[1,]", "[,1]", "{\"a\"}", "{\"a\":}", "{a:1}", "{\"a\":1,}", "{\"a\" 1}",
        "{}}", "[]]", "[1] x", "1 2", "tru", "nul", "nulll", "True", "NaN", "Infinity", "-Infinity",
        "01", "-01", "1.", "1.e5", ".5", "-", "+1", "1e", "1e+", "0x10", "1_000",
        "\"abc", "\"a\nb\"", "\"tab\there\"", "\"\\x\"", "\"\\u12\"", "\"\\u12G4\"", "\"\\", "'a'",
        "[\"a\" \"b\"]", QByteArray("\0", 1), QByteArray("[1,\0]", 5), "\xEF\xBB\xBF", "\xff",
        "{\"$date\":\"2024-01-01\"", "{\"$table\":{\"columns\":[\"a\"],\"rows\":[[1,]]}}",
        "{\"$table\":{\"columns\":[\"a\"] \"rows\":[]}}", "{\"$tables\":{\"a\" {}}}",
    };
    for (const QByteArray &text : bad) {
        ZeltoJsonReader reader;
        QVariant value = 42;
        QVERIFY2(!reader.read(text, value), text.constData());
        QVERIFY2(reader.status() == ZeltoJsonReader::SyntaxError, text.constData());
        QVERIFY2(!value.isValid(), text.constData());
        QVERIFY2(!reader.errorString().isEmpty(), text.constData());
        QVERIFY2(reader.errorOffset() >= 0 && reader.errorOffset() <= text.size(), text.constData());
    }
    // A leading byte order mark is tolerated; reading from a raw pointer works too.
    QCOMPARE(parse("\xEF\xBB\xBF[1]"), QVariant(QVariantList{1}));
    ZeltoJsonReader reader;
    QVariant value;
    QVERIFY(reader.read("[1]garbage", 3, value));
    QVERIFY(!reader.read(nullptr, 0, value));
    QCOMPARE(reader.status(), ZeltoJsonReader::SyntaxError);
}

void TestZeltoJson::depthLimit()
{
    const int max = ZeltoJsonReader::MaxDepth;
    ZeltoJsonReader reader;
    QVariant value;
    QVERIFY(!reader.read(QByteArray(100000, '['), value));
    QCOMPARE(reader.status(), ZeltoJsonReader::SyntaxError);
    QVERIFY(!reader.read(QByteArray(100000, '[') + QByteArray(100000, ']'), value));
    QCOMPARE(reader.status(), ZeltoJsonReader::SyntaxError);
    QByteArray objects;
    for (int i = 0; i < 100000; ++i)
        objects += "{\"a\":";
    QVERIFY(!reader.read(objects, value));
    QCOMPARE(reader.status(), ZeltoJsonReader::SyntaxError);

    // Exactly at the limit is fine, one more is not, in both directions.
    QVERIFY(reader.read(QByteArray(max, '[') + QByteArray(max, ']'), value));
    QVERIFY(!reader.read(QByteArray(max + 1, '[') + QByteArray(max + 1, ']'), value));
    QVariant deep = QVariantList();
    for (int i = 1; i < max; ++i)
        deep = QVariantList{deep};
    QByteArray out;
    ZeltoJsonWriter writer;
    QVERIFY(writer.write(deep, out));
    QVERIFY(reader.read(out, value));
    out.clear();
    QVERIFY(!writer.write(QVariantList{deep}, out));
    QVERIFY(out.isEmpty());
    QVERIFY(!writer.errorString().isEmpty());

    // A table counts its own levels: tag, body, rows, row.
    QVariant nested = table({QStringLiteral("c")}, {{1}});
    for (int level = 4; level + 4 <= max; level += 4)
        nested = table({QStringLiteral("c")}, {{nested}});
    out.clear();
    QVERIFY(writer.write(nested, out));
    QVERIFY(reader.read(out, value));
    QVERIFY(same(value, nested));
    out.clear();
    QVERIFY(!writer.write(QVariantList{nested}, out));
    QVERIFY(!reader.read("[" + json(nested) + "]", value));
    QCOMPARE(reader.status(), ZeltoJsonReader::SyntaxError);
}

void TestZeltoJson::indented()
{
    QVariantMap record;
    record.insert(QStringLiteral("name"), QStringLiteral("ТК-1"));
    record.insert(QStringLiteral("values"), QVariantList{1, 2.5, QVariantList(), QVariantMap()});
    record.insert(QStringLiteral("when"), QDateTime(QDate(2024, 3, 1), QTime(10, 0), Qt::LocalTime));
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("t"), table({QStringLiteral("a"), QStringLiteral("b")}, {{1, 2}, {3}})
                                           .value<ZeltoTable>());
    record.insert(QStringLiteral("tables"), QVariant::fromValue(tables));
    record.insert(QStringLiteral("table"), table({QStringLiteral("x")}, {}));
    const QVariant value = QVariantList{record, QVariantList{QVariantList{1}}};

    const QByteArray pretty = json(value, true);
    QCOMPARE(pretty,
             QByteArray("[\n"
                        "  {\n"
                        "    \"name\": \"") + QStringLiteral("ТК-1").toUtf8() + QByteArray("\",\n"
                        "    \"table\": {\"$table\": {\n"
                        "      \"columns\": [\"x\"],\n"
                        "      \"rows\": []\n"
                        "    }},\n"
                        "    \"tables\": {\"$tables\": {\n"
                        "      \"t\": {\"$table\": {\n"
                        "        \"columns\": [\"a\",\"b\"],\n"
                        "        \"rows\": [\n"
                        "          [1,2],\n"
                        "          [3]\n"
                        "        ]\n"
                        "      }}\n"
                        "    }},\n"
                        "    \"values\": [\n"
                        "      1,\n"
                        "      2.5,\n"
                        "      [],\n"
                        "      {}\n"
                        "    ],\n"
                        "    \"when\": {\"$datetime\": \"2024-03-01T10:00:00.000\"}\n"
                        "  },\n"
                        "  [\n"
                        "    [\n"
                        "      1\n"
                        "    ]\n"
                        "  ]\n"
                        "]"));
    QVERIFY(roundTrips(value, true));
    QVERIFY(same(parse(pretty), parse(json(value))));
    const QByteArray compact = json(value);
    QVERIFY(!compact.contains('\n') && !compact.contains(": "));
}

// Mutated valid texts: every result is a clean success or a clean error, and
// whatever reads back writes to a text that reads back to the same text.
void TestZeltoJson::fuzz()
{
    const QDateTime hour(QDate(2024, 1, 1), QTime(1, 0), Qt::LocalTime);
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("h"), table({QStringLiteral("date"), QStringLiteral("v")},
                                             {{hour, 1.5}, {hour.addSecs(3600)}})
                                           .value<ZeltoTable>());
    const QVariant seeds[] = {
        QVariantList{1, -2.5e-3, QStringLiteral("a\"\\\n€\U0001F600"), true, QVariant(), qlonglong(1) << 40},
        QVariantMap{{QStringLiteral("k"), QVariantList{QDate(2024, 2, 29), QTime(1, 2, 3, 4)}},
                    {QStringLiteral("b"), QByteArray("\x01\x02\xff", 3)}},
        QVariant::fromValue(tables),
        table({QStringLiteral("a"), QStringLiteral("b")},
              {{QVariant::fromValue(ZeltoOutOfRange()), QVariant::fromValue(ZeltoUnused())}, {1e300}}),
    };
    QVector<QByteArray> texts;
    for (const QVariant &seed : seeds) {
        texts.append(json(seed));
        texts.append(json(seed, true));
    }
    const char interesting[] = "[]{}\",:\\-+.0123456789eEtrufalsn$ \n\x00\xff\xc3";
    QRandomGenerator random(7);
    int accepted = 0;
    ZeltoJsonReader reader;
    for (int i = 0; i < 6000; ++i) {
        QByteArray text = texts.at(int(random.bounded(texts.size())));
        const int edits = 1 + int(random.bounded(3));
        for (int e = 0; e < edits && !text.isEmpty(); ++e) {
            const int at = int(random.bounded(text.size()));
            const char c = interesting[random.bounded(int(sizeof interesting - 1))];
            switch (random.bounded(5)) {
            case 0: text[at] = c; break;
            case 1: text.insert(at, c); break;
            case 2: text.remove(at, 1 + int(random.bounded(8))); break;
            case 3: text.truncate(at); break;
            default: text.insert(at, text.mid(int(random.bounded(text.size())), 16)); break;
            }
        }
        QVariant value;
        const bool ok = reader.read(text, value);
        if (!ok) {
            QVERIFY2(reader.status() != ZeltoJsonReader::Ok && !value.isValid(), text.constData());
            QVERIFY2(!reader.errorString().isEmpty(), text.constData());
            QVERIFY2(reader.errorOffset() >= 0 && reader.errorOffset() <= text.size(), text.constData());
            continue;
        }
        ++accepted;
        QString error;
        const QByteArray first = ZeltoJsonWriter::toJson(value, false, &error);
        QVERIFY2(!first.isEmpty(), qPrintable(error));
        QVariant again;
        QVERIFY2(reader.read(first, again), first.constData());
        QCOMPARE(ZeltoJsonWriter::toJson(again), first);
    }
    // Some mutations keep the text valid; all of them failing would mean the
    // loop never exercised the accepting path.
    QVERIFY(accepted > 0);
}

QTEST_GUILESS_MAIN(TestZeltoJson)
#include "tst_zeltojson.moc"
