// Byte format of ZeltoStream, versions 1 and 2
// ============================================
// Stored in database BLOBs, so it has to stay readable as it is: extend it
// only with new tags, or bump the version byte and keep reading every
// version written before. Version 2 differs from version 1 in two things
// only: each value carries its length and checksum, and the cells of typed
// double columns are packed (below). Everything is little-endian.
//
//   stream  = version:u8 (1 or 2), then the values one after another; in
//             version 2 each value is framed as length:u32, the length
//             bytes of the value, crc:u32 (CRC-32C of those bytes), and a
//             reader checks the sum before it reads the value
//   value   = tag:u8, then the body of that tag
//   varint  = unsigned LEB128, 7 bits per byte, low group first, at most
//             10 bytes, no bits above bit 63
//   zigzag  = varint of (n << 1) ^ (n >> 63), for signed numbers
//   text    = varint L; L = 0 is a null string/array, otherwise L - 1 bytes
//             follow (UTF-8 for strings, raw for byte arrays)
//
//   tag   type             body
//   0x00  invalid QVariant -
//   0x01  bool             u8, 0 or 1
//   0x02  int              zigzag, within 32 bits
//   0x03  uint             varint, within 32 bits
//   0x04  qlonglong        zigzag
//   0x05  qulonglong       varint
//   0x06  double           8 bytes, IEEE 754 binary64 (bit-exact)
//   0x07  QString          text, UTF-8
//   0x08  QByteArray       text, raw bytes
//   0x09  QDateTime        timespec:u8, then
//                            0 invalid: nothing
//                            1 local time: zigzag ms since the epoch (UTC)
//                            2 UTC: zigzag ms
//                            3 offset from UTC: zigzag offset (s), zigzag ms
//                            4 time zone: text IANA id (1..128 bytes),
//                              zigzag offset (s) at that instant, used when
//                              the reader does not know the zone; zigzag ms
//                          |ms| <= 2^60, |offset| < 86400
//   0x0A  QDate            varint: 0 null, otherwise zigzag(julian day) + 1
//   0x0B  QTime            varint: 0 null, otherwise ms since midnight + 1
//   0x0C  QStringList      varint n, n texts
//   0x0D  QVariantList     varint n, n values
//   0x0E  QVariantMap      varint n, n pairs (text key, value) in key order
//   0x0F  ZeltoTable       table (below)
//   0x10  ZeltoTableMap    varint n, n pairs (text key, table) in key order
//   0x11  ZeltoOutOfRange  -
//   0x12  ZeltoUnused      -
//   0x13  char             u8
//   0x14  QChar            varint, one UTF-16 code unit
//   0x15  null of a type   u8 tag of a type whose body cannot say null (all
//                          but 0x00, 0x07-0x0B): QVariant(QVariant::Type)
//
//   table   = varint C, C texts (distinct column names), varint R (rows),
//             then C columns in column order
//   column  = kind:u8, [timespec:u8 for typed QDateTime], varint S, S bytes
//     kind 0x40: mixed column: the S bytes are R values, tag and body each
//     kind t | 0x80 or t, for t one of 0x00-0x0B, 0x13, 0x14: typed
//       column. With 0x80 the S bytes start with a presence bitmap of
//       ceil(R / 8) bytes (row r present when bit r % 8 of byte r / 8 is
//       set); without it every row is present. Then come the bodies of the
//       present cells, in row order, without tags, except:
//         QDateTime: timespec byte 1 (local time) or 2 (UTC) after the kind;
//           each cell is the zigzag difference in ms from the previous
//           present cell (the first from 0)
//         QDate: zigzag difference of the julian day from the previous
//           present cell (the first from 0); null dates are not typed
//         double, version 2: the present cells in blocks (next section)
//       Markers (0x11, 0x12) and nulls of a type (0x15) only occur in
//       mixed columns. A column without
//       any value is t = 0x00 with the bitmap, whose bits are then ignored.
//     So every column costs at least R / 8 bytes.
//   Rows come back cut after their last non-null cell.
//
//   Packed doubles (version 2), the blocks of one column in row order:
//   block   = varint n (1..1024; every block but the last holds 1024),
//             mode:u8, body
//     mode 0x00 raw: n x 8 bytes, IEEE 754 binary64
//     mode 0x10 XOR: varint L, then L bytes of bits, low bit of each byte
//       first: the first value's 64 bits, then for each next value v with
//       x = bits(v) XOR bits(previous value): 0 when x = 0; 10 and the bits
//       of x in the window of the last 11 (lead, length); 11, lead:6,
//       (length - 1):6, and the length bits of x that start lead bits below
//       the top (lead + length <= 64). L covers the bits exactly (the last
//       byte padded with zeros)
//     mode 0x20 | e, e in 0..15, decimal: value i is x_i / 10^e (double
//       division of the exact double x_i), except where an exception says:
//       varint X (exceptions, <= n), zigzag x_first, then groups of 128
//       values (the last one shorter):
//         group = head:u8 (bit 7: differences; bits 0-6: width w, 1..64),
//                 zigzag base, ceil(m x w / 8) bytes of m numbers of w bits,
//                 low bit first, from bit 0 of the first byte
//         x_i = base + number_i, or with differences
//         x_i = x_(i-1) + base + number_i, where x_(-1) = x_first; in
//         64-bit two's complement arithmetic
//       then X exceptions: varint gap, 8 bytes of the value; the first
//       replaces value gap, each next the value gap + 1 after the last
//   So a packed double costs at least a bit, as every other typed cell.
//
// What a reader enforces on untrusted bytes: every count and length fits in
// the bytes left before anything is allocated; R <= 8 x the bytes left after
// it; tables without columns hold at most 65536 rows together in one
// top-level value; each column's S covers its bitmap or its minimal cells
// (a bit for packed doubles) and is consumed exactly, its blocks holding
// exactly its present cells; containers nest at most 256 levels deep. Values
// outside the ranges above are corrupt data. The writer fails on values that
// a reader would refuse.

#include "zeltostream.h"

#include "zeltobytesink.h"
#include "zeltochecksum.h"
#include "zeltostreamformat.h"
#include "zeltostreamreader.h"
#include "zeltostreamwriter.h"

#include <atomic>

using ZeltoStreamFormat::MaxBytes;

namespace {

int versionFromEnvironment()
{
    bool ok = false;
    const int version = qEnvironmentVariableIntValue("ORVEX_STREAM_VERSION", &ok);
    return ok && version >= 1 && version <= ZeltoStream::FormatVersion ? version : ZeltoStream::FormatVersion;
}

std::atomic<int> &chosenWriteVersion()
{
    static std::atomic<int> version(versionFromEnvironment());
    return version;
}

} // namespace

quint8 ZeltoStream::writeVersion()
{
    return quint8(chosenWriteVersion().load());
}

bool ZeltoStream::setWriteVersion(int version)
{
    if (version < 1 || version > FormatVersion)
        return false;
    chosenWriteVersion().store(version);
    return true;
}

ZeltoStream::ZeltoStream(QByteArray *bytes, QIODevice::OpenMode mode)
{
    const bool reading = mode.testFlag(QIODevice::ReadOnly);
    const bool writing = mode.testFlag(QIODevice::WriteOnly);
    if (bytes && writing && !reading) {
        m_mode = Mode::Write;
        m_target = bytes;
        if (mode.testFlag(QIODevice::Truncate))
            bytes->clear();
    } else if (bytes && reading && !writing) {
        m_mode = Mode::Read;
        m_source = *bytes;
    } else {
        setStatus(writing ? WriteFailed : ReadCorruptData,
                  QStringLiteral("поток открыт без данных или в неподдерживаемом режиме"));
    }
}

ZeltoStream::ZeltoStream(const QByteArray &bytes)
    : m_mode(Mode::Read), m_source(bytes)
{
}

void ZeltoStream::setStatus(Status status, const QString &error)
{
    m_status = status;
    m_error = error;
}

bool ZeltoStream::init()
{
    if (m_status != Ok)
        return false;
    if (m_initialized)
        return true;
    if (m_mode == Mode::Write) {
        if (m_target->size() >= MaxBytes) {
            setStatus(WriteFailed, QStringLiteral("объём данных превышает допустимый размер"));
            return false;
        }
        m_version = writeVersion();
        m_target->append(char(m_version));
    } else if (m_mode == Mode::Read) {
        if (m_position >= m_source.size()) {
            setStatus(ReadPastEnd, QStringLiteral("неожиданный конец данных: нет версии формата"));
            return false;
        }
        const uchar version = uchar(m_source.at(m_position++));
        m_version = version;
        if (version < 1 || version > FormatVersion) {
            m_position = m_source.size();
            setStatus(ReadCorruptData, QStringLiteral("данные повреждены: неподдерживаемая версия формата %1").arg(version));
            return false;
        }
    } else {
        return false;
    }
    m_initialized = true;
    return true;
}

bool ZeltoStream::ensureInitialized()
{
    return m_status == Ok && (m_initialized || init());
}

ZeltoStream &ZeltoStream::operator<<(const QVariant &value)
{
    if (m_mode != Mode::Write) {
        if (m_status == Ok)
            setStatus(WriteFailed, QStringLiteral("поток не открыт для записи"));
        return *this;
    }
    if (!ensureInitialized())
        return *this;

    const qint64 start = m_target->size();
    ZeltoByteSink sink(std::move(*m_target));
    const bool framed = m_version >= 2;
    if (framed)
        sink.claim(4);   // the length, filled in below
    ZeltoStreamWriter writer(m_version);
    bool ok = writer.writeValue(sink, value, 0);
    QString error = writer.error();
    if (ok && framed && !sink.overflowed()) {
        const qint64 length = sink.size() - start - 4;
        const quint32 crc = qToLittleEndian(ZeltoChecksum::crc32c(sink.constData() + start + 4, length));
        const quint32 le = qToLittleEndian(quint32(length));
        std::memcpy(sink.data() + start, &le, 4);
        sink.putBytes(reinterpret_cast<const char *>(&crc), 4);
    }
    if (ok && sink.overflowed()) {
        ok = false;
        error = QStringLiteral("объём данных превышает допустимый размер (2 ГБ)");
    }
    // A failed value leaves nothing behind that could be read as one.
    *m_target = sink.take(ok ? sink.size() : start);
    if (!ok)
        setStatus(WriteFailed, error);
    return *this;
}

ZeltoStream &ZeltoStream::operator>>(QVariant &value)
{
    value = QVariant();
    if (m_mode != Mode::Read) {
        if (m_status == Ok)
            setStatus(ReadCorruptData, QStringLiteral("поток не открыт для чтения"));
        return *this;
    }
    if (!ensureInitialized())
        return *this;

    const uchar *base = reinterpret_cast<const uchar *>(m_source.constData());
    ZeltoStreamReader::Cursor cursor = { base + m_position, base + m_source.size(), false };
    const uchar *next = nullptr;
    if (m_version >= 2 && !checkFrame(cursor.p, cursor.end, next))
        return *this;
    ZeltoStreamReader reader(base, m_version);
    QVariant result;
    if (!reader.readValue(cursor, 0, result)) {
        // Nothing after a broken value can be trusted; consume it all.
        m_position = m_source.size();
        setStatus(reader.status(), reader.error());
    } else if (next && cursor.p != cursor.end) {
        m_position = m_source.size();
        setStatus(ReadCorruptData, QStringLiteral("данные повреждены: лишние байты в значении (позиция %1)")
                                       .arg(cursor.p - base));
    } else {
        m_position = int((next ? next : cursor.p) - base);
        value = std::move(result);
    }
    return *this;
}

// Version 2: narrows [begin, end) to the value's bytes once their checksum
// holds; next is where the following value starts.
bool ZeltoStream::checkFrame(const uchar *&begin, const uchar *&end, const uchar *&next)
{
    const qint64 position = m_position;
    m_position = m_source.size();
    const qint64 left = end - begin;
    quint32 length = 0, crc = 0;
    if (left >= 4) {
        std::memcpy(&length, begin, 4);
        length = qFromLittleEndian(length);
    }
    if (left < 8 || quint64(length) > quint64(left - 8)) {
        setStatus(ReadPastEnd, QStringLiteral("неожиданный конец данных: значение длиной %1 байт в позиции %2 обрезано")
                                   .arg(length).arg(position));
        return false;
    }
    const uchar *data = begin + 4;
    std::memcpy(&crc, data + length, 4);
    if (qFromLittleEndian(crc) != ZeltoChecksum::crc32c(reinterpret_cast<const char *>(data), length)) {
        setStatus(ReadCorruptData, QStringLiteral("данные повреждены: контрольная сумма значения в позиции %1 не совпадает")
                                       .arg(position));
        return false;
    }
    begin = data;
    end = data + length;
    next = end + 4;
    return true;
}

bool ZeltoStream::atEnd() const
{
    return m_mode != Mode::Read || m_position >= m_source.size();
}

void ZeltoStream::resetStatus()
{
    m_status = Ok;
    m_error.clear();
}
