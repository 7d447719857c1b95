#include "zeltoserverconnection.h"

#include "zeltorequestbuffers.h"

#include <QTcpSocket>

namespace {

// Messages read ahead of the server: enough to keep a pipelining client
// busy, few enough that a flood stays in the kernel's buffers, not ours.
const int kMaxPendingRequests = 16;
const qsizetype kMaxPendingBytes = 1024 * 1024;
// Replies the client has not read yet; above this its requests wait.
const qint64 kMaxUnsentBytes = 4 * 1024 * 1024;
// Bytes taken from the socket at once, and what Qt may buffer for us
// beyond that before it stops reading and leaves the rest to TCP.
const qint64 kReadChunk = 256 * 1024;
// Parsed bytes are dropped from the front of the buffer in steps this big.
const qsizetype kCompactStep = 64 * 1024;

} // namespace

ZeltoServerConnection::ZeltoServerConnection(int id, QTcpSocket *socket, ZeltoRequestBuffers *buffers,
                                             QObject *parent)
    : QObject(parent), m_socket(socket), m_peerAddress(socket->peerAddress()), m_buffers(buffers), m_id(id)
{
    m_bufferId = m_buffers->enter([this]() { abort(); });
    m_socket->setParent(this);
    m_socket->setReadBufferSize(kReadChunk);
    connect(m_socket, &QTcpSocket::readyRead, this, &ZeltoServerConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::bytesWritten, this, &ZeltoServerConnection::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &ZeltoServerConnection::onDisconnected);
}

ZeltoServerConnection::~ZeltoServerConnection()
{
    m_buffers->leave(m_bufferId);
}

ZeltoServerConnection::Request ZeltoServerConnection::takeRequest()
{
    Request request = m_pending.dequeue();
    m_pendingBytes -= request.message.size();
    fill();
    return request;
}

bool ZeltoServerConnection::isBackedUp() const
{
    return m_socket->bytesToWrite() > kMaxUnsentBytes;
}

void ZeltoServerConnection::abort()
{
    if (m_closed)
        return;
    m_socket->abort();
    onDisconnected();
}

void ZeltoServerConnection::begin(const QByteArray &alreadyRead)
{
    m_buffer = alreadyRead;
    m_offset = 0;
    // Its disconnected() may have gone to the listener that read the request.
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        onDisconnected();
        return;
    }
    fill();
}

bool ZeltoServerConnection::acceptsMessages() const
{
    if (m_closed || m_stopped)
        return false;
    // One message is always welcome, however big.
    return m_pending.isEmpty() || (m_pending.size() < kMaxPendingRequests && m_pendingBytes < kMaxPendingBytes);
}

void ZeltoServerConnection::received(const QByteArray &message)
{
    if (m_closed || m_stopped)
        return;
    m_pending.enqueue(Request{message, false});
    m_pendingBytes += message.size();
}

void ZeltoServerConnection::receivedOversize()
{
    if (m_closed || m_stopped)
        return;
    m_stopped = true;
    m_buffer.clear();
    m_offset = 0;
    m_pending.enqueue(Request{QByteArray(), true});
    account();
}

void ZeltoServerConnection::closeSocket()
{
    m_stopped = true;
    m_buffer.clear();
    m_offset = 0;
    discardInput();
    account();
    m_socket->disconnectFromHost();  // after the replies already written
}

void ZeltoServerConnection::discardInput()
{
    m_discarding = true;
    m_socket->readAll();
}

void ZeltoServerConnection::consume(qsizetype count)
{
    m_offset += count;
    if (m_offset == m_buffer.size()) {
        m_buffer.clear();
        m_offset = 0;
    }
}

void ZeltoServerConnection::fill()
{
    // takeRequest() may come here again from a slot of the server.
    if (m_filling)
        return;
    m_filling = true;
    while (acceptsMessages()) {
        parse();
        if (!acceptsMessages())
            break;
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            break;
        if (m_offset >= kCompactStep) {
            m_buffer.remove(0, m_offset);
            m_offset = 0;
        }
        const qsizetype old = m_buffer.size();
        const qint64 chunk = qMin(available, kReadChunk);
        m_buffer.resize(old + qsizetype(chunk));
        const qint64 got = m_socket->read(m_buffer.data() + old, chunk);
        m_buffer.resize(old + qsizetype(qMax<qint64>(got, 0)));
        if (got <= 0)
            break;
    }
    m_filling = false;
    if (!account())
        return;
    if (hasRequest())
        emit requestReady(this);
}

bool ZeltoServerConnection::account()
{
    if (m_closed)
        return false;
    // Sizes, not capacities: a line's length is not known before its end,
    // so its buffer grows in steps, and a limit on sizes is one a client can
    // see and a test can aim at.
    const qint64 held = m_buffer.size() + m_pendingBytes + heldBySubclass() + m_socket->bytesAvailable();
    if (m_buffers->hold(m_bufferId, held))
        return true;
    // It held most: closed without an answer, as a client that sends so
    // much without an end may well never read one.
    abort();
    return false;
}

void ZeltoServerConnection::onReadyRead()
{
    if (m_discarding)
        m_socket->readAll();
    else
        fill();
}

void ZeltoServerConnection::onBytesWritten()
{
    if (hasRequest() && !isBackedUp())
        emit requestReady(this);
}

void ZeltoServerConnection::onDisconnected()
{
    if (m_closed)
        return;
    m_closed = true;
    m_pending.clear();
    m_pendingBytes = 0;
    m_buffer.clear();
    m_offset = 0;
    m_buffers->leave(m_bufferId);
    emit closed(this);
}
