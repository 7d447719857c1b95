#pragma once

#include "qhttprequestheader.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QTcpSocket;

// One HTTP connection of the XML-RPC listener: reads one POST request,
// hands its body to the server, writes the server's answer and closes. A
// CORS preflight (OPTIONS) is answered at once. A request that is not a
// POST, lacks a Content-Length, has a header over 64 KiB or is not complete
// within the time limit is dropped without an answer; a body over the size
// limit is refused with a fault. The connection deletes itself once its
// socket is gone.
class MaiaXmlRpcServerConnection : public QObject
{
    Q_OBJECT

public:
    static const qint64 kMaxHeaderSize = 64 * 1024;
    static const qint64 kMaxBodySize = 64 * 1024 * 1024;

    // Takes the socket over; timeoutMs bounds the time until the whole
    // request has arrived, and then each pause while the answer is sent.
    MaiaXmlRpcServerConnection(QTcpSocket *socket, int timeoutMs, QObject *parent = nullptr);

    QString peerAddress() const;
    QByteArray takeBody();
    // Sends an XML-RPC document with the response header, then closes.
    void answer(const QByteArray &document);

signals:
    // The whole body has arrived.
    void requestReady(MaiaXmlRpcServerConnection *connection);

private slots:
    void readFromSocket();
    void onTimeout();

private:
    enum State { ReadingHeader, ReadingBody, Waiting, Answering, Closed };

    bool readHeader();
    void readBody();
    void sendPreflight();
    void send(const QByteArray &bytes);
    // Closes without an answer, logging why at debug level.
    void drop(const char *why);

    QTcpSocket *m_socket;
    State m_state = ReadingHeader;
    QString m_headerText;
    QHttpRequestHeader m_header;
    qint64 m_contentLength = 0;
    QByteArray m_body;
    QTimer m_timer;
    int m_timeoutMs;
};
