#include "streamfixtures.h"
#include "zeltochecksum.h"
#include "zeltostream.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QPoint>
#include <QRandomGenerator>
#include <QTimeZone>
#include <QUrl>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <time.h>

namespace {

// Bytes of the given version of the format (0: the one written by default).
QByteArray encode(const QVariant &value, ZeltoStream::Status *status = nullptr, int version = 0)
{
    const int chosen = ZeltoStream::writeVersion();
    if (version)
        ZeltoStream::setWriteVersion(version);
    QByteArray bytes;
    ZeltoStream stream(&bytes, QIODevice::WriteOnly);
    stream.init();
    stream << value;
    ZeltoStream::setWriteVersion(chosen);
    if (status)
        *status = stream.status();
    return bytes;
}

QVariant decode(const QByteArray &bytes, ZeltoStream::Status *status = nullptr, QString *error = nullptr)
{
    ZeltoStream stream(bytes);
    QVariant value;
    if (stream.init())
        stream >> value;
    if (status)
        *status = stream.status();
    if (error)
        *error = stream.errorString();
    return value;
}

QByteArray varint(quint64 v)
{
    QByteArray out;
    while (v >= 0x80) {
        out.append(char(uchar(v) | 0x80));
        v >>= 7;
    }
    out.append(char(v));
    return out;
}

QByteArray bytesOf(std::initializer_list<int> list)
{
    QByteArray out;
    for (int b : list)
        out.append(char(b));
    return out;
}

QByteArray u32(quint32 v)
{
    QByteArray out;
    for (int k = 0; k < 4; ++k)
        out.append(char(v >> (8 * k)));
    return out;
}

QByteArray u64(quint64 v)
{
    return u32(quint32(v)) + u32(quint32(v >> 32));
}

quint64 bitsOf(double d)
{
    quint64 bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

quint64 zigzag(qint64 n)
{
    return (quint64(n) << 1) ^ quint64(n >> 63);
}

// A version-2 stream of one value whose bytes are given: framed by length
// and checksum.
QByteArray version2(const QByteArray &value)
{
    return QByteArray(1, char(2)) + u32(quint32(value.size())) + value
           + u32(ZeltoChecksum::crc32c(value.constData(), value.size()));
}

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

// A table of one typed double column "a" without a presence bitmap, rows
// rows, whose cells are the given bytes.
QByteArray doubleColumnTable(quint64 rows, const QByteArray &cells)
{
    return bytesOf({ 0x0F, 1, 2, 'a' }) + varint(rows) + bytesOf({ 0x06 }) + varint(quint64(cells.size())) + cells;
}

// Same type and same value, down to double bits, string nullness and
// kind of date-time; why says where they differ.
bool same(const QVariant &a, const QVariant &b, QString *why, const QString &path = QStringLiteral("value"));

bool sameTable(const ZeltoTable &a, const ZeltoTable &b, QString *why, const QString &path)
{
    if (a.columnNames() != b.columnNames() || a.rowCount() != b.rowCount()) {
        *why = path + QStringLiteral(": columns or row count differ");
        return false;
    }
    for (int r = 0; r < a.rowCount(); ++r) {
        if (b.rowCells(r).size() > b.columnCount()) {
            *why = path + QStringLiteral(": row %1 longer than the columns").arg(r);
            return false;
        }
        for (int c = 0; c < a.columnCount(); ++c) {
            // The path is spelled out only for a difference: tables are large.
            if (!same(a.value(r, c), b.value(r, c), why, path)) {
                same(a.value(r, c), b.value(r, c), why, path + QStringLiteral("[%1,%2]").arg(r).arg(c));
                return false;
            }
        }
    }
    return true;
}

bool same(const QVariant &a, const QVariant &b, QString *why, const QString &path)
{
    if (a.isNull() != b.isNull()) {
        *why = QStringLiteral("%1: null %2 became %3").arg(path).arg(a.isNull()).arg(b.isNull());
        return false;
    }
    if (a.userType() != b.userType()) {
        *why = QStringLiteral("%1: type %2 became %3").arg(path, QString::fromLatin1(a.typeName()),
                                                          QString::fromLatin1(b.typeName()));
        return false;
    }
    bool equal = true;
    const int type = a.userType();
    if (type == QMetaType::Double) {
        const double x = a.toDouble(), y = b.toDouble();
        equal = std::memcmp(&x, &y, sizeof x) == 0;
    } else if (type == QMetaType::QString) {
        equal = a.toString() == b.toString() && a.toString().isNull() == b.toString().isNull();
    } else if (type == QMetaType::QByteArray) {
        equal = a.toByteArray() == b.toByteArray() && a.toByteArray().isNull() == b.toByteArray().isNull();
    } else if (type == QMetaType::QDateTime) {
        const QDateTime x = a.toDateTime(), y = b.toDateTime();
        equal = x.isValid() == y.isValid()
                && (!x.isValid() ? y.isNull()
                                 : x.timeSpec() == y.timeSpec() && x.toMSecsSinceEpoch() == y.toMSecsSinceEpoch()
                                       && x.offsetFromUtc() == y.offsetFromUtc() && x.timeZone() == y.timeZone());
    } else if (type == QMetaType::QVariantList || type == QMetaType::QStringList) {
        const QVariantList x = a.toList(), y = b.toList();
        if (x.size() != y.size()) {
            *why = path + QStringLiteral(": sizes differ");
            return false;
        }
        for (int i = 0; i < x.size(); ++i) {
            if (!same(x.at(i), y.at(i), why, path + QStringLiteral("[%1]").arg(i)))
                return false;
        }
    } else if (type == QMetaType::QVariantMap) {
        const QVariantMap x = a.toMap(), y = b.toMap();
        if (x.keys() != y.keys()) {
            *why = path + QStringLiteral(": keys differ");
            return false;
        }
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            if (!same(it.value(), y.value(it.key()), why, path + QLatin1Char('.') + it.key()))
                return false;
        }
    } else if (type == qMetaTypeId<ZeltoTable>()) {
        return sameTable(a.value<ZeltoTable>(), b.value<ZeltoTable>(), why, path);
    } else if (type == qMetaTypeId<ZeltoTableMap>()) {
        const ZeltoTableMap x = a.value<ZeltoTableMap>(), y = b.value<ZeltoTableMap>();
        if (x.keys() != y.keys()) {
            *why = path + QStringLiteral(": table keys differ");
            return false;
        }
        for (auto it = x.cbegin(); it != x.cend(); ++it) {
            if (!sameTable(it.value(), y.value(it.key()), why, path + QLatin1Char('.') + it.key()))
                return false;
        }
    } else if (type == qMetaTypeId<ZeltoOutOfRange>() || type == qMetaTypeId<ZeltoUnused>()
               || type == QMetaType::UnknownType) {
        equal = true;   // the type is the value
    } else {
        equal = a == b;
    }
    if (!equal)
        *why = QStringLiteral("%1: %2 became %3").arg(path, a.toString(), b.toString());
    return equal;
}

#define VERIFY_ROUND_TRIP(value)                                                             \
    do {                                                                                     \
        const QVariant original_ = (value);                                                  \
        ZeltoStream::Status status_;                                                         \
        const QByteArray bytes_ = encode(original_, &status_);                               \
        QCOMPARE(status_, ZeltoStream::Ok);                                                  \
        QString error_;                                                                      \
        const QVariant back_ = decode(bytes_, &status_, &error_);                            \
        QVERIFY2(status_ == ZeltoStream::Ok, qPrintable(error_));                            \
        QString why_;                                                                        \
        QVERIFY2(same(original_, back_, &why_), qPrintable(#value + QStringLiteral(": ") + why_)); \
    } while (false)

QDateTime local(int y, int m, int d, int h, int min, int s = 0, int ms = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min, s, ms), Qt::LocalTime);
}

// Cells of every kind the format distinguishes in a table column.
ZeltoTable richTable()
{
    ZeltoTable t(QStringList{ QStringLiteral("date"), QStringLiteral("value"), QStringLiteral("count"),
                              QStringLiteral("mixed"), QStringLiteral("state"), QStringLiteral("name"),
                              QStringLiteral("utc"), QStringLiteral("day"), QStringLiteral("empty"),
                              QStringLiteral("flag"), QStringLiteral("nested") });
    const QDateTime start = local(2024, 3, 1, 0, 0);
    for (int r = 0; r < 37; ++r) {
        QVariantList row;
        row << (r == 5 ? QVariant() : QVariant(start.addSecs(3600LL * r)))
            << (r % 7 == 3 ? QVariant() : QVariant(r * 1.25 - 10))
            << QVariant(r * 1000 - 5000)
            << (r % 3 == 0 ? QVariant(QStringLiteral("t%1").arg(r)) : r % 3 == 1 ? QVariant(r) : QVariant(r * 0.5))
            << (r % 4 == 0 ? QVariant::fromValue(ZeltoOutOfRange()) : r % 4 == 1 ? QVariant::fromValue(ZeltoUnused()) : QVariant(r))
            << (r % 5 == 0 ? QVariant(QString()) : QVariant(QStringLiteral("узел %1").arg(r)))
            << QVariant(QDateTime::fromMSecsSinceEpoch(1700000000000LL + r * 60000LL, Qt::UTC))
            << QVariant(QDate(2020, 1, 1).addDays(r * 31))
            << QVariant()
            << QVariant(r % 2 == 0)
            << (r % 6 == 0 ? QVariant(QVariantList{ r, QStringLiteral("x"), QVariantList{ 1.5 } }) : QVariant());
        if (r % 9 == 8) {
            while (row.size() > 4)
                row.removeLast();   // a short row: the rest is missing
        }
        t.appendRow(row);
    }
    return t;
}

// Double columns in every block mode: decimals, decimals with exceptions,
// XOR, raw, a constant, and one with missing cells.
ZeltoTable packedTable()
{
    ZeltoTable t(QStringList{ QStringLiteral("date"), QStringLiteral("decimal"), QStringLiteral("exceptions"),
                              QStringLiteral("xor"), QStringLiteral("raw"), QStringLiteral("constant"),
                              QStringLiteral("gaps") });
    quint64 state = 7;
    for (int r = 0; r < 150; ++r) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        double noise;
        std::memcpy(&noise, &state, sizeof noise);
        t.appendRow(QVariantList{ local(2024, 3, 30, 0, 0).addSecs(3600LL * r), (7000 + r * 3 % 50) / 100.0,
                                  r % 11 == 4 ? -0.0 : (123456 + r * 17) / 1000.0, 60 + r % 40 * 0.125 + 1.0 / (r + 1),
                                  std::isfinite(noise) ? noise : 1.0, 2.5,
                                  r % 3 ? QVariant((6000 + r % 7) / 1000.0) : QVariant() });
    }
    return t;
}

QVariant richValue()
{
    QVariantMap map;
    map.insert(QStringLiteral("table"), QVariant::fromValue(richTable()));
    map.insert(QStringLiteral("list"), QVariantList{ true, 42u, -7LL, 1ULL << 63, QByteArray("a\0b", 3),
                                                       QDate(2001, 2, 3), QTime(4, 5, 6, 7), QVariant() });
    map.insert(QStringLiteral("strings"), QStringList{ QStringLiteral("один"), QString(), QStringLiteral("") });
    ZeltoTableMap tables;
    tables.insert(QStringLiteral("a"), ZeltoTable(QStringList{ QStringLiteral("x") }));
    tables.insert(QStringLiteral("b"), richTable());
    map.insert(QStringLiteral("tables"), QVariant::fromValue(tables));
    map.insert(QStringLiteral("when"), QDateTime::fromMSecsSinceEpoch(1234567890123LL, Qt::OffsetFromUTC, 3 * 3600));
    return map;
}

// Column values of one kind, n of them, from the random generator.
enum ColumnKind { Temperatures, Counters, Pressures, Integers, RandomBits, Specials, DecimalsWithExceptions,
                  MixedPrecision, HugeJumps, Constant, KindCount };

double special(int i)
{
    static const double values[] = { -0.0, 0.0, StreamFixtures::fromBits(0x7ff8000000000000ULL),
                                     StreamFixtures::fromBits(0xfff8000000000123ULL),
                                     StreamFixtures::fromBits(0x7ff0000000000001ULL),
                                     std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                     std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                                     std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                                     std::numeric_limits<double>::lowest(), 9007199254740992.0, 9007199254740994.0,
                                     -9007199254740992.0, 1e-15, 1.5e-16, 0.1 + 0.2, 1e15 + 0.5, 123456.7890123456,
                                     1.0 / 3, -1e-300, 5e-324 * 3 };
    return values[i % int(sizeof values / sizeof values[0])];
}

QVector<double> columnOf(ColumnKind kind, int n, QRandomGenerator &random)
{
    QVector<double> out;
    out.reserve(n);
    qint64 walk = random.bounded(1000, 9000);
    for (int i = 0; i < n; ++i) {
        switch (kind) {
        case Temperatures:
            walk = qBound<qint64>(-5000, walk + random.bounded(-60, 61), 12000);
            out << walk / 100.0;
            break;
        case Counters:
            walk += random.bounded(0, 4000);
            out << walk / 1000.0;
            break;
        case Pressures:
            out << (6000 + random.bounded(-300, 301)) / 1000.0;
            break;
        case Integers:
            out << double(qint64(random.generate64() % 2000001) - 1000000);
            break;
        case RandomBits:
            out << StreamFixtures::fromBits(random.generate64());
            break;
        case Specials:
            out << special(int(random.bounded(1000)));
            break;
        case DecimalsWithExceptions:
            out << (i % 37 == 5 ? special(i / 37) : (walk + i * 13) / 100.0);
            break;
        case MixedPrecision:
            out << double(qint64(random.bounded(1000000))) / std::pow(10.0, (i / 700) % 16);
            break;
        case HugeJumps:
            out << (i % 2 ? 9007199254740991.0 : -9007199254740991.0) / (i % 3 ? 1.0 : 1000.0);
            break;
        default:
            out << 1.0;
            break;
        }
    }
    return out;
}

// A table of a local hourly "date" and one column "v" of the given cells.
ZeltoTable columnTable(const QVariantList &cells)
{
    ZeltoTable table(QStringList{ QStringLiteral("date"), QStringLiteral("v") });
    QVector<QVector<QVariant>> rows(cells.size());
    const QDateTime start = StreamFixtures::local(2021, 10, 30, 0, 0);
    for (int r = 0; r < cells.size(); ++r)
        rows[r] = { start.addSecs(3600LL * r), cells.at(r) };
    table.setContent(table.columnNames(), std::move(rows));
    return table;
}

QVariantList variants(const QVector<double> &values)
{
    QVariantList out;
    out.reserve(values.size());
    for (double d : values)
        out << d;
    return out;
}

} // namespace

class TestZeltoStream : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A zone with daylight saving time, so that local times can be ambiguous.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void scalarsKeepTypeAndValue()
    {
        VERIFY_ROUND_TRIP(QVariant());
        VERIFY_ROUND_TRIP(QVariant(true));
        VERIFY_ROUND_TRIP(QVariant(false));
        VERIFY_ROUND_TRIP(QVariant(0));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<int>::min()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<int>::max()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<uint>::max()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<qlonglong>::min()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<qlonglong>::max()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<qulonglong>::max()));
        VERIFY_ROUND_TRIP(QVariant(3.141592653589793));
        VERIFY_ROUND_TRIP(QVariant(-0.0));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<double>::quiet_NaN()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<double>::infinity()));
        VERIFY_ROUND_TRIP(QVariant(-std::numeric_limits<double>::infinity()));
        VERIFY_ROUND_TRIP(QVariant(std::numeric_limits<double>::denorm_min()));
        VERIFY_ROUND_TRIP(QVariant(QString()));
        VERIFY_ROUND_TRIP(QVariant(QStringLiteral("")));
        VERIFY_ROUND_TRIP(QVariant(QStringLiteral("Тепловычислитель ВКТ-7, узел №3 \U0001F525")));
        VERIFY_ROUND_TRIP(QVariant(QString(QChar(0)) + QStringLiteral("after zero")));
        VERIFY_ROUND_TRIP(QVariant(QByteArray()));
        VERIFY_ROUND_TRIP(QVariant(QByteArray("")));
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all.append(char(i));
        VERIFY_ROUND_TRIP(QVariant(all + QByteArray(5, '\0')));
        VERIFY_ROUND_TRIP(QVariant::fromValue(char('\xff')));
        VERIFY_ROUND_TRIP(QVariant(QChar(0x0416)));
        VERIFY_ROUND_TRIP(QVariant::fromValue(ZeltoOutOfRange()));
        VERIFY_ROUND_TRIP(QVariant::fromValue(ZeltoUnused()));
        // Nulls of a type, as the database layer makes for NULL columns.
        for (int type : { int(QMetaType::Int), int(QMetaType::Bool), int(QMetaType::Double), int(QMetaType::ULongLong),
                          int(QMetaType::QVariantList), int(QMetaType::QVariantMap), int(QMetaType::QStringList),
                          qMetaTypeId<ZeltoOutOfRange>(), int(QMetaType::QString), int(QMetaType::QDateTime) }) {
            const QVariant null{ QVariant::Type(type) };
            QVERIFY(null.isNull());
            VERIFY_ROUND_TRIP(null);
        }

        // NaN compares unequal to itself; the bits must survive anyway.
        const QVariant nan = decode(encode(std::nan("0x12345")));
        QVERIFY(std::isnan(nan.toDouble()));
        QVERIFY(std::signbit(decode(encode(-0.0)).toDouble()));
        // The documented choice: null strings stay null, empty ones empty.
        QVERIFY(decode(encode(QString())).toString().isNull());
        QVERIFY(!decode(encode(QStringLiteral(""))).toString().isNull());
        QVERIFY(decode(encode(QByteArray())).toByteArray().isNull());
    }

    void datesAndTimes()
    {
        VERIFY_ROUND_TRIP(QVariant(local(2024, 7, 15, 13, 45, 12, 345)));
        VERIFY_ROUND_TRIP(QVariant(QDateTime(QDate(1969, 12, 31), QTime(23, 59, 59, 999), Qt::UTC)));
        VERIFY_ROUND_TRIP(QVariant(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5, 6), Qt::OffsetFromUTC, 3 * 3600)));
        VERIFY_ROUND_TRIP(QVariant(QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5), Qt::OffsetFromUTC, -(5 * 3600 + 1800))));
        const QTimeZone moscow("Europe/Moscow");
        if (moscow.isValid())
            VERIFY_ROUND_TRIP(QVariant(QDateTime(QDate(2010, 7, 1), QTime(12, 0), moscow)));
        // The second 02:30 of the autumn change in Berlin: the instant decides.
        const QDateTime first = QDateTime::fromMSecsSinceEpoch(
            QDateTime(QDate(2021, 10, 31), QTime(0, 30), Qt::UTC).toMSecsSinceEpoch(), Qt::LocalTime);
        VERIFY_ROUND_TRIP(QVariant(first));
        VERIFY_ROUND_TRIP(QVariant(first.addSecs(3600)));
        QCOMPARE(decode(encode(first.addSecs(3600))).toDateTime().toMSecsSinceEpoch() - first.toMSecsSinceEpoch(),
                 3600000LL);

        // Invalid date-times come back as null ones of the same type.
        VERIFY_ROUND_TRIP(QVariant(QDateTime()));
        const QVariant invalid = decode(encode(QDateTime(QDate(2020, 13, 40), QTime(1, 2))));
        QCOMPARE(invalid.userType(), int(QMetaType::QDateTime));
        QVERIFY(invalid.toDateTime().isNull());

        VERIFY_ROUND_TRIP(QVariant(QDate()));
        VERIFY_ROUND_TRIP(QVariant(QDate(2024, 2, 29)));
        VERIFY_ROUND_TRIP(QVariant(QDate(-4713, 1, 1)));
        VERIFY_ROUND_TRIP(QVariant(QTime()));
        VERIFY_ROUND_TRIP(QVariant(QTime(0, 0)));
        VERIFY_ROUND_TRIP(QVariant(QTime(23, 59, 59, 999)));
    }

    // Local times keep their instant across daylight-saving changes and
    // plain offset changes (Moscow 2011 and 2014, Apia's skipped day), in
    // table columns and as single values, in order and shuffled.
    void localTimesAcrossZoneChanges()
    {
        const QList<QPair<QDate, QDate>> windows{ { QDate(2011, 3, 25), QDate(2011, 3, 29) },
                                                  { QDate(2011, 12, 28), QDate(2012, 1, 2) },
                                                  { QDate(2014, 10, 24), QDate(2014, 10, 28) },
                                                  { QDate(2021, 3, 26), QDate(2021, 3, 30) },
                                                  { QDate(2021, 10, 29), QDate(2021, 11, 2) },
                                                  { QDate(1969, 12, 30), QDate(1970, 1, 3) } };
        const QList<QByteArray> zones{ "Europe/Moscow", "Pacific/Apia", "Australia/Lord_Howe", "Europe/Berlin" };
        QRandomGenerator random(7);
        for (const QByteArray &zone : zones) {
            qputenv("TZ", zone);
            tzset();
            QVariantList values;
            for (const auto &window : windows) {
                const qint64 from = QDateTime(window.first, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
                const qint64 to = QDateTime(window.second, QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
                for (qint64 ms = from; ms < to; ms += 1800000 + 7)
                    values << QDateTime::fromMSecsSinceEpoch(ms, Qt::LocalTime);
                for (QDate day = window.first; day < window.second; day = day.addDays(1)) {
                    for (int minute = 0; minute < 1440; minute += 30) {
                        const QDateTime wall(day, QTime(minute / 60, minute % 60, 0, 250), Qt::LocalTime);
                        if (wall.isValid())
                            values << wall;
                    }
                }
            }
            QVariantList shuffled = values;
            for (int i = shuffled.size() - 1; i > 0; --i)
                shuffled.swapItemsAt(i, int(random.bounded(i + 1)));
            for (const QVariantList &list : { values, shuffled }) {
                ZeltoTable table(QStringList{ QStringLiteral("date") });
                for (const QVariant &v : list)
                    table.appendRow(QVariantList{ v });
                const QVariantList back = decode(encode(list)).toList();
                const ZeltoTable backTable = decode(encode(QVariant::fromValue(table))).value<ZeltoTable>();
                QCOMPARE(back.size(), list.size());
                QCOMPARE(backTable.rowCount(), list.size());
                for (int i = 0; i < list.size(); ++i) {
                    const QDateTime expected = list.at(i).toDateTime();
                    for (const QDateTime &actual : { back.at(i).toDateTime(), backTable.value(i, 0).toDateTime() }) {
                        QVERIFY2(actual.timeSpec() == Qt::LocalTime
                                     && actual.toMSecsSinceEpoch() == expected.toMSecsSinceEpoch()
                                     && actual.isDaylightTime() == expected.isDaylightTime()
                                     && actual.date() == expected.date() && actual.time() == expected.time(),
                                 qPrintable(QStringLiteral("%1: %2 read back as %3").arg(QString::fromLatin1(zone),
                                     expected.toString(Qt::ISODateWithMs), actual.toString(Qt::ISODateWithMs))));
                    }
                }
            }
        }

        // The bytes hold instants: another zone reads the same moment.
        const QDateTime berlin = QDateTime::fromMSecsSinceEpoch(1635640200000LL, Qt::LocalTime);
        qputenv("TZ", "Asia/Yekaterinburg");
        tzset();
        const QDateTime elsewhere = decode(encode(berlin)).toDateTime();
        qputenv("TZ", "Europe/Berlin");
        tzset();
        QCOMPARE(elsewhere.toMSecsSinceEpoch(), 1635640200000LL);
        QCOMPARE(elsewhere.timeSpec(), Qt::LocalTime);
    }

    void containers()
    {
        VERIFY_ROUND_TRIP(QVariant(QStringList()));
        VERIFY_ROUND_TRIP(QVariant(QStringList{ QStringLiteral("allowAll"), QString(), QStringLiteral(""), QStringLiteral("чтение") }));
        VERIFY_ROUND_TRIP(QVariant(QVariantList()));
        VERIFY_ROUND_TRIP(QVariant(QVariantMap()));
        QVariantMap inner{ { QStringLiteral("a"), QVariantList{ 1, 2u, 3LL, QVariant(), QVariantMap{ { QStringLiteral(""), 0.5 } } } },
                           { QStringLiteral("b"), QStringList{ QStringLiteral("x") } } };
        QVariantList deep{ inner, QVariantList{ QVariantList{ QVariantList{ inner } } }, QByteArray("\0", 1) };
        VERIFY_ROUND_TRIP(QVariant(deep));
        VERIFY_ROUND_TRIP(QVariant(QVariantMap{ { QStringLiteral("deep"), deep }, { QStringLiteral("ключ"), inner } }));
        VERIFY_ROUND_TRIP(richValue());

        // The nesting limit is the same for writing and reading.
        QVariant nested = 1;
        for (int i = 0; i < 256; ++i)
            nested = QVariantList{ nested };
        VERIFY_ROUND_TRIP(nested);
        ZeltoStream::Status status;
        const QByteArray tooDeep = encode(QVariantList{ nested }, &status);
        QCOMPARE(status, ZeltoStream::WriteFailed);
        QCOMPARE(tooDeep.size(), 1);
    }

    void tables()
    {
        VERIFY_ROUND_TRIP(QVariant::fromValue(ZeltoTable()));
        VERIFY_ROUND_TRIP(QVariant::fromValue(ZeltoTable(QStringList{ QStringLiteral("a"), QStringLiteral("b") })));
        ZeltoTable rowsOnly;
        rowsOnly.appendRow();
        rowsOnly.appendRow();
        VERIFY_ROUND_TRIP(QVariant::fromValue(rowsOnly));
        QCOMPARE(decode(encode(QVariant::fromValue(rowsOnly))).value<ZeltoTable>().rowCount(), 2);

        const ZeltoTable rich = richTable();
        VERIFY_ROUND_TRIP(QVariant::fromValue(rich));
        const ZeltoTable back = decode(encode(QVariant::fromValue(rich))).value<ZeltoTable>();
        QVERIFY(back == rich);
        // Short rows stay short: no cells appear after the last stored one.
        QVERIFY(back.rowCells(8).size() <= 4);

        // A null double among doubles, a column of null ints.
        ZeltoTable nulls(QStringList{ QStringLiteral("value"), QStringLiteral("count") });
        for (int r = 0; r < 10; ++r)
            nulls.appendRow(QVariantList{ r == 4 ? QVariant(QVariant::Double) : QVariant(r * 0.5), QVariant(QVariant::Int) });
        VERIFY_ROUND_TRIP(QVariant::fromValue(nulls));

        // A column whose cells are all one marker, and a table in a table.
        ZeltoTable markers(QStringList{ QStringLiteral("m"), QStringLiteral("inner") });
        for (int r = 0; r < 20; ++r)
            markers.appendRow(QVariantList{ QVariant::fromValue(ZeltoUnused()), r == 3 ? QVariant::fromValue(rich) : QVariant() });
        VERIFY_ROUND_TRIP(QVariant::fromValue(markers));

        // Date-time columns that cannot share one kind of time, or hold invalid values.
        ZeltoTable dates(QStringList{ QStringLiteral("kinds"), QStringLiteral("invalid"), QStringLiteral("nulldate") });
        dates.appendRow(QVariantList{ local(2024, 1, 1, 0, 0), QDateTime(), QDate() });
        dates.appendRow(QVariantList{ QDateTime(QDate(2024, 1, 1), QTime(1, 0), Qt::UTC), local(2024, 1, 1, 0, 0), QDate(2024, 1, 1) });
        VERIFY_ROUND_TRIP(QVariant::fromValue(dates));

        // Rows without columns are free in bytes, so a value may hold few.
        ZeltoTable manyRows;
        QVERIFY(manyRows.setContent(QStringList(), QVector<QVector<QVariant>>(40000)));
        VERIFY_ROUND_TRIP(QVariant::fromValue(manyRows));
        ZeltoStream::Status status;
        QCOMPARE(encode(QVariantList{ QVariant::fromValue(manyRows), QVariant::fromValue(manyRows) }, &status).size(), 1);
        QCOMPARE(status, ZeltoStream::WriteFailed);

        ZeltoTableMap map;
        map.insert(QStringLiteral("hour"), rich);
        map.insert(QStringLiteral("empty"), ZeltoTable());
        VERIFY_ROUND_TRIP(QVariant::fromValue(map));
        VERIFY_ROUND_TRIP(QVariant::fromValue(ZeltoTableMap()));
    }

    // Double columns of every kind read back bit for bit in both versions,
    // at lengths around the block and group sizes.
    void doubleColumns_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("missingEvery");   // 0: every cell present
        const char *names[] = { "temperatures", "counters", "pressures", "integers", "random bits", "specials",
                                "decimals with exceptions", "mixed precision", "huge jumps", "constant" };
        for (int kind = 0; kind < KindCount; ++kind) {
            for (int rows : { 1, 2, 127, 129, 1024, 1025, 3000 })
                QTest::addRow("%s, %d rows", names[kind], rows) << kind << rows << 0;
            QTest::addRow("%s, missing cells", names[kind]) << kind << 2500 << 3;
        }
    }

    void doubleColumns()
    {
        QFETCH(int, kind);
        QFETCH(int, rows);
        QFETCH(int, missingEvery);
        QRandomGenerator random(quint32(kind * 1000 + rows));
        QVariantList cells = variants(columnOf(ColumnKind(kind), rows, random));
        for (int r = 0; missingEvery && r < cells.size(); r += missingEvery)
            cells[r] = QVariant();
        const QVariant table = QVariant::fromValue(columnTable(cells));
        for (int version : { 1, 2 }) {
            ZeltoStream::Status status;
            const QByteArray bytes = encode(table, &status, version);
            QCOMPARE(status, ZeltoStream::Ok);
            QString error, why;
            const QVariant back = decode(bytes, &status, &error);
            QVERIFY2(status == ZeltoStream::Ok, qPrintable(error));
            QVERIFY2(same(table, back, &why), qPrintable(QStringLiteral("version %1: %2").arg(version).arg(why)));
        }
    }

    // Random columns made of runs of every kind, with missing cells, typed
    // nulls and markers among the numbers.
    void doubleColumnsProperty()
    {
        QRandomGenerator random(20261206);
        for (int round = 0; round < 100; ++round) {
            const int rows = 1 + int(random.bounded(3000));
            QVariantList cells;
            while (cells.size() < rows) {
                const int run = qMin(rows - cells.size(), 1 + int(random.bounded(rows)));
                cells << variants(columnOf(ColumnKind(random.bounded(int(KindCount))), run, random));
            }
            const int holes = int(random.bounded(4));
            for (int k = 0; k < holes * rows / 50; ++k) {
                const int r = int(random.bounded(rows));
                switch (holes) {
                case 1: cells[r] = QVariant(); break;
                case 2: cells[r] = QVariant(QVariant::Double); break;
                default: cells[r] = QVariant::fromValue(ZeltoOutOfRange()); break;
                }
            }
            const QVariant table = QVariant::fromValue(columnTable(cells));
            QString why;
            QVERIFY2(same(table, decode(encode(table)), &why), qPrintable(QStringLiteral("round %1: %2").arg(round).arg(why)));
        }
    }

    void severalValuesInOneStream()
    {
        QByteArray bytes;
        ZeltoStream writer(&bytes, QIODevice::WriteOnly);
        QVERIFY(writer.init());
        QVERIFY(writer.init());   // once only
        const QVariantList values{ 1, QStringLiteral("two"), QVariant(), QVariant::fromValue(richTable()), 5.5 };
        for (const QVariant &v : values)
            writer << v;
        QCOMPARE(writer.status(), ZeltoStream::Ok);
        QCOMPARE(uchar(bytes.at(0)), uchar(ZeltoStream::FormatVersion));

        ZeltoStream reader(&bytes, QIODevice::ReadOnly);
        QVERIFY(reader.init());
        for (const QVariant &expected : values) {
            QVERIFY(!reader.atEnd());
            QVariant v;
            reader >> v;
            QString why;
            QVERIFY2(same(expected, v, &why), qPrintable(why));
        }
        QVERIFY(reader.atEnd());
        QVariant extra = 7;
        reader >> extra;
        QCOMPARE(reader.status(), ZeltoStream::ReadPastEnd);
        QVERIFY(!extra.isValid());
        QVERIFY(reader.errorString().contains(QStringLiteral("неожиданный конец данных")));

        // Streams used the wrong way round refuse politely.
        ZeltoStream readOnly(bytes);
        readOnly << QVariant(1);
        QCOMPARE(readOnly.status(), ZeltoStream::WriteFailed);
        ZeltoStream neither(&bytes, QIODevice::ReadWrite);
        QVERIFY(!neither.init());
        ZeltoStream nowhere(nullptr, QIODevice::WriteOnly);
        nowhere << QVariant(1);
        QCOMPARE(nowhere.status(), ZeltoStream::WriteFailed);
    }

    void versions()
    {
        // New streams are version 2; version 1 is written on request, and
        // both read back.
        QCOMPARE(int(ZeltoStream::writeVersion()), 2);
        QVERIFY(!ZeltoStream::setWriteVersion(0));
        QVERIFY(!ZeltoStream::setWriteVersion(3));
        QCOMPARE(int(ZeltoStream::writeVersion()), 2);
        for (int version : { 1, 2 }) {
            const QByteArray bytes = encode(QVariant::fromValue(richTable()), nullptr, version);
            QCOMPARE(int(uchar(bytes.at(0))), version);
            ZeltoStream stream(bytes);
            QVERIFY(stream.init());
            QCOMPARE(int(stream.version()), version);
            QVariant back;
            stream >> back;
            QString why;
            QVERIFY2(same(QVariant::fromValue(richTable()), back, &why), qPrintable(why));
        }

        for (char version : { char(0), char(3), char(0xff) }) {
            QByteArray bytes = encode(42);
            bytes[0] = version;
            ZeltoStream stream(bytes);
            QVERIFY(!stream.init());
            QCOMPARE(stream.status(), ZeltoStream::ReadCorruptData);
            QVERIFY(stream.errorString().contains(QStringLiteral("версия")));
            QVariant v = 1;
            stream >> v;
            QVERIFY(!v.isValid());
            QVERIFY(stream.atEnd());
        }

        ZeltoStream empty(QByteArray{});
        QVERIFY(!empty.init());
        QCOMPARE(empty.status(), ZeltoStream::ReadPastEnd);
    }

    // Bytes written by the version-1 encoder, kept as files, read back as
    // the values they were written from, and survive a round trip through
    // version 2.
    void version1Fixtures_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("every tag and column kind") << QStringLiteral("stream-v1-values.bin") << StreamFixtures::values();
        QTest::newRow("archive with awkward cells")
            << QStringLiteral("stream-v1-archive.bin") << QVariant::fromValue(StreamFixtures::archive());
    }

    void version1Fixtures()
    {
        QFETCH(QString, file);
        QFETCH(QVariant, expected);
        QFile fixture(QStringLiteral(ORVEX_TEST_DATA "/") + file);
        QVERIFY2(fixture.open(QIODevice::ReadOnly), qPrintable(file));
        const QByteArray bytes = fixture.readAll();
        QCOMPARE(int(uchar(bytes.at(0))), 1);
        ZeltoStream::Status status;
        QString error, why;
        const QVariant back = decode(bytes, &status, &error);
        QVERIFY2(status == ZeltoStream::Ok, qPrintable(error));
        QVERIFY2(same(expected, back, &why), qPrintable(why));
        const QByteArray again = encode(back);
        QCOMPARE(int(uchar(again.at(0))), 2);
        QVERIFY2(same(expected, decode(again), &why), qPrintable(why));
    }

    void unsupportedTypesFailWholly()
    {
        QObject object;
        const QVariantList bad{ QUrl(QStringLiteral("http://x")), QPoint(1, 2),
                                QVariantHash{ { QStringLiteral("a"), 1 } }, QVariant::fromValue(&object) };
        for (const QVariant &value : bad) {
            QByteArray bytes;
            ZeltoStream stream(&bytes, QIODevice::WriteOnly);
            stream.init();
            stream << value;
            QCOMPARE(stream.status(), ZeltoStream::WriteFailed);
            QVERIFY2(stream.errorString().contains(QString::fromLatin1(value.typeName())), qPrintable(stream.errorString()));
            QCOMPARE(bytes.size(), 1);
        }

        // Nested deep in a good value: nothing of it stays in the bytes.
        ZeltoTable table(QStringList{ QStringLiteral("a") });
        for (int r = 0; r < 100; ++r)
            table.appendRow(QVariantList{ r == 77 ? QVariant(QUrl()) : QVariant(r * 1.0) });
        QByteArray bytes;
        ZeltoStream stream(&bytes, QIODevice::WriteOnly);
        stream.init();
        stream << QVariant(QStringLiteral("first"));
        const int goodSize = bytes.size();
        stream << QVariantMap{ { QStringLiteral("t"), QVariant::fromValue(table) } };
        QCOMPARE(stream.status(), ZeltoStream::WriteFailed);
        QVERIFY(stream.errorString().contains(QStringLiteral("QUrl")));
        QCOMPARE(bytes.size(), goodSize);
        stream << QVariant(2);   // ignored while failed
        QCOMPARE(bytes.size(), goodSize);
        stream.resetStatus();
        stream << QVariant(3);
        QCOMPARE(stream.status(), ZeltoStream::Ok);

        ZeltoStream reader(bytes);
        QVariant a, b;
        reader >> a >> b;
        QCOMPARE(reader.status(), ZeltoStream::Ok);
        QCOMPARE(a, QVariant(QStringLiteral("first")));
        QCOMPARE(b, QVariant(3));
        QVERIFY(reader.atEnd());
    }

    // Version 1 streams, and version 2 value bytes re-framed with a good
    // checksum, so that the parser itself meets the damage.
    static QList<QPair<int, QByteArray>> damageSeeds()
    {
        const QVariantList values{ richValue(), QVariant::fromValue(richTable()), QVariant::fromValue(packedTable()),
                                   QVariantList{ 1, QStringLiteral("a"), QVariantList{ 2.0, QDate(2020, 1, 1) } } };
        QList<QPair<int, QByteArray>> seeds;
        for (const QVariant &value : values) {
            seeds.append({ 1, encode(value, nullptr, 1).mid(1) });
            seeds.append({ 2, encode(value, nullptr, 2).mid(5).chopped(4) });
        }
        return seeds;
    }

    static QByteArray stream(int version, const QByteArray &value)
    {
        return version == 1 ? QByteArray(1, char(1)) + value : version2(value);
    }

    void everyTruncationFails()
    {
        for (const auto &seed : damageSeeds()) {
            const QByteArray full = stream(seed.first, seed.second);
            QVERIFY(decode(full).isValid());
            for (int length = 0; length < full.size(); ++length) {
                for (const QByteArray &cut : { full.left(length), stream(seed.first, seed.second.left(length)) }) {
                    if (cut == full)
                        continue;
                    ZeltoStream::Status status;
                    QString error;
                    const QVariant v = decode(cut, &status, &error);
                    QVERIFY2(status != ZeltoStream::Ok,
                             qPrintable(QStringLiteral("version %1, prefix %2 read as a value").arg(seed.first).arg(length)));
                    QVERIFY(!v.isValid());
                    QVERIFY(!error.isEmpty());
                }
            }
        }
    }

    // The checksum of version 2 refuses every flipped bit, wherever it is.
    void everyBitFlipFails()
    {
        const QByteArray full = encode(QVariant::fromValue(packedTable()));
        QVERIFY(decode(full).isValid());
        for (int bit = 8; bit < full.size() * 8; ++bit) {
            QByteArray bytes = full;
            bytes[bit / 8] = char(bytes.at(bit / 8) ^ (1 << (bit % 8)));
            ZeltoStream::Status status;
            QString error;
            QVERIFY2(!decode(bytes, &status, &error).isValid() && status != ZeltoStream::Ok,
                     qPrintable(QStringLiteral("bit %1 flipped unnoticed").arg(bit)));
            QVERIFY(!error.isEmpty());
        }
    }

    void corruptionFuzz()
    {
        const QList<QPair<int, QByteArray>> seeds = damageSeeds();
        QRandomGenerator random(20240601);
        int decodedOk = 0;
        const int rounds = 6000;
        for (int i = 0; i < rounds; ++i) {
            const auto &seed = seeds.at(i % seeds.size());
            QByteArray bytes = seed.second;
            const int edits = 1 + int(random.bounded(4));
            for (int e = 0; e < edits && bytes.size() > 1; ++e) {
                const int at = int(random.bounded(bytes.size()));
                switch (random.bounded(4)) {
                case 0: bytes[at] = char(random.bounded(256)); break;
                case 1: bytes[at] = char(bytes.at(at) ^ (1 << random.bounded(8))); break;
                case 2: bytes.insert(at, char(random.bounded(256))); break;
                default: bytes.remove(at, 1 + int(random.bounded(8))); break;
                }
            }
            ZeltoStream stream(TestZeltoStream::stream(seed.first, bytes));
            QVariant v;
            stream.init();
            while (stream.status() == ZeltoStream::Ok && !stream.atEnd())
                stream >> v;
            if (stream.status() == ZeltoStream::Ok) {
                // Whatever decodes is a proper value that can be written again.
                ++decodedOk;
                ZeltoStream::Status status;
                encode(v, &status);
                QCOMPARE(status, ZeltoStream::Ok);
            } else {
                QVERIFY(!v.isValid());
                QVERIFY(!stream.errorString().isEmpty());
                QVERIFY(stream.atEnd());
            }
        }
        qInfo("%d of %d mutations still decoded", decodedOk, rounds);
    }

    void hostileInput()
    {
        const auto fails = [](const QByteArray &body) {
            ZeltoStream::Status status;
            const QVariant v = decode(QByteArray(1, char(1)) + body, &status);
            return status != ZeltoStream::Ok && !v.isValid();
        };
        const QByteArray huge = varint(1ULL << 31);
        QVERIFY(fails(bytesOf({ 0x0D }) + huge));                        // list of 2^31 values
        QVERIFY(fails(bytesOf({ 0x0D }) + varint(0x7fffffff)));          // list of 2^31 - 1 values
        QVERIFY(fails(bytesOf({ 0x0C }) + varint(0x7fffffff)));          // string list
        QVERIFY(fails(bytesOf({ 0x0E }) + varint(0x7fffffff)));          // map
        QVERIFY(fails(bytesOf({ 0x10 }) + varint(0x7fffffff)));          // table map
        QVERIFY(fails(bytesOf({ 0x07 }) + varint(1ULL << 40)));          // string length
        QVERIFY(fails(bytesOf({ 0x08 }) + varint(100) + "short"));       // byte array length
        QVERIFY(fails(bytesOf({ 0x0F }) + varint(0x7fffffff)));          // table columns
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
        ZeltoStream::Status status;
        const QVariant text = decode(bytesOf({ 1, 0x07, 5, 0xff, 0xc3, 0x28, 0xed }), &status);
        QCOMPARE(status, ZeltoStream::Ok);
        QCOMPARE(text.userType(), int(QMetaType::QString));
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
        const QByteArray xorBits = Bits().put(bitsOf(1.0), 64).put(0, 1).put(3, 2).put(12, 6).put(0, 6).put(1, 1).bytes;
        QTest::newRow("xor") << quint64(3) << bytesOf({ 3, 0x10 }) + varint(quint64(xorBits.size())) + xorBits
                             << QVariantList{ 1.0, 1.0, 1.5 } << QString();

        const QByteArray raw8 = u64(bitsOf(pi));
        QTest::newRow("no values") << quint64(1) << bytesOf({ 0, 0x00 }) + raw8 << QVariantList() << QStringLiteral("число значений");
        QTest::newRow("more than a block") << quint64(1025) << varint(1025) + bytesOf({ 0x00 }) + QByteArray(8200, 0)
                                           << QVariantList() << QStringLiteral("число значений");
        QTest::newRow("unknown mode") << quint64(1) << bytesOf({ 1, 0x30 }) + raw8 << QVariantList() << QStringLiteral("вид блока");
        QTest::newRow("raw with a low nibble") << quint64(1) << bytesOf({ 1, 0x01 }) + raw8 << QVariantList() << QStringLiteral("вид блока");
        QTest::newRow("width 0") << quint64(1) << bytesOf({ 1, 0x20, 0, 0, 0x00, 0, 0 }) << QVariantList() << QStringLiteral("ширина группы");
        QTest::newRow("width 65") << quint64(1) << bytesOf({ 1, 0x20, 0, 0, 65, 0 }) + QByteArray(9, 0) << QVariantList() << QStringLiteral("ширина группы");
        QTest::newRow("more exceptions than values") << quint64(2) << bytesOf({ 2, 0x20, 3, 0, 0x01, 0, 0 })
            + raw8 + raw8 + raw8 << QVariantList() << QStringLiteral("исключений");
        QTest::newRow("exception past the block") << quint64(2) << bytesOf({ 2, 0x20, 1, 0, 0x01, 0, 0, 2 }) + raw8
                                                  << QVariantList() << QStringLiteral("исключение за пределами");
        QTest::newRow("group short of its bits") << quint64(128) << bytesOf({ 0x80, 1, 0x20, 0, 0, 64, 0 })
            + QByteArray(20, 0) << QVariantList() << QStringLiteral("десятичный блок выходит");
        QTest::newRow("more values than cells") << quint64(1) << bytesOf({ 2, 0x00 }) + raw8 + raw8 << QVariantList() << QStringLiteral("лишние байты в столбце");
        QTest::newRow("fewer values than cells") << quint64(2) << bytesOf({ 1, 0x00 }) + raw8 << QVariantList() << QStringLiteral("границы столбца");
        QTest::newRow("bytes after the last block") << quint64(1) << bytesOf({ 1, 0x00 }) + raw8 + bytesOf({ 0 })
                                                    << QVariantList() << QStringLiteral("лишние байты в столбце");
        const QByteArray reuse = Bits().put(bitsOf(1.0), 64).put(1, 2).put(1, 1).bytes;
        QTest::newRow("xor window before any") << quint64(2) << bytesOf({ 2, 0x10 }) + varint(quint64(reuse.size())) + reuse
                                               << QVariantList() << QStringLiteral("отсутствующее окно");
        const QByteArray wide = Bits().put(bitsOf(1.0), 64).put(3, 2).put(60, 6).put(9, 6).put(0, 10).bytes;
        QTest::newRow("xor window past 64 bits") << quint64(2) << bytesOf({ 2, 0x10 }) + varint(quint64(wide.size())) + wide
                                                 << QVariantList() << QStringLiteral("недопустимое окно");
        QTest::newRow("xor longer than its column") << quint64(3) << bytesOf({ 3, 0x10, 100 }) + xorBits << QVariantList() << QStringLiteral("блок XOR выходит");
        QTest::newRow("xor with a spare byte") << quint64(3) << bytesOf({ 3, 0x10 }) + varint(quint64(xorBits.size() + 1))
            + xorBits + bytesOf({ 0 }) << QVariantList() << QStringLiteral("лишние байты в блоке XOR");
        QTest::newRow("xor short of its values") << quint64(4) << bytesOf({ 4, 0x10 }) + varint(quint64(xorBits.size()))
            + xorBits << QVariantList() << QStringLiteral("короче своих значений");
        QTest::newRow("column smaller than a bit a row") << quint64(100) << bytesOf({ 100, 0x20, 0, 0 }) + bytesOf({ 1, 0 })
            + QByteArray(6, 0) << QVariantList() << QStringLiteral("размер столбца");
    }

    void packedBlocks()
    {
        QFETCH(quint64, rows);
        QFETCH(QByteArray, cells);
        QFETCH(QVariantList, expected);
        QFETCH(QString, error);
        ZeltoStream::Status status;
        QString message;
        const QVariant value = decode(version2(doubleColumnTable(rows, cells)), &status, &message);
        if (expected.isEmpty()) {
            QVERIFY2(status == ZeltoStream::ReadCorruptData && !value.isValid(), qPrintable(message));
            QVERIFY2(message.startsWith(QStringLiteral("данные повреждены")) && message.contains(error), qPrintable(message));
            return;
        }
        QVERIFY2(status == ZeltoStream::Ok, qPrintable(message));
        const ZeltoTable table = value.value<ZeltoTable>();
        QCOMPARE(table.rowCount(), expected.size());
        QString why;
        for (int r = 0; r < expected.size(); ++r)
            QVERIFY2(same(expected.at(r), table.value(r, 0), &why), qPrintable(why));
    }

    // The frame of a version-2 value: its length and checksum.
    void frames()
    {
        const QByteArray good = encode(QVariant::fromValue(packedTable()));
        const QByteArray body = good.mid(5).chopped(4);
        QCOMPARE(good, version2(body));

        ZeltoStream::Status status;
        QString error;
        QByteArray badSum = good;
        badSum[badSum.size() - 1] = char(badSum.at(badSum.size() - 1) ^ 0x10);
        QVERIFY(!decode(badSum, &status, &error).isValid());
        QCOMPARE(status, ZeltoStream::ReadCorruptData);
        QVERIFY2(error.contains(QStringLiteral("контрольная сумма")), qPrintable(error));

        QVERIFY(!decode(bytesOf({ 2 }) + u32(0x7fffffff) + body, &status, &error).isValid());
        QCOMPARE(status, ZeltoStream::ReadPastEnd);
        QVERIFY2(error.contains(QStringLiteral("обрезано")), qPrintable(error));

        QVERIFY(!decode(version2(body + bytesOf({ 0 })), &status, &error).isValid());
        QCOMPARE(status, ZeltoStream::ReadCorruptData);
        QVERIFY2(error.contains(QStringLiteral("лишние байты")), qPrintable(error));

        // The checksum is CRC-32C, with the processor's instruction or without.
        QCOMPARE(ZeltoChecksum::crc32c("123456789", 9), 0xE3069283u);
        QCOMPARE(ZeltoChecksum::crc32cByTable("123456789", 9), 0xE3069283u);
        QCOMPARE(ZeltoChecksum::crc32c("", 0), 0u);
        for (int length = 0; length < 40; ++length)
            QCOMPARE(ZeltoChecksum::crc32cByTable(good.constData() + length, good.size() - 2 * length),
                     ZeltoChecksum::crc32c(good.constData() + length, good.size() - 2 * length));
    }

    // A year of hourly records: decimals with their usual precisions pack to
    // a fraction of their 8 bytes, random doubles stay at about 8.
    void archiveTableIsCompact()
    {
        const int rows = 8760, doubles = 40;
        QStringList columns{ QStringLiteral("date") };
        for (int c = 0; c < doubles; ++c)
            columns << QStringLiteral("p%1").arg(c);
        QRandomGenerator random(11);
        QVector<QVector<double>> meter, noise;
        for (int c = 0; c < doubles; ++c) {
            meter << columnOf(ColumnKind(c % 3), rows, random);   // temperatures, counters, pressures
            noise << columnOf(RandomBits, rows, random);
        }
        const qint64 start = local(2019, 1, 1, 0, 0).toMSecsSinceEpoch();
        const auto tableOf = [&](const QVector<QVector<double>> &values) {
            QVector<QVector<QVariant>> content(rows);
            for (int r = 0; r < rows; ++r) {
                QVector<QVariant> &row = content[r];
                row.reserve(doubles + 1);
                row.append(QDateTime::fromMSecsSinceEpoch(start + r * 3600000LL, Qt::LocalTime));
                for (int c = 0; c < doubles; ++c)
                    row.append(values[c][r]);
            }
            ZeltoTable table;
            table.setContent(columns, std::move(content));
            return table;
        };
        const ZeltoTable meterTable = tableOf(meter), noiseTable = tableOf(noise);
        const auto perCell = [&](const ZeltoTable &table, int version) {
            const QByteArray bytes = encode(QVariant::fromValue(table), nullptr, version);
            return double(bytes.size()) / (double(rows) * doubles);
        };
        const double meterV1 = perCell(meterTable, 1), meterV2 = perCell(meterTable, 2);
        const double noiseV2 = perCell(noiseTable, 2);
        qInfo("bytes per double cell: meter-like %.2f (version 1: %.2f), random %.2f", meterV2, meterV1, noiseV2);
        QVERIFY2(meterV1 < 8.15, qPrintable(QString::number(meterV1)));
        QVERIFY2(meterV2 < 2.0, qPrintable(QString::number(meterV2)));
        QVERIFY2(noiseV2 < 8.15, qPrintable(QString::number(noiseV2)));

        const ZeltoTable back = decode(encode(QVariant::fromValue(meterTable))).value<ZeltoTable>();
        QCOMPARE(back.rowCount(), rows);
        QVERIFY(back == meterTable);
        QCOMPARE(back.value(rows - 1, 0).toDateTime(), meterTable.value(rows - 1, 0).toDateTime());
        QCOMPARE(back.value(rows - 1, 0).toDateTime().timeSpec(), Qt::LocalTime);
    }
};

QTEST_GUILESS_MAIN(TestZeltoStream)
#include "tst_zeltostream.moc"
