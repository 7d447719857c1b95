#include "zeltowebconnection.h"

#include "zeltorpcmessage.h"

#include <QCryptographicHash>
#include <QHash>
#include <QTcpSocket>
#include <QtEndian>

namespace {

const qsizetype kMaxHandshakeSize = 16 * 1024;
const char kAcceptSuffix[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

enum Opcode { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

const quint16 kCloseNormal = 1000;
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

ZeltoWebConnection::ZeltoWebConnection(int id, QTcpSocket *socket, const QStringList &allowedOrigins,
                                       QObject *parent)
    : ZeltoServerConnection(id, socket, parent), m_allowedOrigins(allowedOrigins)
{
}

void ZeltoWebConnection::send(const QByteArray &message)
{
    if (isClosed() || m_state == State::Handshake || socket()->state() != QAbstractSocket::ConnectedState)
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
    while (acceptsMessages()) {
        switch (m_state) {
        case State::Handshake:
            if (!parseHandshake())
                return;
            break;
        case State::Header:
            if (!parseHeader())
                return;
            break;
        case State::Payload:
            if (m_remaining > 0 && bufferedSize() == 0)
                return;
            parsePayload();
            break;
        }
    }
}

bool ZeltoWebConnection::parseHandshake()
{
    const QByteArray view = QByteArray::fromRawData(buffered(), int(bufferedSize()));
    const int end = view.indexOf("\r\n\r\n");
    if (end < 0) {
        if (bufferedSize() > kMaxHandshakeSize)
            refuseUpgrade("431 Request Header Fields Too Large");
        return false;
    }
    const QList<QByteArray> lines = QByteArray(buffered(), end).split('\n');
    QHash<QByteArray, QByteArray> headers;
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon <= 0)
            continue;
        QByteArray &value = headers[lines.at(i).left(colon).trimmed().toLower()];
        value += (value.isEmpty() ? "" : ",") + lines.at(i).mid(colon + 1).trimmed();
    }
    const QByteArray requestLine = lines.value(0).trimmed();
    const QByteArray key = headers.value("sec-websocket-key");
    if (headers.value("sec-websocket-version") != "13") {
        refuseUpgrade("426 Upgrade Required", "Sec-WebSocket-Version: 13\r\n");
        return false;
    }
    if (!requestLine.startsWith("GET ") || !requestLine.endsWith(" HTTP/1.1") || key.isEmpty()
        || !hasToken(headers.value("upgrade"), "websocket") || !hasToken(headers.value("connection"), "upgrade")) {
        refuseUpgrade("400 Bad Request");
        return false;
    }
    if (!originAllowed(headers.value("origin"), headers.value("host"), m_allowedOrigins)) {
        refuseUpgrade("403 Forbidden", "Content-Type: text/plain\r\n", "Forbidden: the page is not from this server\n");
        return false;
    }
    const QByteArray accept = QCryptographicHash::hash(key + kAcceptSuffix, QCryptographicHash::Sha1).toBase64();
    socket()->write("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Accept: " + accept + "\r\n\r\n");
    consume(end + 4);
    m_state = State::Header;
    return true;
}

void ZeltoWebConnection::refuseUpgrade(const QByteArray &status, const QByteArray &headers, const QByteArray &body)
{
    socket()->write("HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    closeSocket();
}

bool ZeltoWebConnection::parseHeader()
{
    const auto *p = reinterpret_cast<const uchar *>(buffered());
    const qsizetype size = bufferedSize();
    if (size < 2)
        return false;
    // The first two bytes are judged at once: a client that sends an
    // unmasked frame may well not send the four bytes of a mask after it.
    const bool reservedBits = p[0] & 0x70;
    const bool masked = p[1] & 0x80;
    if (reservedBits || !masked) {
        protocolError();
        return false;
    }
    const int lengthCode = p[1] & 0x7F;
    const qsizetype lengthBytes = lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0;
    const qsizetype headerSize = 2 + lengthBytes + 4;
    if (size < headerSize)
        return false;
    const int opcode = p[0] & 0x0F;
    const bool control = opcode & 0x8;
    quint64 length = quint64(lengthCode);
    if (lengthCode == 126)
        length = qFromBigEndian<quint16>(p + 2);
    else if (lengthCode == 127)
        length = qFromBigEndian<quint64>(p + 2);
    m_final = p[0] & 0x80;
    if (length >> 63) {
        protocolError();
        return false;
    }
    if (control) {
        if (!m_final || length > 125 || (opcode != Close && opcode != Ping && opcode != Pong)) {
            protocolError();
            return false;
        }
    } else {
        // A data frame continues the message begun, or begins one.
        const bool continues = opcode == Continuation;
        if ((opcode != Continuation && opcode != Text && opcode != Binary) || continues != (m_messageOpcode != 0)) {
            protocolError();
            return false;
        }
        if (quint64(m_message.size()) + length > quint64(ZeltoRpcMessage::MaxMessageSize)) {
            receivedOversize();
            return false;
        }
        if (!continues)
            m_messageOpcode = opcode;
    }
    m_opcode = opcode;
    std::copy(p + 2 + lengthBytes, p + headerSize, m_mask);
    m_remaining = length;
    m_maskOffset = 0;
    consume(headerSize);
    m_state = State::Payload;
    return true;
}

void ZeltoWebConnection::parsePayload()
{
    const qsizetype count = qsizetype(qMin(m_remaining, quint64(bufferedSize())));
    QByteArray &target = (m_opcode & 0x8) ? m_control : m_message;
    const qsizetype old = target.size();
    target.resize(int(old + count));
    const char *from = buffered();
    char *to = target.data() + old;
    for (qsizetype i = 0; i < count; ++i)
        to[i] = char(from[i] ^ m_mask[(m_maskOffset + quint64(i)) & 3]);
    consume(count);
    m_remaining -= quint64(count);
    m_maskOffset += quint64(count);
    if (m_remaining == 0)
        frameDone();
}

void ZeltoWebConnection::frameDone()
{
    m_state = State::Header;
    switch (m_opcode) {
    case Close:
        closeWith(m_control.size() >= 2 ? qFromBigEndian<quint16>(m_control.constData()) : kCloseNormal);
        break;
    case Ping:
        writeFrame(Pong, m_control);
        break;
    case Pong:
        break;
    default:
        if (m_final) {
            received(m_message);
            m_message = QByteArray();
            m_messageOpcode = 0;
        }
        break;
    }
    m_control.clear();
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
}

void ZeltoWebConnection::closeWith(quint16 code)
{
    if (m_state != State::Handshake && socket()->state() == QAbstractSocket::ConnectedState) {
        uchar bytes[2];
        qToBigEndian<quint16>(code, bytes);
        writeFrame(Close, QByteArray(reinterpret_cast<const char *>(bytes), 2));
    }
    closeSocket();
}
