#pragma once

#include <QHostAddress>
#include <QString>
#include <QVariant>

// Where the OPC UA endpoints listen and the name clients are told to use.
// They listen on the interface of "Server/address", as the other listeners
// do, or on every interface when it names none. The name goes into the
// endpoint URLs and the server's certificate: the setting "opcHostName" when
// it holds a host name or an address, else the listening address when it
// names one interface, else the machine's host name.
class OpcEndpointAddress
{
public:
    OpcEndpointAddress(const QHostAddress &listenAddress, const QVariant &hostNameSetting,
                       const QString &localHostName);

    // The address to listen on; empty for every interface of both protocols.
    const QString &host() const { return m_host; }
    // The name for the URLs (an IPv6 address in brackets).
    const QString &hostName() const { return m_hostName; }
    // Why "opcHostName" was passed over; empty when it was taken or is unset.
    const QString &problem() const { return m_problem; }

    // A DNS name (letters, digits, hyphens and underscores in dot-separated
    // labels of at most 63, 253 in all), an IPv4 address or an IPv6 address.
    static bool isHostName(const QString &text);

private:
    QString m_host;
    QString m_hostName;
    QString m_problem;
};
