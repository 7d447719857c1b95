#include "samevalue.h"
#include "zeltojsonreader.h"
#include "zeltojsonwriter.h"
#include "zeltomarkers.h"
#include "zeltotable.h"

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

QVariant parse(const QByteArray &text, ZeltoJsonReader::Status expected = ZeltoJsonReader::Ok)
{
    ZeltoJsonReader reader;
    QVariant value = 42;
    const bool ok = reader.read(text, value);
    const bool clean = ok || (!value.isValid() && !reader.errorString().isEmpty() && reader.errorOffset() >= 0
                              && reader.errorOffset() <= text.size());
    if (reader.status() != expected || ok != (expected == ZeltoJsonReader::Ok) || !clean) {
        qWarning("read(%s): status %d, expected %d: %s", text.left(200).constData(), int(reader.status()),
                 int(expected), qPrintable(reader.errorString()));
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

} // namespace

class TestZeltoJson : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // UTC+5 without summer time, in POSIX form: no zone database needed.
        setZone("YEKT-5");
    }

    // Pinned writer output of each kind of value; values that read back
    // identically say so. Doubles are pinned in doublesRoundTripBitExact.
    void writes_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("roundTrips");
        const auto row = [](const char *name, const QVariant &value, const QByteArray &text, bool back) {
            QTest::newRow(name) << value << text << back;
        };
        const double inf = std::numeric_limits<double>::infinity();
        const QString smile = QString::fromUcs4(U"\U0001F600");
        row("zero", 0, "0", true);
        row("double", 5.0, "5.0", true);
        row("NaN", std::nan(""), "null", false);
        row("inf", inf, "null", false);
        row("float", 2.5f, "2.5", false);
        row("float whole", 3.0f, "3.0", false);
        row("uint", uint(4000000000u), "4000000000", false);
        row("int64 min", std::numeric_limits<qlonglong>::min(), "-9223372036854775808", true);
        row("uint64 max", std::numeric_limits<qulonglong>::max(), "18446744073709551615", true);
        row("bool", true, "true", true);
        row("null", QVariant(), "null", true);
        // SQL NULL columns read back as typed nulls; they are no value, not 0.
        row("null double", QVariant(QVariant::Double), "null", false);
        // Quotes, backslashes and control characters escaped; '/' and non-ASCII text as they are.
        row("escapes", QStringLiteral("a\"b\\c/d\n\t\r\b\f") + QChar(1) + QChar(0x1f) + QChar(0) + "Тепло €",
            "\"a\\\"b\\\\c/d\\n\\t\\r\\b\\f\\u0001\\u001f\\u0000Тепло €\"", true);
        row("null text", QString(), "\"\"", false);
        row("surrogate pair", smile, "\"\xF0\x9F\x98\x80\"", true);
        // Lone surrogates become U+FFFD.
        row("lone pair reversed", QString(QChar(0xdc00)) + QChar(0xd800), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"", false);
        row("local time", QDateTime(QDate(2024, 3, 1), QTime(10, 5, 7, 42)), "{\"$datetime\":\"2024-03-01T10:05:07.042\"}", true);
        row("null date-time", QDateTime(), "{\"$datetime\":\"\"}", true);
        // UTC and offset values are written in local time (UTC+5 here).
        row("UTC", QDateTime(QDate(2024, 1, 15), QTime(22, 30, 0, 250), Qt::UTC), "{\"$datetime\":\"2024-01-16T03:30:00.250\"}", false);
        row("offset", QDateTime(QDate(2024, 1, 15), QTime(12, 0), Qt::OffsetFromUTC, 3 * 3600),
            "{\"$datetime\":\"2024-01-15T14:00:00.000\"}", false);
        row("date", QDate(2024, 2, 29), "{\"$date\":\"2024-02-29\"}", true);
        row("early date", QDate(5, 1, 2), "{\"$date\":\"0005-01-02\"}", true);
        row("null date", QDate(), "{\"$date\":\"\"}", true);
        row("time", QTime(23, 59, 59, 999), "{\"$time\":\"23:59:59.999\"}", true);
        row("midnight", QTime(0, 0), "{\"$time\":\"00:00:00.000\"}", true);
        row("null time", QTime(), "{\"$time\":\"\"}", true);
        row("bytes", QByteArray("\xfa\xfb\xfc\xfd\xfe", 5), "{\"$bytes\":\"+vv8/f4=\"}", true);
        row("no bytes", QByteArray(""), "{\"$bytes\":\"\"}", true);
        row("out of range", marker(true), "{\"$marker\":\"OutOfRange\"}", true);
        row("unused", marker(false), "{\"$marker\":\"Unused\"}", true);
        row("empty list", QVariantList(), "[]", true);
        row("empty map", QVariantMap(), "{}", true);
        row("list", QVariantList{1, QStringLiteral("a")}, "[1,\"a\"]", true);
        row("string list", QStringList{QStringLiteral("a"), QStringLiteral("b")}, "[\"a\",\"b\"]", false);
        row("table", table({QStringLiteral("a"), QStringLiteral("b")}, {{1, 2.0}, {3}}),
            "{\"$table\":{\"columns\":[\"a\",\"b\"],\"rows\":[[1,2.0],[3]]}}", true);
        row("empty table", table({}, {}), "{\"$table\":{\"columns\":[],\"rows\":[]}}", true);
        row("no tables", QVariant::fromValue(ZeltoTableMap()), "{\"$tables\":{}}", true);
    }

    void writes()
    {
        QFETCH(QVariant, value);
        QFETCH(QByteArray, text);
        QFETCH(bool, roundTrips);
        QCOMPARE(json(value), text);
        QVERIFY(!roundTrips || ::roundTrips(value));
    }

    // Reader results of exact type, for what the writer never produces.
    void reads_data()
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
        row("string list", "[\"a\"]", QVariantList{QStringLiteral("a")});
        // Duplicate keys: the last one wins, as in most readers.
        row("duplicate key", "{\"k\":1,\"k\":2}", QVariantMap{{QStringLiteral("k"), 2}});
        row("escaped key", "{\"\\u0041\":1}", QVariantMap{{QStringLiteral("A"), 1}});
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

    void reads()
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
    void refuses_data()
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

    void refuses()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, status);
        ZeltoJsonReader reader;
        QVariant value = 42;
        QVERIFY(!reader.read(text, value) && !value.isValid() && !reader.errorString().isEmpty()
                && reader.errorOffset() >= 0 && reader.errorOffset() <= text.size());
        QCOMPARE(int(reader.status()), status);
        if (status == ZeltoJsonReader::InvalidValue)
            QVERIFY2(reader.errorString().contains(QStringLiteral("байт")), qPrintable(reader.errorString()));
        // The reader recovers for the next text.
        QVERIFY(reader.read(QByteArray("[1]"), value));
        QVERIFY(reader.status() == ZeltoJsonReader::Ok && reader.errorString().isEmpty() && reader.errorOffset() == -1);
    }

    void doublesRoundTripBitExact()
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
    }

    void timesAroundClockChanges()
    {
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

    void containersAndTables()
    {
        QByteArray all(256, 0);
        std::iota(all.begin(), all.end(), 0);   // every byte
        QVERIFY(roundTrips(all) && roundTrips(QString(1000, QChar(0x42f))));
        const QString broken = parse("\"a\xff\xfe\xc3(b\"").toString();   // invalid UTF-8 is replaced, not trusted
        QVERIFY(broken.startsWith(QLatin1Char('a')) && broken.endsWith(QLatin1Char('b')) && broken.contains(QChar(0xfffd)));

        QVariantMap inner{{QStringLiteral("a$b"), 1}, {QStringLiteral("пусто"), QVariant()}, {QString(), QVariantList()}};
        QVERIFY(roundTrips(QVariantList{1, 2.0, QStringLiteral("x"), true, QVariant(), QVariantMap(), inner,
                                        QVariantList{QVariantList{qlonglong(1) << 40}}}));
        // A hash reads back as a map; its keys are written sorted so equal hashes give equal text.
        QVariantHash hash;
        for (int i = 0; i < 20; ++i)
            hash.insert(QString::number(i), i);
        const QByteArray text = json(hash);
        QVERIFY(text.startsWith("{\"0\":0,\"1\":1,\"10\":10,"));
        QVERIFY(parse(text).userType() == QMetaType::QVariantMap && json(parse(text)) == text);

        const QDateTime hour(QDate(2024, 1, 1), QTime(1, 0), Qt::LocalTime);
        const QVariant full = table({"date", "t1", "note"},
                                    {{hour, 70.5, QStringLiteral("ок")}, {hour.addSecs(3600), marker(true), QVariant()},
                                     {hour.addSecs(7200)}, {}, {QVariant(), marker(false), QVariantList{1, 2}}});
        // Also a table without rows, a table in a table cell, and tables in a list, a map and a set of tables.
        const ZeltoTableMap tables{{"hour_data", full.value<ZeltoTable>()}, {"$odd name", ZeltoTable({"x"})}};
        for (const QVariant &value : {full, table({"only"}, {}), table({"sub"}, {{full}}), QVariant::fromValue(tables),
                                      QVariant(QVariantList{full, QVariantMap{{QStringLiteral("t"), full}}})})
            QVERIFY(roundTrips(value));
    }

    void writerErrors()
    {
        ZeltoJsonWriter writer;
        QByteArray out("prefix:");
        QVERIFY(writer.write(QVariantList{1}, out));
        QCOMPARE(out, QByteArray("prefix:[1]"));

        // Failure leaves what was there before and names the culprit: a type the wire
        // does not carry, or a "$" key, which would read back as a tag.
        const QList<QPair<QVariant, QString>> bad{{QVariantList{1, QUrl(QStringLiteral("http://x"))}, "QUrl"},
                                                  {QVariantList{QVariantMap{{"$date", 1}}}, "$date"}, {QVariantHash{{"$x", 1}}, "$x"}};
        for (const auto &b : bad) {
            QVERIFY2(!writer.write(b.first, out) && writer.errorString().contains(b.second), qPrintable(b.second));
            QCOMPARE(out, QByteArray("prefix:[1]"));
        }

        // The writer is usable again after a failure.
        QVERIFY(writer.write(QStringLiteral("ok"), out) && writer.errorString().isEmpty());
        QCOMPARE(out, QByteArray("prefix:[1]\"ok\""));

        QString error = QStringLiteral("stale");
        QCOMPARE(ZeltoJsonWriter::toJson(1, false, &error), QByteArray("1"));
        QVERIFY(error.isEmpty());
    }

    void depthLimit()
    {
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
        QString error;
        QVERIFY(ZeltoJsonWriter::toJson(QVariantList{deep}, false, &error).isEmpty() && !error.isEmpty());

        // A table counts its own levels: tag, body, rows, row.
        QVariant nested = table({QStringLiteral("c")}, {{1}});
        for (int level = 4; level + 4 <= max; level += 4)
            nested = table({QStringLiteral("c")}, {{nested}});
        QVERIFY(roundTrips(nested));
        QVERIFY(ZeltoJsonWriter::toJson(QVariantList{nested}).isEmpty());
        QVERIFY(!parse("[" + json(nested) + "]", ZeltoJsonReader::SyntaxError).isValid());
    }

    void indented()
    {
        const ZeltoTableMap tables{{"t", table({"a", "b"}, {{1, 2}, {3}}).value<ZeltoTable>()}};
        const QVariantMap value{{QStringLiteral("tables"), QVariant::fromValue(tables)},
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
};

QTEST_GUILESS_MAIN(TestZeltoJson)
#include "tst_zeltojson.moc"
