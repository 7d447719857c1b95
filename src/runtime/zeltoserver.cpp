#include "zeltoserver.h"

#include "zeltobusyguard.h"
#include "zeltorpcdispatcher.h"
#include "zeltosystem.h"
#include "zeltotcpconnection.h"
#include "zeltowebconnection.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// How long one turn of request processing may hold the event loop before
// letting socket events in again.
const int kTurnBudgetMs = 50;


} // namespace

ZeltoServer::ZeltoServer(QObject *parent) : QObject(parent) {}

ZeltoServer *ZeltoServer::global()
{
    // Lives as long as the process: commands and the session store refer to it.
    static ZeltoServer *server = new ZeltoServer;
    return server;
}

bool ZeltoServer::listenTcp(quint16 port, const QHostAddress &address)
{
    if (!m_tcp) {
        m_tcp = new QTcpServer(this);
        connect(m_tcp, &QTcpServer::newConnection, this, &ZeltoServer::onTcpConnection);
    }
    m_tcp->close();
    if (!m_tcp->listen(address, port)) {
        const QString text = tr("Не удалось открыть порт TCP %1: %2").arg(port).arg(m_tcp->errorString());
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, text);
        emit errorMessage(text);
        return ZeltoSystem::instance()->error(text, false);
    }
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo, tr("Сервер RPC слушает порт TCP %1").arg(m_tcp->serverPort()));
    return true;
}

bool ZeltoServer::listenWeb(quint16 port, const QHostAddress &address)
{
    if (!m_web) {
        m_web = new QWebSocketServer(QStringLiteral("Orvex"), QWebSocketServer::NonSecureMode, this);
        connect(m_web, &QWebSocketServer::newConnection, this, &ZeltoServer::onWebConnection);
    }
    m_web->close();
    if (!m_web->listen(address, port)) {
        const QString text = tr("Не удалось открыть порт WebSocket %1: %2").arg(port).arg(m_web->errorString());
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, text);
        emit errorMessage(text);
        return ZeltoSystem::instance()->error(text, false);
    }
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                 tr("Сервер RPC слушает порт WebSocket %1").arg(m_web->serverPort()));
    return true;
}

quint16 ZeltoServer::tcpPort() const
{
    return m_tcp && m_tcp->isListening() ? m_tcp->serverPort() : 0;
}

quint16 ZeltoServer::webPort() const
{
    return m_web && m_web->isListening() ? m_web->serverPort() : 0;
}

void ZeltoServer::close()
{
    if (m_tcp)
        m_tcp->close();
    if (m_web)
        m_web->close();
    const auto connections = m_connections.values();
    for (ZeltoServerConnection *connection : connections) {
        m_connections.remove(connection->id());
        connection->disconnect(this);
        emit disconnected(connection->id());
        connection->deleteLater();
    }
    m_ready.clear();
}

void ZeltoServer::withholdReply()
{
    m_withholdReply = true;
}

void ZeltoServer::onTcpConnection()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection())
        adopt(new ZeltoTcpConnection(m_nextClientId++, socket, this));
}

void ZeltoServer::onWebConnection()
{
    while (QWebSocket *socket = m_web->nextPendingConnection())
        adopt(new ZeltoWebConnection(m_nextClientId++, socket, this));
}

void ZeltoServer::adopt(ZeltoServerConnection *connection)
{
    m_connections.insert(connection->id(), connection);
    connect(connection, &ZeltoServerConnection::messageReady, this, &ZeltoServer::onMessageReady);
    connect(connection, &ZeltoServerConnection::closed, this, &ZeltoServer::onClosed);
    emit connected(connection->id());
}

void ZeltoServer::onMessageReady(ZeltoServerConnection *connection)
{
    if (!m_ready.contains(connection->id()))
        m_ready.enqueue(connection->id());
    processQueue();
}

void ZeltoServer::onClosed(ZeltoServerConnection *connection)
{
    const int id = connection->id();
    if (!m_connections.remove(id))
        return;
    m_ready.removeAll(id);
    connection->deleteLater();
    emit disconnected(id);
}

void ZeltoServer::processQueue()
{
    // A command that spins an event loop must not start the next request
    // underneath itself: the outer turn picks it up afterwards.
    if (m_processing)
        return;
    // Nor inside other work that turns the event loop (a save running a
    // check script): the requests wait until it has ended.
    if (ZeltoBusyGuard::isBusy()) {
        if (!m_waitingForIdle) {
            m_waitingForIdle = true;
            ZeltoBusyGuard::defer(this, [this]() {
                m_waitingForIdle = false;
                processQueue();
            });
        }
        return;
    }
    m_processing = true;
    ZeltoRpcDispatcher dispatcher;
    QElapsedTimer turn;
    turn.start();
    while (!m_ready.isEmpty()) {
        if (turn.elapsed() > kTurnBudgetMs) {
            if (!m_continuationPosted) {
                m_continuationPosted = true;
                QMetaObject::invokeMethod(this, [this]() {
                    m_continuationPosted = false;
                    processQueue();
                }, Qt::QueuedConnection);
            }
            break;
        }
        const int id = m_ready.dequeue();
        ZeltoServerConnection *connection = m_connections.value(id);
        if (!connection || !connection->hasPending())
            continue;
        const QByteArray message = connection->takePending();
        QByteArray reply;
        m_currentClient = id;
        m_withholdReply = false;
        bool answer = false;
        {
            // Deferred work (a finished polling run) waits for the command.
            ZeltoBusyGuard busy;
            answer = dispatcher.handle(message, reply) && !m_withholdReply;
        }
        m_currentClient = -1;
        // The command may have run an event loop in which the client left.
        connection = m_connections.value(id);
        if (!connection)
            continue;
        if (answer)
            connection->send(reply);
        if (connection->hasPending())
            m_ready.enqueue(id);
    }
    m_processing = false;
}
