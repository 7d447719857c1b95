#include "zeltohttpconnection.h"

#include "zeltoaddresscap.h"
#include "zeltohostnames.h"
#include "zeltohttpserver.h"

#include <QTcpSocket>

namespace {

// What Qt reads from the socket ahead of us; the rest waits in the kernel,
// so that only what this connection has taken counts, and is counted.
const qint64 kReadChunk = 64 * 1024;

} // namespace

ZeltoHttpConnection::ZeltoHttpConnection(QTcpSocket *socket, ZeltoHttpServer *server)
    : QObject(server), m_socket(socket), m_server(server)
{
    m_socket->setParent(this);
    m_request.peer = m_socket->peerAddress();
    m_socket->setReadBufferSize(kReadChunk);
    m_bufferId = m_server->requestBuffers()->enter([this]() { abort(); });
    connect(m_socket, &QTcpSocket::readyRead, this, &ZeltoHttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ZeltoHttpConnection::onDisconnected);
    // A client that takes its answer slowly is served; one that stopped taking it is let go.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this]() {
        if (m_state == State::Writing)
            m_timer.start(m_server->requestTimeout());
    });
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ZeltoHttpConnection::onTimeout);
    m_timer.start(m_server->requestTimeout());
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ZeltoHttpConnection::onReadyRead, Qt::QueuedConnection);
}

ZeltoHttpConnection::~ZeltoHttpConnection()
{
    if (m_state != State::Done)
        releasePlaces();
}

void ZeltoHttpConnection::abort()
{
    if (m_state == State::Done)
        return;
    m_socket->abort();
    finish();
}

void ZeltoHttpConnection::onReadyRead()
{
    if (m_state == State::Waiting || m_state == State::Writing) {
        m_socket->readAll();   // one request per connection: what follows it is dropped
        return;
    }
    if (m_state != State::Reading || !readAvailable())
        return;
    if (m_state == State::Reading && m_head.state == ZeltoHttpHead::Complete
        && m_request.body.size() == m_head.contentLength)
        dispatch();
}

bool ZeltoHttpConnection::readAvailable()
{
    while (m_state == State::Reading) {
        const qint64 available = m_socket->bytesAvailable();
        if (available <= 0)
            return true;
        if (m_head.state != ZeltoHttpHead::Complete) {
            // Never more than the head may be: what comes with it is the body's start.
            const qint64 count = qMin(available, qint64(ZeltoHttpServer::MaxHeadSize + 4 - m_received.size()));
            if (!account(m_received.size() + count))
                return false;
            const int old = m_received.size();
            m_received += m_socket->read(count);
            m_head = ZeltoHttpHead::parse(m_received, m_server->maxBodySize(), ZeltoHttpServer::MaxHeadSize,
                                          qMax(0, old - 3));
            if (m_head.state == ZeltoHttpHead::Incomplete)
                continue;
            if (!headRead())
                return false;
            continue;
        }
        const qint64 wanted = m_head.contentLength - m_request.body.size();
        if (wanted <= 0)
            return true;
        const qint64 count = qMin(available, wanted);
        const qint64 needed = m_request.body.size() + count;
        if (needed > m_request.body.capacity()) {
            // Grown in steps that double, up to the declared length: what is
            // held is at most twice what came, never what a client merely announced.
            const qint64 grown = qMin(m_head.contentLength, qMax(needed, 2 * qint64(m_request.body.capacity())));
            if (!account(m_request.raw.size() + grown))
                return false;
            m_request.body.reserve(int(grown));
        }
        const int old = m_request.body.size();
        m_request.body.resize(int(needed));
        const qint64 got = m_socket->read(m_request.body.data() + old, count);
        m_request.body.resize(old + int(qMax<qint64>(got, 0)));
        if (got <= 0)
            return true;
    }
    return true;
}

bool ZeltoHttpConnection::headRead()
{
    const ZeltoHttpHead &head = m_head;
    const bool oversize = head.state == ZeltoHttpHead::Refused && head.status == 413;
    if (head.state == ZeltoHttpHead::Refused && !oversize) {
        fail(head.status, head.reason);
        return false;
    }
    m_request.method = head.request.method;
    m_request.path = head.request.path;
    m_request.query = head.request.query;
    m_request.headers = head.request.headers;
    // Before anything is done for it: a request for a name that is not ours
    // may come from a page that an attacker's name points here.
    const QByteArray host = m_request.header("host");
    const bool hostless = head.http10 && !m_request.headers.contains("host");
    if (!hostless && m_server->hostNames() && !m_server->hostNames()->allows(host)) {
        ZeltoHostNames::reportRefused(host, m_request.peer);
        fail(421, "Misdirected Request: this server does not answer for that name\n");
        return false;
    }
    if (oversize) {
        ZeltoHttpResponse response;
        m_server->dispatchOversize(m_request, response);
        answer(response);
        return false;
    }
    m_request.raw = m_received.left(head.size);
    // What came after the head is the body's start; bytes past the body are dropped.
    m_request.body = m_received.mid(head.size, int(qMin<qint64>(head.contentLength, m_received.size() - head.size)));
    m_received = QByteArray();
    if (!account(m_request.raw.size() + m_request.body.capacity()))
        return false;
    // Clients that wait for leave to send their body get it.
    if (m_request.body.size() < head.contentLength
        && m_request.header("expect").compare("100-continue", Qt::CaseInsensitive) == 0)
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    return true;
}

void ZeltoHttpConnection::dispatch()
{
    m_timer.stop();
    // Waiting from here on: a deferred answer may even come before the handler returns.
    m_state = State::Waiting;
    ZeltoHttpResponse response;
    response.connection = this;
    m_server->dispatch(m_request, response);
    if (response.adopter) {
        // The socket is the handler's now: nothing of ours may touch it again.
        const QByteArray received = m_request.raw + m_request.body;
        m_socket->disconnect(this);
        m_socket->setParent(nullptr);
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        finish();
        response.adopter(socket, received);
        return;
    }
    if (!response.deferred)
        answer(response);
}

void ZeltoHttpConnection::answer(const ZeltoHttpResponse &response)
{
    if (m_state == State::Writing || m_state == State::Done)
        return;
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + ZeltoHttpHead::reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto &header : response.headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (m_request.method != "HEAD")
        out += response.body;
    m_state = State::Writing;
    releaseRequest();
    m_timer.start(m_server->requestTimeout());
    m_socket->write(out);
    // Closes once everything is written; disconnected() follows.
    m_socket->disconnectFromHost();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        finish();
}

void ZeltoHttpConnection::fail(int status, const QByteArray &text)
{
    ZeltoHttpResponse response;
    response.setText(status, text);
    answer(response);
}

bool ZeltoHttpConnection::account(qint64 bytes)
{
    if (m_server->requestBuffers()->hold(m_bufferId, bytes))
        return true;
    // This connection held most: closed without an answer, as its client
    // may well never read one.
    abort();
    return false;
}

void ZeltoHttpConnection::releaseRequest()
{
    m_request.body = QByteArray();
    m_received = QByteArray();
    m_server->requestBuffers()->leave(m_bufferId);
}

void ZeltoHttpConnection::releasePlaces()
{
    releaseRequest();
    if (m_counted) {
        ZeltoAddressCap::global()->release(m_request.peer);
        m_counted = false;
    }
}

void ZeltoHttpConnection::onDisconnected()
{
    finish();
}

void ZeltoHttpConnection::onTimeout()
{
    // Half a request that stops coming gets 408; a silent peer or one that
    // does not take its answer is simply cut off.
    if (m_state == State::Reading && (!m_received.isEmpty() || m_head.state == ZeltoHttpHead::Complete)) {
        fail(408, "Request not received in time\n");
        return;
    }
    abort();
}

void ZeltoHttpConnection::finish()
{
    if (m_state == State::Done)
        return;
    m_state = State::Done;
    m_timer.stop();
    releasePlaces();
    if (m_socket)
        m_socket->disconnect(this);
    emit done(this);
}
