#pragma once

#include "zeltobytesink.h"

#include <QtEndian>

// Writes a bit string into a byte sink, a word at a time: little-endian, the
// low bit of each byte first, as the packed double blocks of ZeltoStream
// hold their numbers.
class ZeltoBitWriter
{
public:
    explicit ZeltoBitWriter(ZeltoByteSink &out) : m_out(out) {}

    // The low `width` bits of a value.
    static quint64 mask(int width) { return width >= 64 ? ~quint64(0) : (quint64(1) << width) - 1; }

    // Appends the low `width` (0..64) bits of value.
    void put(quint64 value, int width)
    {
        if (width == 0)
            return;
        value &= mask(width);
        m_word |= value << m_used;
        if (m_used + width >= 64) {
            flushWord();
            const int taken = 64 - m_used;
            m_word = taken >= 64 ? 0 : value >> taken;
            m_used = width - taken;
        } else {
            m_used += width;
        }
    }

    // Writes the bits still held, padded with zeros to a whole byte.
    void finish()
    {
        const int bytes = (m_used + 7) / 8;
        const quint64 le = qToLittleEndian(m_word);
        m_out.putBytes(reinterpret_cast<const char *>(&le), bytes);
        m_word = 0;
        m_used = 0;
    }

private:
    void flushWord()
    {
        const quint64 le = qToLittleEndian(m_word);
        m_out.putBytes(reinterpret_cast<const char *>(&le), 8);
    }

    ZeltoByteSink &m_out;
    quint64 m_word = 0;
    int m_used = 0;
};
