#pragma once

#include "zeltohttpmessage.h"

#include <QObject>
#include <QTimer>

class QTcpSocket;
class ZeltoHttpServer;

// One connection of the HTTP listener: reads one request (bounded in size
// and time), has the server dispatch it, writes the answer and closes, or
// hands the socket to the handler that took it over.
class ZeltoHttpConnection : public QObject
{
    Q_OBJECT

public:
    ZeltoHttpConnection(QTcpSocket *socket, ZeltoHttpServer *server);

    void abort();

signals:
    // Closed, or handed over; the server lets the object go.
    void done(ZeltoHttpConnection *connection);

private:
    void onReadyRead();
    void onDisconnected();
    void onTimeout();
    // Parses what has arrived; returns false while the request is incomplete.
    bool parse();
    bool parseHead(int headEnd);
    void answer(const ZeltoHttpResponse &response);
    void fail(int status, const QByteArray &text);
    void finish();

    // Reading the request, writing the answer (the peer's further bytes are
    // dropped), or closed / handed over.
    enum class State { Reading, Writing, Done };

    QTcpSocket *m_socket;
    ZeltoHttpServer *m_server;
    QTimer m_timer;            // bounds reading the request, then writing the answer
    State m_state = State::Reading;
    ZeltoHttpRequest m_request;
    int m_bodyStart = -1;      // offset of the body in m_request.raw once the head is read
    qint64 m_bodySize = 0;
};
