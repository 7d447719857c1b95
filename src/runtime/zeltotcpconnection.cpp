#include "zeltotcpconnection.h"

#include "zeltorpcmessage.h"

#include <QCoreApplication>
#include <QTcpSocket>

ZeltoTcpConnection::ZeltoTcpConnection(int id, QTcpSocket *socket, QObject *parent)
    : ZeltoServerConnection(id, parent), m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QTcpSocket::readyRead, this, &ZeltoTcpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ZeltoTcpConnection::onDisconnected);
}

void ZeltoTcpConnection::send(const QByteArray &message)
{
    if (isClosed() || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    m_socket->write(message);
    m_socket->write("\n", 1);
}

void ZeltoTcpConnection::sendAndClose(const QByteArray &message)
{
    send(message);
    m_rejecting = true;
    m_buffer.clear();
    m_socket->disconnectFromHost(); // after the pending bytes are written
}

void ZeltoTcpConnection::onReadyRead()
{
    if (m_rejecting) {
        m_socket->readAll();
        return;
    }
    m_buffer += m_socket->readAll();
    int start = 0;
    for (;;) {
        const int end = m_buffer.indexOf('\n', qMax(start, m_scanFrom));
        if (end < 0)
            break;
        int length = end - start;
        if (length > 0 && m_buffer.at(end - 1) == '\r')
            --length;
        if (length > 0)
            received(m_buffer.mid(start, length));
        start = end + 1;
        m_scanFrom = start;
        if (isClosed())
            return;
    }
    if (start > 0)
        m_buffer.remove(0, start);
    m_scanFrom = m_buffer.size();
    if (m_buffer.size() > ZeltoRpcMessage::MaxMessageSize) {
        sendAndClose(ZeltoRpcMessage::error(
            QVariant(), ZeltoRpcMessage::InvalidRequest,
            QCoreApplication::translate("ZeltoServer", "Сообщение больше %1 МБ, соединение закрыто")
                .arg(ZeltoRpcMessage::MaxMessageSize / (1024 * 1024))));
    }
}

void ZeltoTcpConnection::onDisconnected()
{
    m_buffer.clear();
    markClosed();
}
