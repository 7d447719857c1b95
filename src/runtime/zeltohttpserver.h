#pragma once

#include "zeltohttpmessage.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>

#include <functional>

class QTcpServer;
class ZeltoHttpConnection;

// The HTTP listener for operators (metrics, and whatever else is served to
// browsers and scrapers on the same port). It reads one request per
// connection, finds its handler in a table of paths, writes the answer and
// closes. Handlers run on the main thread, from the event loop.
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

    // The process's listener; like the RPC server it lives as long as the process.
    static ZeltoHttpServer *global();

    explicit ZeltoHttpServer(QObject *parent = nullptr);

    void route(const QByteArray &path, Handler handler);
    void routePrefix(const QByteArray &prefix, Handler handler);

    // Port 0 picks a free port; port() tells which (0 when not listening).
    bool listen(quint16 port, const QHostAddress &address = QHostAddress::Any);
    quint16 port() const;
    void close();   // stops listening and drops the connections being served

    // For handlers: true when the request's method is one of `methods`;
    // otherwise answers 405 with an Allow header and returns false.
    static bool allowOnly(const ZeltoHttpRequest &request, ZeltoHttpResponse &response,
                          const QList<QByteArray> &methods);

    // Limits of what one request may be.
    static const int MaxHeadSize = 16 * 1024;
    static const int MaxBodySize = 1024 * 1024;
    static const int MaxConnections = 64;
    // Time a client has to send its request, and then to read the answer.
    int requestTimeout() const { return m_requestTimeoutMs; }
    void setRequestTimeout(int ms) { m_requestTimeoutMs = ms; }

    // Runs the handler of the request's path; used by the connections.
    void dispatch(const ZeltoHttpRequest &request, ZeltoHttpResponse &response) const;

signals:
    // Listener failures (a port that cannot be opened).
    void errorMessage(const QString &message);

private:
    void onNewConnection();
    void onConnectionDone(ZeltoHttpConnection *connection);

    QTcpServer *m_server = nullptr;
    QHash<QByteArray, Handler> m_exact;
    QHash<QByteArray, Handler> m_prefixes;
    QList<ZeltoHttpConnection *> m_connections;
    int m_requestTimeoutMs = 10000;
};
