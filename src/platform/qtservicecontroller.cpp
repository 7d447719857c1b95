#include "qtservicecontroller.h"

#include "zelto.h"
#include "zeltoenvironment.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

namespace {

// How long a command may take from connecting to the service's answer.
const int CommandTimeoutMs = 5000;

QString socketFileName(const QString &serviceName)
{
    QString name = serviceName.toLower();
    for (QChar &c : name) {
        const ushort u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')))
            c = QLatin1Char('-');
    }
    // Keyed to the home folder too: servers with homes of their own run side
    // by side, and a second one on the same home (however it is spelled)
    // finds the first one's socket.
    const QString home = Zelto::moduleDir();
    const QString canonical = QFileInfo(home).canonicalFilePath();
    const QByteArray digest = QCryptographicHash::hash((canonical.isEmpty() ? home : canonical).toUtf8(),
                                                       QCryptographicHash::Sha1);
    return name + QLatin1Char('-') + QString::fromLatin1(digest.toHex().left(12)) + QLatin1String(".sock");
}

int remainingMs(const QDeadlineTimer &deadline)
{
    return int(qMax<qint64>(0, deadline.remainingTime()));
}

} // namespace

QtServiceController::QtServiceController(const QString &name) : m_name(name)
{
}

QString QtServiceController::serviceName() const
{
    return m_name;
}

QString QtServiceController::socketPath(const QString &serviceName)
{
    if (serviceName.isEmpty())
        return QString();
    return QDir::cleanPath(ZeltoEnvironment::runtimeDir() + QLatin1Char('/') + socketFileName(serviceName));
}

bool QtServiceController::isRunning() const
{
    const QString path = socketPath(m_name);
    if (path.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(CommandTimeoutMs))
        return false;
    socket.abort();
    return true;
}

ZeltoStatus QtServiceController::sendCommand(int code)
{
    const QString path = socketPath(m_name);
    if (path.isEmpty())
        return ZeltoStatus::unavailable(
            QCoreApplication::translate("QtServiceController", "Не задано имя службы"));

    const QDeadlineTimer deadline(CommandTimeoutMs);
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(remainingMs(deadline)))
        return ZeltoStatus::unavailable(
            QCoreApplication::translate("QtServiceController", "Служба «%1» не запущена: %2")
                .arg(m_name, socket.errorString()));

    socket.write(QByteArray::number(code) + '\n');
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline)))
            return ZeltoStatus::unavailable(
                QCoreApplication::translate("QtServiceController", "Не удалось передать команду %1 службе «%2»: %3")
                    .arg(code)
                    .arg(m_name, socket.errorString()));
    }

    // The service answers only after it has handled the code.
    while (!socket.canReadLine()) {
        if (socket.bytesAvailable() > 16 || !socket.waitForReadyRead(remainingMs(deadline)))
            return ZeltoStatus::unavailable(
                QCoreApplication::translate("QtServiceController", "Служба «%1» не подтвердила команду %2")
                    .arg(m_name)
                    .arg(code));
    }
    const QByteArray answer = socket.readLine().trimmed();
    socket.abort();
    if (answer != "ok")
        return ZeltoStatus::unavailable(
            QCoreApplication::translate("QtServiceController", "Служба «%1» не подтвердила команду %2")
                .arg(m_name)
                .arg(code));
    return ZeltoStatus();
}
