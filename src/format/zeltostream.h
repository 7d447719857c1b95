#pragma once

// The stored value format: the bytes of ZeltoStream, versions 1 and 2
// ===================================================================
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

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <QVariant>

// A self-describing binary stream of variants, the form in which values that
// are not plain numbers or text are kept in database BLOBs. The byte format is
// the grammar above; it is stored data and must stay readable, so it only
// ever grows by new tags or a new version, and the reader keeps reading
// every version.
//
// Writing: open write-only on a byte array (the stream appends to it), init()
// (writes the version byte of writeVersion()), then << one or more variants.
// A variant of a type the format does not know sets WriteFailed and leaves
// the array as it was before that variant.
//
// Reading: open read-only on the bytes, init() (checks the version byte:
// every version ever written is read), then >> as many variants as were
// written. Reading never trusts the bytes: every
// count and length is checked against what is left before anything is
// allocated, nesting is bounded, and any failure gives an invalid variant,
// a status and a Russian errorString(). A failed read consumes the rest of
// the input, so a loop over atEnd() always terminates.
//
// Once the status is not Ok, further reads and writes do nothing. init() is
// implied by the first << or >> when not called.
//
// Round trips keep the variant type and value, and the null state of typed
// nulls such as QVariant(QVariant::Int). A null QString or QByteArray
// reads back null and an empty one empty. QDateTime keeps its kind of time (local
// time, UTC, offset, time zone) and its instant to the millisecond; an invalid
// QDateTime reads back as a null one. A table reads back with the same columns
// and cells; trailing missing cells of a row come back as missing (rows are
// stored no longer than their last non-null cell).
class ZeltoStream
{
public:
    enum Status { Ok, ReadPastEnd, ReadCorruptData, WriteFailed };

    // WriteOnly appends to *bytes (WriteOnly | Truncate clears it first);
    // ReadOnly reads a copy of *bytes. Any other mode, or a null array, gives
    // a stream that refuses every operation.
    ZeltoStream(QByteArray *bytes, QIODevice::OpenMode mode);
    explicit ZeltoStream(const QByteArray &bytes);

    ZeltoStream(const ZeltoStream &) = delete;
    ZeltoStream &operator=(const ZeltoStream &) = delete;

    // Write mode: writes the format version byte. Read mode: reads and checks
    // it. Does nothing when already done. Returns status() == Ok.
    bool init();

    ZeltoStream &operator<<(const QVariant &value);
    ZeltoStream &operator>>(QVariant &value);

    Status status() const { return m_status; }
    QString errorString() const { return m_error; }
    bool atEnd() const;

    // The newest version of the format, which the reader reads along with
    // every older one.
    static const quint8 FormatVersion = 2;
    // The version that new streams write: FormatVersion, unless
    // setWriteVersion() asks for an older one (data that an older server can
    // read, as before a downgrade; the server sets it from
    // ORVEX_STREAM_VERSION when it opens its database).
    static quint8 writeVersion();
    // False, changing nothing, for a version the format does not have.
    static bool setWriteVersion(int version);
    // Read mode: the version of the bytes, known after init().
    quint8 version() const { return m_version; }

private:
    enum class Mode { Invalid, Read, Write };

    void setStatus(Status status, const QString &error);
    bool checkFrame(const uchar *&begin, const uchar *&end, const uchar *&next);
    bool ensureInitialized();

    Mode m_mode = Mode::Invalid;
    QByteArray *m_target = nullptr;   // write mode
    QByteArray m_source;              // read mode
    int m_position = 0;
    bool m_initialized = false;
    quint8 m_version = 0;
    Status m_status = Ok;
    QString m_error;
};
