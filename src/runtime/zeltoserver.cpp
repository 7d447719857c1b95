#include "zeltoserver.h"

#include "zeltoaddresscap.h"
#include "zeltobusyguard.h"
#include "zeltoclock.h"
#include "zeltopeeraddress.h"
#include "zeltometrics.h"
#include "zeltorpcdispatcher.h"
#include "zeltorefusals.h"
#include "zeltorpcmessage.h"
#include "zeltosystem.h"
#include "zeltotcpconnection.h"
#include "zeltowebconnection.h"

#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// How long one turn may hold the event loop before sockets are read again
// and new clients accepted; a request that takes longer still finishes.
const int kTurnBudgetMs = 20;

const QByteArray kRequestsMetric = "orvex_rpc_requests_total";
const QByteArray kErrorsMetric = "orvex_rpc_errors_total";
// Requests that named no known command count under this label, so that a
// client sending made-up names cannot grow the metrics without bound.
const QString kNoCommand = QStringLiteral("_invalid");

void countRequest(const QString &command, bool failed)
{
    const QString label = command.isEmpty() ? kNoCommand : command;
    ZeltoMetrics::instance()->add(kRequestsMetric, 1, "command", label);
    if (failed)
        ZeltoMetrics::instance()->add(kErrorsMetric, 1, "command", label);
}

} // namespace

ZeltoServer::ZeltoServer(QObject *parent) : QObject(parent)
{
    ZeltoMetrics *metrics = ZeltoMetrics::instance();
    metrics->describe(kRequestsMetric, ZeltoMetrics::Counter, "RPC requests served, by command.", {}, "command");
    metrics->describe(kErrorsMetric, ZeltoMetrics::Counter, "RPC requests answered with an error, by command.", {},
                      "command");
    metrics->describeGauge("orvex_rpc_clients_connected", "RPC clients connected now (TCP and WebSocket).",
                           [this]() { return double(m_connections.size()); });
    ZeltoRefusals::describe();
}

ZeltoServer *ZeltoServer::global()
{
    // Lives as long as the process: commands and the session store refer to it.
    static ZeltoServer *server = new ZeltoServer;
    return server;
}

bool ZeltoServer::listen(QTcpServer *&server, void (ZeltoServer::*onConnection)(), const QString &kind, quint16 port,
                         const QHostAddress &address)
{
    if (!server) {
        server = new QTcpServer(this);
        connect(server, &QTcpServer::newConnection, this, onConnection);
    }
    server->close();
    if (!server->listen(address, port)) {
        const QString text = tr("Не удалось открыть порт %1 %2: %3").arg(kind).arg(port).arg(server->errorString());
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, text);
        emit errorMessage(text);
        return false;
    }
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                 tr("Сервер RPC слушает порт %1 %2").arg(kind).arg(server->serverPort()));
    return true;
}

bool ZeltoServer::listenTcp(quint16 port, const QHostAddress &address)
{
    return listen(m_tcp, &ZeltoServer::onTcpConnection, QStringLiteral("TCP"), port, address);
}

bool ZeltoServer::listenWeb(quint16 port, const QHostAddress &address)
{
    return listen(m_web, &ZeltoServer::onWebConnection, QStringLiteral("WebSocket"), port, address);
}

quint16 ZeltoServer::tcpPort() const
{
    return m_tcp && m_tcp->isListening() ? m_tcp->serverPort() : 0;
}

quint16 ZeltoServer::webPort() const
{
    return m_web && m_web->isListening() ? m_web->serverPort() : 0;
}

QString ZeltoServer::peerAddress(int clientId) const
{
    const ZeltoServerConnection *connection = m_connections.value(clientId);
    if (!connection)
        return QString();
    return ZeltoPeerAddress::text(connection->peerAddress());
}

void ZeltoServer::close()
{
    if (m_tcp)
        m_tcp->close();
    if (m_web)
        m_web->close();
    const auto connections = m_connections.values();
    for (ZeltoServerConnection *connection : connections)
        connection->abort();  // closed() lets each one go
    m_deferred.clear();
    m_awaiting.clear();
}

void ZeltoServer::closeWeb()
{
    if (m_web)
        m_web->close();
    drop(WebListener);
}

void ZeltoServer::dropAdopted()
{
    drop(AdoptedListener);
}

void ZeltoServer::drop(Listener listener)
{
    // A deferred reply still due to one of them finds no connection and is not sent.
    const auto listeners = m_listeners;
    for (auto it = listeners.constBegin(); it != listeners.constEnd(); ++it) {
        ZeltoServerConnection *connection = m_connections.value(it.key());
        if (it.value() == listener && connection)
            connection->abort();   // closed() lets it go
    }
}

int ZeltoServer::deferReply()
{
    if (m_currentClient < 0)
        return 0;
    if (m_deferToken == 0)
        m_deferToken = m_nextDeferToken++;
    return m_deferToken;
}

void ZeltoServer::finishReply(int token, const ZeltoResult<QVariant> &value)
{
    const auto it = m_deferred.find(token);
    if (it == m_deferred.end())
        return;
    const DeferredCall call = it.value();
    m_deferred.erase(it);
    m_awaiting.remove(call.clientId);
    ZeltoServerConnection *connection = m_connections.value(call.clientId);
    if (!connection)
        return;
    if (!value.ok() || !value.value().isValid())
        ZeltoMetrics::instance()->add(kErrorsMetric, 1, "command", call.commandName);
    if (call.hasId)
        connection->send(ZeltoRpcDispatcher::outcome(call.requestId, call.commandName, value, call.streamTables));
    // Requests that came meanwhile were held back: their turn now.
    if (connection->hasRequest())
        enqueue(call.clientId);
}

void ZeltoServer::setRequestBufferLimit(qint64 bytes)
{
    m_tcpBuffers.setLimit(bytes);
    m_webBuffers.setLimit(bytes);
}

bool ZeltoServer::admit(QTcpSocket *socket)
{
    if (ZeltoAddressCap::global()->admit(socket->peerAddress())) {
        // A reply goes out whole as soon as it is written: with Nagle's
        // algorithm its last segment would wait for the client's delayed
        // acknowledgement of the ones before, 40 ms on Linux.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return true;
    }
    socket->abort();
    socket->deleteLater();
    return false;
}

void ZeltoServer::onTcpConnection()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection())
        if (admit(socket))
            adopt(new ZeltoTcpConnection(m_nextClientId++, socket, &m_tcpBuffers, this), TcpListener);
}

void ZeltoServer::onWebConnection()
{
    while (QTcpSocket *socket = m_web->nextPendingConnection())
        if (admit(socket))
            adopt(new ZeltoWebConnection(m_nextClientId++, socket, &m_webBuffers, m_webOrigins,
                                         m_handshakeTimeoutMs, this),
                  WebListener);
}

void ZeltoServer::setWebOrigins(const QStringList &origins)
{
    // A browser sends an origin without a path, so "https://a.example/" names the same site.
    m_webOrigins.clear();
    for (QString origin : origins) {
        origin = origin.trimmed();
        while (origin.endsWith(QLatin1Char('/')))
            origin.chop(1);
        if (!origin.isEmpty())
            m_webOrigins.append(origin);
    }
}

void ZeltoServer::adoptWebSocket(QTcpSocket *socket, const QByteArray &alreadyRead)
{
    if (!admit(socket))
        return;
    auto *connection = new ZeltoWebConnection(m_nextClientId++, socket, &m_webBuffers, m_webOrigins,
                                              m_handshakeTimeoutMs, this);
    adopt(connection, AdoptedListener);
    connection->begin(alreadyRead);
}

void ZeltoServer::adopt(ZeltoServerConnection *connection, Listener listener)
{
    m_connections.insert(connection->id(), connection);
    m_listeners.insert(connection->id(), listener);
    connect(connection, &ZeltoServerConnection::requestReady, this, &ZeltoServer::onRequestReady);
    connect(connection, &ZeltoServerConnection::closed, this, &ZeltoServer::onClosed);
    emit connected(connection->id());
}

void ZeltoServer::onRequestReady(ZeltoServerConnection *connection)
{
    enqueue(connection->id());
}

void ZeltoServer::enqueue(int clientId)
{
    if (!m_readySet.contains(clientId)) {
        m_readySet.insert(clientId);
        m_ready.enqueue(clientId);
    }
    scheduleTurn();
}

void ZeltoServer::onClosed(ZeltoServerConnection *connection)
{
    ZeltoAddressCap::global()->release(connection->peerAddress());
    // During a turn a connection object may still be in use (its command
    // runs, or its request is being taken); the turn lets it go afterwards.
    if (m_inTurn) {
        m_closedDuringTurn.append(connection->id());
        return;
    }
    release(connection->id());
}

void ZeltoServer::release(int id)
{
    ZeltoServerConnection *connection = m_connections.take(id);
    m_listeners.remove(id);
    if (!connection)
        return;
    m_awaiting.remove(id);
    // Its deferred calls will find nobody to answer: their work may stop (see disconnected).
    for (auto it = m_deferred.begin(); it != m_deferred.end();)
        it = it.value().clientId == id ? m_deferred.erase(it) : std::next(it);
    connection->disconnect(this);
    connection->deleteLater();
    emit disconnected(id);
}

void ZeltoServer::scheduleTurn()
{
    if (m_turnScheduled)
        return;
    m_turnScheduled = true;
    QMetaObject::invokeMethod(this, &ZeltoServer::runTurn, Qt::QueuedConnection);
}

void ZeltoServer::runTurn()
{
    m_turnScheduled = false;
    // Called from events processed under a running command: the turn that
    // runs it schedules the next one when it ends.
    if (m_inTurn)
        return;
    // Nor under other work that processes events (a save running a check
    // script): the requests wait until it has ended.
    if (ZeltoBusyGuard::isBusy()) {
        if (!m_waitingForIdle) {
            m_waitingForIdle = true;
            ZeltoBusyGuard::defer(this, [this]() {
                m_waitingForIdle = false;
                scheduleTurn();
            });
        }
        return;
    }
    m_inTurn = true;
    const qint64 turnStarted = ZeltoClock::system()->monotonicMs();
    while (!m_ready.isEmpty() && ZeltoClock::system()->monotonicMs() - turnStarted < kTurnBudgetMs) {
        const int id = m_ready.dequeue();
        m_readySet.remove(id);
        ZeltoServerConnection *connection = m_connections.value(id);
        // A backed-up connection comes back with requestReady once its
        // replies drain; one waiting for a deferred reply when it comes.
        if (connection && !connection->isClosed() && connection->hasRequest() && !connection->isBackedUp()
            && !m_awaiting.contains(id)) {
            execute(connection);
            if (!connection->isClosed() && connection->hasRequest() && !m_awaiting.contains(id)
                && !m_readySet.contains(id)) {
                m_readySet.insert(id);
                m_ready.enqueue(id);
            }
        }
        while (!m_closedDuringTurn.isEmpty())
            release(m_closedDuringTurn.takeFirst());
    }
    m_inTurn = false;
    if (!m_ready.isEmpty())
        scheduleTurn();
}

void ZeltoServer::execute(ZeltoServerConnection *connection)
{
    const ZeltoServerConnection::Request request = connection->takeRequest();
    if (connection->isClosed())
        return;
    if (request.oversize) {
        connection->refuse(ZeltoRpcMessage::error(
            QByteArray(), ZeltoRpcMessage::InvalidRequest,
            tr("Сообщение больше %1 МБ, соединение закрыто").arg(ZeltoRpcMessage::MaxMessageSize / (1024 * 1024))));
        return;
    }
    ZeltoRpcDispatcher dispatcher;
    QByteArray reply;
    m_currentClient = connection->id();
    m_deferToken = 0;
    bool answer = false;
    {
        // Deferred work (the save of a finished polling run) waits for the command.
        ZeltoBusyGuard busy;
        answer = dispatcher.handle(request.message, reply);
    }
    m_currentClient = -1;
    // A deferred call's failure is counted when its reply is given.
    countRequest(dispatcher.commandName(), m_deferToken == 0 && dispatcher.failed());
    if (m_deferToken != 0) {
        m_deferred.insert(m_deferToken, {connection->id(), dispatcher.requestId(), dispatcher.requestHasId(),
                                         dispatcher.commandName(), dispatcher.streamTables()});
        m_awaiting.insert(connection->id());
        m_deferToken = 0;
    } else if (answer) {
        connection->send(reply);
    }
}
