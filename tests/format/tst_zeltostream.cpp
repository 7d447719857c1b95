// The stored value format: values and tables through both versions of the stream, damaged and
// hostile bytes, packed double blocks, the frame; and the table splice that edits stored tables.

#include "samevalue.h"
#include "streamfixtures.h"
#include "streamtesting.h"
#include "zeltodoublepacker.h"
#include "zeltotable.h"
#include "zeltotablesplice.h"

#include <QtTest>

namespace {

using StreamFixtures::local;

QByteArray varint(quint64 v)
{
    QByteArray out;
    for (; v >= 0x80; v >>= 7)
        out.append(char(uchar(v) | 0x80));
    return out.append(char(v));
}

QByteArray bytesOf(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

QByteArray u64(quint64 v) { return le32(quint32(v)) + le32(quint32(v >> 32)); }

void setZone(const QByteArray &zone) { qputenv("TZ", zone); tzset(); }

quint64 zigzag(qint64 n) { return (quint64(n) << 1) ^ quint64(n >> 63); }

// Bits low bit first, as packed double blocks hold them.
struct Bits
{
    QByteArray bytes;
    int used = 0;

    Bits &put(quint64 value, int width)
    {
        for (int k = 0; k < width; ++k, ++used) {
            if (used % 8 == 0)
                bytes.append('\0');
            if ((value >> k) & 1)
                bytes[used / 8] = char(bytes.at(used / 8) | (1 << (used % 8)));
        }
        return *this;
    }
};

// A table of one typed double column "a", no presence bitmap, cells as given.
QByteArray doubleColumnTable(quint64 rows, const QByteArray &cells)
{
    return bytesOf({ 0x0F, 1, 2, 'a' }) + varint(rows) + bytesOf({ 0x06 }) + varint(quint64(cells.size())) + cells;
}

// Whether the value reads back the same from the given version; why not is logged.
bool roundTrips(const QVariant &value, int version = 0)
{
    ZeltoStream::Status status;
    QString error, why;
    const QByteArray bytes = encodeStream(value, &status, version, &error);
    const QVariant back = status == ZeltoStream::Ok ? decodeStream(bytes, &status, &error) : QVariant();
    if (status == ZeltoStream::Ok && same(value, back, &why))
        return true;
    qWarning("no round trip: %s", qPrintable(error + why));
    return false;
}

// True when the bytes read as no value, with an error (of the given status) that says text.
bool refused(const QByteArray &bytes, const QString &text = QString(), ZeltoStream::Status expected = ZeltoStream::Ok)
{
    ZeltoStream::Status status;
    QString error;
    const QVariant v = decodeStream(bytes, &status, &error);
    return status != ZeltoStream::Ok && (expected == ZeltoStream::Ok || status == expected) && !v.isValid() && !error.isEmpty()
           && error.contains(text);
}

// The fixture table: a column of every kind, short rows, nulls and markers.
ZeltoTable fixtureTable() { return StreamFixtures::values().toMap().value(QStringLiteral("table")).value<ZeltoTable>(); }

// Double columns in every block mode (decimal, with exceptions, XOR, raw), a constant, gaps.
ZeltoTable packedTable()
{
    ZeltoTable t(QStringList{ "date", "decimal", "exceptions", "xor", "raw", "constant", "gaps" });
    quint64 state = 7;
    for (int r = 0; r < 150; ++r) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double noise = fromBits(state);
        t.appendRow(QVariantList{ local(2024, 3, 30, 0, 0).addSecs(3600LL * r), (7000 + r * 3 % 50) / 100.0,
                                  r % 11 == 4 ? -0.0 : (123456 + r * 17) / 1000.0, 60 + r % 40 * 0.125 + 1.0 / (r + 1),
                                  std::isfinite(noise) ? noise : 1.0, 2.5,
                                  r % 3 ? QVariant((6000 + r % 7) / 1000.0) : QVariant() });
    }
    return t;
}

// Column values of one kind, n of them, from the random generator.
enum ColumnKind { Temperatures, Counters, Pressures, Integers, RandomBits, Specials, DecimalsWithExceptions,
                  MixedPrecision, HugeJumps, Drifts, Constant, Runs, KindCount };

double special(int i)
{
    static const double values[] = { -0.0, 0.0, fromBits(0x7ff8000000000000ULL), fromBits(0xfff8000000000123ULL),
                                     fromBits(0x7ff0000000000001ULL), std::numeric_limits<double>::infinity(),
                                     -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                                     std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                                     std::numeric_limits<double>::lowest(), 9007199254740992.0, 9007199254740994.0,
                                     -9007199254740992.0, 1e-15, 1.5e-16, 0.1 + 0.2, 1e15 + 0.5, 123456.7890123456,
                                     1.0 / 3, -1e-300, 5e-324 * 3 };
    return values[i % int(sizeof values / sizeof values[0])];
}

double cellOf(ColumnKind kind, int i, qint64 &walk, QRandomGenerator &random)
{
    switch (kind) {
    case Temperatures: return (walk = qBound<qint64>(-5000, walk + random.bounded(-60, 61), 12000)) / 100.0;
    case Counters: return (walk += random.bounded(0, 4000)) / 1000.0;
    case Pressures: return (6000 + random.bounded(-300, 301)) / 1000.0;
    case Integers: return double(qint64(random.generate64() % 2000001) - 1000000);
    case RandomBits: return fromBits(random.generate64());
    case Specials: return special(int(random.bounded(1000)));
    case DecimalsWithExceptions: return i % 37 == 5 ? special(i / 37) : (walk + i * 13) / 100.0;
    case MixedPrecision: return double(qint64(random.bounded(1000000))) / std::pow(10.0, (i / 700) % 16);
    case HugeJumps: return (i % 2 ? 9007199254740991.0 : -9007199254740991.0) / (i % 3 ? 1.0 : 1000.0);
    case Drifts: return 60 + i % 40 * 0.125 + 1.0 / (i + 1);   // no short decimals, but neighbours share most bits
    default: return 1.0;
    }
}

// Cells of one kind, or for Runs of runs of random kinds.
QVariantList cellsOf(ColumnKind kind, int rows, QRandomGenerator &random)
{
    QVariantList cells;
    while (cells.size() < rows) {
        const int run = kind == Runs ? qMin(rows - cells.size(), 1 + int(random.bounded(rows))) : rows;
        const ColumnKind runKind = kind == Runs ? ColumnKind(random.bounded(int(Runs))) : kind;
        qint64 walk = random.bounded(1000, 9000);
        for (int i = 0; i < run; ++i)
            cells << cellOf(runKind, i, walk, random);
    }
    return cells;
}

// Archives for the table splice.

QByteArray encode(const ZeltoTable &table, int version = 0) { return encodeStream(QVariant::fromValue(table), nullptr, version); }

// Rows from..to of table, then those of tail.
ZeltoTable rows(const ZeltoTable &table, int from, int to, const ZeltoTable &tail = ZeltoTable())
{
    QVector<QVector<QVariant>> cells;
    for (int r = from; r < to; ++r)
        cells.append(table.rowCells(r));
    for (int r = 0; r < tail.rowCount(); ++r)
        cells.append(tail.rowCells(r));
    ZeltoTable result;
    result.setContent(table.columnNames(), std::move(cells));
    return result;
}

const QStringList kColumns = { "date", "t1", "counter", "noise", "special", "count", "note", "flag", "marker" };

// An archive-like row: hourly date, decimals, counter, noise, specials, integers, texts,
// sparse flags, numbers among markers. `odd` brings cells of other kinds.
QVector<QVariant> archiveRow(int r, QRandomGenerator &random, bool odd)
{
    static const double specials[] = { 0.0, -0.0, std::numeric_limits<double>::quiet_NaN(),
                                       std::numeric_limits<double>::infinity(), 5e-324, 1.5 };
    QVector<QVariant> row;
    row << QDateTime(QDate(2021, 3, 1), QTime(0, 0), Qt::LocalTime).addSecs(3600LL * r)
        << std::round((60 + 10 * std::sin(r / 24.0) + random.bounded(1.0)) * 100) / 100 << 1000.0 + r * 0.125
        << random.generateDouble() * 1e6 << specials[random.bounded(6)] << int(random.bounded(100)) - 50
        << QVariant(r % 7 == 0 ? QStringLiteral("заметка %1").arg(r) : QString())
        << (r % 5 == 0 ? QVariant(true) : QVariant())
        << (r % 11 == 0 ? QVariant::fromValue(ZeltoOutOfRange()) : QVariant(double(r)));
    if (odd) {
        switch (random.bounded(6)) {
        case 0: row[1] = QStringLiteral("текст среди чисел"); break;
        case 1: row[2] = QVariant(); break;
        case 2: row[0] = QDateTime(QDate(2021, 3, 1), QTime(0, 0), Qt::UTC).addSecs(3600LL * r); break;
        case 3: row[5] = qlonglong(r); break;
        case 4: row[8] = 1.25; break;
        default: row[3] = QVariant(QVariant::Double); break;
        }
    }
    return row;
}

ZeltoTable archive(int first, int count, QRandomGenerator &random, int oddEvery = 0)
{
    QVector<QVector<QVariant>> cells;
    for (int r = first; r < first + count; ++r)
        cells.append(archiveRow(r, random, oddEvery && random.bounded(oddEvery) == 0));
    ZeltoTable table;
    table.setContent(kColumns, std::move(cells));
    return table;
}

} // namespace

class TestZeltoStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with daylight saving time, so that local times can be ambiguous.
        setZone("Europe/Berlin");
    }

    // Edge values beyond those of the fixture files: extremes, every byte,
    // typed nulls of every kind of body, times at their edges, containers;
    // local times across zone changes.
    void valuesAndLocalTimesRoundTrip()
    {
        QByteArray all(256, 0);
        std::iota(all.begin(), all.end(), 0);   // every byte
        QVariantMap inner{ { QStringLiteral("a"), QVariantList{ 1, 2u, 3LL, QVariant(), QVariantMap{ { QStringLiteral(""), 0.5 } } } },
                           { QStringLiteral("b"), QStringList{ QStringLiteral("x") } } };
        const QVariantList deep{ inner, QVariantList{ QVariantList{ QVariantList{ inner } } }, QByteArray("\0", 1) };
        QVariantList values{
            std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), std::numeric_limits<uint>::max(),
            std::numeric_limits<qlonglong>::min(), std::numeric_limits<qlonglong>::max(), -std::numeric_limits<double>::infinity(),
            QString(QChar(0)) + QStringLiteral("after zero \U0001F525"), QString(2, QChar(0xFEFF)) + QStringLiteral("marks first"),
            all + QByteArray(5, '\0'), QVariant::fromValue(char('\xff')),
            local(2024, 7, 15, 13, 45, 12, 345),
            QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, -(5 * 3600 + 1800)),
            QDate(-4713, 1, 1), QTime(0, 0), QStringList(), QVariantList(), QVariantMap(), deep,
            QVariantMap{ { QStringLiteral("deep"), deep }, { QStringLiteral("ключ"), inner } } };
        // Nulls of a type, as the database layer makes for NULL columns.
        for (int type : { int(QMetaType::Int), int(QMetaType::Bool), int(QMetaType::Double), int(QMetaType::ULongLong),
                          int(QMetaType::QVariantList), int(QMetaType::QVariantMap), int(QMetaType::QStringList),
                          qMetaTypeId<ZeltoOutOfRange>(), int(QMetaType::QString), int(QMetaType::QDateTime) })
            values << QVariant(QVariant::Type(type));
        // Tables: empty, columns or rows only, a typed null among doubles, a marker column
        // and a table in a table, date-times of mixed kinds, maps of tables.
        ZeltoTable rowsOnly, nulls(QStringList{ "value", "count" }), markers(QStringList{ "m", "inner" }),
            dates(QStringList{ "kinds", "invalid", "nulldate" });
        rowsOnly.setContent(QStringList(), QVector<QVector<QVariant>>(2));
        for (int r = 0; r < 20; ++r) {
            nulls.appendRow(QVariantList{ r == 4 ? QVariant(QVariant::Double) : QVariant(r * 0.5), QVariant(QVariant::Int) });
            markers.appendRow(QVariantList{ QVariant::fromValue(ZeltoUnused()), r == 3 ? QVariant::fromValue(fixtureTable()) : QVariant() });
        }
        dates.appendRow(QVariantList{ local(2024, 1, 1, 0, 0), QDateTime(), QDate() });
        dates.appendRow(QVariantList{ QDateTime(QDate(2024, 1, 1), QTime(1, 0), Qt::UTC), local(2024, 1, 1, 0, 0), QDate(2024, 1, 1) });
        for (const ZeltoTable &table : { ZeltoTable(), ZeltoTable(QStringList{ QStringLiteral("a"), QStringLiteral("b") }),
                                         rowsOnly, nulls, markers, dates })
            values << QVariant::fromValue(table);
        values << QVariant::fromValue(ZeltoTableMap{ { "hour", fixtureTable() }, { "empty", ZeltoTable() } })
               << QVariant::fromValue(ZeltoTableMap());
        for (const QVariant &value : values)
            QVERIFY(roundTrips(value));
        // Invalid date-times come back as null ones.
        const QVariant invalid = decodeStream(encodeStream(QDateTime(QDate(2020, 13, 40), QTime(1, 2))));
        QVERIFY(invalid.userType() == QMetaType::QDateTime && invalid.toDateTime().isNull());
        // Short rows stay short: no cells appear after the last stored one.
        QVERIFY(decodeStream(encodeStream(QVariant::fromValue(fixtureTable()))).value<ZeltoTable>().rowCells(6).size() <= 5);

        // The nesting limit is the same for writing and reading.
        QVariant nested = 1;
        for (int i = 0; i < 256; ++i)
            nested = QVariantList{ nested };
        QVERIFY(roundTrips(nested));
        ZeltoStream::Status status;
        QVERIFY(encodeStream(QVariantList{ nested }, &status).size() == 1 && status == ZeltoStream::WriteFailed);
        // Rows without columns are free in bytes, so a value may hold few.
        ZeltoTable manyRows;
        QVERIFY(manyRows.setContent(QStringList(), QVector<QVector<QVariant>>(40000)));
        QVERIFY(roundTrips(QVariant::fromValue(manyRows)));
        QVERIFY(encodeStream(QVariantList{ QVariant::fromValue(manyRows), QVariant::fromValue(manyRows) }, &status).size() == 1
                && status == ZeltoStream::WriteFailed);

        // Local times keep their instant across clock and offset changes (Moscow 2011 and 2014,
        // Apia's skipped day), in table columns and as single values, in order and shuffled.
        const int windows[][6] = { { 2011, 3, 25, 2011, 3, 29 }, { 2011, 12, 28, 2012, 1, 2 }, { 2014, 10, 24, 2014, 10, 28 },
                                   { 2021, 3, 26, 2021, 3, 30 }, { 2021, 10, 29, 2021, 11, 2 }, { 1969, 12, 30, 1970, 1, 3 } };
        const QList<QByteArray> zones{ "Europe/Moscow", "Pacific/Apia", "Australia/Lord_Howe", "Europe/Berlin" };
        QRandomGenerator random(7);
        for (const QByteArray &zone : zones) {
            setZone(zone);
            QVariantList times;
            for (const auto &w : windows) {
                const qint64 from = QDateTime(QDate(w[0], w[1], w[2]), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
                const qint64 to = QDateTime(QDate(w[3], w[4], w[5]), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
                for (qint64 ms = from; ms < to; ms += 900000 + 7)
                    times << QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
            }
            QVariantList shuffled = times;
            for (int i = shuffled.size() - 1; i > 0; --i)
                shuffled.swapItemsAt(i, int(random.bounded(i + 1)));
            for (const QVariantList &list : { times, shuffled }) {
                ZeltoTable table(QStringList{ QStringLiteral("date") });
                for (const QVariant &v : list)
                    table.appendRow(QVariantList{ v });
                for (const QVariant &value : { QVariant(list), QVariant::fromValue(table) })
                    QVERIFY2(roundTrips(value), zone.constData());
            }
        }

        // The bytes hold instants: another zone reads the same moment.
        const QDateTime berlin = QDateTime::fromMSecsSinceEpoch(1635640200000LL, Qt::LocalTime);
        setZone("Asia/Yekaterinburg");
        const QDateTime elsewhere = decodeStream(encodeStream(berlin)).toDateTime();
        setZone("Europe/Berlin");
        QCOMPARE(elsewhere.toMSecsSinceEpoch(), 1635640200000LL);
        QCOMPARE(elsewhere.timeSpec(), Qt::LocalTime);
    }

    // Double columns of every kind read back bit for bit in both versions, at lengths
    // around the block and group sizes; version 2 packs them to maxBytes a cell.
    void doubleColumns_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("missingEvery");   // 0: every cell present
        QTest::addColumn<double>("maxBytes");    // looked at from 1024 rows
        const char *names[] = { "temperatures", "counters", "pressures", "integers", "random bits", "specials",
                                "decimals with exceptions", "mixed precision", "huge jumps", "drifts", "constant", "runs" };
        const double maxBytes[] = { 1.2, 1.9, 1.6, 3.3, 8.05, 8.05, 1.4, 3.5, 8.05, 7.2, 0.25, 8.05 };
        for (int kind = 0; kind < KindCount; ++kind) {
            for (int rows : { 1, 2, 127, 129, 1024, 1025 })
                QTest::addRow("%s, %d rows", names[kind], rows) << kind << rows << 0 << maxBytes[kind];
            QTest::addRow("%s, missing cells", names[kind]) << kind << 2500 << 3 << maxBytes[kind];
        }
    }

    void doubleColumns()
    {
        QFETCH(int, kind);
        QFETCH(int, rows);
        QFETCH(int, missingEvery);
        QFETCH(double, maxBytes);
        QRandomGenerator random(quint32(kind * 1000 + rows));
        QVariantList cells = cellsOf(ColumnKind(kind), rows, random);
        for (int r = 0; missingEvery && r < cells.size(); r += missingEvery)
            cells[r] = QVariant();
        ZeltoTable table(QStringList{ QStringLiteral("date"), QStringLiteral("v") });
        for (int r = 0; r < rows; ++r)
            table.appendRow(QVariantList{ local(2021, 10, 30, 0, 0).addSecs(3600LL * r), cells.at(r) });
        for (int version : { 1, 2 })
            QVERIFY2(roundTrips(QVariant::fromValue(table), version), qPrintable(QStringLiteral("version %1").arg(version)));
        // The hourly dates take 4 bytes a row.
        const double perCell = (encodeStream(QVariant::fromValue(table)).size() - 4.0 * rows) / rows;
        QVERIFY2(rows < 1024 || perCell <= maxBytes, qPrintable(QString::number(perCell)));
    }

    // Values without a stored form fail the whole value, also nested deep in a good one: nothing of it stays in
    // the bytes, and the error names the type.
    void valuesWithoutAStoredForm()
    {
        ZeltoTable table(QStringList{ QStringLiteral("a") });
        for (int r = 0; r < 100; ++r)
            table.appendRow(QVariantList{ r == 77 ? QVariant(QUrl()) : QVariant(r * 1.0) });
        const QList<QPair<QVariant, QString>> bad{ { QUrl(QStringLiteral("http://x")), "QUrl" },
                                                   { QVariantMap{ { QStringLiteral("t"), QVariant::fromValue(table) } }, "QUrl" } };
        for (const auto &value : bad) {
            ZeltoStream::Status status;
            QString error;
            QCOMPARE(encodeStream(value.first, &status, 0, &error).size(), 1);
            QVERIFY2(status == ZeltoStream::WriteFailed && error.contains(value.second), qPrintable(error));
        }
    }

    // Files written by the version-1 encoder read back as the values they were
    // written from, and survive a round trip through version 2.
    void version1Fixtures()
    {
        for (const auto &fixture : { qMakePair(QStringLiteral("stream-v1-values.bin"), StreamFixtures::values()),
                                     qMakePair(QStringLiteral("stream-v1-archive.bin"), QVariant::fromValue(StreamFixtures::archive())) }) {
            QFile file(QStringLiteral(ORVEX_TEST_DATA "/") + fixture.first);
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(fixture.first));
            const QByteArray bytes = file.readAll();
            QCOMPARE(int(uchar(bytes.at(0))), 1);
            const QVariant back = decodeStream(bytes);
            QString why;
            QVERIFY2(same(fixture.second, back, &why), qPrintable(fixture.first + ": " + why));
            QVERIFY(roundTrips(back));
        }
    }

    // Damaged bytes never read as a value: every truncation (version-2 values also
    // re-framed with a good checksum, so that the parser meets the cut), every bit flip
    // under the checksum. Random edits are the stream fuzz target's.
    void damagedAndHostileBytes()
    {
        for (const QVariant &value : { StreamFixtures::values(), QVariant::fromValue(packedTable()),
                                       QVariant::fromValue(StreamFixtures::archive()) }) {
            for (int version : { 1, 2 }) {
                const QByteArray full = encodeStream(value, nullptr, version);
                const QByteArray body = version == 1 ? full.mid(1) : full.mid(5).chopped(4);
                QVERIFY(!refused(full));
                for (int length = 0; length < body.size(); ++length) {
                    const QByteArray cut = version == 1 ? full.left(1 + length) : version2Stream(body.left(length));
                    QVERIFY2(refused(full.left(length)) && refused(cut),
                             qPrintable(QStringLiteral("version %1, prefix %2 read as a value").arg(version).arg(length)));
                }
                for (int bit = 8; version == 2 && bit < full.size() * 8; ++bit) {
                    QByteArray bytes = full;
                    bytes[bit / 8] = char(bytes.at(bit / 8) ^ (1 << (bit % 8)));
                    QVERIFY2(refused(bytes), qPrintable(QStringLiteral("bit %1 flipped unnoticed").arg(bit)));
                }
            }
        }

        // Hostile lengths, counts, tags and nesting.
        const auto fails = [](const QByteArray &body) { return refused(QByteArray(1, char(1)) + body); };
        QVERIFY(fails(bytesOf({ 0x0D }) + varint(1ULL << 31)));          // list of 2^31 values
        // Lists, string lists, maps, table maps and tables of 2^31 - 1 parts.
        for (int tag : { 0x0D, 0x0C, 0x0E, 0x10, 0x0F })
            QVERIFY2(fails(bytesOf({ tag }) + varint(0x7fffffff)), qPrintable(QString::number(tag)));
        QVERIFY(fails(bytesOf({ 0x07 }) + varint(1ULL << 40)));          // string length
        QVERIFY(fails(bytesOf({ 0x08 }) + varint(100) + "short"));       // byte array length
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a' }) + varint(0x7fffffff) + bytesOf({ 0x86, 0x7f })));   // rows
        QVERIFY(fails(bytesOf({ 0x0F, 0 }) + varint(65537)));            // rows without columns
        QVERIFY(!fails(bytesOf({ 0x0F, 0 }) + varint(65536)));
        const QByteArray emptyTable = bytesOf({ 0x0F, 0 }) + varint(40000);
        QVERIFY(fails(bytesOf({ 0x0D, 2 }) + emptyTable + emptyTable));  // ... counted over the whole value
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 1, 0x91, 1, 1 })));    // typed marker column
        QVERIFY(fails(bytesOf({ 0x0F, 2, 2, 'a', 2, 'a', 0, 0x80, 0, 0x80, 0 })));   // duplicate columns
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 16, 0x00, 0 })));      // null column without bitmap
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 16, 0x06, 8 }) + QByteArray(8, 0)));   // doubles short of rows
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 1, 0x06, 9 }) + QByteArray(9, 0)));    // trailing bytes
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 1, 0xC0, 2, 0, 0 })));  // mixed with bitmap
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 1, 0x40, 1, 0x0D })));  // cell past its column
        QVERIFY(fails(bytesOf({ 0x0F, 1, 2, 'a', 1, 0x09, 7, 1, 0 })));  // unknown kind of date
        QVERIFY(fails(bytesOf({ 0x7f })));                               // unknown tag
        QVERIFY(fails(bytesOf({ 0x01, 2 })));                            // bool 2
        QVERIFY(fails(bytesOf({ 0x02 }) + varint(1ULL << 33)));          // int beyond 32 bits
        QVERIFY(fails(bytesOf({ 0x05 }) + QByteArray(10, char(0xff)) + bytesOf({ 1 })));   // varint > 10 bytes
        QVERIFY(fails(bytesOf({ 0x0A }) + varint(1ULL << 62)));          // date out of range
        QVERIFY(fails(bytesOf({ 0x0B }) + varint(86400001)));            // time of day
        QVERIFY(fails(bytesOf({ 0x09, 3 }) + varint(200000) + varint(0)));   // offset of days
        QVERIFY(fails(bytesOf({ 0x09, 2 }) + varint(~0ULL)));           // instant out of range
        QVERIFY(fails(bytesOf({ 0x14 }) + varint(0x10000)));             // QChar

        // Nesting far below the stack limit: rejected, not recursed into.
        QVERIFY(fails(QByteArray(100000, char(0x0D))));
        QVERIFY(fails(QByteArray(300, char(0x0D)) + QByteArray(300, char(0))));

        // Invalid UTF-8 is not an error, just replaced.
        QCOMPARE(decodeStream(bytesOf({ 1, 0x07, 5, 0xff, 0xc3, 0x28, 0xed })).userType(), int(QMetaType::QString));
    }

    // Packed double blocks made by hand from the grammar: well-formed ones
    // read as the numbers they say, malformed ones are refused.
    void packedBlocks_data()
    {
        QTest::addColumn<quint64>("rows");
        QTest::addColumn<QByteArray>("cells");
        QTest::addColumn<QVariantList>("expected");   // empty: must fail...
        QTest::addColumn<QString>("error");           // ... saying this

        const double pi = 3.141592653589793;
        QTest::newRow("decimal as they are") << quint64(2) << bytesOf({ 2, 0x22, 0 }) + varint(zigzag(1234))
            + bytesOf({ 0x01 }) + varint(zigzag(1234)) + bytesOf({ 0x02 }) << QVariantList{ 12.34, 12.35 } << QString();
        QTest::newRow("decimal differences") << quint64(3) << bytesOf({ 3, 0x21, 0 }) + varint(zigzag(100))
            + bytesOf({ 0x82 }) + varint(zigzag(-2)) + bytesOf({ 0x0E }) << QVariantList{ 10.0, 10.1, 9.9 } << QString();
        QTest::newRow("decimal exception") << quint64(2) << bytesOf({ 2, 0x20, 1, 10, 0x01, 10, 0x00, 1 })
            + u64(bitsOf(-0.0)) << QVariantList{ 5.0, -0.0 } << QString();
        QTest::newRow("raw") << quint64(1) << bytesOf({ 1, 0x00 }) + u64(bitsOf(pi)) << QVariantList{ pi } << QString();
        const auto xorBlock = [](int values, const QByteArray &bits) {
            return bytesOf({ values, 0x10 }) + varint(quint64(bits.size())) + bits;
        };
        const QByteArray xorBits = Bits().put(bitsOf(1.0), 64).put(0, 1).put(3, 2).put(12, 6).put(0, 6).put(1, 1).bytes;
        QTest::newRow("xor") << quint64(3) << xorBlock(3, xorBits) << QVariantList{ 1.0, 1.0, 1.5 } << QString();

        const QByteArray raw8 = u64(bitsOf(pi));
        const auto bad = [](const char *name, quint64 rows, const QByteArray &cells, const char *error) {
            QTest::newRow(name) << rows << cells << QVariantList() << QString::fromUtf8(error);
        };
        bad("no values", 1, bytesOf({ 0, 0x00 }) + raw8, "число значений");
        bad("more than a block", 1025, varint(1025) + bytesOf({ 0x00 }) + QByteArray(8200, 0), "число значений");
        bad("unknown mode", 1, bytesOf({ 1, 0x30 }) + raw8, "вид блока");
        bad("raw with a low nibble", 1, bytesOf({ 1, 0x01 }) + raw8, "вид блока");
        bad("width 0", 1, bytesOf({ 1, 0x20, 0, 0, 0x00, 0, 0 }), "ширина группы");
        bad("width 65", 1, bytesOf({ 1, 0x20, 0, 0, 65, 0 }) + QByteArray(9, 0), "ширина группы");
        bad("more exceptions than values", 2, bytesOf({ 2, 0x20, 3, 0, 0x01, 0, 0 }) + raw8 + raw8 + raw8, "исключений");
        bad("exception past the block", 2, bytesOf({ 2, 0x20, 1, 0, 0x01, 0, 0, 2 }) + raw8, "исключение за пределами");
        bad("group short of its bits", 128, bytesOf({ 0x80, 1, 0x20, 0, 0, 64, 0 }) + QByteArray(20, 0), "десятичный блок выходит");
        bad("more values than cells", 1, bytesOf({ 2, 0x00 }) + raw8 + raw8, "лишние байты в столбце");
        bad("fewer values than cells", 2, bytesOf({ 1, 0x00 }) + raw8, "границы столбца");
        bad("bytes after the last block", 1, bytesOf({ 1, 0x00 }) + raw8 + bytesOf({ 0 }), "лишние байты в столбце");
        bad("xor window before any", 2, xorBlock(2, Bits().put(bitsOf(1.0), 64).put(1, 2).put(1, 1).bytes), "отсутствующее окно");
        bad("xor window past 64 bits", 2, xorBlock(2, Bits().put(bitsOf(1.0), 64).put(3, 2).put(60, 6).put(9, 6).put(0, 10).bytes),
            "недопустимое окно");
        bad("xor longer than its column", 3, bytesOf({ 3, 0x10, 100 }) + xorBits, "блок XOR выходит");
        bad("xor with a spare byte", 3, xorBlock(3, xorBits + bytesOf({ 0 })), "лишние байты в блоке XOR");
        bad("xor short of its values", 4, xorBlock(4, xorBits), "короче своих значений");
        bad("column smaller than a bit a row", 100, bytesOf({ 100, 0x20, 0, 0, 1, 0 }) + QByteArray(6, 0), "размер столбца");
    }

    void packedBlocks()
    {
        QFETCH(quint64, rows);
        QFETCH(QByteArray, cells);
        QFETCH(QVariantList, expected);
        QFETCH(QString, error);
        ZeltoStream::Status status;
        QString message;
        const QVariant value = decodeStream(version2Stream(doubleColumnTable(rows, cells)), &status, &message);
        if (expected.isEmpty()) {
            QVERIFY2(status == ZeltoStream::ReadCorruptData && !value.isValid() && message.contains(error)
                         && message.startsWith(QStringLiteral("данные повреждены")), qPrintable(message));
            return;
        }
        QString why;
        QVERIFY2(status == ZeltoStream::Ok && same(expected, value.value<ZeltoTable>().columnValues("a"), &why),
                 qPrintable(message + why));
    }

    // New streams are version 2, version 1 is written on request, and no other version byte is read; the frame
    // of a version-2 value: its length and checksum.
    void versionsAndFrames()
    {
        QVERIFY(!ZeltoStream::setWriteVersion(0) && !ZeltoStream::setWriteVersion(3));
        QCOMPARE(int(ZeltoStream::writeVersion()), 2);
        QCOMPARE(int(uchar(encodeStream(42, nullptr, 1).at(0))), 1);
        for (char version : { char(0), char(3), char(0xff) }) {
            QByteArray bytes = encodeStream(42);
            bytes[0] = version;
            ZeltoStream stream(bytes);
            QVERIFY2(!stream.init() && stream.status() == ZeltoStream::ReadCorruptData
                         && stream.errorString().contains(QStringLiteral("версия")), qPrintable(stream.errorString()));
            QVariant v = 1;
            stream >> v;
            QVERIFY(!v.isValid() && stream.atEnd());
        }
        ZeltoStream empty(QByteArray{});
        QVERIFY(!empty.init() && empty.status() == ZeltoStream::ReadPastEnd);

        const QByteArray good = encodeStream(QVariant::fromValue(packedTable()));
        const QByteArray body = good.mid(5).chopped(4);
        QCOMPARE(good, version2Stream(body));

        QByteArray badSum = good;
        badSum[badSum.size() - 1] = char(badSum.at(badSum.size() - 1) ^ 0x10);
        QVERIFY(refused(badSum, QStringLiteral("контрольная сумма"), ZeltoStream::ReadCorruptData));
        QVERIFY(refused(bytesOf({ 2 }) + le32(0x7fffffff) + body, QStringLiteral("обрезано"), ZeltoStream::ReadPastEnd));
        QVERIFY(refused(version2Stream(body + bytesOf({ 0 })), QStringLiteral("лишние байты"), ZeltoStream::ReadCorruptData));

        // The checksum is CRC-32C, with the processor's instruction or without. (A sum carried on over more bytes:
        // the splices of spliceWritesAndReadsInPlace, whose bytes are compared with a whole encoding.)
        QCOMPARE(ZeltoChecksum::crc32c("123456789", 9), 0xE3069283u);
        QCOMPARE(ZeltoChecksum::crc32cByTable("123456789", 9), 0xE3069283u);
        for (int length = 0; length < 40; ++length)
            QCOMPARE(ZeltoChecksum::crc32cByTable(good.constData() + length, good.size() - 2 * length),
                     ZeltoChecksum::crc32c(good.constData() + length, good.size() - 2 * length));
    }

    // Whatever the cut and the new rows, a splice gives the bytes of encoding the whole
    // new table, or declines; the rows it reads from the cut on are the stored ones;
    // parts of stored tables read without decoding their rows.
    void spliceWritesAndReadsInPlace()
    {
        QRandomGenerator random(20261206);
        int spliced = 0;
        for (int round = 0; round < 60; ++round) {
            const int count = int(random.bounded(1400));
            const bool odd = round % 3 == 0 || round % 2 == 1;
            const ZeltoTable stored = archive(0, count, random, round % 3 == 0 ? 500 : 0);
            ZeltoTableSplice splice;
            if (count == 0)
                continue;
            QVERIFY2(splice.open(encode(stored)), qPrintable(QStringLiteral("round %1").arg(round)));
            QCOMPARE(splice.rowCount(), count);
            const int from = round % 4 == 0 ? count : int(random.bounded(count + 1));

            ZeltoTable read;
            QVERIFY(splice.readRows(from, read));
            QCOMPARE(encode(read), encode(rows(stored, from, count)));

            const ZeltoTable tail = archive(from, int(random.bounded(40)), random, round % 2 ? 8 : 0);
            QByteArray out;
            if (splice.replaceRows(from, tail, out)) {
                ++spliced;
                QCOMPARE(out, encode(rows(stored, 0, from, tail)));
            } else {
                // Rows of the same kinds after stored ones always splice.
                QVERIFY2(odd || from == 0, qPrintable(QStringLiteral("round %1 declined").arg(round)));
            }
        }
        QVERIFY(spliced > 20);

        // Parts of stored tables read without decoding their rows. The instants of a long hourly archive's date column
        // (a day appended to it: the splices above; a new column, text among numbers: tst_archivestore's
        // spliced and whole saves).
        QRandomGenerator seeded(7);
        const ZeltoTable longArchive = archive(0, 5000, seeded);
        ZeltoTableSplice splice;
        QVERIFY(splice.open(encode(longArchive)));
        QVector<qint64> instants;
        Qt::TimeSpec timeSpec = Qt::UTC;
        QVERIFY(splice.instants(0, instants, timeSpec));
        QVERIFY(timeSpec == Qt::LocalTime && instants.size() == 5000);
        QCOMPARE(instants.last(), longArchive.value(4999, 0).toDateTime().toMSecsSinceEpoch());
        // Instants only of a date-time column with every row present.
        QVERIFY(!splice.instants(1, instants, timeSpec));

        // Tables opened in turn each read their own column names, also names of the same length (more kinds than the
        // names kept from table to table), and their own cells: what the splice kept of the last table's columns (the
        // instants of its dates) does not answer for the next one.
        QList<QByteArray> stored;
        QList<ZeltoTable> tables;
        for (const char *name : {"A1", "B1", "A2", "C1", "D1", "B2"}) {
            ZeltoTable table(QStringList{QString::fromLatin1(name), QStringLiteral("x")});
            for (int row = 0; row < 3; ++row)
                table.appendRow(QVariantList{QDateTime(QDate(2024, 1 + tables.size(), 1 + row), QTime(1, 0)),
                                             tables.size() * 10.5 + row});
            tables.append(table);
            stored.append(encode(table));
        }
        for (int round = 0; round < 2 * stored.size(); ++round) {
            const ZeltoTable &table = tables.at(round % tables.size());
            QVERIFY(splice.open(stored.at(round % stored.size())));
            QCOMPARE(splice.columnNames(), table.columnNames());
            ZeltoTable read;
            QVERIFY(splice.readRows(1, read));
            QCOMPARE(QVariantList({read.value(0, 0), read.value(1, 1)}),
                     QVariantList({table.value(1, 0), table.value(2, 1)}));
            QVERIFY(splice.instants(0, instants, timeSpec));
        }
    }

    // A column's last stored block packed on with new values gives the bytes of packing them all, whether its whole
    // groups are copied (readings with the odd exception) or it is packed again (another exponent, too many
    // exceptions, values that are not decimals).
    void packingOnFromAStoredBlock()
    {
        QRandomGenerator random(20261207);
        int copied = 0;
        for (int round = 0; round < 300; ++round) {
            const int kept = int(random.bounded(1, ZeltoDoublePacker::BlockSize));
            const int count = kept + int(random.bounded(1, round % 5 == 0 ? 1200 : 60));
            const double scale = std::pow(10.0, int(random.bounded(4)));
            qint64 units = random.bounded(100000000);
            std::vector<double> values;
            // Odd cells of every kind, or a few readings with a digit more, or readings alone.
            const int kind = round % 3;
            for (int i = 0; i < count; ++i) {
                // Now and then a reading that holds, then jumps after the stored ones: the block is then better XOR.
                units += round % 7 == 0 ? (i >= kept && random.bounded(8) == 0 ? Q_INT64_C(20000000000) : 0)
                                        : random.bounded(500);
                const int odd = int(random.bounded(kind == 0 ? 12 : kind == 1 ? 14 : 300));
                values.push_back(odd == 0 ? (kind == 1 ? units / scale / 10 : std::nan(""))
                                 : odd == 1 && kind != 1 ? -0.0
                                 : odd == 2 && kind != 1 ? units / 3.0
                                                          : units / scale);
            }
            ZeltoByteSink stored, whole, after;
            ZeltoDoublePacker::pack(values.data(), kept, stored);
            ZeltoDoublePacker::pack(values.data(), count, whole);
            const uchar *block = reinterpret_cast<const uchar *>(stored.constData());
            copied += ZeltoDoublePacker::packAfter(block, block + stored.size(), kept, values.data(), count, after);
            QVERIFY2(after.take(after.size()) == whole.take(whole.size()),
                     qPrintable(QStringLiteral("round %1: %2 values after %3").arg(round).arg(count - kept).arg(kept)));
        }
        QVERIFY2(copied > 100, qPrintable(QStringLiteral("stored groups copied in %1 rounds").arg(copied)));
    }

    // Only a sound stream of one table in the current version is opened.
    void spliceRefusesWhatIsNotWhole()
    {
        QRandomGenerator random(3);
        const QByteArray good = encode(archive(0, 50, random));
        ZeltoTableSplice splice;
        QVERIFY(splice.open(good));
        QByteArray flipped = good;
        flipped[good.size() / 2] = char(flipped.at(good.size() / 2) ^ 4);
        for (const QByteArray &bytes : { QByteArray(), good.left(good.size() - 1), good + good.mid(1), flipped,
                                         encodeStream(QVariantList{1, 2}), encode(archive(0, 50, random), 1),
                                         QByteArray(1, char(1)) + good.mid(1) }) {
            QVERIFY(!splice.open(bytes));
            ZeltoTable table;
            QByteArray out;
            QVERIFY(!splice.readRows(0, table) && !splice.replaceRows(0, table, out));
        }
        // A server writing the older version does not splice.
        ZeltoStream::setWriteVersion(1);
        QVERIFY(!splice.open(good));
        ZeltoStream::setWriteVersion(ZeltoStream::FormatVersion);
    }

};

QTEST_GUILESS_MAIN(TestZeltoStream)
#include "tst_zeltostream.moc"
