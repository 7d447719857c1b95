#pragma once

#include "zeltoserverconnection.h"
#include "zeltowebframereader.h"

#include <QStringList>
#include <QTimer>

// A WebSocket client (RFC 6455, server side, no extensions or subprotocols).
// Wire form: an HTTP/1.1 upgrade request (its head read by ZeltoHttpHead),
// answered with 101 and the Sec-WebSocket-Accept digest; then frames
// (ZeltoWebFrameReader). Each text or binary message is one JSON text;
// replies are text frames. Ping is answered with pong, close with close.
// The upgrade request must come whole within the handshake timeout and
// within the head limit of an HTTP request (16 KiB), else it gets 408 or
// 431. A browser's upgrade request (one with an Origin) must name this
// server in Host (ZeltoHostNames, else 421) and come from a page of the
// server itself (its Origin names the Host it asked) or of an allowed
// origin, else 403. A message longer than ZeltoRpcMessage::MaxMessageSize
// gets the refusal and close code 1009; broken framing gets close code
// 1002. Stays compatible by following the RFC: unknown opcodes and reserved
// bits are protocol errors.
//
// Our own framing rather than QWebSocket: that closes an oversize message
// with 1009 before we can answer it, and it reads on without limit, which
// would leave a client that never reads its replies unbounded memory.
class ZeltoWebConnection : public ZeltoServerConnection
{
    Q_OBJECT

public:
    // `allowedOrigins` as ZeltoServer::setWebOrigins keeps them: "scheme://host[:port]", no slash at the end.
    ZeltoWebConnection(int id, QTcpSocket *socket, ZeltoRequestBuffers *buffers, const QStringList &allowedOrigins,
                       int handshakeTimeoutMs, QObject *parent = nullptr);

    void send(const QByteArray &message) override;
    void refuse(const QByteArray &message) override;

protected:
    void parse() override;
    qint64 heldBySubclass() const override { return m_frames.heldSize(); }

private:
    bool parseHandshake();
    // Answers the upgrade request with an HTTP error ("400 Bad Request") and closes.
    void refuseUpgrade(const QByteArray &status, const QByteArray &headers = QByteArray(),
                       const QByteArray &body = QByteArray());
    void onHandshakeTimeout();
    void writeFrame(int opcode, const QByteArray &payload);
    void closeWith(quint16 code);

    const QStringList m_allowedOrigins;
    bool m_upgraded = false;
    int m_scanned = 0;             // bytes of the upgrade request looked at so far
    QTimer m_handshakeTimer;
    ZeltoWebFrameReader m_frames;
};
