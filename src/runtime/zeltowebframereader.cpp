#include "zeltowebframereader.h"

#include <QtEndian>

#include <algorithm>

namespace {

enum Opcode { Continuation = 0x0, Text = 0x1, Binary = 0x2, CloseFrame = 0x8, PingFrame = 0x9, PongFrame = 0xA };

const quint16 kCloseNormal = 1000;

} // namespace

ZeltoWebFrameReader::ZeltoWebFrameReader(qint64 maxMessageSize) : m_maxMessageSize(maxMessageSize) {}

ZeltoWebFrameReader::Event ZeltoWebFrameReader::read(const char *data, qint64 size, qint64 &consumed)
{
    consumed = 0;
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    while (m_state != State::Failed) {
        if (m_state == State::Header) {
            Event failure = NeedMore;
            const qint64 taken = readHeader(bytes + consumed, size - consumed, failure);
            if (taken < 0)
                return failure;
            if (taken == 0)
                return NeedMore;
            consumed += taken;
            m_state = State::Payload;
        }
        const qint64 count = qint64(qMin(m_remaining, quint64(size - consumed)));
        if (m_remaining > 0 && count == 0)
            return NeedMore;
        QByteArray &target = (m_opcode & 0x8) ? m_control : m_message;
        const int old = target.size();
        target.resize(old + int(count));
        char *to = target.data() + old;
        for (qint64 i = 0; i < count; ++i)
            to[i] = char(bytes[consumed + i] ^ m_mask[(m_maskOffset + quint64(i)) & 3]);
        consumed += count;
        m_remaining -= quint64(count);
        m_maskOffset += quint64(count);
        if (m_remaining > 0)
            return NeedMore;
        m_state = State::Header;
        const Event event = frameDone();
        if (event != NeedMore)
            return event;
    }
    return m_failure;
}

qint64 ZeltoWebFrameReader::readHeader(const uchar *p, qint64 size, Event &event)
{
    if (size < 2)
        return 0;
    // The first two bytes are judged at once: a client that sends an
    // unmasked frame may well not send the four bytes of a mask after it.
    const bool reservedBits = p[0] & 0x70;
    const bool masked = p[1] & 0x80;
    event = m_failure = ProtocolError;
    if (reservedBits || !masked) {
        m_state = State::Failed;
        return -1;
    }
    const int lengthCode = p[1] & 0x7F;
    const qint64 lengthBytes = lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0;
    const qint64 headerSize = 2 + lengthBytes + 4;
    if (size < headerSize)
        return 0;
    const int opcode = p[0] & 0x0F;
    const bool control = opcode & 0x8;
    quint64 length = quint64(lengthCode);
    if (lengthCode == 126)
        length = qFromBigEndian<quint16>(p + 2);
    else if (lengthCode == 127)
        length = qFromBigEndian<quint64>(p + 2);
    const bool final = p[0] & 0x80;
    if (length >> 63) {
        m_state = State::Failed;
        return -1;
    }
    if (control) {
        if (!final || length > 125 || (opcode != CloseFrame && opcode != PingFrame && opcode != PongFrame)) {
            m_state = State::Failed;
            return -1;
        }
        m_control.clear();
    } else {
        // A data frame continues the message begun, or begins one.
        const bool continues = opcode == Continuation;
        if ((opcode != Continuation && opcode != Text && opcode != Binary) || continues != (m_messageOpcode != 0)) {
            m_state = State::Failed;
            return -1;
        }
        if (quint64(m_message.size()) + length > quint64(m_maxMessageSize)) {
            event = m_failure = TooBig;
            m_state = State::Failed;
            m_message = QByteArray();
            return -1;
        }
        if (!continues)
            m_messageOpcode = opcode;
    }
    m_opcode = opcode;
    m_final = final;
    std::copy(p + 2 + lengthBytes, p + headerSize, m_mask);
    m_remaining = length;
    m_maskOffset = 0;
    return headerSize;
}

ZeltoWebFrameReader::Event ZeltoWebFrameReader::frameDone()
{
    switch (m_opcode) {
    case CloseFrame:
        return Close;
    case PingFrame:
        return Ping;
    case PongFrame:
        return Pong;
    default:
        if (!m_final)
            return NeedMore;
        m_messageOpcode = 0;
        return Message;
    }
}

QByteArray ZeltoWebFrameReader::takeMessage()
{
    QByteArray message;
    message.swap(m_message);
    return message;
}

quint16 ZeltoWebFrameReader::closeCode() const
{
    return m_control.size() >= 2 ? qFromBigEndian<quint16>(m_control.constData()) : kCloseNormal;
}
