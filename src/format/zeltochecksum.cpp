#include "zeltochecksum.h"

#include <QtEndian>

#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace ZeltoChecksum {

namespace {

// Eight tables of the reflected polynomial 0x82F63B78, eight bytes a step.
struct Tables
{
    quint32 t[8][256];

    Tables()
    {
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k)
                c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
            t[0][i] = c;
        }
        for (int k = 1; k < 8; ++k) {
            for (int i = 0; i < 256; ++i)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xff];
        }
    }
};

quint32 softwareCrc(quint32 crc, const uchar *p, qint64 size)
{
    static const Tables tables;
    const auto &t = tables.t;
    while (size >= 8) {
        quint32 lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo = qFromLittleEndian(lo) ^ crc;
        hi = qFromLittleEndian(hi);
        crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24]
              ^ t[3][hi & 0xff] ^ t[2][(hi >> 8) & 0xff] ^ t[1][(hi >> 16) & 0xff] ^ t[0][hi >> 24];
        p += 8;
        size -= 8;
    }
    while (size-- > 0)
        crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xff];
    return crc;
}

// The product of a and b modulo the polynomial, both in the reflected
// form of the register (bit 31 the coefficient of x^0).
quint32 multiplyModP(quint32 a, quint32 b)
{
    quint32 product = 0;
    for (quint32 m = 1u << 31; m != 0; m >>= 1) {
        if (a & m)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ 0x82F63B78u : b >> 1;
    }
    return product;
}

// x^(8 * bytes) modulo the polynomial: what running the register over that
// many zero bytes multiplies it by.
quint32 zeroBytesFactor(quint64 bytes)
{
    // x^(2^k) for k = 0..63, by squaring x.
    static const struct Powers
    {
        quint32 p[64];
        Powers()
        {
            p[0] = 1u << 30;
            for (int k = 1; k < 64; ++k)
                p[k] = multiplyModP(p[k - 1], p[k - 1]);
        }
    } powers;
    quint32 factor = 1u << 31;
    for (int k = 3; bytes != 0 && k < 64; ++k, bytes >>= 1) {
        if (bytes & 1)
            factor = multiplyModP(powers.p[k], factor);
    }
    return factor;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) quint32 hardwareCrc(quint32 crc, const uchar *p, qint64 size)
{
    quint64 c = crc;
    while (size >= 8) {
        quint64 word;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
        p += 8;
        size -= 8;
    }
    quint32 c32 = quint32(c);
    while (size-- > 0)
        c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}

// The instruction takes three cycles but starts one every cycle: long input
// runs as three lanes at once, joined by the linearity of the sum (the
// register after A then B is A's register run over |B| zero bytes, xor B's
// register from zero).
__attribute__((target("sse4.2"))) quint32 hardwareCrc3(quint32 crc, const uchar *p, qint64 size)
{
    const qint64 lane = size / 24 * 8;
    if (lane < 1024)
        return hardwareCrc(crc, p, size);
    quint64 a = crc, b = 0, c = 0;
    for (const uchar *end = p + lane; p < end; p += 8) {
        quint64 wa, wb, wc;
        std::memcpy(&wa, p, 8);
        std::memcpy(&wb, p + lane, 8);
        std::memcpy(&wc, p + 2 * lane, 8);
        a = _mm_crc32_u64(a, wa);
        b = _mm_crc32_u64(b, wb);
        c = _mm_crc32_u64(c, wc);
    }
    const quint32 shift = zeroBytesFactor(quint64(lane));
    const quint32 joined = multiplyModP(shift, multiplyModP(shift, quint32(a)) ^ quint32(b)) ^ quint32(c);
    return hardwareCrc(joined, p + 2 * lane, size - 3 * lane);
}

bool hasInstruction()
{
    static const bool hardware = __builtin_cpu_supports("sse4.2");
    return hardware;
}
#endif

} // namespace

quint32 crc32c(const char *data, qint64 size)
{
    return extend(0, data, size);
}

quint32 extend(quint32 sum, const char *data, qint64 size)
{
#if defined(__x86_64__)
    if (hasInstruction())
        return ~hardwareCrc3(~sum, reinterpret_cast<const uchar *>(data), size);
#endif
    return ~softwareCrc(~sum, reinterpret_cast<const uchar *>(data), size);
}

quint32 crc32cByTable(const char *data, qint64 size)
{
    return ~softwareCrc(~0u, reinterpret_cast<const uchar *>(data), size);
}

} // namespace ZeltoChecksum
