#pragma once

#include "zeltostreamformat.h"

#include <QByteArray>
#include <QString>
#include <QtEndian>

// The output of ZeltoStream's writer: a byte array that keeps its own length
// and grows by doubling, so that appending a byte costs no QByteArray call.
// Once a write would pass what one QByteArray can hold it refuses every
// further write and reports overflowed().
class ZeltoByteSink
{
public:
    ZeltoByteSink() = default;
    // Continues after the bytes already in `start`.
    explicit ZeltoByteSink(QByteArray &&start);
    ZeltoByteSink(const ZeltoByteSink &) = delete;
    ZeltoByteSink &operator=(const ZeltoByteSink &) = delete;

    qint64 size() const { return m_used; }
    bool overflowed() const { return m_overflow; }
    void markOverflowed() { m_overflow = true; }
    const char *constData() const { return m_data; }
    char *data() { return m_data; }

    // n writable bytes at the end, or null once the total would not fit.
    char *claim(qint64 n)
    {
        if (n <= m_capacity - m_used) {
            char *p = m_data + m_used;
            m_used += n;
            return p;
        }
        return claimSlow(n);
    }

    // Forgets what was written after the first `size` bytes.
    void truncate(qint64 size)
    {
        if (size < m_used)
            m_used = size;
    }

    // Room for `capacity` bytes in all, allocated now.
    void reserve(qint64 capacity);

    void putByte(uchar b)
    {
        if (char *p = claim(1))
            *p = char(b);
    }

    void putVarint(quint64 v)
    {
        char tmp[10];
        const int n = ZeltoStreamFormat::writeVarint(v, tmp);
        if (char *p = claim(n))
            std::memcpy(p, tmp, size_t(n));
    }

    void putZigzag(qint64 v) { putVarint(ZeltoStreamFormat::zigzag(v)); }

    void putDouble(double d)
    {
        const quint64 bits = qToLittleEndian(ZeltoStreamFormat::doubleBits(d));
        if (char *p = claim(8))
            std::memcpy(p, &bits, 8);
    }

    void putBytes(const char *data, qint64 n)
    {
        if (n <= 0)
            return;
        if (char *p = claim(n))
            std::memcpy(p, data, size_t(n));
    }

    // A null array is written as L = 0, any other as its length + 1.
    void putText(const QByteArray &bytes, bool isNull);
    void putString(const QString &s);

    // The buffer cut to `length` bytes; the sink is empty afterwards.
    QByteArray take(qint64 length);

private:
    char *claimSlow(qint64 n);
    void resizeBuffer(qint64 capacity);

    QByteArray m_buffer;
    char *m_data = nullptr;
    qint64 m_used = 0;
    qint64 m_capacity = 0;
    bool m_overflow = false;
};
