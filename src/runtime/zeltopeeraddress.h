#pragma once

#include <QHostAddress>
#include <QString>

// Peers of a dual-stack listener arrive as IPv4-mapped IPv6 addresses
// (::ffff:10.0.0.5). Every listener counts, throttles, logs and compares
// them in one form, so that a client is the same client on every port.
namespace ZeltoPeerAddress {

// address with an IPv4-mapped IPv6 address turned into IPv4; others as they are.
QHostAddress plain(const QHostAddress &address);
// plain(address) as QHostAddress writes it.
QString text(const QHostAddress &address);
// text() of an address given as text; text that is no address is returned unchanged.
QString text(const QString &address);

} // namespace ZeltoPeerAddress
