#include "zeltohttpconnection.h"

#include "zeltohttpserver.h"

#include <QTcpSocket>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return status >= 200 && status < 300 ? "OK" : "Error";
    }
}

// A method is a token: letters only in practice; anything else is not HTTP.
bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

} // namespace

ZeltoHttpConnection::ZeltoHttpConnection(QTcpSocket *socket, ZeltoHttpServer *server)
    : QObject(server), m_socket(socket), m_server(server)
{
    m_socket->setParent(this);
    m_request.peer = m_socket->peerAddress();
    // What Qt reads ahead is bounded too; the rest waits in the kernel.
    m_socket->setReadBufferSize(ZeltoHttpServer::MaxHeadSize + ZeltoHttpServer::MaxBodySize);
    connect(m_socket, &QTcpSocket::readyRead, this, &ZeltoHttpConnection::onReadyRead);
    connect(m_socket, &QTcpSocket::disconnected, this, &ZeltoHttpConnection::onDisconnected);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &ZeltoHttpConnection::onTimeout);
    m_timer.start(m_server->requestTimeout());
    if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &ZeltoHttpConnection::onReadyRead, Qt::QueuedConnection);
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
    if (m_state == State::Writing) {
        m_socket->readAll();
        return;
    }
    if (m_state != State::Reading)
        return;
    // Never more than the request may hold: one request per connection.
    const qint64 limit = m_bodyStart >= 0 ? m_bodyStart + m_bodySize : ZeltoHttpServer::MaxHeadSize + 4;
    m_request.raw += m_socket->read(limit - m_request.raw.size());
    if (!parse())
        return;
    ZeltoHttpResponse response;
    m_server->dispatch(m_request, response);
    if (response.adopter) {
        // The socket is the handler's now: nothing of ours may touch it again.
        m_timer.stop();
        m_socket->disconnect(this);
        m_socket->setParent(nullptr);
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        m_state = State::Done;
        emit done(this);
        response.adopter(socket, m_request.raw);
        return;
    }
    answer(response);
}

bool ZeltoHttpConnection::parse()
{
    if (m_bodyStart < 0) {
        const int headEnd = m_request.raw.indexOf("\r\n\r\n");
        if (headEnd < 0) {
            if (m_request.raw.size() > ZeltoHttpServer::MaxHeadSize)
                fail(431, "Request head too large\n");
            return false;
        }
        if (headEnd + 4 > ZeltoHttpServer::MaxHeadSize) {
            fail(431, "Request head too large\n");
            return false;
        }
        if (!parseHead(headEnd))
            return false;
        m_bodyStart = headEnd + 4;
        // Bytes read past the head belong to the body, or are dropped.
        if (m_request.raw.size() > m_bodyStart + m_bodySize)
            m_request.raw.truncate(int(m_bodyStart + m_bodySize));
        if (m_request.raw.size() < m_bodyStart + m_bodySize)
            m_request.raw += m_socket->read(m_bodyStart + m_bodySize - m_request.raw.size());
    }
    if (m_request.raw.size() < m_bodyStart + m_bodySize)
        return false;
    m_request.body = m_request.raw.mid(m_bodyStart);
    return true;
}

bool ZeltoHttpConnection::parseHead(int headEnd)
{
    const QList<QByteArray> lines = m_request.raw.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    if (requestLine.size() != 3 || !isToken(requestLine.at(0)) || !requestLine.at(1).startsWith('/')) {
        fail(400, "Malformed request line\n");
        return false;
    }
    if (requestLine.at(2) != "HTTP/1.1" && requestLine.at(2) != "HTTP/1.0") {
        fail(505, "Only HTTP/1.0 and HTTP/1.1 are served\n");
        return false;
    }
    m_request.method = requestLine.at(0);
    const QByteArray target = requestLine.at(1);
    const int question = target.indexOf('?');
    m_request.path = question < 0 ? target : target.left(question);
    m_request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).endsWith('\r') ? lines.at(i).chopped(1) : lines.at(i);
        const int colon = line.indexOf(':');
        // Folded lines and names with blanks are refused, as RFC 9112 asks.
        if (colon <= 0 || line.startsWith(' ') || line.startsWith('\t') || line.left(colon).contains(' ')) {
            fail(400, "Malformed header line\n");
            return false;
        }
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        QByteArray &slot = m_request.headers[name];
        slot = slot.isEmpty() ? value : slot + ", " + value;
    }
    if (m_request.headers.contains("transfer-encoding")) {
        fail(411, "Send the body with Content-Length\n");
        return false;
    }
    if (m_request.headers.contains("content-length")) {
        bool ok = false;
        const QByteArray text = m_request.headers.value("content-length");
        m_bodySize = text.toLongLong(&ok);
        if (!ok || m_bodySize < 0 || text.contains(',') || text.startsWith('+')) {
            fail(400, "Malformed Content-Length\n");
            return false;
        }
        if (m_bodySize > ZeltoHttpServer::MaxBodySize) {
            fail(413, "Request body too large\n");
            return false;
        }
    }
    return true;
}

void ZeltoHttpConnection::answer(const ZeltoHttpResponse &response)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    for (const auto &header : response.headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (m_request.method != "HEAD")
        out += response.body;
    m_state = State::Writing;
    // A peer that never reads its answer is cut off when this runs out.
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

void ZeltoHttpConnection::onDisconnected()
{
    finish();
}

void ZeltoHttpConnection::onTimeout()
{
    // Half a request that stops coming gets 408; a silent peer or one that
    // does not read its answer is simply cut off.
    if (m_state == State::Reading && !m_request.raw.isEmpty()) {
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
    m_socket->disconnect(this);
    emit done(this);
}
