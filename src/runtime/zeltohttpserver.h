#pragma once

#include "zeltohttphead.h"
#include "zeltohttpmessage.h"
#include "zeltorequestbuffers.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>

#include <functional>

class QTcpServer;
class ZeltoHostNames;
class ZeltoHttpConnection;

// An HTTP listener: the operators' port (metrics, web console) and the
// XML-RPC port are each one. It reads one request per connection, finds its
// handler in a table of paths, writes the answer and closes. Handlers run on
// the main thread, from the event loop.
//
// Before anything is done for a request (routing, a handler, an upgrade)
// its Host must name this server (ZeltoHostNames), else it gets 421. What
// the listener holds for requests not yet answered is bounded across its
// connections (ZeltoRequestBuffers), and each peer address has a bounded
// number of connections over all listeners (ZeltoAddressCap).
//
// Paths: route() matches one path exactly; routePrefix() every path that
// begins with the prefix, the longest prefix winning; an exact route wins
// over any prefix. A path nobody serves gets 404. A handler sees every
// method and answers 405 itself to those it does not take (see allowOnly).
class ZeltoHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const ZeltoHttpRequest &request, ZeltoHttpResponse &response)>;

    // The operators' listener; like the RPC server it lives as long as the process.
    static ZeltoHttpServer *global();

    // `name` names the listener in the log ("HTTP", "XML-RPC").
    explicit ZeltoHttpServer(const QString &name = QStringLiteral("HTTP"), QObject *parent = nullptr);
    ~ZeltoHttpServer() override;

    void route(const QByteArray &path, Handler handler);
    void routePrefix(const QByteArray &prefix, Handler handler);
    // Answers a request whose Content-Length is over the body limit instead
    // of the plain 413 (its body is not read; request.body is empty).
    void setOversizeHandler(Handler handler) { m_oversize = std::move(handler); }

    // Port 0 picks a free port; port() tells which (0 when not listening). A
    // port that cannot be opened is logged and told by errorMessage; false.
    bool listen(quint16 port, const QHostAddress &address = QHostAddress::Any);
    quint16 port() const;
    QString errorString() const;
    void close();   // stops listening and drops the connections being served

    // For handlers: true when the request's method is one of `methods`;
    // otherwise answers 405 with an Allow header and returns false.
    static bool allowOnly(const ZeltoHttpRequest &request, ZeltoHttpResponse &response,
                          const QList<QByteArray> &methods);

    static constexpr int MaxHeadSize = ZeltoHttpHead::DefaultMaxHeadSize;
    static constexpr int DefaultMaxBodySize = 1024 * 1024;
    static constexpr int DefaultMaxConnections = 64;

    qint64 maxBodySize() const { return m_maxBodySize; }
    void setMaxBodySize(qint64 bytes) { m_maxBodySize = bytes; }
    // Connections served at once; beyond them a new one is closed at once.
    void setMaxConnections(int count) { m_maxConnections = count; }
    // Time a client has to send its request, and then for each pause while
    // it takes the answer.
    int requestTimeout() const { return m_requestTimeoutMs; }
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }
    // Bytes held for requests not yet answered, over all connections.
    void setRequestBufferLimit(qint64 bytes) { m_buffers.setLimit(bytes); }
    ZeltoRequestBuffers *requestBuffers() { return &m_buffers; }
    // The names a request's Host must give: ZeltoHostNames::global().
    const ZeltoHostNames *hostNames() const { return m_hostNames; }

    // Runs the handler of the request's path; used by the connections.
    void dispatch(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const;
    void dispatchOversize(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const;

signals:
    // Listener failures (a port that cannot be opened).
    void errorMessage(const QString &message);

private:
    void onNewConnection();
    void onConnectionDone(ZeltoHttpConnection *connection);

    const QString m_name;
    QTcpServer *m_server = nullptr;
    QHash<QByteArray, Handler> m_exact;
    QHash<QByteArray, Handler> m_prefixes;
    Handler m_oversize;
    QList<ZeltoHttpConnection *> m_connections;
    ZeltoRequestBuffers m_buffers;
    const ZeltoHostNames *const m_hostNames;
    qint64 m_maxBodySize = DefaultMaxBodySize;
    int m_maxConnections = DefaultMaxConnections;
    int m_requestTimeoutMs = 10000;
};
