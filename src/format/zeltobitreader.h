#pragma once

#include <QtGlobal>

// Reads a bit string that ZeltoBitWriter wrote, never past its end.
class ZeltoBitReader
{
public:
    ZeltoBitReader(const uchar *p, const uchar *end) : m_p(p), m_end(end) {}

    // False when fewer than width bits are left.
    bool get(int width, quint64 &out)
    {
        if (width == 0) {
            out = 0;
            return true;
        }
        if (quint64(width) > quint64(m_end - m_p) * 8 - quint64(m_bit))
            return false;
        quint64 value = 0;
        int got = 0;
        while (got < width) {
            const int take = qMin(8 - m_bit, width - got);
            value |= quint64((*m_p >> m_bit) & ((1u << take) - 1)) << got;
            got += take;
            m_bit += take;
            if (m_bit == 8) {
                m_bit = 0;
                ++m_p;
            }
        }
        out = value;
        return true;
    }

    // The position after the last bit read, rounded up to a whole byte.
    const uchar *byteEnd() const { return m_p + (m_bit ? 1 : 0); }

private:
    const uchar *m_p;
    const uchar *m_end;
    int m_bit = 0;
};
