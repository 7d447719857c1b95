#pragma once

#include <QString>
#include <QVariant>

#include <cstring>
#include <limits>

// The vocabulary of the ZeltoStream byte format (described at the top of
// zeltostream.h), shared by its writer and its reader.
namespace ZeltoStreamFormat {

enum Tag : uchar {
    TagNull = 0x00,
    TagBool = 0x01,
    TagInt = 0x02,
    TagUInt = 0x03,
    TagLongLong = 0x04,
    TagULongLong = 0x05,
    TagDouble = 0x06,
    TagString = 0x07,
    TagByteArray = 0x08,
    TagDateTime = 0x09,
    TagDate = 0x0A,
    TagTime = 0x0B,
    TagStringList = 0x0C,
    TagList = 0x0D,
    TagMap = 0x0E,
    TagTable = 0x0F,
    TagTableMap = 0x10,
    TagOutOfRange = 0x11,
    TagUnused = 0x12,
    TagChar = 0x13,
    TagQChar = 0x14,
    TagTypedNull = 0x15,
};

enum DateTimeSpec : uchar {
    SpecInvalid = 0,
    SpecLocal = 1,
    SpecUtc = 2,
    SpecOffset = 3,
    SpecZone = 4,
};

constexpr uchar ColumnMixed = 0x40;
constexpr uchar ColumnBitmap = 0x80;

constexpr int MaxDepth = 256;
constexpr quint64 MaxRowsWithoutColumns = 65536;
constexpr qint64 MaxMSecs = qint64(1) << 60;
constexpr int MaxOffsetSeconds = 86400;
constexpr int MaxZoneIdLength = 128;
constexpr int MSecsPerDay = 86400000;
// What one QByteArray can hold in Qt 5, with room for its header.
constexpr qint64 MaxBytes = qint64(std::numeric_limits<int>::max()) - 4096;

// The tag of a variant type, -1 when the format does not know the type.
int tagOfType(int type);
// The variant type of a tag, UnknownType for none.
int typeOfTag(int tag);
// Whether the body of a tag can tell a null value (QVariant(QVariant::Int)
// and the like) from a plain one; the others write such nulls as 0x15.
bool bodyKeepsNull(int tag);
// Tags of values without nested values.
bool isScalarTag(int tag);
// Tags that may form a typed table column. Markers are left to mixed
// columns, so that every present cell of a typed column costs a byte.
bool isColumnTag(int tag);
// The fewest bytes one cell of a typed column takes.
int minimalCellSize(int tag);
// Size of every cell of a typed column, or -1 when it depends on the value.
int fixedCellSize(int tag);

int varintSize(quint64 v);
// Reads a varint from [p, end) and moves p past it. Inline: archive columns
// are walked a varint at a time.
enum class VarintRead { Ok, Truncated, TooLong };
inline VarintRead readVarint(const uchar *&p, const uchar *end, quint64 &out)
{
    // One byte, as most small numbers and flags take, first.
    if (p < end && *p < 0x80) {
        out = *p++;
        return VarintRead::Ok;
    }
    quint64 value = 0;
    for (int shift = 0;; shift += 7) {
        if (p >= end)
            return VarintRead::Truncated;
        const uchar b = *p++;
        if (shift == 63 && b > 1)
            return VarintRead::TooLong;
        value |= quint64(b & 0x7f) << shift;
        if (!(b & 0x80))
            break;
    }
    out = value;
    return VarintRead::Ok;
}
// Writes v as a varint at out (room for 10 bytes); returns its length.
int writeVarint(quint64 v, char *out);
// The name of a variant type for messages.
QString typeName(int type);

inline quint64 doubleBits(double d)
{
    quint64 bits;
    std::memcpy(&bits, &d, 8);
    return bits;
}

inline double doubleFromBits(quint64 bits)
{
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

inline quint64 zigzag(qint64 n)
{
    return (quint64(n) << 1) ^ quint64(n >> 63);
}

inline qint64 unzigzag(quint64 n)
{
    return qint64(n >> 1) ^ -qint64(n & 1);
}

// The value of a variant whose userType() is known to be T's.
template<typename T>
const T &valueRef(const QVariant &v)
{
    return *static_cast<const T *>(v.constData());
}

} // namespace ZeltoStreamFormat
