#include "zeltowebconnection.h"

#include "zeltohostnames.h"
#include "zeltohttphead.h"
#include "zeltorpcmessage.h"

#include <QCryptographicHash>
#include <QTcpSocket>
#include <QtEndian>

namespace {

const char kAcceptSuffix[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

enum Opcode { Text = 0x1, Close = 0x8, Pong = 0xA };

const quint16 kCloseProtocolError = 1002;
const quint16 kCloseTooBig = 1009;

bool hasToken(const QByteArray &value, const QByteArray &token)
{
    for (const QByteArray &part : value.split(','))
        if (part.trimmed().toLower() == token)
            return true;
    return false;
}

// A browser names the page that opens a WebSocket in Origin. Sessions
// belong to connections, not cookies, and a server may let anonymous
// connections do everything: a page of another site that an operator
// happens to open must not reach the server through the browser. Clients
// that are not browsers send no Origin.
bool originAllowed(const QByteArray &origin, const QByteArray &host, const QStringList &allowed)
{
    if (origin.isEmpty())
        return true;
    const int scheme = origin.indexOf("://");
    if (scheme > 0 && origin.mid(scheme + 3).toLower() == host.toLower())
        return true;
    return allowed.contains(QString::fromLatin1(origin), Qt::CaseInsensitive);
}

} // namespace

ZeltoWebConnection::ZeltoWebConnection(int id, QTcpSocket *socket, ZeltoRequestBuffers *buffers,
                                       const QStringList &allowedOrigins, int handshakeTimeoutMs, QObject *parent)
    : ZeltoServerConnection(id, socket, buffers, parent), m_allowedOrigins(allowedOrigins),
      m_frames(ZeltoRpcMessage::MaxMessageSize)
{
    // Bytes that never make an upgrade request do not hold the connection open.
    m_handshakeTimer.setSingleShot(true);
    connect(&m_handshakeTimer, &QTimer::timeout, this, &ZeltoWebConnection::onHandshakeTimeout);
    m_handshakeTimer.start(handshakeTimeoutMs);
}

void ZeltoWebConnection::send(const QByteArray &message)
{
    if (isClosed() || !m_upgraded || socket()->state() != QAbstractSocket::ConnectedState)
        return;
    writeFrame(Text, message);
}

void ZeltoWebConnection::refuse(const QByteArray &message)
{
    send(message);
    closeWith(kCloseTooBig);
}

void ZeltoWebConnection::parse()
{
    if (!m_upgraded && !parseHandshake())
        return;
    while (acceptsMessages()) {
        qint64 consumed = 0;
        const ZeltoWebFrameReader::Event event = m_frames.read(buffered(), bufferedSize(), consumed);
        consume(consumed);
        switch (event) {
        case ZeltoWebFrameReader::NeedMore:
            return;
        case ZeltoWebFrameReader::Message:
            received(m_frames.takeMessage());
            break;
        case ZeltoWebFrameReader::Ping:
            writeFrame(Pong, m_frames.payload());
            break;
        case ZeltoWebFrameReader::Pong:
            break;
        case ZeltoWebFrameReader::Close:
            closeWith(m_frames.closeCode());
            return;
        case ZeltoWebFrameReader::ProtocolError:
            closeWith(kCloseProtocolError);
            return;
        case ZeltoWebFrameReader::TooBig:
            receivedOversize();
            return;
        }
    }
}

bool ZeltoWebConnection::parseHandshake()
{
    const QByteArray view = QByteArray::fromRawData(buffered(), int(bufferedSize()));
    // An upgrade request has no body.
    const ZeltoHttpHead head = ZeltoHttpHead::parse(view, 0, ZeltoHttpHead::DefaultMaxHeadSize, qMax(0, m_scanned - 3));
    m_scanned = view.size();
    if (head.state == ZeltoHttpHead::Incomplete)
        return false;
    if (head.state == ZeltoHttpHead::Refused) {
        refuseUpgrade(QByteArray::number(head.status) + ' ' + ZeltoHttpHead::reasonPhrase(head.status));
        return false;
    }
    const ZeltoHttpRequest &request = head.request;
    const QByteArray key = request.header("sec-websocket-key");
    const QByteArray origin = request.header("origin");
    // A browser's request for a name that is not ours may come from a page
    // that an attacker's name points here (DNS rebinding).
    if (!origin.isEmpty() && !ZeltoHostNames::global()->allows(request.header("host"))) {
        ZeltoHostNames::reportRefused(request.header("host"), peerAddress());
        refuseUpgrade("421 Misdirected Request");
        return false;
    }
    if (request.header("sec-websocket-version") != "13") {
        refuseUpgrade("426 Upgrade Required", "Sec-WebSocket-Version: 13\r\n");
        return false;
    }
    if (request.method != "GET" || head.http10 || key.isEmpty() || !hasToken(request.header("upgrade"), "websocket")
        || !hasToken(request.header("connection"), "upgrade")) {
        refuseUpgrade("400 Bad Request");
        return false;
    }
    if (!originAllowed(origin, request.header("host"), m_allowedOrigins)) {
        refuseUpgrade("403 Forbidden", "Content-Type: text/plain\r\n", "Forbidden: the page is not from this server\n");
        return false;
    }
    const QByteArray accept = QCryptographicHash::hash(key + kAcceptSuffix, QCryptographicHash::Sha1).toBase64();
    socket()->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " + accept + "\r\n\r\n");
    consume(head.size);
    m_handshakeTimer.stop();
    m_upgraded = true;
    return true;
}

void ZeltoWebConnection::refuseUpgrade(const QByteArray &status, const QByteArray &headers, const QByteArray &body)
{
    m_handshakeTimer.stop();
    socket()->write("HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    closeSocket();
}

void ZeltoWebConnection::onHandshakeTimeout()
{
    if (isClosed() || m_upgraded)
        return;
    // Half a request that stops coming gets 408; a silent peer is simply cut off.
    if (bufferedSize() > 0)
        refuseUpgrade("408 Request Timeout");
    else
        abort();
}

void ZeltoWebConnection::writeFrame(int opcode, const QByteArray &payload)
{
    QByteArray header(1, char(0x80 | opcode));
    const quint64 length = quint64(payload.size());
    if (length < 126) {
        header += char(length);
    } else if (length <= 0xFFFF) {
        header += char(126);
        uchar bytes[2];
        qToBigEndian<quint16>(quint16(length), bytes);
        header.append(reinterpret_cast<const char *>(bytes), 2);
    } else {
        header += char(127);
        uchar bytes[8];
        qToBigEndian<quint64>(length, bytes);
        header.append(reinterpret_cast<const char *>(bytes), 8);
    }
    socket()->write(header);
    socket()->write(payload);
    // Sent now, as on TCP (ZeltoTcpConnection::send).
    socket()->flush();
}

void ZeltoWebConnection::closeWith(quint16 code)
{
    if (m_upgraded && socket()->state() == QAbstractSocket::ConnectedState) {
        uchar bytes[2];
        qToBigEndian<quint16>(code, bytes);
        writeFrame(Close, QByteArray(reinterpret_cast<const char *>(bytes), 2));
    }
    closeSocket();
}
