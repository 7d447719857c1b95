#include "zeltojsonwriter.h"

#include "zeltoencodedtable.h"
#include "zeltomarkers.h"
#include "zeltostream.h"
#include "zeltotable.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// QByteArray in Qt 5 holds at most this many bytes (2 GiB less its header).
constexpr qsizetype MaxOutput = qsizetype(std::numeric_limits<int>::max()) - 4096;

const char HexDigits[] = "0123456789abcdef";
const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

inline char *putTwoDigits(char *p, int value)
{
    p[0] = char('0' + value / 10);
    p[1] = char('0' + value % 10);
    return p + 2;
}

inline char *putDate(char *p, const QDate &date)
{
    int year, month, day;
    date.getDate(&year, &month, &day);
    p = putTwoDigits(p, year / 100);
    p = putTwoDigits(p, year % 100);
    *p++ = '-';
    p = putTwoDigits(p, month);
    *p++ = '-';
    return putTwoDigits(p, day);
}

inline char *putTime(char *p, const QTime &time)
{
    p = putTwoDigits(p, time.hour());
    *p++ = ':';
    p = putTwoDigits(p, time.minute());
    *p++ = ':';
    p = putTwoDigits(p, time.second());
    *p++ = '.';
    const int ms = time.msec();
    *p++ = char('0' + ms / 100);
    return putTwoDigits(p, ms % 100);
}

// The reader takes four-digit years only; QDate has no year 0.
inline bool yearFits(const QDate &date)
{
    const int year = date.year();
    return year >= 1 && year <= 9999;
}

} // namespace

ZeltoJsonWriter::ZeltoJsonWriter(bool indented)
    : m_indented(indented),
      m_tableType(qMetaTypeId<ZeltoTable>()),
      m_tableMapType(qMetaTypeId<ZeltoTableMap>()),
      m_outOfRangeType(qMetaTypeId<ZeltoOutOfRange>()),
      m_unusedType(qMetaTypeId<ZeltoUnused>()),
      m_encodedTableType(qMetaTypeId<ZeltoEncodedTable>())
{
}

bool ZeltoJsonWriter::write(const QVariant &value, QByteArray &out)
{
    m_error.clear();
    m_inline = false;
    const qsizetype start = out.size();
    m_out = &out;
    m_cur = m_end = nullptr;
    bool ok = grow(256) && writeValue(value, 0);
    out.resize(int(ok ? m_cur - out.constData() : start));
    m_out = nullptr;
    m_cur = m_end = nullptr;
    return ok;
}

QByteArray ZeltoJsonWriter::toJson(const QVariant &value, bool indented, QString *error)
{
    ZeltoJsonWriter writer(indented);
    QByteArray out;
    const bool ok = writer.write(value, out);
    if (error)
        *error = writer.errorString();
    return ok ? out : QByteArray();
}

bool ZeltoJsonWriter::grow(qsizetype size)
{
    const qsizetype used = m_cur ? m_cur - m_out->constData() : m_out->size();
    if (size > MaxOutput - used)
        return fail(QStringLiteral("текст JSON длиннее 2 ГиБ"));
    const qsizetype wanted = std::max(used + size, std::min(MaxOutput, used * 2));
    m_out->resize(int(wanted));
    char *base = m_out->data();
    m_cur = base + used;
    m_end = base + wanted;
    return true;
}

bool ZeltoJsonWriter::tooDeep()
{
    return fail(QStringLiteral("вложенность JSON глубже %1 уровней").arg(MaxDepth));
}

bool ZeltoJsonWriter::fail(const QString &text)
{
    if (m_error.isEmpty())
        m_error = text;
    return false;
}

bool ZeltoJsonWriter::writeRaw(const char *text, int size)
{
    if (!room(size))
        return false;
    memcpy(m_cur, text, size_t(size));
    m_cur += size;
    return true;
}

bool ZeltoJsonWriter::newline(int depth)
{
    if (!m_indented || m_inline)
        return true;
    if (!room(1 + 2 * qsizetype(depth)))
        return false;
    *m_cur++ = '\n';
    memset(m_cur, ' ', size_t(2 * depth));
    m_cur += 2 * depth;
    return true;
}

bool ZeltoJsonWriter::writeValue(const QVariant &value, int depth)
{
    const void *data = value.constData();
    const int type = value.userType();
    // A typed null, such as an SQL NULL read back as a null int, has no value.
    if (type >= QMetaType::Bool && type <= QMetaType::Double && value.isNull())
        return writeRaw("null", 4);
    switch (type) {
    case QMetaType::UnknownType:
        return writeRaw("null", 4);
    case QMetaType::Bool:
        return *static_cast<const bool *>(data) ? writeRaw("true", 4) : writeRaw("false", 5);
    case QMetaType::Int:
        return writeSigned(*static_cast<const int *>(data));
    case QMetaType::UInt:
        return writeUnsigned(*static_cast<const uint *>(data));
    case QMetaType::LongLong:
        return writeSigned(*static_cast<const qlonglong *>(data));
    case QMetaType::ULongLong:
        return writeUnsigned(*static_cast<const qulonglong *>(data));
    case QMetaType::Short:
        return writeSigned(*static_cast<const short *>(data));
    case QMetaType::UShort:
        return writeUnsigned(*static_cast<const ushort *>(data));
    case QMetaType::Long:
        return writeSigned(*static_cast<const long *>(data));
    case QMetaType::ULong:
        return writeUnsigned(*static_cast<const ulong *>(data));
    case QMetaType::Double:
        return writeDouble(*static_cast<const double *>(data));
    case QMetaType::Float:
        return writeFloat(*static_cast<const float *>(data));
    case QMetaType::QString:
        return writeString(*static_cast<const QString *>(data));
    case QMetaType::QByteArray:
        return writeBase64Tag("$bytes", 6, *static_cast<const QByteArray *>(data));
    case QMetaType::QDateTime:
    case QMetaType::QDate:
    case QMetaType::QTime:
        return writeDateTimeTag(value);
    case QMetaType::QStringList:
        return writeStringList(*static_cast<const QStringList *>(data), depth + 1);
    case QMetaType::QVariantList:
        return writeList(*static_cast<const QVariantList *>(data), depth + 1);
    case QMetaType::QVariantMap:
        return writeMap(*static_cast<const QVariantMap *>(data), depth + 1);
    case QMetaType::QVariantHash:
        return writeHash(*static_cast<const QVariantHash *>(data), depth + 1);
    default:
        break;
    }
    if (type == m_tableType)
        return writeTable(*static_cast<const ZeltoTable *>(data), depth + 1, depth + 1);
    if (type == m_tableMapType)
        return writeTables(*static_cast<const ZeltoTableMap *>(data), depth + 1);
    if (type == m_outOfRangeType)
        return writeRaw("{\"$marker\":\"OutOfRange\"}", 24);
    if (type == m_unusedType)
        return writeRaw("{\"$marker\":\"Unused\"}", 20);
    if (type == m_encodedTableType)
        return writeEncodedTable(static_cast<const ZeltoEncodedTable *>(data)->stream, depth + 1, depth + 1);
    const char *name = value.typeName();
    return fail(QStringLiteral("тип %1 нельзя передать в JSON")
                    .arg(name ? QString::fromLatin1(name) : QString::number(type)));
}

bool ZeltoJsonWriter::writeSigned(qlonglong value)
{
    if (!room(24))
        return false;
    m_cur = std::to_chars(m_cur, m_end, value).ptr;
    return true;
}

bool ZeltoJsonWriter::writeUnsigned(qulonglong value)
{
    if (!room(24))
        return false;
    m_cur = std::to_chars(m_cur, m_end, value).ptr;
    return true;
}

// Shortest text that reads back to the same bits, as std::to_chars gives it.
// A bare integer text would read back as an integer, so such text gets ".0".
bool ZeltoJsonWriter::writeDouble(double value)
{
    if (!std::isfinite(value))
        return writeRaw("null", 4);
    if (!room(40))
        return false;
    return writeShortDecimal(value) || writeFloating(value);
}

// std::to_chars's shortest text, with ".0" added to a bare integer text so
// that it reads back as a floating-point number; room is already made.
template <typename Floating>
bool ZeltoJsonWriter::writeFloating(Floating value)
{
    char *begin = m_cur;
    m_cur = std::to_chars(begin, m_end, value).ptr;
    for (const char *p = begin; p < m_cur; ++p) {
        if (*p == '.' || *p == 'e')
            return true;
    }
    *m_cur++ = '.';
    *m_cur++ = '0';
    return true;
}

// Readings mostly have a few decimals, and std::to_chars spends most of the
// encoding time on them. Finds the fewest decimals k that read back exactly
// and writes the same text to_chars would, or returns false to leave the
// value to it. Below 2^51 in units of 10^-k at most one k-decimal text lies
// within half an ulp of the value, and rounding value * 10^k finds it; the
// reader divides the same integer by the same exact power of ten, so the
// check below is the read-back itself.
bool ZeltoJsonWriter::writeShortDecimal(double value)
{
    static const double PowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
    static constexpr int MaxDecimals = 6;
    static constexpr double Limit = 2251799813685248.0;   // 2^51
    for (int k = 0; k <= MaxDecimals; ++k) {
        const double scaled = value * PowersOfTen[k];
        if (!(std::fabs(scaled) < Limit))
            return false;
        const double rounded = std::rint(scaled);
        if (rounded / PowersOfTen[k] != value)
            continue;

        char digits[24];
        const qint64 n = qint64(std::fabs(rounded));
        const int length = int(std::to_chars(digits, digits + sizeof digits, n).ptr - digits);
        // to_chars takes the shorter of the fixed and the exponent form, the
        // fixed one on a tie; only the fixed one is written here.
        int significant = length;
        while (k == 0 && significant > 1 && digits[significant - 1] == '0')
            --significant;
        const int exponent = std::abs(length - 1 - k);
        const int exponentLength = significant + (significant > 1 ? 1 : 0) + 2 + (exponent >= 100 ? 3 : 2);
        const int fixedLength = k == 0 ? length : std::max(length, k + 1) + 1;
        if (fixedLength > exponentLength)
            return false;

        char *p = m_cur;
        if (std::signbit(value))
            *p++ = '-';
        if (k == 0) {
            memcpy(p, digits, size_t(length));
            p += length;
            *p++ = '.';
            *p++ = '0';
        } else if (length > k) {
            memcpy(p, digits, size_t(length - k));
            p += length - k;
            *p++ = '.';
            memcpy(p, digits + length - k, size_t(k));
            p += k;
        } else {
            *p++ = '0';
            *p++ = '.';
            memset(p, '0', size_t(k - length));
            p += k - length;
            memcpy(p, digits, size_t(length));
            p += length;
        }
        m_cur = p;
        return true;
    }
    return false;
}

bool ZeltoJsonWriter::writeFloat(float value)
{
    if (!std::isfinite(value))
        return writeRaw("null", 4);
    return room(40) && writeFloating(value);
}

// UTF-16 to UTF-8 in one pass. A lone surrogate has no UTF-8 form and is
// written as U+FFFD, as the reader does with a lone \uD800.
bool ZeltoJsonWriter::writeString(const QString &text)
{
    const qsizetype size = text.size();
    if (!room(3 * size + 2))
        return false;
    const ushort *s = text.utf16();
    char *p = m_cur;
    *p++ = '"';
    for (qsizetype i = 0; i < size; ++i) {
        const ushort c = s[i];
        if (c < 0x80) {
            if (c >= 0x20 && c != '"' && c != '\\') {
                *p++ = char(c);
                continue;
            }
            // An escape takes up to six bytes where three were reserved.
            m_cur = p;
            if (!room(6 + 3 * (size - i)))
                return false;
            p = m_cur;
            *p++ = '\\';
            switch (c) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case '\b': *p++ = 'b'; break;
            case '\f': *p++ = 'f'; break;
            case '\n': *p++ = 'n'; break;
            case '\r': *p++ = 'r'; break;
            case '\t': *p++ = 't'; break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = HexDigits[c >> 4];
                *p++ = HexDigits[c & 0xf];
                break;
            }
        } else if (c < 0x800) {
            *p++ = char(0xc0 | (c >> 6));
            *p++ = char(0x80 | (c & 0x3f));
        } else if (c >= 0xd800 && c <= 0xdfff) {
            if (c < 0xdc00 && i + 1 < size && s[i + 1] >= 0xdc00 && s[i + 1] <= 0xdfff) {
                const uint u = 0x10000 + ((uint(c) - 0xd800) << 10) + (uint(s[i + 1]) - 0xdc00);
                ++i;
                *p++ = char(0xf0 | (u >> 18));
                *p++ = char(0x80 | ((u >> 12) & 0x3f));
                *p++ = char(0x80 | ((u >> 6) & 0x3f));
                *p++ = char(0x80 | (u & 0x3f));
            } else {
                *p++ = char(0xef);
                *p++ = char(0xbf);
                *p++ = char(0xbd);
            }
        } else {
            *p++ = char(0xe0 | (c >> 12));
            *p++ = char(0x80 | ((c >> 6) & 0x3f));
            *p++ = char(0x80 | (c & 0x3f));
        }
    }
    *p++ = '"';
    m_cur = p;
    return true;
}

bool ZeltoJsonWriter::openTag(const char *tag, int tagSize)
{
    if (!room(tagSize + 6))
        return false;
    *m_cur++ = '{';
    *m_cur++ = '"';
    memcpy(m_cur, tag, size_t(tagSize));
    m_cur += tagSize;
    *m_cur++ = '"';
    *m_cur++ = ':';
    if (m_indented && !m_inline)
        *m_cur++ = ' ';
    return true;
}

bool ZeltoJsonWriter::writeDateTimeTag(const QVariant &value)
{
    char text[32];
    char *end = text;
    switch (value.userType()) {
    case QMetaType::QDateTime: {
        const QDateTime &dt = *static_cast<const QDateTime *>(value.constData());
        if (!openTag("$datetime", 9))
            return false;
        if (dt.isValid()) {
            const QDateTime local = dt.timeSpec() == Qt::LocalTime ? dt : dt.toLocalTime();
            const QDate date = local.date();
            if (!yearFits(date))
                return fail(QStringLiteral("год %1 вне диапазона 1–9999").arg(date.year()));
            end = putDate(end, date);
            *end++ = 'T';
            end = putTime(end, local.time());
        }
        break;
    }
    case QMetaType::QDate: {
        const QDate &date = *static_cast<const QDate *>(value.constData());
        if (!openTag("$date", 5))
            return false;
        if (date.isValid()) {
            if (!yearFits(date))
                return fail(QStringLiteral("год %1 вне диапазона 1–9999").arg(date.year()));
            end = putDate(end, date);
        }
        break;
    }
    default: {
        const QTime &time = *static_cast<const QTime *>(value.constData());
        if (!openTag("$time", 5))
            return false;
        if (time.isValid())
            end = putTime(end, time);
        break;
    }
    }
    const int size = int(end - text);
    if (!room(size + 3))
        return false;
    *m_cur++ = '"';
    memcpy(m_cur, text, size_t(size));
    m_cur += size;
    *m_cur++ = '"';
    *m_cur++ = '}';
    return true;
}

bool ZeltoJsonWriter::writeBase64Tag(const char *tag, int tagSize, const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    if (!openTag(tag, tagSize) || !room((size + 2) / 3 * 4 + 3))
        return false;
    const uchar *s = reinterpret_cast<const uchar *>(bytes.constData());
    char *p = m_cur;
    *p++ = '"';
    qsizetype i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint v = (uint(s[i]) << 16) | (uint(s[i + 1]) << 8) | s[i + 2];
        *p++ = Base64Digits[v >> 18];
        *p++ = Base64Digits[(v >> 12) & 0x3f];
        *p++ = Base64Digits[(v >> 6) & 0x3f];
        *p++ = Base64Digits[v & 0x3f];
    }
    if (i < size) {
        const bool two = i + 1 < size;
        const uint v = (uint(s[i]) << 16) | (two ? uint(s[i + 1]) << 8 : 0u);
        *p++ = Base64Digits[v >> 18];
        *p++ = Base64Digits[(v >> 12) & 0x3f];
        *p++ = two ? Base64Digits[(v >> 6) & 0x3f] : '=';
        *p++ = '=';
    }
    *p++ = '"';
    *p++ = '}';
    m_cur = p;
    return true;
}

bool ZeltoJsonWriter::writeKey(const QString &key, int depth, bool first)
{
    if (key.startsWith(QLatin1Char('$')))
        return fail(QStringLiteral("ключ не может начинаться с $: \"%1\"").arg(key));
    if ((!first && !writeChar(',')) || !newline(depth) || !writeString(key) || !writeChar(':'))
        return false;
    return !m_indented || m_inline || writeChar(' ');
}

template <typename List, typename WriteItem>
bool ZeltoJsonWriter::writeArray(const List &list, int depth, WriteItem writeItem)
{
    if (depth > MaxDepth)
        return tooDeep();
    if (list.isEmpty())
        return writeRaw("[]", 2);
    if (!writeChar('['))
        return false;
    bool first = true;
    for (const auto &item : list) {
        if ((!first && !writeChar(',')) || !newline(depth) || !writeItem(item))
            return false;
        first = false;
    }
    return newline(depth - 1) && writeChar(']');
}

bool ZeltoJsonWriter::writeList(const QVariantList &list, int depth)
{
    return writeArray(list, depth, [this, depth](const QVariant &item) { return writeValue(item, depth); });
}

bool ZeltoJsonWriter::writeStringList(const QStringList &list, int depth)
{
    return writeArray(list, depth, [this](const QString &item) { return writeString(item); });
}

bool ZeltoJsonWriter::writeMap(const QVariantMap &map, int depth)
{
    if (depth > MaxDepth)
        return tooDeep();
    if (map.isEmpty())
        return writeRaw("{}", 2);
    if (!writeChar('{'))
        return false;
    bool first = true;
    for (auto it = map.cbegin(), end = map.cend(); it != end; ++it) {
        if (!writeKey(it.key(), depth, first) || !writeValue(it.value(), depth))
            return false;
        first = false;
    }
    return newline(depth - 1) && writeChar('}');
}

// Keys in sorted order, so that equal hashes give equal text.
bool ZeltoJsonWriter::writeHash(const QVariantHash &hash, int depth)
{
    if (depth > MaxDepth)
        return tooDeep();
    if (hash.isEmpty())
        return writeRaw("{}", 2);
    QVector<QVariantHash::const_iterator> items;
    items.reserve(hash.size());
    for (auto it = hash.cbegin(), end = hash.cend(); it != end; ++it)
        items.append(it);
    std::sort(items.begin(), items.end(),
              [](const QVariantHash::const_iterator &a, const QVariantHash::const_iterator &b) {
                  return a.key() < b.key();
              });
    if (!writeChar('{'))
        return false;
    bool first = true;
    for (const auto &it : qAsConst(items)) {
        if (!writeKey(it.key(), depth, first) || !writeValue(it.value(), depth))
            return false;
        first = false;
    }
    return newline(depth - 1) && writeChar('}');
}

// {"$table":{"columns":[...],"rows":[[...],...]}}. Rows are written as stored,
// so a short row stays short. Indented output puts each row on one line and
// does not indent the tag wrapper: {"$table": {\n  "columns": ...\n}}.
// depth counts the enclosing containers of the tag object as the reader does;
// indent is the indentation of the lines inside it.
bool ZeltoJsonWriter::writeTable(const ZeltoTable &table, int depth, int indent)
{
    if (depth + 3 > MaxDepth)
        return tooDeep();
    if (m_tablesAsStream) {
        QByteArray stream;
        ZeltoStream writer(&stream, QIODevice::WriteOnly);
        writer << QVariant::fromValue(table);
        if (writer.status() != ZeltoStream::Ok)
            return fail(writer.errorString());
        return writeBase64Tag("$stream", 7, stream);
    }
    const int columns = table.columnCount();
    const int rows = table.rowCount();
    // A first guess of ten bytes a cell spares most of the regrowth.
    if (!room(std::min<qsizetype>(qsizetype(rows) * std::max(columns, 1) * 10, MaxOutput / 4) + 64))
        return false;
    const bool spaced = m_indented && !m_inline;
    if (!openTag("$table", 6) || !writeChar('{') || !newline(indent)
        || !writeRaw("\"columns\": ", spaced ? 11 : 10))
        return false;
    const bool wasInline = m_inline;
    m_inline = true;
    bool ok = writeStringList(table.columnNames(), depth + 2);
    m_inline = wasInline;
    if (!ok || !writeChar(',') || !newline(indent) || !writeRaw("\"rows\":", 7)
        || (spaced && !writeChar(' ')) || !writeChar('['))
        return false;
    for (int r = 0; r < rows; ++r) {
        if ((r > 0 && !writeChar(',')) || !newline(indent + 1) || !writeChar('['))
            return false;
        const QVector<QVariant> &cells = table.rowCells(r);
        const int count = std::min(cells.size(), columns);
        m_inline = true;
        for (int c = 0; c < count && ok; ++c)
            ok = (c == 0 || writeChar(',')) && writeValue(cells.at(c), depth + 3);
        m_inline = wasInline;
        if (!ok || !writeChar(']'))
            return false;
    }
    return (rows == 0 || newline(indent)) && writeChar(']') && newline(indent - 1)
        && writeRaw("}}", 2);
}

// The stored bytes go out as they are; a JSON reply needs the table itself.
bool ZeltoJsonWriter::writeEncodedTable(const QByteArray &stream, int depth, int indent)
{
    if (m_tablesAsStream)
        return writeBase64Tag("$stream", 7, stream);
    ZeltoTable table;
    QString problem;
    if (!ZeltoEncodedTable{stream}.decode(table, &problem))
        return fail(QStringLiteral("таблица в двоичном виде повреждена: %1").arg(problem));
    return writeTable(table, depth, indent);
}

bool ZeltoJsonWriter::writeTables(const ZeltoTableMap &tables, int depth)
{
    if (depth + 1 > MaxDepth)
        return tooDeep();
    if (!openTag("$tables", 7))
        return false;
    if (tables.isEmpty())
        return writeRaw("{}}", 3);
    if (!writeChar('{'))
        return false;
    bool first = true;
    for (auto it = tables.cbegin(), end = tables.cend(); it != end; ++it) {
        // Names may start with "$": every member here is a table anyway.
        if ((!first && !writeChar(',')) || !newline(depth) || !writeString(it.key())
            || !writeChar(':') || (m_indented && !m_inline && !writeChar(' '))
            || !writeTable(it.value(), depth + 2, depth + 1))
            return false;
        first = false;
    }
    return newline(depth - 1) && writeRaw("}}", 2);
}
