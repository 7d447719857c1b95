#include "zeltopeeraddress.h"

namespace ZeltoPeerAddress {

QHostAddress plain(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(ipv4) : address;
}

QString text(const QHostAddress &address)
{
    return plain(address).toString();
}

QString text(const QString &address)
{
    const QHostAddress parsed(address);
    return parsed.isNull() ? address : text(parsed);
}

} // namespace ZeltoPeerAddress
