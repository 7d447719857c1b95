#pragma once

#include "zeltoserverconnection.h"

// A TCP client. Wire form: one JSON text per line, UTF-8, ended by LF; a CR
// before the LF is dropped and empty lines are skipped. A line longer than
// ZeltoRpcMessage::MaxMessageSize (without its line end) is refused and the
// connection closed. Stays compatible by never giving LF another meaning.
class ZeltoTcpConnection : public ZeltoServerConnection
{
    Q_OBJECT

public:
    ZeltoTcpConnection(int id, QTcpSocket *socket, ZeltoRequestBuffers *buffers, QObject *parent = nullptr);

    void send(const QByteArray &message) override;
    void refuse(const QByteArray &message) override;

protected:
    void parse() override;

private:
    qsizetype m_scanned = 0;  // the buffered bytes before this offset hold no LF
};
