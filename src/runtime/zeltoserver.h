#pragma once

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QQueue>

class QTcpServer;
class QWebSocketServer;
class ZeltoServerConnection;

// The RPC server: TCP and WebSocket listeners, one connection object per
// client. Requests run on the main thread, one at a time, in arrival order
// per connection; connections take turns so one busy client cannot starve
// the others.
class ZeltoServer : public QObject
{
    Q_OBJECT

public:
    static ZeltoServer *global();

    // Port 0 picks a free port; tcpPort()/webPort() tell which.
    bool listenTcp(quint16 port, const QHostAddress &address = QHostAddress::Any);
    bool listenWeb(quint16 port, const QHostAddress &address = QHostAddress::Any);
    quint16 tcpPort() const;
    quint16 webPort() const;
    void close();  // stops listening and drops every client

    // The client whose command is being executed; -1 outside any client call.
    // Ids are unique per connection and never reused while the process runs.
    int clientId() const { return m_currentClient; }
    int clientCount() const { return m_connections.size(); }
    // The request being executed gets no reply: its client waits in vain.
    // For simulators of servers that hang.
    void withholdReply();

signals:
    void connected(int clientId);
    void disconnected(int clientId);
    // Listener failures of the server itself (not command failures).
    void errorMessage(const QString &message);

private:
    explicit ZeltoServer(QObject *parent = nullptr);

    void onTcpConnection();
    void onWebConnection();
    void adopt(ZeltoServerConnection *connection);
    void onMessageReady(ZeltoServerConnection *connection);
    void onClosed(ZeltoServerConnection *connection);
    void processQueue();

    QTcpServer *m_tcp = nullptr;
    QWebSocketServer *m_web = nullptr;
    QHash<int, ZeltoServerConnection *> m_connections;
    QQueue<int> m_ready;          // connections with requests waiting, in turn order
    int m_nextClientId = 1;
    int m_currentClient = -1;
    bool m_processing = false;
    bool m_continuationPosted = false;
    bool m_waitingForIdle = false;  // a turn is deferred until busy work ends
    bool m_withholdReply = false;
};
