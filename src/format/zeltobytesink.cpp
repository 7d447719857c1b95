#include "zeltobytesink.h"

using ZeltoStreamFormat::MaxBytes;

ZeltoByteSink::ZeltoByteSink(QByteArray &&start) : m_buffer(std::move(start))
{
    m_used = m_buffer.size();
    m_capacity = m_used;
    m_data = m_used ? m_buffer.data() : nullptr;
}

void ZeltoByteSink::reserve(qint64 capacity)
{
    if (capacity > m_capacity && capacity <= MaxBytes)
        resizeBuffer(capacity);
}

void ZeltoByteSink::putText(const QByteArray &bytes, bool isNull)
{
    if (isNull) {
        putVarint(0);
        return;
    }
    putVarint(quint64(bytes.size()) + 1);
    putBytes(bytes.constData(), bytes.size());
}

void ZeltoByteSink::putString(const QString &s)
{
    putText(s.isNull() ? QByteArray() : s.toUtf8(), s.isNull());
}

QByteArray ZeltoByteSink::take(qint64 length)
{
    m_buffer.resize(int(qMin(length, m_used)));
    // Doubling may have left up to half the block unused.
    if (m_buffer.capacity() - m_buffer.size() > m_buffer.size() / 4 + 4096)
        m_buffer.squeeze();
    m_data = nullptr;
    m_used = m_capacity = 0;
    return std::move(m_buffer);
}

char *ZeltoByteSink::claimSlow(qint64 n)
{
    if (m_overflow || n > MaxBytes - m_used) {
        m_overflow = true;
        return nullptr;
    }
    const qint64 need = m_used + n;
    resizeBuffer(qMax(need, qMin(MaxBytes, qMax<qint64>(256, m_capacity * 2))));
    char *p = m_data + m_used;
    m_used = need;
    return p;
}

void ZeltoByteSink::resizeBuffer(qint64 capacity)
{
    m_buffer.resize(int(capacity));
    m_data = m_buffer.data();
    m_capacity = capacity;
}
