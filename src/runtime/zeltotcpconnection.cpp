#include "zeltotcpconnection.h"

#include "zeltorpcmessage.h"

#include <QTcpSocket>

#include <cstring>

ZeltoTcpConnection::ZeltoTcpConnection(int id, QTcpSocket *socket, ZeltoRequestBuffers *buffers, QObject *parent)
    : ZeltoServerConnection(id, socket, buffers, parent)
{
}

void ZeltoTcpConnection::send(const QByteArray &message)
{
    if (isClosed() || socket()->state() != QAbstractSocket::ConnectedState)
        return;
    socket()->write(message);
    socket()->write("\n", 1);
    // Handed to the system now, not when the event loop next polls the
    // socket: a long job's next step may come first.
    socket()->flush();
}

void ZeltoTcpConnection::refuse(const QByteArray &message)
{
    send(message);
    closeSocket();
}

void ZeltoTcpConnection::parse()
{
    while (acceptsMessages()) {
        const char *data = buffered();
        const qsizetype size = bufferedSize();
        const void *lf = std::memchr(data + m_scanned, '\n', size_t(size - m_scanned));
        if (!lf) {
            m_scanned = size;
            // The CR that may still come before the LF does not count.
            if (size > ZeltoRpcMessage::MaxMessageSize + 1)
                receivedOversize();
            return;
        }
        qsizetype length = static_cast<const char *>(lf) - data;
        m_scanned = 0;
        const qsizetype lineEnd = length + 1;
        if (length > 0 && data[length - 1] == '\r')
            --length;
        if (length > ZeltoRpcMessage::MaxMessageSize) {
            receivedOversize();
            return;
        }
        if (length > 0)
            received(QByteArray(data, int(length)));
        consume(lineEnd);
    }
}
