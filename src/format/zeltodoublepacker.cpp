#include "zeltodoublepacker.h"

#include "zeltobitreader.h"
#include "zeltobitwriter.h"

#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>

using namespace ZeltoStreamFormat;

namespace ZeltoDoublePacker {

namespace {

const double kPowers[MaxExponent + 1] = { 1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                          1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15 };
// Scaled integers stay within the doubles that are exact integers.
const double kMaxScaled = 9007199254740992.0;   // 2^53
const int kSample = 32;

int bitWidth(quint64 v)
{
    return v ? 64 - __builtin_clzll(v) : 0;
}

// The scaled integer of v at exponent e, when it gives v back bit for bit.
inline bool scaled(double v, int e, qint64 &out)
{
    const double s = std::nearbyint(v * kPowers[e]);
    if (!(std::fabs(s) <= kMaxScaled))
        return false;
    const qint64 x = qint64(s);
    const double back = double(x) / kPowers[e];
    if (doubleBits(back) != doubleBits(v))
        return false;
    out = x;
    return true;
}

// The smallest exponent at which v is a decimal, -1 when there is none.
int exponentOf(double v)
{
    // Too small to be a nonzero decimal of at most MaxExponent digits, or
    // too large for the scaled integers: no need to try every exponent.
    const double magnitude = std::fabs(v);
    if (!(magnitude < kMaxScaled) || (magnitude != 0 && magnitude < 0.5 / kPowers[MaxExponent]))
        return -1;
    qint64 x;
    for (int e = 0; e <= MaxExponent; ++e) {
        if (scaled(v, e, x))
            return e;
        if (magnitude * kPowers[e] >= kMaxScaled)
            break;
    }
    return -1;
}

// n values of width bits from p, low bit first; the caller has checked that
// ceil(n * width / 8) bytes are there.
void unpackBits(const uchar *p, const uchar *end, int width, int n, quint64 *out)
{
    const quint64 m = ZeltoBitWriter::mask(width);
    qint64 bit = 0;
    for (int i = 0; i < n; ++i, bit += width) {
        const uchar *at = p + (bit >> 3);
        const int shift = int(bit & 7);
        quint64 word;
        if (end - at >= 8) {
            std::memcpy(&word, at, 8);
            word = qFromLittleEndian(word);
        } else {
            word = 0;
            for (int k = 0; k < end - at; ++k)
                word |= quint64(at[k]) << (8 * k);
        }
        quint64 v = word >> shift;
        if (shift + width > 64)
            v |= quint64(at[8]) << (64 - shift);
        out[i] = v & m;
    }
}

void packRaw(const double *values, int n, ZeltoByteSink &out)
{
    out.putByte(ModeRaw);
    if (char *p = out.claim(qint64(n) * 8)) {
        for (int i = 0; i < n; ++i) {
            const quint64 bits = qToLittleEndian(doubleBits(values[i]));
            std::memcpy(p + 8 * i, &bits, 8);
        }
    }
}

// XOR with the previous value: 0 for the same value; 10 and the changed
// bits inside the previous window; 11, 6 bits of leading zeros, 6 bits of
// length - 1 and the changed bits.
void packXor(const double *values, int n, ZeltoByteSink &out)
{
    // The bits go after a length of the largest size they can take, which
    // is then written with as many bytes as it needs.
    const qint64 most = (qint64(n) * 78 + 7) / 8;
    out.putByte(ModeXor);
    const qint64 lengthAt = out.size();
    out.claim(varintSize(quint64(most)));
    const qint64 bitsAt = out.size();
    ZeltoBitWriter writer(out);
    quint64 previous = doubleBits(values[0]);
    writer.put(previous, 64);
    int lead = -1, length = 0;
    for (int i = 1; i < n; ++i) {
        const quint64 current = doubleBits(values[i]);
        const quint64 x = current ^ previous;
        previous = current;
        if (x == 0) {
            writer.put(0, 1);
            continue;
        }
        const int l = __builtin_clzll(x);
        const int t = __builtin_ctzll(x);
        if (lead >= 0 && l >= lead && 64 - t <= lead + length) {
            writer.put(1, 2);   // bits 1, 0
            writer.put(x >> (64 - lead - length), length);
            continue;
        }
        lead = l;
        length = 64 - l - t;
        writer.put(3, 2);
        writer.put(quint64(lead), 6);
        writer.put(quint64(length - 1), 6);
        writer.put(x >> t, length);
    }
    writer.finish();
    if (out.overflowed())
        return;
    const qint64 bytes = out.size() - bitsAt;
    char *at = out.data() + lengthAt;
    // Padded varint: continuation bits up to the reserved size.
    const int size = varintSize(quint64(most));
    for (int k = 0; k < size; ++k)
        at[k] = char(((bytes >> (7 * k)) & 0x7f) | (k + 1 < size ? 0x80 : 0));
}

struct Group
{
    bool deltas;
    int width;
    qint64 base;
};

Group planGroup(const qint64 *x, int n, qint64 previous)
{
    qint64 lo = x[0], hi = x[0];
    qint64 dlo = x[0] - previous, dhi = dlo;
    for (int i = 1; i < n; ++i) {
        lo = qMin(lo, x[i]);
        hi = qMax(hi, x[i]);
        const qint64 d = x[i] - x[i - 1];
        dlo = qMin(dlo, d);
        dhi = qMax(dhi, d);
    }
    // Scaled integers are within 2^53, so these differences cannot overflow.
    // A width of at least one bit keeps every cell of a table worth a bit.
    const int plain = qMax(1, bitWidth(quint64(hi - lo)));
    const int delta = qMax(1, bitWidth(quint64(dhi - dlo)));
    if (delta < plain)
        return { true, delta, dlo };
    return { false, plain, lo };
}

// The groups of count scaled integers, the one before them being previous:
// planned into groups, with their bytes.
qint64 planGroups(const qint64 *x, int count, qint64 previous, std::vector<Group> &groups)
{
    qint64 bytes = 0;
    for (int g = 0; g < count; g += GroupSize) {
        const int m = qMin(GroupSize, count - g);
        const Group group = planGroup(x + g, m, previous);
        groups.push_back(group);
        bytes += 1 + varintSize(zigzag(group.base)) + (qint64(m) * group.width + 7) / 8;
        previous = x[g + m - 1];
    }
    return bytes;
}

// The groups of count scaled integers as planned, the one before them being previous.
void writeGroups(const qint64 *x, int count, qint64 previous, const Group *groups, ZeltoByteSink &out)
{
    for (int g = 0; g < count; g += GroupSize, ++groups) {
        const int m = qMin(GroupSize, count - g);
        out.putByte(uchar(groups->width | (groups->deltas ? 0x80 : 0)));
        out.putZigzag(groups->base);
        ZeltoBitWriter writer(out);
        for (int i = g; i < g + m; ++i) {
            writer.put(quint64((groups->deltas ? x[i] - previous : x[i]) - groups->base), groups->width);
            previous = x[i];
        }
        writer.finish();
    }
}

// The exceptions' positions, each as the gap since the last, take these bytes.
qint64 gapBytes(const std::vector<int> &exceptions)
{
    qint64 bytes = 0;
    int last = -1;
    for (int i : exceptions) {
        bytes += varintSize(quint64(i - last - 1));
        last = i;
    }
    return bytes;
}

void writeExceptions(const std::vector<int> &exceptions, const double *values, ZeltoByteSink &out)
{
    int last = -1;
    for (int i : exceptions) {
        out.putVarint(quint64(i - last - 1));
        out.putDouble(values[i]);
        last = i;
    }
}

// One block as decimals at exponent e: the scaled integers in groups, each
// packed as they are or as differences, whichever is narrower, and the
// values that are not decimals at e as exceptions.
struct DecimalBlock
{
    int exponent = 0;
    std::vector<qint64> scaled;
    std::vector<int> exceptions;
    std::vector<Group> groups;
    qint64 size = 0;   // bytes of the block after its count

    void build(const double *values, int n, int e)
    {
        exponent = e;
        scaled.resize(size_t(n));
        exceptions.clear();
        qint64 previous = 0;
        bool any = false;
        for (int i = 0; i < n; ++i) {
            qint64 x;
            if (ZeltoDoublePacker::scaled(values[i], e, x)) {
                if (!any) {
                    // Exceptions before the first decimal repeat it.
                    for (int k = 0; k < i; ++k)
                        scaled[size_t(k)] = x;
                    any = true;
                }
                previous = x;
            } else {
                exceptions.push_back(i);
            }
            scaled[size_t(i)] = previous;
        }

        groups.clear();
        size = 1 + varintSize(quint64(exceptions.size())) + varintSize(zigzag(scaled[0]))
               + qint64(exceptions.size()) * 9 + planGroups(scaled.data(), n, scaled[0], groups) + gapBytes(exceptions);
    }

    void write(const double *values, int n, ZeltoByteSink &out) const
    {
        out.putByte(uchar(ModeDecimal | exponent));
        out.putVarint(quint64(exceptions.size()));
        out.putZigzag(scaled[0]);
        writeGroups(scaled.data(), n, scaled[0], groups.data(), out);
        writeExceptions(exceptions, values, out);
    }
};

// The exponent for a block, judged from a sample: the largest any sampled
// decimal needs. -1 when most of the sample are not decimals at all.
int sampleExponent(const double *values, int n)
{
    const int step = qMax(1, n / kSample);
    const int samples = (n + step - 1) / step;
    int exponent = -1, misses = 0;
    for (int i = 0; i < n; i += step) {
        const int e = exponentOf(values[i]);
        if (e < 0 && ++misses * 2 > samples)
            return -1;
        exponent = qMax(exponent, e);
    }
    return exponent;
}

// The exponent that leaves at most one value in sixteen an exception,
// judged from every value of the block; -1 when none does.
int fullExponent(const double *values, int n)
{
    int counts[MaxExponent + 2] = {};
    for (int i = 0; i < n; ++i) {
        const int e = exponentOf(values[i]);
        ++counts[e < 0 ? MaxExponent + 1 : e];
    }
    int covered = 0;
    for (int e = 0; e <= MaxExponent; ++e) {
        covered += counts[e];
        if ((n - covered) * 16 <= n)
            return e;
    }
    return -1;
}

// Whether XOR may beat raw bytes, judged from sampled pairs of neighbours
// as if each changed value opened a window of its own.
bool xorMayPay(const double *values, int n)
{
    const int step = qMax(1, n / kSample);
    qint64 bits = 0, pairs = 0;
    for (int i = 1; i < n; i += step, ++pairs) {
        const quint64 x = doubleBits(values[i]) ^ doubleBits(values[i - 1]);
        bits += x == 0 ? 1 : 14 + 64 - __builtin_clzll(x) - __builtin_ctzll(x);
    }
    return bits < pairs * 64;
}

void packBlock(const double *values, int n, DecimalBlock &decimal, ZeltoByteSink &out)
{
    out.putVarint(quint64(n));
    const qint64 raw = 1 + qint64(n) * 8;
    const int e = sampleExponent(values, n);
    if (e >= 0) {
        decimal.build(values, n, e);
        if (decimal.exceptions.size() * 16 > size_t(n)) {
            const int full = fullExponent(values, n);
            if (full >= 0 && full != e)
                decimal.build(values, n, full);
        }
        // Decimals that pack to half their size need no second opinion.
        if (decimal.size * 2 < raw) {
            decimal.write(values, n, out);
            return;
        }
    }
    const qint64 decimalSize = e >= 0 ? decimal.size : raw;
    if (xorMayPay(values, n)) {
        // XOR goes straight into place and is taken back when it is not smaller.
        const qint64 start = out.size();
        packXor(values, n, out);
        if (out.size() - start < qMin(raw, decimalSize) || out.overflowed())
            return;
        out.truncate(start);
    }
    if (decimalSize < raw)
        decimal.write(values, n, out);
    else
        packRaw(values, n, out);
}

bool fail(QString *error, const QString &text)
{
    *error = text;
    return false;
}

bool readVarint(const uchar *&p, const uchar *end, quint64 &out)
{
    return ZeltoStreamFormat::readVarint(p, end, out) == VarintRead::Ok;
}

bool unpackXor(const uchar *&p, const uchar *end, int n, double *out, QString *error)
{
    quint64 length = 0;
    if (!readVarint(p, end, length) || length > quint64(end - p))
        return fail(error, QStringLiteral("блок XOR выходит за границы столбца"));
    ZeltoBitReader reader(p, p + length);
    quint64 previous = 0;
    if (!reader.get(64, previous))
        return fail(error, QStringLiteral("блок XOR короче своих значений"));
    out[0] = doubleFromBits(previous);
    int lead = -1, width = 0;
    for (int i = 1; i < n; ++i) {
        quint64 control = 0, x = 0;
        if (!reader.get(1, control))
            return fail(error, QStringLiteral("блок XOR короче своих значений"));
        if (control) {
            if (!reader.get(1, control))
                return fail(error, QStringLiteral("блок XOR короче своих значений"));
            if (control) {
                quint64 l = 0, w = 0;
                if (!reader.get(6, l) || !reader.get(6, w))
                    return fail(error, QStringLiteral("блок XOR короче своих значений"));
                lead = int(l);
                width = int(w) + 1;
                if (lead + width > 64)
                    return fail(error, QStringLiteral("недопустимое окно блока XOR"));
            } else if (lead < 0) {
                return fail(error, QStringLiteral("блок XOR ссылается на отсутствующее окно"));
            }
            quint64 bits = 0;
            if (!reader.get(width, bits))
                return fail(error, QStringLiteral("блок XOR короче своих значений"));
            x = bits << (64 - lead - width);
        }
        previous ^= x;
        out[i] = doubleFromBits(previous);
    }
    if (reader.byteEnd() != p + length)
        return fail(error, QStringLiteral("лишние байты в блоке XOR"));
    p += length;
    return true;
}

// Only the values from..to (not including to) are written: a group after
// them is stepped over, one before them gives only what the next carries.
bool unpackDecimal(const uchar *&p, const uchar *end, int n, int e, double *out, QString *error, int from, int to)
{
    const QString shortBlock = QStringLiteral("десятичный блок выходит за границы столбца");
    quint64 exceptionCount = 0, first = 0;
    if (!readVarint(p, end, exceptionCount) || !readVarint(p, end, first))
        return fail(error, shortBlock);
    if (exceptionCount > quint64(n))
        return fail(error, QStringLiteral("исключений в десятичном блоке больше, чем значений"));
    quint64 previous = quint64(unzigzag(first));
    quint64 packed[GroupSize];
    for (int g = 0; g < n; g += GroupSize) {
        const int m = qMin(GroupSize, n - g);
        quint64 base = 0;
        if (p >= end)
            return fail(error, shortBlock);
        const uchar head = *p++;
        const bool deltas = head & 0x80;
        const int width = head & 0x7f;
        if (width < 1 || width > 64)
            return fail(error, QStringLiteral("недопустимая ширина группы %1").arg(width));
        if (!readVarint(p, end, base))
            return fail(error, shortBlock);
        const qint64 bytes = (qint64(m) * width + 7) / 8;
        if (bytes > end - p)
            return fail(error, shortBlock);
        if (g >= to) {
            p += bytes;
            continue;
        }
        unpackBits(p, p + bytes, width, m, packed);
        p += bytes;
        // Unsigned arithmetic: corrupt bytes may wrap, but never overflow.
        const quint64 offset = quint64(unzigzag(base));
        if (g + m <= from) {
            quint64 sum = 0;
            for (int i = 0; i < m; ++i)
                sum += offset + packed[i];
            previous = deltas ? previous + sum : offset + packed[m - 1];
            continue;
        }
        const double power = kPowers[e];
        for (int i = 0; i < m; ++i) {
            const quint64 x = (deltas ? previous : 0) + offset + packed[i];
            previous = x;
            out[g + i] = double(qint64(x)) / power;
        }
    }
    int position = -1;
    for (quint64 k = 0; k < exceptionCount; ++k) {
        quint64 gap = 0;
        if (!readVarint(p, end, gap))
            return fail(error, shortBlock);
        if (gap >= quint64(n - 1 - position))
            return fail(error, QStringLiteral("исключение за пределами десятичного блока"));
        position += int(gap) + 1;
        if (end - p < 8)
            return fail(error, shortBlock);
        quint64 bits;
        std::memcpy(&bits, p, 8);
        p += 8;
        if (position >= from && position < to)
            out[position] = doubleFromBits(qFromLittleEndian(bits));
    }
    return true;
}

// Moves p past one group of m scaled integers, with the reader's bounds checks.
bool skipGroup(const uchar *&p, const uchar *end, int m)
{
    quint64 base = 0;
    if (p >= end)
        return false;
    const int width = *p++ & 0x7f;
    const qint64 bytes = (qint64(m) * width + 7) / 8;
    if (width < 1 || width > 64 || !readVarint(p, end, base) || bytes > end - p)
        return false;
    p += bytes;
    return true;
}

// packBlock() of n values whose first `kept` are those of the decimal block
// stored at [p, end), as packBlock() wrote it. Where packing them would
// keep the stored exponent and stay decimal, every whole group of 128
// stored values packs to the same bytes again: those are copied, and only
// the groups from there on are planned and written. False, with out
// unchanged, where that does not hold.
bool continueDecimal(const uchar *p, const uchar *end, int kept, const double *values, int n, ZeltoByteSink &out)
{
    quint64 storedCount = 0, storedExceptions = 0, first = 0;
    if (n < kept || !readVarint(p, end, storedCount)
        || storedCount != quint64(kept) || p >= end || (*p & 0xf0) != ModeDecimal)
        return false;
    const int e = *p++ & 0x0f;
    if (sampleExponent(values, n) != e || !readVarint(p, end, storedExceptions)
        || storedExceptions > storedCount || !readVarint(p, end, first))
        return false;
    // The whole stored groups to copy, then past the last stored group to the exceptions.
    const int copied = kept / GroupSize * GroupSize;
    const uchar *const groups = p;
    const uchar *copiedEnd = nullptr;
    for (int g = 0; g < kept; g += GroupSize) {
        if (g == copied)
            copiedEnd = p;
        if (!skipGroup(p, end, qMin(GroupSize, kept - g)))
            return false;
    }
    if (!copiedEnd)
        copiedEnd = p;
    std::vector<int> exceptions;
    int position = -1;
    for (quint64 k = 0; k < storedExceptions; ++k) {
        quint64 gap = 0;
        if (!readVarint(p, end, gap) || gap >= quint64(kept - 1 - position) || end - p < 8)
            return false;
        position += int(gap) + 1;
        p += 8;
        exceptions.push_back(position);
    }
    const auto isStoredException = [&](int i) {
        return std::binary_search(exceptions.cbegin(), exceptions.cbegin() + qptrdiff(storedExceptions), i);
    };
    // The scaled integer the value before the first packed group stands
    // for: the last decimal's up to it. Groups before a first decimal would
    // depend on values after them: packed whole.
    int decimal = copied - 1;
    while (decimal >= 0 && isStoredException(decimal))
        --decimal;
    qint64 carried = 0;
    if (decimal < 0 || !scaled(values[decimal], e, carried))
        return false;
    const qint64 atCut = carried;
    std::vector<qint64> x(size_t(n - copied));
    for (int i = copied; i < n; ++i) {
        qint64 v = 0;
        bool isDecimal = false;
        if (i < kept) {
            isDecimal = !isStoredException(i);
            if (isDecimal && !scaled(values[i], e, v))
                return false;   // not what the stored block says of it
        } else {
            isDecimal = scaled(values[i], e, v);
            if (!isDecimal)
                exceptions.push_back(i);
        }
        if (isDecimal)
            carried = v;
        x[size_t(i - copied)] = carried;
    }
    if (exceptions.size() * 16 > size_t(n))
        return false;

    // Sized and written as DecimalBlock sizes and writes the whole block.
    std::vector<Group> planned;
    const qint64 size = 1 + varintSize(quint64(exceptions.size())) + varintSize(first)
                        + qint64(exceptions.size()) * 9 + (copiedEnd - groups)
                        + planGroups(x.data(), n - copied, atCut, planned) + gapBytes(exceptions);
    if (size * 2 >= 1 + qint64(n) * 8)
        return false;
    out.putVarint(quint64(n));
    out.putByte(uchar(ModeDecimal | e));
    out.putVarint(quint64(exceptions.size()));
    out.putVarint(first);
    out.putBytes(reinterpret_cast<const char *>(groups), copiedEnd - groups);
    writeGroups(x.data(), n - copied, atCut, planned.data(), out);
    writeExceptions(exceptions, values, out);
    return true;
}

} // namespace

void pack(const double *values, qint64 count, ZeltoByteSink &out)
{
    DecimalBlock decimal;
    for (qint64 i = 0; i < count && !out.overflowed(); i += BlockSize)
        packBlock(values + i, int(qMin<qint64>(BlockSize, count - i)), decimal, out);
}

bool packAfter(const uchar *block, const uchar *end, int kept, const double *values, qint64 count, ZeltoByteSink &out)
{
    const int n = int(qMin<qint64>(count, BlockSize));
    if (!continueDecimal(block, end, kept, values, n, out)) {
        pack(values, count, out);
        return false;
    }
    if (count > n)
        pack(values + n, count - n, out);
    return true;
}

bool skipBlock(const uchar *&p, const uchar *end, int &count)
{
    quint64 n = 0;
    if (!readVarint(p, end, n) || p >= end || n < 1 || n > quint64(BlockSize))
        return false;
    count = int(n);
    const uchar mode = *p++;
    if (mode == ModeRaw) {
        if (end - p < qint64(n) * 8)
            return false;
        p += qint64(n) * 8;
        return true;
    }
    if (mode == ModeXor) {
        quint64 length = 0;
        if (!readVarint(p, end, length) || length > quint64(end - p))
            return false;
        p += length;
        return true;
    }
    if ((mode & 0xf0) != ModeDecimal)
        return false;
    quint64 exceptions = 0, first = 0;
    if (!readVarint(p, end, exceptions) || exceptions > n || !readVarint(p, end, first))
        return false;
    for (int g = 0; g < count; g += GroupSize) {
        if (!skipGroup(p, end, qMin(GroupSize, count - g)))
            return false;
    }
    for (quint64 k = 0; k < exceptions; ++k) {
        quint64 gap = 0;
        if (!readVarint(p, end, gap) || end - p < 8)
            return false;
        p += 8;
    }
    return true;
}

bool unpackBlock(const uchar *&p, const uchar *end, std::vector<double> &out, QString *error)
{
    return unpackBlock(p, end, out, error, 0, BlockSize);
}

bool unpackBlock(const uchar *&p, const uchar *end, std::vector<double> &out, QString *error, int from, int to)
{
    quint64 count = 0;
    if (!readVarint(p, end, count) || p >= end)
        return fail(error, QStringLiteral("блок чисел выходит за границы столбца"));
    if (count < 1 || count > quint64(BlockSize))
        return fail(error, QStringLiteral("недопустимое число значений в блоке: %1").arg(count));
    const int n = int(count);
    out.resize(size_t(n));
    const uchar mode = *p++;
    if (mode == ModeRaw) {
        if (end - p < qint64(n) * 8)
            return fail(error, QStringLiteral("блок чисел выходит за границы столбца"));
        for (int i = 0; i < n; ++i) {
            quint64 bits;
            std::memcpy(&bits, p + 8 * i, 8);
            out[size_t(i)] = doubleFromBits(qFromLittleEndian(bits));
        }
        p += qint64(n) * 8;
        return true;
    }
    if (mode == ModeXor)
        return unpackXor(p, end, n, out.data(), error);
    if ((mode & 0xf0) == ModeDecimal)
        return unpackDecimal(p, end, n, mode & 0x0f, out.data(), error, from, to);
    return fail(error, QStringLiteral("неизвестный вид блока чисел 0x%1").arg(mode, 2, 16, QLatin1Char('0')));
}

} // namespace ZeltoDoublePacker
