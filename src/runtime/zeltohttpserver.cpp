#include "zeltohttpserver.h"

#include "zeltoaddresscap.h"
#include "zeltohostnames.h"
#include "zeltohttpconnection.h"
#include "zeltorefusals.h"
#include "zeltosystem.h"

#include <QTcpServer>
#include <QTcpSocket>

ZeltoHttpServer::ZeltoHttpServer(const QString &name, QObject *parent)
    : QObject(parent), m_name(name), m_hostNames(ZeltoHostNames::global())
{
    ZeltoRefusals::describe();
}

ZeltoHttpServer::~ZeltoHttpServer()
{
    // The connections let go of this listener's buffers before they go.
    close();
}

ZeltoHttpServer *ZeltoHttpServer::global()
{
    static ZeltoHttpServer *server = new ZeltoHttpServer;
    return server;
}

void ZeltoHttpServer::route(const QByteArray &path, Handler handler)
{
    m_exact.insert(path, std::move(handler));
}

void ZeltoHttpServer::routePrefix(const QByteArray &prefix, Handler handler)
{
    m_prefixes.insert(prefix, std::move(handler));
}

bool ZeltoHttpServer::listen(quint16 port, const QHostAddress &address)
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &ZeltoHttpServer::onNewConnection);
    }
    m_server->close();
    if (!m_server->listen(address, port)) {
        const QString text = tr("Не удалось открыть порт %1 %2: %3").arg(m_name).arg(port).arg(m_server->errorString());
        ZeltoSystem::instance()->log(ZeltoSystem::LogError, text);
        emit errorMessage(text);
        return false;
    }
    ZeltoSystem::instance()->log(ZeltoSystem::LogInfo,
                                 tr("Сервер %1 слушает порт %2").arg(m_name).arg(m_server->serverPort()));
    return true;
}

quint16 ZeltoHttpServer::port() const
{
    return m_server && m_server->isListening() ? m_server->serverPort() : 0;
}

QString ZeltoHttpServer::errorString() const
{
    return m_server ? m_server->errorString() : QString();
}

void ZeltoHttpServer::close()
{
    if (m_server)
        m_server->close();
    const auto connections = m_connections;
    for (ZeltoHttpConnection *connection : connections)
        connection->abort();
}

bool ZeltoHttpServer::allowOnly(const ZeltoHttpRequest &request, ZeltoHttpResponse &response,
                                const QList<QByteArray> &methods)
{
    if (methods.contains(request.method))
        return true;
    QByteArray allowed;
    for (const QByteArray &method : methods)
        allowed += (allowed.isEmpty() ? "" : ", ") + method;
    response.setText(405, "Method not allowed\n");
    response.headers.append({"Allow", allowed});
    return false;
}

void ZeltoHttpServer::dispatch(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const
{
    auto handler = m_exact.constFind(request.path);
    if (handler == m_exact.constEnd()) {
        int longest = -1;
        for (auto it = m_prefixes.constBegin(); it != m_prefixes.constEnd(); ++it) {
            if (request.path.startsWith(it.key()) && it.key().size() > longest) {
                longest = it.key().size();
                handler = it;
            }
        }
        if (longest < 0) {
            response.setText(404, "Not found\n");
            return;
        }
    }
    handler.value()(request, response);
}

void ZeltoHttpServer::dispatchOversize(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const
{
    if (m_oversize)
        m_oversize(request, response);
    else
        response.setText(413, "Request body too large\n");
}

void ZeltoHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        // Beyond the limit a flood is refused at once rather than held open.
        if (m_connections.size() >= m_maxConnections || !ZeltoAddressCap::global()->admit(socket->peerAddress())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *connection = new ZeltoHttpConnection(socket, this);
        m_connections.append(connection);
        connect(connection, &ZeltoHttpConnection::done, this, &ZeltoHttpServer::onConnectionDone);
    }
}

void ZeltoHttpServer::onConnectionDone(ZeltoHttpConnection *connection)
{
    m_connections.removeOne(connection);
    connection->deleteLater();
}
