#pragma once

#include "zeltoserverconnection.h"

#include <QStringList>

// A WebSocket client (RFC 6455, server side, no extensions or subprotocols).
// Wire form: an HTTP/1.1 upgrade request, answered with 101 and the
// Sec-WebSocket-Accept digest; then frames. Each text or binary message
// (fragments joined) is one JSON text; replies are text frames. Ping is
// answered with pong, close with close. Frames from the client must be
// masked. A browser's upgrade request must come from a page of the server
// itself (its Origin names the Host it asked) or of an allowed origin, else
// it gets 403. A message longer than ZeltoRpcMessage::MaxMessageSize gets the
// refusal and close code 1009; broken framing gets close code 1002.
// Stays compatible by following the RFC: unknown opcodes and reserved bits
// are protocol errors.
//
// Our own framing rather than QWebSocket: that closes an oversize message
// with 1009 before we can answer it, and it reads on without limit, which
// would leave a client that never reads its replies unbounded memory.
class ZeltoWebConnection : public ZeltoServerConnection
{
    Q_OBJECT

public:
    // `allowedOrigins` as ZeltoServer::setWebOrigins keeps them: "scheme://host[:port]", no slash at the end.
    ZeltoWebConnection(int id, QTcpSocket *socket, const QStringList &allowedOrigins, QObject *parent = nullptr);

    void send(const QByteArray &message) override;
    void refuse(const QByteArray &message) override;

protected:
    void parse() override;

private:
    enum class State { Handshake, Header, Payload };

    bool parseHandshake();
    // Answers the upgrade request with an HTTP error ("400 Bad Request") and closes.
    void refuseUpgrade(const QByteArray &status, const QByteArray &headers = QByteArray(),
                       const QByteArray &body = QByteArray());
    bool parseHeader();
    void parsePayload();
    void frameDone();
    void writeFrame(int opcode, const QByteArray &payload);
    void closeWith(quint16 code);
    void protocolError() { closeWith(1002); }

    const QStringList m_allowedOrigins;
    State m_state = State::Handshake;
    int m_opcode = 0;              // of the frame being read
    bool m_final = false;
    quint64 m_remaining = 0;       // payload bytes of the frame still to come
    uchar m_mask[4] = {};
    quint64 m_maskOffset = 0;
    int m_messageOpcode = 0;       // 1 text, 2 binary, 0 none begun
    QByteArray m_message;          // fragments of the data message so far
    QByteArray m_control;          // payload of the control frame being read
};
