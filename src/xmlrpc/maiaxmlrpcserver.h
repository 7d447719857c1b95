#pragma once

#include "zeltohttpdeferredresponse.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>

class ZeltoHttpServer;
struct ZeltoHttpRequest;
struct ZeltoHttpResponse;

// The XML-RPC listener: an HTTP listener of its own (ZeltoHttpServer: one
// request per connection, Host names, size and time limits, bounded
// buffers), that for each POST, whatever its path, invokes the slot
// registered under the call's method name with the call's values as
// arguments, then answers with the slot's result or a fault. A slot is
// found only when its parameter types equal the decoded value types in
// order (int for int or i4, QString for string, QDateTime for
// dateTime.iso8601, QVariantList for array, QVariantMap for struct, double,
// bool, QByteArray for base64) and it returns QVariant; it may return a
// MaiaFault. At most 10 parameters. OPTIONS gets the CORS preflight answer.
//
// Calls run on the main thread from the event loop, one at a time, never
// inside a socket's signal, and never while other work of the server is
// under way and has let the event loop run (an RPC command or a
// transaction running a check script): their answers are deferred until
// then.
class Database;

class MaiaXmlRpcServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxConnections = 256;
    static constexpr qint64 kMaxBodySize = 64 * 1024 * 1024;

    // Not listening until listen(). Answers wait while database has a
    // transaction open (none given: only for RPC commands).
    explicit MaiaXmlRpcServer(Database *database = nullptr, QObject *parent = nullptr);

    // Listens on the port (instead of the one before); a port that cannot
    // be opened is logged and gives false. Port 0 picks a free one.
    bool listen(quint16 port, const QHostAddress &address = QHostAddress::Any);
    // Stops listening and drops the connections being served.
    void close();
    bool isListening() const;
    quint16 serverPort() const;
    QString errorString() const;

    // Milliseconds a client has to send its whole request (and then for
    // each pause while taking the answer); 30 s at first.
    void setRequestTimeout(int ms);
    // Bytes the listener may hold for requests not yet answered.
    void setRequestBufferLimit(qint64 bytes);

    // A later method of the same name replaces the earlier one.
    void addMethod(const QString &method, QObject *responder, const char *slot);

    // The address of the client whose call is being run; empty outside a call.
    QString currentPeerAddress() const { return m_currentPeer; }

    // The answer document for a call body: response or fault.
    QByteArray handle(const QByteArray &body);

public slots:
    void getMethod(const QString &method, QObject **responder, const char **slot);

private:
    void onRequest(const ZeltoHttpRequest &request, ZeltoHttpResponse &response);
    void scheduleNext(int delayMs);
    void runNext();
    bool serverBusy() const;

    QPointer<Database> m_database;
    ZeltoHttpServer *m_http;
    QHash<QString, QPointer<QObject>> m_responders;
    QHash<QString, QByteArray> m_slots;
    QQueue<ZeltoHttpDeferredResponse> m_ready;
    bool m_scheduled = false;
    bool m_running = false;     // a call is being run
    QString m_currentPeer;
};
