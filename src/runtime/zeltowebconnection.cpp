#include "zeltowebconnection.h"

#include "zeltorpcmessage.h"

#include <QWebSocket>

ZeltoWebConnection::ZeltoWebConnection(int id, QWebSocket *socket, QObject *parent)
    : ZeltoServerConnection(id, parent), m_socket(socket)
{
    m_socket->setParent(this);
    // Larger messages make the socket close the connection with "too much data".
    m_socket->setMaxAllowedIncomingMessageSize(quint64(ZeltoRpcMessage::MaxMessageSize));
    connect(m_socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &message) { received(message.toUtf8()); });
    connect(m_socket, &QWebSocket::binaryMessageReceived, this,
            [this](const QByteArray &message) { received(message); });
    connect(m_socket, &QWebSocket::disconnected, this, [this]() { markClosed(); });
}

void ZeltoWebConnection::send(const QByteArray &message)
{
    if (!isClosed())
        m_socket->sendTextMessage(QString::fromUtf8(message));
}

void ZeltoWebConnection::sendAndClose(const QByteArray &message)
{
    send(message);
    m_socket->close(QWebSocketProtocol::CloseCodeTooMuchData);
}
