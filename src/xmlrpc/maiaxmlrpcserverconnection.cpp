#include "maiaxmlrpcserverconnection.h"

#include "maiaobject.h"
#include "qhttpresponseheader.h"
#include "zeltosystem.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {

// What the socket buffers beyond what is read: a client that sends more
// than its request is held back by TCP instead of filling memory.
const qint64 kSocketBufferSize = 1024 * 1024;

} // namespace

MaiaXmlRpcServerConnection::MaiaXmlRpcServerConnection(QTcpSocket *socket, int timeoutMs, QObject *parent)
    : QObject(parent), m_socket(socket), m_timeoutMs(timeoutMs)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(kSocketBufferSize);
    connect(m_socket, &QTcpSocket::readyRead, this, &MaiaXmlRpcServerConnection::readFromSocket);
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    // While answering, every chunk the client takes restarts the clock:
    // a slow reader is served, one that stopped reading is let go.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_state == Answering)
            m_timer.start();
    });
    m_timer.setSingleShot(true);
    m_timer.setInterval(m_timeoutMs);
    connect(&m_timer, &QTimer::timeout, this, &MaiaXmlRpcServerConnection::onTimeout);
    m_timer.start();
}

QString MaiaXmlRpcServerConnection::peerAddress() const
{
    QHostAddress address = m_socket->peerAddress();
    bool mapped = false;
    const QHostAddress ipv4(address.toIPv4Address(&mapped));
    return mapped ? ipv4.toString() : address.toString();
}

QByteArray MaiaXmlRpcServerConnection::takeBody()
{
    QByteArray body;
    body.swap(m_body);
    return body;
}

void MaiaXmlRpcServerConnection::readFromSocket()
{
    if (m_state == ReadingHeader && !readHeader())
        return;
    if (m_state == ReadingBody)
        readBody();
}

bool MaiaXmlRpcServerConnection::readHeader()
{
    while (m_socket->canReadLine()) {
        const QString line = QString::fromLatin1(m_socket->readLine(kMaxHeaderSize + 1));
        m_headerText += line;
        if (m_headerText.size() > kMaxHeaderSize) {
            drop("Header too large");
            return false;
        }
        if (line != QLatin1String("\r\n"))
            continue;

        m_header = QHttpRequestHeader(m_headerText);
        if (m_header.method() == QLatin1String("OPTIONS")) {
            sendPreflight();
            return false;
        }
        if (!m_header.isValid()) {
            drop("Invalid Header");
            return false;
        }
        if (m_header.method() != QLatin1String("POST")) {
            drop("No Post!");
            return false;
        }
        QStringList lengths = m_header.values(QStringLiteral("Content-Length"));
        lengths.removeDuplicates();
        bool ok = false;
        m_contentLength = lengths.value(0).toLongLong(&ok);
        // Two lengths that disagree leave the end of the body in doubt.
        if (!ok || m_contentLength <= 0 || lengths.size() > 1) {
            drop("No Content Length");
            return false;
        }
        if (m_contentLength > kMaxBodySize) {
            m_state = Waiting;
            answer(MaiaObject::fault(MaiaFault::InvalidRequest,
                                     QStringLiteral("server error: request body over %1 MiB")
                                         .arg(kMaxBodySize / (1024 * 1024))));
            return false;
        }
        m_state = ReadingBody;
        m_body.reserve(int(qMin<qint64>(m_contentLength, kSocketBufferSize)));
        // Clients that wait for leave to send a body get it.
        if (m_header.value(QStringLiteral("Expect")).compare(QLatin1String("100-continue"), Qt::CaseInsensitive) == 0
            && m_socket->bytesAvailable() < m_contentLength)
            m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        return true;
    }
    // A line longer than any header may be never ends.
    if (m_socket->bytesAvailable() > kMaxHeaderSize)
        drop("Header too large");
    return false;
}

void MaiaXmlRpcServerConnection::readBody()
{
    m_body += m_socket->read(m_contentLength - m_body.size());
    if (m_body.size() < m_contentLength)
        return;
    // Whatever follows the body is not read: one request per connection.
    m_state = Waiting;
    m_timer.stop();
    emit requestReady(this);
}

void MaiaXmlRpcServerConnection::sendPreflight()
{
    QHttpResponseHeader header(200, QStringLiteral("Ok"));
    header.setValue(QStringLiteral("Access-Control-Allow-Origin"), QStringLiteral("*"));
    header.setValue(QStringLiteral("Access-Control-Allow-Methods"), QStringLiteral("POST"));
    header.setValue(QStringLiteral("Access-Control-Allow-Headers"), QStringLiteral("content-type"));
    send(header.toString().toUtf8());
}

void MaiaXmlRpcServerConnection::answer(const QByteArray &document)
{
    QHttpResponseHeader header(200, QStringLiteral("Ok"));
    header.setValue(QStringLiteral("Server"), QStringLiteral("MaiaXmlRpc/0.1"));
    header.setValue(QStringLiteral("Access-Control-Allow-Origin"), QStringLiteral("*"));
    header.setValue(QStringLiteral("Content-Type"), QStringLiteral("text/xml"));
    header.setValue(QStringLiteral("Connection"), QStringLiteral("close"));
    send(header.toString().toUtf8() + document);
}

void MaiaXmlRpcServerConnection::send(const QByteArray &bytes)
{
    if (m_state == Closed || m_state == Answering)
        return;
    m_state = Answering;
    m_socket->write(bytes);
    m_timer.start();
    // Closes once the bytes are out; disconnected then deletes this.
    m_socket->disconnectFromHost();
}

void MaiaXmlRpcServerConnection::drop(const char *why)
{
    ZeltoSystem::instance()->log(ZeltoSystem::LogDebug, QLatin1String(why));
    m_state = Closed;
    m_timer.stop();
    m_socket->abort();
    deleteLater();
}

void MaiaXmlRpcServerConnection::onTimeout()
{
    drop(m_state == Answering ? "Answer not taken in time" : "Request not complete in time");
}
