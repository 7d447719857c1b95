#include "opcendpointaddress.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

const int kMaxHostNameLength = 253;
const int kMaxShownLength = 80;

bool namesOneInterface(const QHostAddress &address)
{
    return !address.isNull() && address != QHostAddress(QHostAddress::Any)
           && address != QHostAddress(QHostAddress::AnyIPv4) && address != QHostAddress(QHostAddress::AnyIPv6);
}

// An address as a URL's host.
QString urlHost(const QHostAddress &address)
{
    const QString text = address.toString();
    return address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + text + QLatin1Char(']') : text;
}

} // namespace

OpcEndpointAddress::OpcEndpointAddress(const QHostAddress &listenAddress, const QVariant &hostNameSetting,
                                       const QString &localHostName)
{
    // Every interface of one protocol (0.0.0.0, ::) is passed on as it is.
    if (!listenAddress.isNull() && listenAddress != QHostAddress(QHostAddress::Any))
        m_host = listenAddress.toString();
    m_hostName = namesOneInterface(listenAddress) ? urlHost(listenAddress) : localHostName;
    if (hostNameSetting.isNull())
        return;
    const QString text = hostNameSetting.type() == QVariant::String ? hostNameSetting.toString().trimmed() : QString();
    if (hostNameSetting.type() == QVariant::String && text.isEmpty())
        return;
    if (!isHostName(text)) {
        const QString shown = hostNameSetting.type() == QVariant::String
                                  ? text.left(kMaxShownLength)
                                  : QString::fromLatin1(hostNameSetting.typeName());
        m_problem = QCoreApplication::translate("OPCServer", "Неверное имя OPC UA \"opcHostName\": %1, используется %2")
                        .arg(shown, m_hostName);
        return;
    }
    m_hostName = text.contains(QLatin1Char(':')) ? urlHost(QHostAddress(text)) : text;
}

bool OpcEndpointAddress::isHostName(const QString &text)
{
    static const QRegularExpression name(QStringLiteral(
        "^[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?(?:\\.[A-Za-z0-9_](?:[A-Za-z0-9_-]{0,61}[A-Za-z0-9_])?)*$"));
    if (text.isEmpty() || text.size() > kMaxHostNameLength)
        return false;
    // IPv4 addresses pass as names; shorthand forms such as "10.1" stay names.
    if (text.contains(QLatin1Char(':')))
        return QHostAddress(text).protocol() == QAbstractSocket::IPv6Protocol;
    return name.match(text).hasMatch();
}
