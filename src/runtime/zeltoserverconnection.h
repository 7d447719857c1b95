#pragma once

#include <QByteArray>
#include <QObject>
#include <QQueue>

// One client connection of the RPC server, whatever carries it. Transports
// split their byte stream into messages and hand them over with received();
// the server takes them one at a time and answers through send().
class ZeltoServerConnection : public QObject
{
    Q_OBJECT

public:
    ZeltoServerConnection(int id, QObject *parent = nullptr);

    int id() const { return m_id; }
    bool isClosed() const { return m_closed; }

    bool hasPending() const { return !m_pending.isEmpty(); }
    QByteArray takePending() { return m_pending.dequeue(); }

    virtual void send(const QByteArray &message) = 0;
    // Sends the message, then closes: used when a client breaks the protocol.
    virtual void sendAndClose(const QByteArray &message) = 0;

signals:
    void messageReady(ZeltoServerConnection *connection);
    void closed(ZeltoServerConnection *connection);

protected:
    void received(const QByteArray &message);
    // Called once by the transport when the peer is gone; queued requests are dropped.
    void markClosed();

private:
    int m_id;
    bool m_closed = false;
    QQueue<QByteArray> m_pending;
};
