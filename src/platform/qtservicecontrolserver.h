#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;
class QLocalSocket;

// The listening end of a service's control socket. A client writes a command
// code as decimal text ending in "\n"; the handler runs on this object's
// thread and the client then gets "ok\n". Anything else closes the
// connection unanswered.
class QtServiceControlServer : public QObject
{
    Q_OBJECT

public:
    using CommandHandler = std::function<void(int code)>;

    // Longest accepted command line, the newline included.
    static const int MaxLineLength = 64;

    explicit QtServiceControlServer(const QString &path, QObject *parent = nullptr);
    ~QtServiceControlServer() override;

    QString path() const;
    void setCommandHandler(const CommandHandler &handler);

    // Takes the socket path. Fails when a live process listens there or the
    // path is taken by something that is not a socket; a socket file whose
    // owner has died is removed and taken over.
    bool listen();
    // Stops listening, drops every connection and removes the socket file.
    void close();
    bool isListening() const;
    QString errorString() const;

    // While off, connections are held without being read: commands that come
    // before the service has started, or while it stops, are not handled.
    void setAcceptingCommands(bool accepting);

private:
    enum class PathState { Free, Live, Stale, Foreign, Unreachable };

    PathState probePath() const;
    bool listenLocked();
    void takePendingConnections();
    void serveConnection(QLocalSocket *socket);
    void dropConnection(QLocalSocket *socket);

    QString m_path;
    QLocalServer *m_server = nullptr;
    CommandHandler m_handler;
    bool m_accepting = false;
    QString m_error;
};
