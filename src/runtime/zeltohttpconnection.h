#pragma once

#include "zeltohttphead.h"
#include "zeltohttpmessage.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;
class ZeltoHttpServer;

// One connection of an HTTP listener: reads one request (bounded in size
// and time), has the server dispatch it, writes the answer (at once, or
// when a deferred answer comes) and closes, or hands the socket to the
// handler that took it over. What it holds for the request counts in the
// listener's request buffers until the answer is written.
class ZeltoHttpConnection : public QObject
{
    Q_OBJECT

public:
    ZeltoHttpConnection(QTcpSocket *socket, ZeltoHttpServer *server);
    ~ZeltoHttpConnection() override;

    void abort();

    // For ZeltoHttpDeferredResponse.
    bool awaitsAnswer() const { return m_state == State::Waiting; }
    const ZeltoHttpRequest &request() const { return m_request; }
    void answer(const ZeltoHttpResponse &response);

signals:
    // Closed, or handed over; the server lets the object go.
    void done(ZeltoHttpConnection *connection);

private:
    void onReadyRead();
    void onDisconnected();
    void onTimeout();
    // Reads what has come, up to what the request may still hold; false
    // when the listener's buffers closed this connection.
    bool readAvailable();
    // The head has come: Host and size rules; false when it was refused.
    bool headRead();
    void dispatch();
    void fail(int status, const QByteArray &text);
    // Tells the listener's account what is held now; false when it closed us.
    bool account(qint64 bytes);
    void releaseRequest();
    // Leaves the listener's buffers and gives the address's place back.
    void releasePlaces();
    void finish();

    // Reading the request; waiting for a deferred answer; writing the answer
    // (the peer's further bytes are dropped); or closed / handed over.
    enum class State { Reading, Waiting, Writing, Done };

    QTcpSocket *m_socket;
    ZeltoHttpServer *m_server;
    QTimer m_timer;            // bounds reading the request, then each pause in writing the answer
    State m_state = State::Reading;
    ZeltoHttpRequest m_request;
    ZeltoHttpHead m_head;      // Complete once the head is read
    QByteArray m_received;     // the head and what came with it, until the head is complete
    int m_bufferId;            // in the listener's request buffers
    bool m_counted = true;     // holds a place in ZeltoAddressCap
};
