#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QVariantList>

class MaiaXmlRpcServerConnection;
class QTcpServer;

// The XML-RPC listener: accepts HTTP connections, and for each complete
// request invokes the slot registered under the call's method name with the
// call's values as arguments, then answers with the slot's result or a
// fault. A slot is found only when its parameter types equal the decoded
// value types in order (int for int or i4, QString for string, QDateTime
// for dateTime.iso8601, QVariantList for array, QVariantMap for struct,
// double, bool, QByteArray for base64) and it returns QVariant; it may
// return a MaiaFault. At most 10 parameters.
//
// Calls run on the main thread from the event loop, one at a time, never
// inside a socket's signal, and never while other work of the server is
// under way and has let the event loop run (an RPC command or a
// transaction running a check script): they wait until it is done.
class MaiaXmlRpcServer : public QObject
{
    Q_OBJECT

public:
    static const int kMaxConnections = 256;

    // Listens at once; isListening() and errorString() tell how it went.
    MaiaXmlRpcServer(const QHostAddress &address, quint16 port, QObject *parent = nullptr);

    bool isListening() const;
    quint16 serverPort() const;
    QString errorString() const;

    // Milliseconds a client has to send its whole request (and then for
    // each pause while taking the answer); 30 s at first.
    void setRequestTimeout(int ms) { m_timeoutMs = ms; }

    // A later method of the same name replaces the earlier one.
    void addMethod(const QString &method, QObject *responder, const char *slot);

    // The address of the client whose call is being run; empty outside a call.
    QString currentPeerAddress() const { return m_currentPeer; }

    // The answer document for a call body: response or fault.
    QByteArray handle(const QByteArray &body);

public slots:
    void getMethod(const QString &method, QObject **responder, const char **slot);

private:
    void onNewConnection();
    void onRequestReady(MaiaXmlRpcServerConnection *connection);
    void scheduleNext(int delayMs);
    void runNext();
    static bool serverBusy();

    QTcpServer *m_server;
    QHash<QString, QPointer<QObject>> m_responders;
    QHash<QString, QByteArray> m_slots;
    QQueue<QPointer<MaiaXmlRpcServerConnection>> m_ready;
    bool m_scheduled = false;
    int m_timeoutMs = 30000;
    int m_connectionCount = 0;
    bool m_running = false;     // a call is being run
    QString m_currentPeer;
};
