#include "zeltojsonreader.h"

#include "zeltoencodedtable.h"
#include "zeltomarkers.h"
#include "zeltotable.h"
#include "zeltoutf8.h"

#include <QDateTime>

#include <array>
#include <charconv>
#include <cstring>
#include <limits>

namespace {

const double PowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11,
                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool spanIs(const char *data, qsizetype size, const char *word, qsizetype wordSize)
{
    return size == wordSize && memcmp(data, word, size_t(size)) == 0;
}

template <qsizetype N>
inline bool spanIs(const char *data, qsizetype size, const char (&word)[N])
{
    return spanIs(data, size, word, N - 1);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Four hex digits at p (p + 4 <= end checked by the caller), -1 when bad.
int hex4(const char *p)
{
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = hexValue(p[i]);
        if (digit < 0)
            return -1;
        value = (value << 4) | digit;
    }
    return value;
}

void appendUtf8(std::string &out, uint code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xc0 | (code >> 6));
        out += char(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += char(0xe0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    } else {
        out += char(0xf0 | (code >> 18));
        out += char(0x80 | ((code >> 12) & 0x3f));
        out += char(0x80 | ((code >> 6) & 0x3f));
        out += char(0x80 | (code & 0x3f));
    }
}

// Fixed-width decimal field; -1 when any character is not a digit.
int digits(const char *p, int count)
{
    int value = 0;
    for (int i = 0; i < count; ++i) {
        if (!isDigit(p[i]))
            return -1;
        value = value * 10 + (p[i] - '0');
    }
    return value;
}

// "yyyy-MM-dd"; an invalid QDate when the text is not one.
QDate parseDate(const char *p, qsizetype size)
{
    if (size != 10 || p[4] != '-' || p[7] != '-')
        return QDate();
    const int year = digits(p, 4), month = digits(p + 5, 2), day = digits(p + 8, 2);
    if (year < 1 || month < 0 || day < 0)
        return QDate();
    return QDate(year, month, day);
}

// "hh:mm:ss" or "hh:mm:ss.zzz"; an invalid QTime when the text is not one.
QTime parseTime(const char *p, qsizetype size)
{
    if ((size != 8 && size != 12) || p[2] != ':' || p[5] != ':')
        return QTime();
    const int hour = digits(p, 2), minute = digits(p + 3, 2), second = digits(p + 6, 2);
    int ms = 0;
    if (size == 12) {
        if (p[8] != '.')
            return QTime();
        ms = digits(p + 9, 3);
    }
    if (hour < 0 || minute < 0 || second < 0 || ms < 0)
        return QTime();
    return QTime(hour, minute, second, ms);
}

QString spanText(const char *data, qsizetype size)
{
    return Zelto::fromUtf8(data, int(size));
}

// Strict base64 with padding (RFC 4648), false on anything else. Qt's own
// decoder takes several times longer, which a stream of megabytes feels.
bool decodeBase64(const char *text, qsizetype size, QByteArray &out)
{
    static const auto values = [] {
        std::array<qint8, 256> table;
        table.fill(-1);
        const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            table[uchar(digits[i])] = qint8(i);
        return table;
    }();
    if (size % 4 != 0)
        return false;
    const uchar *p = reinterpret_cast<const uchar *>(text);
    const int padding = size == 0 ? 0 : (p[size - 1] == '=') + (p[size - 2] == '=');
    out.resize(int(size / 4 * 3 - padding));
    char *o = out.data();
    const qsizetype whole = size - (padding ? 4 : 0);
    for (qsizetype i = 0; i < whole; i += 4) {
        const int a = values[p[i]], b = values[p[i + 1]], c = values[p[i + 2]], d = values[p[i + 3]];
        if ((a | b | c | d) < 0)
            return false;
        const uint v = (uint(a) << 18) | (uint(b) << 12) | (uint(c) << 6) | uint(d);
        *o++ = char(v >> 16);
        *o++ = char(v >> 8);
        *o++ = char(v);
    }
    if (padding) {
        const uchar *q = p + whole;
        const int a = values[q[0]], b = values[q[1]], c = padding == 1 ? values[q[2]] : 0;
        if ((a | b | c) < 0)
            return false;
        const uint v = (uint(a) << 18) | (uint(b) << 12) | (uint(c) << 6);
        *o++ = char(v >> 16);
        if (padding == 1)
            *o++ = char(v >> 8);
    }
    return true;
}

} // namespace

ZeltoJsonReader::ZeltoJsonReader()
    : m_tableType(qMetaTypeId<ZeltoTable>())
{
}

bool ZeltoJsonReader::read(const QByteArray &text, QVariant &out)
{
    return read(text.constData(), text.size(), out);
}

bool ZeltoJsonReader::read(const char *data, qsizetype size, QVariant &out)
{
    out = QVariant();
    m_status = Ok;
    m_captured.clear();
    m_error.clear();
    m_errorOffset = -1;
    if (!data || size < 0)
        size = 0;
    // Strings and containers of Qt 5 hold fewer than 2^31 elements.
    if (size > std::numeric_limits<int>::max()) {
        m_begin = data;
        syntaxError(data, QStringLiteral("текст длиннее 2 ГиБ"));
        m_begin = nullptr;
        return false;
    }
    m_begin = m_p = data;
    m_end = data + size;
    // A byte order mark is not JSON, but editors on Windows put one in.
    if (size >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0)
        m_p += 3;
    skipSpace();
    QVariant value;
    if (m_p == m_end) {
        syntaxError(m_p, QStringLiteral("пустой текст"));
    } else if (parseValue(value, 0)) {
        skipSpace();
        if (m_p != m_end)
            syntaxError(m_p, QStringLiteral("лишние символы после значения"));
    }
    // Keep a small buffer for the next text, not the one a huge string needed.
    if (m_scratch.capacity() > 1 << 20)
        std::string().swap(m_scratch);
    m_scratch.clear();
    m_begin = m_p = m_end = nullptr;
    if (m_status != Ok)
        return false;
    out = std::move(value);
    return true;
}

bool ZeltoJsonReader::syntaxError(const char *at, const QString &text)
{
    // A syntax error outranks an earlier invalid value: the text is not JSON.
    m_status = SyntaxError;
    m_errorOffset = offset(at);
    m_error = QStringLiteral("%1 (байт %2)").arg(text).arg(m_errorOffset);
    return false;
}

bool ZeltoJsonReader::unexpected(const char *at)
{
    if (at >= m_end)
        return syntaxError(at, QStringLiteral("неожиданный конец текста"));
    const uchar c = uchar(*at);
    if (c > 0x20 && c < 0x7f)
        return syntaxError(at, QStringLiteral("неожиданный символ '%1'").arg(QChar(ushort(c))));
    return syntaxError(at, QStringLiteral("неожиданный байт 0x%1")
                               .arg(uint(c), 2, 16, QLatin1Char('0')).toUpper());
}

void ZeltoJsonReader::invalidValue(qsizetype offset, const QString &text)
{
    if (m_status != Ok)
        return;
    m_status = InvalidValue;
    m_errorOffset = offset;
    m_error = QStringLiteral("%1 (байт %2)").arg(text).arg(offset);
}

bool ZeltoJsonReader::enter(int depth)
{
    if (depth <= MaxDepth)
        return true;
    return syntaxError(m_p, QStringLiteral("вложенность глубже %1 уровней").arg(MaxDepth));
}

bool ZeltoJsonReader::expectColon()
{
    skipSpace();
    if (m_p < m_end && *m_p == ':') {
        ++m_p;
        return true;
    }
    return syntaxError(m_p, QStringLiteral("после ключа ожидается ':'"));
}

// depth: the number of arrays and objects around the value.
bool ZeltoJsonReader::parseValue(QVariant &out, int depth)
{
    skipSpace();
    if (m_p == m_end)
        return unexpected(m_p);
    switch (*m_p) {
    case '{':
        return enter(depth + 1) && parseObject(out, depth + 1);
    case '[':
        return enter(depth + 1) && parseArray(out, depth + 1);
    case '"': {
        Span text;
        if (!scanString(text))
            return false;
        out = spanText(text.data, text.size);
        return true;
    }
    case 't':
        return parseLiteral("true", 4, out, QVariant(true));
    case 'f':
        return parseLiteral("false", 5, out, QVariant(false));
    case 'n':
        return parseLiteral("null", 4, out, QVariant());
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
        return parseNumber(out);
    default:
        return unexpected(m_p);
    }
}

bool ZeltoJsonReader::parseLiteral(const char *word, int size, QVariant &out, const QVariant &value)
{
    if (m_end - m_p < size || memcmp(m_p, word, size_t(size)) != 0)
        return syntaxError(m_p, QStringLiteral("неизвестное слово (ожидается %1)").arg(QLatin1String(word)));
    m_p += size;
    out = value;
    return true;
}

bool ZeltoJsonReader::parseNumber(QVariant &out)
{
    const char *start = m_p;
    const char *p = m_p;
    const bool negative = *p == '-';
    if (negative)
        ++p;
    if (p == m_end || !isDigit(*p))
        return syntaxError(start, QStringLiteral("неверное число: после '-' нет цифр"));
    const char *intStart = p;
    if (*p == '0') {
        ++p;
        if (p < m_end && isDigit(*p))
            return syntaxError(start, QStringLiteral("неверное число: лишний ведущий ноль"));
    } else {
        while (p < m_end && isDigit(*p))
            ++p;
    }
    const char *intEnd = p;
    const char *fractionStart = p;
    bool integer = true;
    if (p < m_end && *p == '.') {
        fractionStart = ++p;
        if (p == m_end || !isDigit(*p))
            return syntaxError(start, QStringLiteral("неверное число: после точки нет цифр"));
        while (p < m_end && isDigit(*p))
            ++p;
        integer = false;
    }
    const char *fractionEnd = p;
    int exponent = 0;
    if (p < m_end && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negativeExponent = false;
        if (p < m_end && (*p == '+' || *p == '-'))
            negativeExponent = *p++ == '-';
        if (p == m_end || !isDigit(*p))
            return syntaxError(start, QStringLiteral("неверное число: в порядке нет цифр"));
        while (p < m_end && isDigit(*p)) {
            if (exponent < 100000)
                exponent = exponent * 10 + (*p - '0');
            ++p;
        }
        if (negativeExponent)
            exponent = -exponent;
        integer = false;
    }
    m_p = p;

    if (integer) {
        // Up to 19 digits cannot overflow 64 bits; 20 may.
        const qsizetype count = intEnd - intStart;
        if (count <= 20) {
            quint64 magnitude = 0;
            bool fits = true;
            for (const char *d = intStart; d < intEnd && fits; ++d) {
                fits = !__builtin_mul_overflow(magnitude, 10u, &magnitude)
                    && !__builtin_add_overflow(magnitude, quint64(*d - '0'), &magnitude);
            }
            if (fits) {
                if (!negative) {
                    if (magnitude <= quint64(std::numeric_limits<int>::max()))
                        out = QVariant(int(magnitude));
                    else if (magnitude <= quint64(std::numeric_limits<qlonglong>::max()))
                        out = QVariant(qlonglong(magnitude));
                    else
                        out = QVariant(qulonglong(magnitude));
                    return true;
                }
                if (magnitude <= quint64(1) << 31) {
                    out = QVariant(int(-qlonglong(magnitude)));
                    return true;
                }
                if (magnitude <= quint64(1) << 63) {
                    // -2^63 has no positive counterpart in qlonglong.
                    out = QVariant(qlonglong(0 - magnitude));
                    return true;
                }
            }
        }
    }

    // Exact fast path: a significand below 2^53 and a power of ten up to
    // 10^22 are both exact doubles, so one multiplication or division rounds
    // correctly. Most readings ("70.53") take it.
    const qsizetype significantDigits = (intEnd - intStart) + (fractionEnd - fractionStart);
    if (significantDigits <= 19) {
        quint64 significand = 0;
        for (const char *d = intStart; d < intEnd; ++d)
            significand = significand * 10 + quint64(*d - '0');
        for (const char *d = fractionStart; d < fractionEnd; ++d)
            significand = significand * 10 + quint64(*d - '0');
        const int power = exponent - int(fractionEnd - fractionStart);
        if (significand <= (quint64(1) << 53) && power >= -22 && power <= 22) {
            double value = double(significand);
            value = power < 0 ? value / PowersOfTen[-power] : value * PowersOfTen[power];
            out = QVariant(negative ? -value : value);
            return true;
        }
    }

    double value = 0;
    const std::from_chars_result result = std::from_chars(start, p, value);
    if (result.ec == std::errc::result_out_of_range) {
        // Too small rounds to zero; too large has no double.
        int lead = 0;   // decimal exponent of the leading digit without the 'e' part
        if (*intStart != '0') {
            lead = int(intEnd - intStart) - 1;
        } else {
            // 0.000ddd: count the zeros after the point (a bare 0 cannot overflow)
            const char *d = intEnd < p && *intEnd == '.' ? intEnd + 1 : p;
            while (d < p && *d == '0')
                ++d;
            lead = -int(d - intEnd);
        }
        if (qlonglong(lead) + exponent < 0) {
            out = QVariant(negative ? -0.0 : 0.0);
            return true;
        }
        invalidValue(offset(start), QStringLiteral("число %1 вне диапазона double")
                                        .arg(QString::fromLatin1(start, int(std::min<qsizetype>(p - start, 40)))));
        out = QVariant();
        return true;
    }
    if (result.ec != std::errc() || result.ptr != p)
        return syntaxError(start, QStringLiteral("неверное число"));
    out = QVariant(value);
    return true;
}

// Plain strings are located and handed over without copying; strings with
// escapes are decoded into m_scratch as UTF-8. A lone surrogate escape becomes
// U+FFFD, like invalid UTF-8 in QString::fromUtf8.
bool ZeltoJsonReader::scanString(Span &out)
{
    const char *open = m_p;
    const char *start = m_p + 1;
    const char *p = start;
    for (;;) {
        if (p == m_end)
            return syntaxError(open, QStringLiteral("строка не закрыта"));
        const uchar c = uchar(*p);
        if (c == '"') {
            out.data = start;
            out.size = p - start;
            m_p = p + 1;
            return true;
        }
        if (c == '\\')
            break;
        if (c < 0x20)
            return syntaxError(p, QStringLiteral("управляющий символ внутри строки"));
        ++p;
    }

    m_scratch.assign(start, size_t(p - start));
    for (;;) {
        if (p == m_end)
            return syntaxError(open, QStringLiteral("строка не закрыта"));
        const uchar c = uchar(*p);
        if (c == '"')
            break;
        if (c < 0x20)
            return syntaxError(p, QStringLiteral("управляющий символ внутри строки"));
        if (c != '\\') {
            const char *run = p++;
            while (p < m_end && *p != '"' && *p != '\\' && uchar(*p) >= 0x20)
                ++p;
            m_scratch.append(run, size_t(p - run));
            continue;
        }
        const char *escape = p++;
        if (p == m_end)
            return syntaxError(open, QStringLiteral("строка не закрыта"));
        switch (*p++) {
        case '"': m_scratch += '"'; break;
        case '\\': m_scratch += '\\'; break;
        case '/': m_scratch += '/'; break;
        case 'b': m_scratch += '\b'; break;
        case 'f': m_scratch += '\f'; break;
        case 'n': m_scratch += '\n'; break;
        case 'r': m_scratch += '\r'; break;
        case 't': m_scratch += '\t'; break;
        case 'u': {
            const int code = m_end - p >= 4 ? hex4(p) : -1;
            if (code < 0)
                return syntaxError(escape, QStringLiteral("неверная последовательность \\u"));
            p += 4;
            uint unicode = uint(code);
            if (code >= 0xd800 && code <= 0xdbff) {
                const int low = m_end - p >= 6 && p[0] == '\\' && p[1] == 'u' ? hex4(p + 2) : -1;
                if (low >= 0xdc00 && low <= 0xdfff) {
                    unicode = 0x10000 + ((uint(code) - 0xd800) << 10) + (uint(low) - 0xdc00);
                    p += 6;
                } else {
                    unicode = 0xfffd;
                }
            } else if (code >= 0xdc00 && code <= 0xdfff) {
                unicode = 0xfffd;
            }
            appendUtf8(m_scratch, unicode);
            break;
        }
        default:
            return syntaxError(escape, QStringLiteral("неверная escape-последовательность"));
        }
    }
    out.data = m_scratch.data();
    out.size = qsizetype(m_scratch.size());
    m_p = p + 1;
    return true;
}

bool ZeltoJsonReader::parseArray(QVariant &out, int depth)
{
    ++m_p;   // '['
    QVariantList list;
    skipSpace();
    if (m_p < m_end && *m_p == ']') {
        ++m_p;
        out = list;
        return true;
    }
    for (;;) {
        list.append(QVariant());
        if (!parseValue(list.last(), depth))
            return false;
        skipSpace();
        if (m_p < m_end && *m_p == ',') {
            ++m_p;
            continue;
        }
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            out = list;
            return true;
        }
        return m_p == m_end ? unexpected(m_p)
                            : syntaxError(m_p, QStringLiteral("в массиве ожидается ',' или ']'"));
    }
}

bool ZeltoJsonReader::parseObject(QVariant &out, int depth)
{
    ++m_p;   // '{'
    skipSpace();
    if (m_p < m_end && *m_p == '}') {
        ++m_p;
        out = QVariantMap();
        return true;
    }
    if (m_p == m_end || *m_p != '"')
        return m_p == m_end ? unexpected(m_p) : syntaxError(m_p, QStringLiteral("ожидается ключ в кавычках"));
    const qsizetype keyOffset = offset(m_p);
    Span key;
    if (!scanString(key))
        return false;

    if (key.size > 0 && key.data[0] == '$') {
        Tag tag = TagUnknown;
        if (spanIs(key.data, key.size, "$datetime"))
            tag = TagDateTime;
        else if (spanIs(key.data, key.size, "$date"))
            tag = TagDate;
        else if (spanIs(key.data, key.size, "$time"))
            tag = TagTime;
        else if (spanIs(key.data, key.size, "$bytes"))
            tag = TagBytes;
        else if (spanIs(key.data, key.size, "$table"))
            tag = TagTable;
        else if (spanIs(key.data, key.size, "$tables"))
            tag = TagTables;
        else if (spanIs(key.data, key.size, "$marker"))
            tag = TagMarker;
        else if (m_streamTables && spanIs(key.data, key.size, "$stream"))
            tag = TagStream;
        // The span may live in m_scratch, which the value will overwrite.
        const QByteArray name(key.data, int(key.size));
        if (!expectColon() || !parseTagged(tag, Span{name.constData(), name.size()}, keyOffset, out, depth))
            return false;
        skipSpace();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return true;
        }
        if (m_p < m_end && *m_p == ',') {
            invalidValue(keyOffset, QStringLiteral("тег %1 должен быть единственным ключом объекта")
                                        .arg(spanText(name.constData(), name.size())));
            out = QVariant();
            QVariantMap rest;
            return parseMembers(rest, depth);
        }
        return m_p == m_end ? unexpected(m_p)
                            : syntaxError(m_p, QStringLiteral("в объекте ожидается ',' или '}'"));
    }

    QVariantMap map;
    const QString name = spanText(key.data, key.size);
    QVariant value;
    if (!parseMemberValue(name, value, depth))
        return false;
    map.insert(name, value);
    if (!parseMembers(map, depth))
        return false;
    out = map;
    return true;
}

// The rest of an object after its first member: (',' member)* '}'.
// A later key may not be a tag: tags stand alone.
bool ZeltoJsonReader::parseMembers(QVariantMap &map, int depth)
{
    for (;;) {
        skipSpace();
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            return true;
        }
        if (m_p == m_end || *m_p != ',')
            return m_p == m_end ? unexpected(m_p)
                                : syntaxError(m_p, QStringLiteral("в объекте ожидается ',' или '}'"));
        ++m_p;
        skipSpace();
        if (m_p == m_end || *m_p != '"')
            return m_p == m_end ? unexpected(m_p) : syntaxError(m_p, QStringLiteral("ожидается ключ в кавычках"));
        const qsizetype keyOffset = offset(m_p);
        Span key;
        if (!scanString(key))
            return false;
        const QString name = spanText(key.data, key.size);
        if (key.size > 0 && key.data[0] == '$')
            invalidValue(keyOffset, QStringLiteral("тег %1 должен быть единственным ключом объекта").arg(name));
        QVariant value;
        if (!parseMemberValue(name, value, depth))
            return false;
        map.insert(name, value);
    }
}

bool ZeltoJsonReader::parseMemberValue(const QString &name, QVariant &value, int depth)
{
    if (!expectColon())
        return false;
    skipSpace();
    const char *start = m_p;
    if (!parseValue(value, depth))
        return false;
    if (depth == 1 && !m_capturedKey.isEmpty() && name == m_capturedKey)
        m_captured = QByteArray(start, int(m_p - start));
    return true;
}

// Parses a value of the wrong kind for its place, to keep checking the syntax,
// and records the invalid value.
bool ZeltoJsonReader::skipInvalid(QVariant &out, int depth, qsizetype offset, const QString &text)
{
    QVariant ignored;
    if (!parseValue(ignored, depth))
        return false;
    invalidValue(offset, text);
    out = QVariant();
    return true;
}

// depth: that of the tag object; m_p is just past the ':'.
bool ZeltoJsonReader::parseTagged(Tag tag, const Span &name, qsizetype offset, QVariant &out, int depth)
{
    skipSpace();
    const char next = m_p < m_end ? *m_p : '\0';
    const QString tagName = spanText(name.data, name.size);
    switch (tag) {
    case TagUnknown:
        return skipInvalid(out, depth, offset, QStringLiteral("неизвестный тег %1").arg(tagName));
    case TagTable:
        if (next != '{')
            return skipInvalid(out, depth, offset, QStringLiteral("значение тега $table должно быть объектом"));
        return enter(depth + 1) && parseTable(out, depth + 1, offset);
    case TagTables:
        if (next != '{')
            return skipInvalid(out, depth, offset, QStringLiteral("значение тега $tables должно быть объектом"));
        return enter(depth + 1) && parseTables(out, depth + 1);
    default: {
        if (next != '"')
            return skipInvalid(out, depth, offset, QStringLiteral("значение тега %1 должно быть строкой").arg(tagName));
        const qsizetype textOffset = this->offset(m_p);
        Span text;
        if (!scanString(text))
            return false;
        convertText(tag, text, textOffset, out);
        return true;
    }
    }
}

void ZeltoJsonReader::convertText(Tag tag, const Span &text, qsizetype offset, QVariant &out)
{
    out = QVariant();
    switch (tag) {
    case TagDateTime: {
        if (text.size == 0) {
            out = QDateTime();
            return;
        }
        if (text.size >= 19 && text.data[10] == 'T') {
            const QDate date = parseDate(text.data, 10);
            const QTime time = parseTime(text.data + 11, text.size - 11);
            if (date.isValid() && time.isValid()) {
                const QDateTime local(date, time, Qt::LocalTime);
                if (local.isValid()) {
                    out = local;
                    return;
                }
                // Skipped by the switch to summer time.
                invalidValue(offset, QStringLiteral("времени \"%1\" нет в местном часовом поясе")
                                         .arg(spanText(text.data, text.size)));
                return;
            }
        }
        invalidValue(offset, QStringLiteral("неверная дата и время \"%1\" (нужно yyyy-MM-ddThh:mm:ss.zzz)")
                                 .arg(spanText(text.data, std::min<qsizetype>(text.size, 64))));
        return;
    }
    case TagDate: {
        if (text.size == 0) {
            out = QDate();
            return;
        }
        const QDate date = parseDate(text.data, text.size);
        if (date.isValid()) {
            out = date;
            return;
        }
        invalidValue(offset, QStringLiteral("неверная дата \"%1\" (нужно yyyy-MM-dd)")
                                 .arg(spanText(text.data, std::min<qsizetype>(text.size, 64))));
        return;
    }
    case TagTime: {
        if (text.size == 0) {
            out = QTime();
            return;
        }
        const QTime time = parseTime(text.data, text.size);
        if (time.isValid()) {
            out = time;
            return;
        }
        invalidValue(offset, QStringLiteral("неверное время \"%1\" (нужно hh:mm:ss.zzz)")
                                 .arg(spanText(text.data, std::min<qsizetype>(text.size, 64))));
        return;
    }
    case TagBytes: {
        QByteArray bytes;
        if (decodeBase64(text.data, text.size, bytes))
            out = bytes;
        else
            invalidValue(offset, QStringLiteral("неверный base64 в теге $bytes"));
        return;
    }
    case TagStream: {
        QByteArray bytes;
        if (!decodeBase64(text.data, text.size, bytes)) {
            invalidValue(offset, QStringLiteral("неверный base64 в теге $stream"));
            return;
        }
        ZeltoTable table;
        QString problem;
        if (ZeltoEncodedTable{bytes}.decode(table, &problem))
            out = QVariant::fromValue(table);
        else
            invalidValue(offset, QStringLiteral("таблица в теге $stream: %1").arg(problem));
        return;
    }
    case TagMarker:
        if (spanIs(text.data, text.size, "OutOfRange"))
            out = QVariant::fromValue(ZeltoOutOfRange());
        else if (spanIs(text.data, text.size, "Unused"))
            out = QVariant::fromValue(ZeltoUnused());
        else
            invalidValue(offset, QStringLiteral("неизвестный маркер \"%1\"")
                                     .arg(spanText(text.data, std::min<qsizetype>(text.size, 64))));
        return;
    default:
        return;
    }
}

// {"columns":[...],"rows":[[...],...]} in either order; depth is that of this
// object, offset that of the tag for messages.
bool ZeltoJsonReader::parseTable(QVariant &out, int depth, qsizetype offset)
{
    ++m_p;   // '{'
    out = QVariant();
    QStringList columns;
    QVector<QVector<QVariant>> rows;
    bool haveColumns = false;
    bool haveRows = false;
    skipSpace();
    if (m_p < m_end && *m_p == '}') {
        ++m_p;
    } else {
        for (;;) {
            skipSpace();
            if (m_p == m_end || *m_p != '"')
                return m_p == m_end ? unexpected(m_p) : syntaxError(m_p, QStringLiteral("ожидается ключ в кавычках"));
            const qsizetype keyOffset = this->offset(m_p);
            Span key;
            if (!scanString(key) )
                return false;
            const bool isColumns = spanIs(key.data, key.size, "columns");
            const bool isRows = spanIs(key.data, key.size, "rows");
            const QString name = spanText(key.data, key.size);
            if (!expectColon())
                return false;
            QVariant ignored;
            if (isColumns && !haveColumns) {
                haveColumns = true;
                if (!parseColumns(columns, depth))
                    return false;
            } else if (isRows && !haveRows) {
                haveRows = true;
                if (!parseRows(rows, haveColumns ? columns.size() : -1, depth))
                    return false;
            } else if (!skipInvalid(ignored, depth, keyOffset,
                                    isColumns || isRows
                                        ? QStringLiteral("ключ %1 повторяется в $table").arg(name)
                                        : QStringLiteral("неизвестный ключ %1 в $table").arg(name))) {
                return false;
            }
            skipSpace();
            if (m_p < m_end && *m_p == ',') {
                ++m_p;
                continue;
            }
            if (m_p < m_end && *m_p == '}') {
                ++m_p;
                break;
            }
            return m_p == m_end ? unexpected(m_p)
                                : syntaxError(m_p, QStringLiteral("в объекте ожидается ',' или '}'"));
        }
    }
    if (!haveColumns || !haveRows) {
        invalidValue(offset, QStringLiteral("в $table нужны ключи columns и rows"));
        return true;
    }
    // Rows that came before the columns are checked now.
    for (int r = 0; r < rows.size(); ++r) {
        if (rows.at(r).size() > columns.size()) {
            invalidValue(offset, QStringLiteral("строка %1 таблицы длиннее списка столбцов (%2 > %3)")
                                     .arg(r).arg(rows.at(r).size()).arg(columns.size()));
            return true;
        }
    }
    if (m_status != Ok)
        return true;   // the value is dropped anyway
    ZeltoTable table;
    if (table.setContent(columns, std::move(rows)))
        out = QVariant::fromValue(table);
    else
        invalidValue(offset, QStringLiteral("имена столбцов в $table повторяются"));
    return true;
}

bool ZeltoJsonReader::parseColumns(QStringList &columns, int depth)
{
    skipSpace();
    const qsizetype listOffset = offset(m_p);
    QVariant ignored;
    if (m_p == m_end || *m_p != '[')
        return skipInvalid(ignored, depth, listOffset, QStringLiteral("columns в $table должен быть массивом строк"));
    if (!enter(depth + 1))
        return false;
    ++m_p;
    skipSpace();
    if (m_p < m_end && *m_p == ']') {
        ++m_p;
        return true;
    }
    for (;;) {
        skipSpace();
        const qsizetype itemOffset = offset(m_p);
        if (m_p < m_end && *m_p == '"') {
            Span text;
            if (!scanString(text))
                return false;
            columns.append(spanText(text.data, text.size));
        } else if (!skipInvalid(ignored, depth + 1, itemOffset,
                                QStringLiteral("имена столбцов в $table должны быть строками"))) {
            return false;
        }
        skipSpace();
        if (m_p < m_end && *m_p == ',') {
            ++m_p;
            continue;
        }
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return true;
        }
        return m_p == m_end ? unexpected(m_p)
                            : syntaxError(m_p, QStringLiteral("в массиве ожидается ',' или ']'"));
    }
}

// columnCount is -1 while the columns are not known yet.
bool ZeltoJsonReader::parseRows(QVector<QVector<QVariant>> &rows, int columnCount, int depth)
{
    skipSpace();
    QVariant ignored;
    if (m_p == m_end || *m_p != '[')
        return skipInvalid(ignored, depth, offset(m_p), QStringLiteral("rows в $table должен быть массивом массивов"));
    if (!enter(depth + 1))
        return false;
    ++m_p;
    skipSpace();
    if (m_p < m_end && *m_p == ']') {
        ++m_p;
        return true;
    }
    int width = columnCount > 0 ? columnCount : 0;
    for (;;) {
        skipSpace();
        const char *rowStart = m_p;
        if (m_p < m_end && *m_p == '[') {
            if (!enter(depth + 2))
                return false;
            ++m_p;
            QVector<QVariant> row;
            row.reserve(width);
            skipSpace();
            if (m_p < m_end && *m_p == ']') {
                ++m_p;
            } else {
                for (;;) {
                    QVariant cell;
                    if (!parseValue(cell, depth + 2))
                        return false;
                    row.append(std::move(cell));
                    skipSpace();
                    if (m_p < m_end && *m_p == ',') {
                        ++m_p;
                        continue;
                    }
                    if (m_p < m_end && *m_p == ']') {
                        ++m_p;
                        break;
                    }
                    return m_p == m_end ? unexpected(m_p)
                                        : syntaxError(m_p, QStringLiteral("в массиве ожидается ',' или ']'"));
                }
            }
            if (columnCount >= 0 && row.size() > columnCount)
                invalidValue(offset(rowStart), QStringLiteral("строка %1 таблицы длиннее списка столбцов (%2 > %3)")
                                                   .arg(rows.size()).arg(row.size()).arg(columnCount));
            width = std::max(width, row.size());
            rows.append(std::move(row));
        } else if (!skipInvalid(ignored, depth + 1, offset(rowStart),
                                QStringLiteral("строка таблицы должна быть массивом"))) {
            return false;
        }
        skipSpace();
        if (m_p < m_end && *m_p == ',') {
            ++m_p;
            continue;
        }
        if (m_p < m_end && *m_p == ']') {
            ++m_p;
            return true;
        }
        return m_p == m_end ? unexpected(m_p)
                            : syntaxError(m_p, QStringLiteral("в массиве ожидается ',' или ']'"));
    }
}

// {"name":{"$table":...},...}; names may start with "$" here.
bool ZeltoJsonReader::parseTables(QVariant &out, int depth)
{
    ++m_p;   // '{'
    out = QVariant();
    ZeltoTableMap tables;
    skipSpace();
    if (m_p < m_end && *m_p == '}') {
        ++m_p;
        out = QVariant::fromValue(tables);
        return true;
    }
    for (;;) {
        skipSpace();
        if (m_p == m_end || *m_p != '"')
            return m_p == m_end ? unexpected(m_p) : syntaxError(m_p, QStringLiteral("ожидается имя таблицы в кавычках"));
        Span key;
        if (!scanString(key))
            return false;
        const QString name = spanText(key.data, key.size);
        if (!expectColon())
            return false;
        skipSpace();
        const qsizetype valueOffset = offset(m_p);
        QVariant value;
        if (!parseValue(value, depth))
            return false;
        if (value.userType() == m_tableType)
            tables.insert(name, *static_cast<const ZeltoTable *>(value.constData()));
        else
            invalidValue(valueOffset, QStringLiteral("элемент \"%1\" в $tables должен быть таблицей $table").arg(name));
        skipSpace();
        if (m_p < m_end && *m_p == ',') {
            ++m_p;
            continue;
        }
        if (m_p < m_end && *m_p == '}') {
            ++m_p;
            break;
        }
        return m_p == m_end ? unexpected(m_p)
                            : syntaxError(m_p, QStringLiteral("в объекте ожидается ',' или '}'"));
    }
    if (m_status == Ok)
        out = QVariant::fromValue(tables);
    return true;
}
