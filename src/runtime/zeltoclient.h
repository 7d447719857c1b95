#pragma once

#include <QByteArray>
#include <QScopedPointer>
#include <QString>
#include <QVariant>

class QTcpSocket;

// Synchronous RPC client over TCP for threads without an event loop (the
// task manager's pool threads, the command-line client). One request at a
// time. A false return leaves the reason in errorString().
class ZeltoClient
{
public:
    ZeltoClient();
    ~ZeltoClient();

    ZeltoClient(const ZeltoClient &) = delete;
    ZeltoClient &operator=(const ZeltoClient &) = delete;

    void connectToHost(const QString &host, quint16 port);
    bool waitForConnected(int ms = 30000);
    bool isConnected() const;
    void disconnectFromHost();

    // Whether requests ask for the tables of replies in stream form (off by
    // default); a server that does not know the option sends JSON, and both
    // read. The stream keeps values as the server holds them (NaN, qlonglong,
    // UTC date-times) where JSON gives its own (null, int, local time), so a
    // caller that stores what it gets keeps to JSON.
    void setStreamTables(bool on) { m_streamTables = on; }

    // Sends one request; the reply is collected by waitForResponse.
    bool request(const QString &name, const QVariantList &params = QVariantList());
    bool waitForResponse(int ms = 30000);

    // The value of the last successful reply.
    QVariant result() const { return m_result; }
    // The JSON-RPC code of the last error reply; 0 when the last failure was
    // not an error reply (no connection, timeout, malformed reply).
    int errorCode() const { return m_errorCode; }
    // Why the last call that returned false failed.
    QString errorString() const { return m_error; }

private:
    bool fail(const QString &text, int code = 0);
    bool readReply(const QByteArray &line);

    QScopedPointer<QTcpSocket> m_socket;
    QString m_host;
    quint16 m_port = 0;
    QByteArray m_buffer;
    int m_scanned = 0;          // bytes of m_buffer known to hold no line end
    bool m_streamTables = false;
    qint64 m_nextId = 1;
    qint64 m_pendingId = 0;     // 0 = no request outstanding
    QVariant m_result;
    int m_errorCode = 0;
    QString m_error;
};
