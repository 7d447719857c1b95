#include "maiaxmlrpcserver.h"

#include "database.h"
#include "maiafault.h"
#include "maiaobject.h"
#include "maiaxmlrpcserverconnection.h"
#include "zeltoserver.h"
#include "zeltosystem.h"

#include <QMetaMethod>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const int kMaxParams = 10;
// How long a call waits before it looks again whether the server's other
// work is done.
const int kBusyRetryMs = 20;

} // namespace

MaiaXmlRpcServer::MaiaXmlRpcServer(const QHostAddress &address, quint16 port, QObject *parent)
    : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &MaiaXmlRpcServer::onNewConnection);
    m_server->listen(address, port);
}

bool MaiaXmlRpcServer::isListening() const
{
    return m_server->isListening();
}

quint16 MaiaXmlRpcServer::serverPort() const
{
    return m_server->serverPort();
}

QString MaiaXmlRpcServer::errorString() const
{
    return m_server->errorString();
}

void MaiaXmlRpcServer::addMethod(const QString &method, QObject *responder, const char *slot)
{
    m_responders.insert(method, responder);
    m_slots.insert(method, QByteArray(slot));
}

void MaiaXmlRpcServer::getMethod(const QString &method, QObject **responder, const char **slot)
{
    const auto found = m_slots.constFind(method);
    if (found == m_slots.constEnd() || !m_responders.value(method)) {
        *responder = nullptr;
        *slot = nullptr;
        return;
    }
    *responder = m_responders.value(method);
    *slot = found->constData();
}

void MaiaXmlRpcServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_connectionCount >= kMaxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new MaiaXmlRpcServerConnection(socket, m_timeoutMs, this);
        ++m_connectionCount;
        connect(connection, &QObject::destroyed, this, [this] { --m_connectionCount; });
        connect(connection, &MaiaXmlRpcServerConnection::requestReady, this, &MaiaXmlRpcServer::onRequestReady);
        // Bytes that came with the connection are read as soon as the event loop turns.
        if (socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(connection, "readFromSocket", Qt::QueuedConnection);
    }
}

void MaiaXmlRpcServer::onRequestReady(MaiaXmlRpcServerConnection *connection)
{
    m_ready.enqueue(connection);
    scheduleNext(0);
}

void MaiaXmlRpcServer::scheduleNext(int delayMs)
{
    if (m_scheduled)
        return;
    m_scheduled = true;
    QTimer::singleShot(delayMs, this, &MaiaXmlRpcServer::runNext);
}

bool MaiaXmlRpcServer::serverBusy()
{
    return ZeltoServer::global()->clientId() >= 0 || Database::inTransaction();
}

void MaiaXmlRpcServer::runNext()
{
    m_scheduled = false;
    if (m_ready.isEmpty())
        return;
    if (serverBusy() || m_running) {
        scheduleNext(kBusyRetryMs);
        return;
    }
    // One call per turn of the event loop: the RPC clients get theirs between.
    const QPointer<MaiaXmlRpcServerConnection> connection = m_ready.dequeue();
    if (connection) {
        m_running = true;
        m_currentPeer = connection->peerAddress();
        const QByteArray answer = handle(connection->takeBody());
        m_currentPeer = QString();
        m_running = false;
        if (connection)
            connection->answer(answer);
    }
    if (!m_ready.isEmpty())
        scheduleNext(0);
}

QByteArray MaiaXmlRpcServer::handle(const QByteArray &body)
{
    QString method;
    QVariantList params;
    MaiaFault fault;
    if (!MaiaObject::readCall(body, method, params, fault))
        return MaiaObject::fault(fault);

    QObject *responder = nullptr;
    const char *slot = nullptr;
    getMethod(method, &responder, &slot);
    if (!responder)
        return MaiaObject::fault(MaiaFault::MethodNotFound, QStringLiteral("server error: requested method not found"));

    const MaiaFault invalidParams(MaiaFault::InvalidParams, QStringLiteral("server error: invalid method parameters"));
    if (params.size() > kMaxParams)
        return MaiaObject::fault(invalidParams);
    QByteArray signature = QByteArray(slot) + '(';
    for (int i = 0; i < params.size(); ++i) {
        // A value that could not be read has no type, and no slot takes it.
        if (!params.at(i).isValid())
            return MaiaObject::fault(invalidParams);
        if (i > 0)
            signature += ',';
        signature += params.at(i).typeName();
    }
    signature += ')';
    const QMetaObject *meta = responder->metaObject();
    const int index = meta->indexOfMethod(QMetaObject::normalizedSignature(signature.constData()).constData());
    if (index < 0 || meta->method(index).returnType() != QMetaType::QVariant)
        return MaiaObject::fault(invalidParams);

    QGenericArgument args[kMaxParams];
    for (int i = 0; i < params.size(); ++i)
        args[i] = QGenericArgument(params.at(i).typeName(), params.at(i).constData());
    QVariant result;
    if (!meta->method(index).invoke(responder, Qt::DirectConnection, Q_RETURN_ARG(QVariant, result), args[0], args[1],
                                    args[2], args[3], args[4], args[5], args[6], args[7], args[8], args[9]))
        return MaiaObject::fault(invalidParams);
    if (MaiaFault::isFault(result))
        return MaiaObject::fault(result.value<MaiaFault>());
    return MaiaObject::response(result);
}
