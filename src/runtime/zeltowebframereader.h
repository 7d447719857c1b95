#pragma once

#include <QByteArray>

// Reads the frames a WebSocket client sends (RFC 6455, server side, no
// extensions), from bytes alone (no socket), so that a fuzzer can drive it.
// Wire form of a frame:
//
//   byte 0   FIN (0x80), three reserved bits (must be 0), opcode (4 bits)
//   byte 1   MASK (0x80, must be set), length 0..125, or 126 / 127 for a
//            16-bit / 64-bit big-endian length that follows
//   4 bytes  masking key; then the payload, XORed with the key
//
// Opcodes: 0 continuation, 1 text, 2 binary (data), 8 close, 9 ping, 10
// pong (control: final, at most 125 bytes, may come between the fragments
// of a message). A message is a text or binary frame and the continuations
// up to the final one. Anything else is a protocol error, after which the
// reader takes no more bytes. Stays compatible by following the RFC: an
// unknown opcode or a reserved bit stays an error until an extension is
// negotiated.
class ZeltoWebFrameReader
{
public:
    enum Event {
        NeedMore,       // no event yet; bytes not taken (a header begun) come again with more
        Message,        // a whole message: takeMessage()
        Ping,           // payload()
        Pong,           // payload()
        Close,          // payload(), closeCode()
        ProtocolError,  // broken framing: close with 1002
        TooBig,         // a message over the size limit: refuse it, close with 1009
    };

    explicit ZeltoWebFrameReader(qint64 maxMessageSize);

    // Takes bytes from data (at most size) up to and including the first
    // frame that gives an event; `consumed` tells how many it took. Call
    // again with the rest. After ProtocolError or TooBig it takes nothing
    // more and gives the same event again.
    Event read(const char *data, qint64 size, qint64 &consumed);

    QByteArray takeMessage();
    QByteArray payload() const { return m_control; }
    // The code a close frame carries; 1000 (normal) when it has none.
    quint16 closeCode() const;
    // Bytes held for the message begun and the frame being read.
    qint64 heldSize() const { return m_message.size() + m_control.size(); }

private:
    enum class State { Header, Payload, Failed };

    // Reads a frame header from data; 0 while it is incomplete, -1 on an error (m_state Failed).
    qint64 readHeader(const uchar *data, qint64 size, Event &event);
    Event frameDone();

    const qint64 m_maxMessageSize;
    State m_state = State::Header;
    Event m_failure = ProtocolError;  // once Failed
    int m_opcode = 0;               // of the frame being read
    bool m_final = false;
    quint64 m_remaining = 0;        // payload bytes of the frame still to come
    uchar m_mask[4] = {};
    quint64 m_maskOffset = 0;
    int m_messageOpcode = 0;        // 1 text, 2 binary; 0 when no message is begun
    QByteArray m_message;           // fragments of the data message so far
    QByteArray m_control;           // payload of the control frame read last
};
