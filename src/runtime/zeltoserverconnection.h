#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QQueue>

class QTcpSocket;
class ZeltoRequestBuffers;

// One client connection of the RPC server: a TCP socket and the framing it
// speaks (a subclass turns bytes into messages in parse()). The connection
// keeps only a few messages waiting and reads no further from the socket
// until the server has taken them, and the server takes none while the
// client leaves too many replies unread; so a client that floods or never
// reads holds bounded memory and the kernel's flow control slows it down.
// What it holds for requests not yet run (bytes read and not parsed, a
// message begun, messages waiting) counts in its listener's request
// buffers.
class ZeltoServerConnection : public QObject
{
    Q_OBJECT

public:
    // A message taken from the connection. An oversize one stands for a
    // message over the size limit: the client gets the refusal, in order
    // after the replies to what it sent before, and the connection closes.
    struct Request
    {
        QByteArray message;
        bool oversize = false;
    };

    // `buffers`: the listener's account, which outlives the connection.
    ZeltoServerConnection(int id, QTcpSocket *socket, ZeltoRequestBuffers *buffers, QObject *parent = nullptr);
    ~ZeltoServerConnection() override;

    int id() const { return m_id; }
    bool isClosed() const { return m_closed; }
    QHostAddress peerAddress() const { return m_peerAddress; }

    bool hasRequest() const { return !m_pending.isEmpty(); }
    // Takes the next request and reads on from the socket to replace it.
    Request takeRequest();
    // True while the replies the client has not read exceed the limit; the
    // server then runs none of its requests until they drain.
    bool isBackedUp() const;

    virtual void send(const QByteArray &message) = 0;
    // Sends the refusal of an oversize message, then closes.
    virtual void refuse(const QByteArray &message) = 0;
    // Closes from our side (the server stops); closed() follows.
    void abort();
    // Parses bytes another listener read from the socket before handing it
    // over (an HTTP upgrade request), then reads on from the socket; a
    // socket that closed meanwhile closes the connection.
    void begin(const QByteArray &alreadyRead);

signals:
    // The connection has requests the server may run now: a message came,
    // or unread replies drained below the limit.
    void requestReady(ZeltoServerConnection *connection);
    void closed(ZeltoServerConnection *connection);

protected:
    // Turns buffered bytes into messages with received(), stopping early
    // once acceptsMessages() is false; leaves an incomplete message buffered.
    virtual void parse() = 0;

    bool acceptsMessages() const;
    void received(const QByteArray &message);
    // The client sent a message over the size limit: stop reading, answer
    // it once the earlier requests are answered.
    void receivedOversize();
    // The peer broke the framing: close without answering.
    void closeSocket();
    // Bytes a subclass holds beyond the buffer (a message begun).
    virtual qint64 heldBySubclass() const { return 0; }
    // Tells the listener's account what this connection holds now; false
    // when that closed the connection (it held most over the limit).
    bool account();
    // Reads and drops everything the peer still sends until the socket closes.
    void discardInput();

    // Bytes read from the socket and not yet parsed.
    const char *buffered() const { return m_buffer.constData() + m_offset; }
    qsizetype bufferedSize() const { return m_buffer.size() - m_offset; }
    void consume(qsizetype count);

    QTcpSocket *socket() const { return m_socket; }

private:
    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    // Parses what is buffered and reads on while more messages are welcome.
    void fill();

    QTcpSocket *m_socket;
    QHostAddress m_peerAddress;      // kept: the socket forgets it once closed
    ZeltoRequestBuffers *m_buffers;
    int m_bufferId;
    QByteArray m_buffer;
    qsizetype m_offset = 0;          // bytes of m_buffer already parsed
    QQueue<Request> m_pending;
    qsizetype m_pendingBytes = 0;
    int m_id;
    bool m_closed = false;
    bool m_stopped = false;          // no more messages are read (oversize or broken framing)
    bool m_discarding = false;
    bool m_filling = false;
};
