#include "zeltoclient.h"

#include "zeltojsonreader.h"
#include "zeltorpcmessage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpSocket>

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ZeltoClient", text);
}

// Replies may carry whole archives; anything beyond this is not a reply of ours.
const qint64 kMaxReplySize = 4 * ZeltoRpcMessage::MaxMessageSize;

} // namespace

ZeltoClient::ZeltoClient() = default;

ZeltoClient::~ZeltoClient() = default;

bool ZeltoClient::fail(const QString &text, int code)
{
    m_errorCode = code;
    m_error = text;
    return false;
}

void ZeltoClient::connectToHost(const QString &host, quint16 port)
{
    // The socket belongs to the calling thread, which is the one that waits on it.
    m_socket.reset(new QTcpSocket);
    m_buffer.clear();
    m_scanned = 0;
    m_pendingId = 0;
    m_host = host;
    m_port = port;
    m_socket->connectToHost(host, port);
}

bool ZeltoClient::waitForConnected(int ms)
{
    if (!m_socket)
        return fail(tr("Не задан адрес сервера"));
    if (m_socket->state() == QAbstractSocket::ConnectedState || m_socket->waitForConnected(ms))
        return true;
    const QString reason = m_socket->error() == QAbstractSocket::SocketTimeoutError
        ? tr("превышено время ожидания (%1 мс)").arg(ms)
        : m_socket->errorString();
    return fail(tr("Не удалось подключиться к серверу %1:%2: %3").arg(m_host).arg(m_port).arg(reason));
}

bool ZeltoClient::isConnected() const
{
    return m_socket && m_socket->state() == QAbstractSocket::ConnectedState;
}

void ZeltoClient::disconnectFromHost()
{
    if (m_socket) {
        m_socket->disconnectFromHost();
        if (m_socket->state() != QAbstractSocket::UnconnectedState)
            m_socket->waitForDisconnected(1000);
    }
    m_socket.reset();
    m_pendingId = 0;
}

bool ZeltoClient::request(const QString &name, const QVariantList &params)
{
    m_result = QVariant();
    if (!isConnected())
        return fail(tr("Нет соединения с сервером"));
    QByteArray message;
    QString error;
    const qint64 id = m_nextId++;
    if (!ZeltoRpcMessage::request(id, name, params, message, &error, m_streamTables))
        return fail(tr("Параметры команды %1 не могут быть переданы: %2").arg(name, error));
    message += '\n';
    if (m_socket->write(message) != message.size())
        return fail(tr("Ошибка передачи запроса: %1").arg(m_socket->errorString()));
    m_pendingId = id;
    return true;
}

bool ZeltoClient::waitForResponse(int ms)
{
    if (!m_socket || m_pendingId == 0)
        return fail(tr("Нет запроса, ожидающего ответа"));
    QDeadlineTimer deadline(ms);
    while (m_socket->bytesToWrite() > 0) {
        if (!m_socket->waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 0))))
            break;
    }
    for (;;) {
        // A reply of megabytes arrives in many reads: each is searched once.
        const int end = m_buffer.indexOf('\n', m_scanned);
        m_scanned = end >= 0 ? 0 : m_buffer.size();
        if (end >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            if (line.trimmed().isEmpty())
                continue;
            // A reply to an earlier request that timed out is skipped.
            if (readReply(line)) {
                m_pendingId = 0;
                return m_errorCode == 0;
            }
            continue;
        }
        if (m_buffer.size() > kMaxReplySize) {
            disconnectFromHost();
            return fail(tr("Ответ сервера слишком велик"));
        }
        if (m_socket->state() != QAbstractSocket::ConnectedState && m_socket->bytesAvailable() == 0)
            return fail(tr("Соединение с сервером разорвано"));
        if (deadline.hasExpired())
            return fail(tr("Сервер не ответил за %1 мс").arg(ms));
        if (m_socket->bytesAvailable() == 0
            && !m_socket->waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1)))) {
            if (m_socket->state() != QAbstractSocket::ConnectedState)
                return fail(tr("Соединение с сервером разорвано"));
            if (deadline.hasExpired())
                return fail(tr("Сервер не ответил за %1 мс").arg(ms));
            continue;
        }
        m_buffer += m_socket->readAll();
    }
}

// True when the line answers the outstanding request; m_result or the error
// channel then hold its outcome.
bool ZeltoClient::readReply(const QByteArray &line)
{
    ZeltoJsonReader reader;
    reader.setStreamTables(m_streamTables);
    QVariant parsed;
    if (!reader.read(line, parsed) || parsed.userType() != QMetaType::QVariantMap) {
        fail(tr("Неверный ответ сервера: %1").arg(reader.errorString()), ZeltoRpcMessage::ParseError);
        return true;
    }
    const QVariantMap reply = parsed.toMap();
    const QVariant id = reply.value(QStringLiteral("id"));
    // A reply without id answers a request the server could not read at all.
    if (id.isValid() && id.toLongLong() != m_pendingId)
        return false;
    if (reply.contains(QStringLiteral("error"))) {
        const QVariantMap error = reply.value(QStringLiteral("error")).toMap();
        const int code = error.value(QStringLiteral("code")).toInt();
        fail(error.value(QStringLiteral("message")).toString(), code ? code : ZeltoRpcMessage::CommandFailed);
        return true;
    }
    m_errorCode = 0;
    m_result = reply.value(QStringLiteral("result"));
    return true;
}
