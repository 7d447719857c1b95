#pragma once

#include "zeltoserverconnection.h"

class QTcpSocket;

// A TCP client: one JSON text per line, ended by LF.
class ZeltoTcpConnection : public ZeltoServerConnection
{
    Q_OBJECT

public:
    ZeltoTcpConnection(int id, QTcpSocket *socket, QObject *parent = nullptr);

    void send(const QByteArray &message) override;
    void sendAndClose(const QByteArray &message) override;

private:
    void onReadyRead();
    void onDisconnected();

    QTcpSocket *m_socket;
    QByteArray m_buffer;
    int m_scanFrom = 0;      // the buffer before this offset holds no LF
    bool m_rejecting = false;
};
