#include "xmltext.h"

#include <cstring>

namespace {

template <int N>
inline void put(char *&out, const char (&text)[N])
{
    std::memcpy(out, text, N - 1);
    out += N - 1;
}

void putUtf16(ushort *&out, uint code)
{
    if (code >= 0x10000) {
        *out++ = QChar::highSurrogate(code);
        *out++ = QChar::lowSurrogate(code);
    } else {
        *out++ = ushort(code);
    }
}

// "&#N;" or "&#xH;" of a character XML allows, at in: appended, in moved
// past it.
bool readCharacterReference(const uchar *&in, const uchar *end, ushort *&out)
{
    const uchar *p = in + 1;
    if (p == end || *p++ != '#')
        return false;
    const bool hex = p != end && *p == 'x';
    if (hex)
        ++p;
    uint code = 0;
    int digits = 0;
    for (; p != end && *p != ';'; ++p, ++digits) {
        const uchar c = *p;
        uint digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        code = code * (hex ? 16 : 10) + digit;
        if (code > 0x10FFFF)
            return false;
    }
    if (p == end || digits == 0)
        return false;
    const bool allowed = code == 0x09 || code == 0x0A || code == 0x0D || (code >= 0x20 && code <= 0xD7FF)
                         || (code >= 0xE000 && code <= 0xFFFD) || code >= 0x10000;
    if (!allowed)
        return false;
    putUtf16(out, code);
    in = p + 1;
    return true;
}

} // namespace

bool XmlText::isAllowed(const QChar *chars, int size, int index)
{
    const ushort c = chars[index].unicode();
    if (c < 0x20)
        return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c == 0xFFFE || c == 0xFFFF)
        return false;
    if (QChar::isHighSurrogate(c))
        return index + 1 < size && QChar::isLowSurrogate(chars[index + 1].unicode());
    if (QChar::isLowSurrogate(c))
        return index > 0 && QChar::isHighSurrogate(chars[index - 1].unicode());
    return true;
}

QString XmlText::clean(const QString &text)
{
    const QChar *chars = text.constData();
    const int size = text.size();
    int first = 0;
    while (first < size && isAllowed(chars, size, first))
        ++first;
    // Nearly every text is clean: it is returned without a copy.
    if (first == size)
        return text;
    QString result = text;
    for (int i = first; i < size; ++i) {
        if (!isAllowed(chars, size, i))
            result[i] = QChar::ReplacementCharacter;
    }
    return result;
}

void XmlText::appendEscaped(QByteArray &utf8, const QString &text)
{
    const ushort *chars = reinterpret_cast<const ushort *>(text.constData());
    const int size = text.size();
    // The text goes in blocks, each given room for its worst case (six
    // bytes a character, "&quot;"), so that the loop writes through a
    // pointer and the array grows only by what is used.
    const int kBlock = 4096;
    int used = utf8.size();
    for (int begin = 0; begin < size;) {
        const int end = qMin(size, begin + kBlock);
        // One character more: a pair may straddle the block's end.
        const int room = used + (end - begin + 1) * 6;
        if (utf8.capacity() < room)
            utf8.reserve(qMax(room, int(qMin<qint64>(qint64(used) * 2, qint64(used) + 64 * 1024 * 1024))));
        utf8.resize(room);
        char *out = utf8.data() + used;
        char *const first = out;
        int i = begin;
        for (; i < end; ++i) {
            const ushort c = chars[i];
            if (c < 0x80) {
                switch (c) {
                case '<':
                    put(out, "&lt;");
                    continue;
                case '>':
                    put(out, "&gt;");
                    continue;
                case '&':
                    put(out, "&amp;");
                    continue;
                case '"':
                    put(out, "&quot;");
                    continue;
                case '\r':
                    // Raw, a parser would read it as a line feed.
                    put(out, "&#13;");
                    continue;
                default:
                    break;
                }
                if (c >= 0x20 || c == 0x09 || c == 0x0A) {
                    *out++ = char(c);
                    continue;
                }
            } else if (c < 0x800) {
                *out++ = char(0xC0 | (c >> 6));
                *out++ = char(0x80 | (c & 0x3F));
                continue;
            } else if (QChar::isHighSurrogate(c)) {
                if (i + 1 < size && QChar::isLowSurrogate(chars[i + 1])) {
                    const uint code = QChar::surrogateToUcs4(c, chars[i + 1]);
                    *out++ = char(0xF0 | (code >> 18));
                    *out++ = char(0x80 | ((code >> 12) & 0x3F));
                    *out++ = char(0x80 | ((code >> 6) & 0x3F));
                    *out++ = char(0x80 | (code & 0x3F));
                    ++i;
                    continue;
                }
            } else if (!QChar::isLowSurrogate(c) && c != 0xFFFE && c != 0xFFFF) {
                *out++ = char(0xE0 | (c >> 12));
                *out++ = char(0x80 | ((c >> 6) & 0x3F));
                *out++ = char(0x80 | (c & 0x3F));
                continue;
            }
            // What XML cannot hold: U+FFFD.
            put(out, "\xEF\xBF\xBD");
        }
        used += int(out - first);
        begin = i;
    }
    utf8.resize(used);
}

bool XmlText::readCharacterData(const char *utf8, int size, QString &text)
{
    const uchar *in = reinterpret_cast<const uchar *>(utf8);
    const uchar *const end = in + size;
    // Never more UTF-16 units than bytes.
    text.resize(size);
    ushort *out = reinterpret_cast<ushort *>(text.data());
    ushort *const first = out;
    while (in < end) {
        const uchar b = *in;
        if (b >= 0x20 && b < 0x80) {
            if (b == '<')
                return false;
            if (b == '&') {
                static const struct { const char *name; int size; char c; } kEntities[] = {
                    {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&amp;", 5, '&'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''}};
                bool known = false;
                for (const auto &entity : kEntities) {
                    if (end - in >= entity.size && std::memcmp(in, entity.name, size_t(entity.size)) == 0) {
                        *out++ = ushort(entity.c);
                        in += entity.size;
                        known = true;
                        break;
                    }
                }
                if (!known && !readCharacterReference(in, end, out))
                    return false;
                continue;
            }
            if (b == '>' && in - reinterpret_cast<const uchar *>(utf8) >= 2 && in[-1] == ']' && in[-2] == ']')
                return false;
            *out++ = b;
            ++in;
            continue;
        }
        if (b < 0x20) {
            if (b != 0x09 && b != 0x0A)
                return false;
            *out++ = b;
            ++in;
            continue;
        }
        // A multi-byte sequence: shortest form only, no surrogates, no
        // U+FFFE or U+FFFF.
        uint code;
        int length;
        if (b >= 0xC2 && b <= 0xDF) {
            code = b & 0x1F;
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            code = b & 0x0F;
            length = 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            code = b & 0x07;
            length = 4;
        } else {
            return false;
        }
        if (end - in < length)
            return false;
        for (int k = 1; k < length; ++k) {
            if ((in[k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (in[k] & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF) || code >= 0xFFFE))
            || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        putUtf16(out, code);
        in += length;
    }
    text.resize(int(out - first));
    return true;
}
