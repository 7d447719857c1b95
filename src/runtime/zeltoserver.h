#pragma once

#include "zeltorequestbuffers.h"
#include "zeltostatus.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QStringList>
#include <QVariant>

class QTcpServer;
class QTcpSocket;
class ZeltoServerConnection;

// The RPC server: TCP and WebSocket listeners, one connection object per
// client. Requests run on the main thread, one at a time, in arrival order
// per connection, never from inside a socket's signal: a turn runs from the
// event loop and serves the connections with requests round-robin, one
// request each per round, and gives the event loop back after a short time
// slice, so one busy client cannot starve the others. A command that lets
// the event loop run (a check script) is never interrupted by another
// request; requests that arrive meanwhile wait for the next turn, and a
// client that leaves during it is let go only after its command returns.
//
// Each listener bounds what it holds for requests not yet run, over all its
// connections (ZeltoRequestBuffers; WebSocket clients that came through the
// operators' HTTP port count with the "wsPort" listener), and each peer
// address has a bounded number of connections (ZeltoAddressCap).
class ZeltoServer : public QObject
{
    Q_OBJECT

public:
    // Process-wide: the RPC listeners and their connections live as long as the process.
    static ZeltoServer *global();

    // Port 0 picks a free port; tcpPort()/webPort() tell which. A port that
    // cannot be opened is logged and told by errorMessage; false.
    bool listenTcp(quint16 port, const QHostAddress &address = QHostAddress::Any);
    bool listenWeb(quint16 port, const QHostAddress &address = QHostAddress::Any);
    quint16 tcpPort() const;
    quint16 webPort() const;
    void close();  // stops listening and drops every client
    // Stops the WebSocket listener and drops the clients that came through it.
    void closeWeb();
    // Drops the WebSocket clients that adoptWebSocket took over (their
    // listener, the operators' HTTP port, closes or moves).
    void dropAdopted();

    // Takes over a WebSocket client whose upgrade request another listener
    // has read (the operators' HTTP port): `alreadyRead` is every byte read
    // from the socket so far. The client is then served like one that came
    // to the "wsPort" listener: same commands, sessions and change events.
    void adoptWebSocket(QTcpSocket *socket, const QByteArray &alreadyRead);
    // Origins ("https://scada.example") of other sites' pages that may open a
    // WebSocket besides the server's own; for clients that connect from now on.
    void setWebOrigins(const QStringList &origins);

    // Bytes each listener may hold for requests not yet run; for what comes from now on.
    void setRequestBufferLimit(qint64 bytes);
    // Time a WebSocket client has to send its whole upgrade request.
    static constexpr int DefaultHandshakeTimeoutMs = 10000;

    // The client whose command is being executed; -1 outside any client call.
    // Ids are unique per connection and never reused while the process runs.
    int clientId() const { return m_currentClient; }
    int clientCount() const { return m_connections.size(); }
    // The client's address (IPv4 addresses in their plain form even on a
    // dual-stack listener); empty for an unknown client.
    QString peerAddress(int clientId) const;

    // For a command whose work goes on after execute returns (on another
    // thread): its client gets no reply now, and the client's next requests
    // wait, so replies keep their order. Whatever execute returns is then
    // ignored; finishReply answers. Returns 0 outside a client call.
    int deferReply();
    // Answers a deferred call: its value, or the failure's code and text.
    // Nothing is sent when the client has gone.
    void finishReply(int token, const ZeltoResult<QVariant> &value);

signals:
    void connected(int clientId);
    void disconnected(int clientId);
    // Listener failures of the server itself (not command failures).
    void errorMessage(const QString &message);

private:
    // The listener a client came through.
    enum Listener { TcpListener, WebListener, AdoptedListener };

    explicit ZeltoServer(QObject *parent = nullptr);

    void onTcpConnection();
    void onWebConnection();
    bool listen(QTcpServer *&server, void (ZeltoServer::*onConnection)(), const QString &kind, quint16 port,
                const QHostAddress &address);
    void adopt(ZeltoServerConnection *connection, Listener listener);
    void drop(Listener listener);
    // A place for the socket's address (ZeltoAddressCap); false: the socket is closed and let go.
    static bool admit(QTcpSocket *socket);
    void onRequestReady(ZeltoServerConnection *connection);
    void onClosed(ZeltoServerConnection *connection);
    void release(int id);
    void scheduleTurn();
    void runTurn();
    void execute(ZeltoServerConnection *connection);
    void enqueue(int clientId);

    // A call answered later: whose it is and what the reply needs.
    struct DeferredCall
    {
        int clientId;
        QByteArray requestId;
        bool hasId;
        QString commandName;
        bool streamTables;
    };

    QTcpServer *m_tcp = nullptr;
    QTcpServer *m_web = nullptr;
    QStringList m_webOrigins;     // trimmed, without a slash at the end, none empty
    ZeltoRequestBuffers m_tcpBuffers;
    ZeltoRequestBuffers m_webBuffers;
    const int m_handshakeTimeoutMs = DefaultHandshakeTimeoutMs;
    QHash<int, ZeltoServerConnection *> m_connections;
    QHash<int, Listener> m_listeners;   // of each connection, by id
    QQueue<int> m_ready;          // connections with requests waiting, in turn order
    QSet<int> m_readySet;         // the ids in m_ready
    int m_nextClientId = 1;
    int m_currentClient = -1;
    // A turn runs, perhaps with events processed under its command; closed
    // connections wait in m_closedDuringTurn until the request at hand is done.
    bool m_inTurn = false;
    QList<int> m_closedDuringTurn;
    bool m_turnScheduled = false;
    bool m_waitingForIdle = false;  // a turn waits for busy work to end
    int m_deferToken = 0;         // set by deferReply during the current call
    int m_nextDeferToken = 1;
    QHash<int, DeferredCall> m_deferred;   // by token
    QSet<int> m_awaiting;         // clients whose deferred reply is still due
};
