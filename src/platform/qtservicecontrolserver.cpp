#include "qtservicecontrolserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

// A client that says nothing for two minutes is dropped, so that idle
// connections cannot pile up.
const int IdleTimeoutMs = 120000;
const int MaxConnections = 32;
// Long enough for a loaded machine, short enough not to stall a start.
const int ProbeTimeoutMs = 3000;
const int LockTimeoutMs = 10000;

const char BusyProperty[] = "_q_serviceCommandBusy";
const char IdleTimerName[] = "idleTimer";

bool parseCode(QByteArray line, int *code)
{
    line.chop(1); // the newline
    line = line.trimmed();
    if (line.isEmpty())
        return false;
    bool ok = false;
    *code = line.toInt(&ok, 10);
    return ok;
}

} // namespace

QtServiceControlServer::QtServiceControlServer(const QString &path, QObject *parent)
    : QObject(parent), m_path(path)
{
}

QtServiceControlServer::~QtServiceControlServer()
{
    close();
}

QString QtServiceControlServer::path() const
{
    return m_path;
}

void QtServiceControlServer::setCommandHandler(const CommandHandler &handler)
{
    m_handler = handler;
}

bool QtServiceControlServer::isListening() const
{
    return m_server && m_server->isListening();
}

QString QtServiceControlServer::errorString() const
{
    return m_error;
}

bool QtServiceControlServer::listen()
{
    if (isListening())
        return true;
    if (m_path.isEmpty()) {
        m_error = QCoreApplication::translate("QtServiceControlServer", "Не задан путь управляющего сокета");
        return false;
    }
    const QByteArray encoded = QFile::encodeName(m_path);
    if (size_t(encoded.size()) >= sizeof(sockaddr_un::sun_path)) {
        m_error = QCoreApplication::translate("QtServiceControlServer", "Слишком длинный путь управляющего сокета: %1")
                      .arg(m_path);
        return false;
    }
    const QString directory = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(directory)) {
        m_error = QCoreApplication::translate("QtServiceControlServer", "Не удалось создать каталог %1")
                      .arg(directory);
        return false;
    }

    // Two instances starting together must not both find the path free (or
    // both remove a stale file) and then replace each other's socket.
    QLockFile lock(m_path + QLatin1String(".lock"));
    if (!lock.tryLock(LockTimeoutMs)) {
        m_error = QCoreApplication::translate("QtServiceControlServer", "Не удалось заблокировать управляющий сокет %1")
                      .arg(m_path);
        return false;
    }
    return listenLocked();
}

bool QtServiceControlServer::listenLocked()
{
    switch (probePath()) {
    case PathState::Free:
        break;
    case PathState::Stale:
        // Left behind by a process that died without closing it.
        if (!QFile::remove(m_path)) {
            m_error = QCoreApplication::translate("QtServiceControlServer",
                                                  "Не удалось удалить оставшийся управляющий сокет %1")
                          .arg(m_path);
            return false;
        }
        break;
    case PathState::Live:
        m_error = QCoreApplication::translate("QtServiceControlServer",
                                              "Служба с этим именем уже работает, управляющий сокет %1 занят")
                      .arg(m_path);
        return false;
    case PathState::Foreign:
        m_error = QCoreApplication::translate("QtServiceControlServer",
                                              "Путь управляющего сокета %1 занят файлом другого типа")
                      .arg(m_path);
        return false;
    case PathState::Unreachable:
        m_error = QCoreApplication::translate("QtServiceControlServer",
                                              "Управляющий сокет %1 существует, но не отвечает")
                      .arg(m_path);
        return false;
    }

    auto *server = new QLocalServer(this);
    // Commands are for the service's own user only.
    server->setSocketOptions(QLocalServer::UserAccessOption);
    server->setMaxPendingConnections(MaxConnections);
    if (!server->listen(m_path)) {
        m_error = QCoreApplication::translate("QtServiceControlServer",
                                              "Не удалось открыть управляющий сокет %1: %2")
                      .arg(m_path, server->errorString());
        delete server;
        return false;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, &QtServiceControlServer::takePendingConnections);
    m_error.clear();
    return true;
}

QtServiceControlServer::PathState QtServiceControlServer::probePath() const
{
    struct stat info;
    if (::lstat(QFile::encodeName(m_path).constData(), &info) != 0)
        return errno == ENOENT ? PathState::Free : PathState::Unreachable;
    if (!S_ISSOCK(info.st_mode))
        return PathState::Foreign;

    QLocalSocket probe;
    probe.connectToServer(m_path);
    if (probe.waitForConnected(ProbeTimeoutMs)) {
        probe.abort();
        return PathState::Live;
    }
    // Refused means nobody listens; a timeout or a permission error leaves
    // the owner unknown, and then the file is not ours to remove.
    switch (probe.error()) {
    case QLocalSocket::ConnectionRefusedError:
    case QLocalSocket::ServerNotFoundError:
        return PathState::Stale;
    default:
        return PathState::Unreachable;
    }
}

void QtServiceControlServer::close()
{
    m_accepting = false;
    if (!m_server)
        return;
    m_server->close(); // removes the socket file
    delete m_server;   // and with it every connection
    m_server = nullptr;
}

void QtServiceControlServer::setAcceptingCommands(bool accepting)
{
    m_accepting = accepting;
    if (!m_accepting || !m_server)
        return;
    // Commands that arrived while held are served now: first those on
    // connections taken before the hold, then the waiting connections.
    const QList<QLocalSocket *> sockets = m_server->findChildren<QLocalSocket *>();
    for (QLocalSocket *socket : sockets) {
        if (socket->findChild<QTimer *>(QLatin1String(IdleTimerName)))
            serveConnection(socket);
    }
    takePendingConnections();
}

void QtServiceControlServer::takePendingConnections()
{
    if (!m_accepting || !m_server)
        return;
    while (m_server && m_server->hasPendingConnections()) {
        QLocalSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        if (m_server->findChildren<QLocalSocket *>().size() > MaxConnections) {
            dropConnection(socket);
            continue;
        }
        // A client cannot make the service buffer more than a few lines.
        socket->setReadBufferSize(MaxLineLength * 4);
        auto *idle = new QTimer(socket);
        idle->setObjectName(QLatin1String(IdleTimerName));
        idle->setSingleShot(true);
        connect(idle, &QTimer::timeout, socket, [this, socket] { dropConnection(socket); });
        idle->start(IdleTimeoutMs);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serveConnection(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QPointer<QLocalSocket> guard(socket);
        serveConnection(socket);
        // A client that hung up while waiting has missed its disconnected().
        if (guard && guard->state() == QLocalSocket::UnconnectedState)
            guard->deleteLater();
    }
}

void QtServiceControlServer::serveConnection(QLocalSocket *socket)
{
    if (!m_accepting || socket->property(BusyProperty).toBool())
        return; // held, or re-entered from a nested event loop of the handler

    QPointer<QtServiceControlServer> self(this);
    QPointer<QLocalSocket> guard(socket);
    socket->setProperty(BusyProperty, true);
    // A client that hung up after its command still gets it handled.
    while (self && guard && m_accepting && guard->isReadable()) {
        const qint64 newline = guard->peek(MaxLineLength).indexOf('\n');
        if (newline < 0) {
            if (guard->bytesAvailable() >= MaxLineLength)
                dropConnection(guard); // a line longer than any command
            break;
        }
        int code = 0;
        if (!parseCode(guard->read(newline + 1), &code)) {
            dropConnection(guard);
            break;
        }
        if (auto *idle = guard->findChild<QTimer *>(QLatin1String(IdleTimerName)))
            idle->start(IdleTimeoutMs);
        if (m_handler)
            m_handler(code);
        if (!guard)
            break;
        if (guard->state() == QLocalSocket::ConnectedState) {
            guard->write("ok\n");
            guard->flush();
        }
    }
    if (guard)
        guard->setProperty(BusyProperty, false);
}

void QtServiceControlServer::dropConnection(QLocalSocket *socket)
{
    socket->abort();
    socket->deleteLater();
}
