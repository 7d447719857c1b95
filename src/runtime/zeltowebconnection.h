#pragma once

#include "zeltoserverconnection.h"

class QWebSocket;

// A WebSocket client: one JSON text per text frame.
class ZeltoWebConnection : public ZeltoServerConnection
{
    Q_OBJECT

public:
    ZeltoWebConnection(int id, QWebSocket *socket, QObject *parent = nullptr);

    void send(const QByteArray &message) override;
    void sendAndClose(const QByteArray &message) override;

private:
    QWebSocket *m_socket;
};
