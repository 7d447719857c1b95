#include "zeltohostnames.h"

#include "zeltopeeraddress.h"
#include "zeltorefusals.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QNetworkInterface>

#include <netdb.h>
#include <sys/socket.h>
#include <thread>

namespace {

bool isNameChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        || c == QLatin1Char('-') || c == QLatin1Char('.') || c == QLatin1Char('_');
}

bool isPort(const QString &text)
{
    for (QChar c : text)
        if (!c.isDigit())
            return false;
    return true;   // an empty port is allowed, as in "host:"
}

// The canonical (fully qualified) name the resolver gives for `name`; empty when it gives none.
QString canonicalName(const QString &name)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo *found = nullptr;
    if (getaddrinfo(name.toUtf8().constData(), nullptr, &hints, &found) != 0 || !found)
        return QString();
    const QString canonical = found->ai_canonname ? QString::fromUtf8(found->ai_canonname) : QString();
    freeaddrinfo(found);
    return canonical;
}

// An address as compared: IPv4-mapped IPv6 as IPv4, without a scope.
QHostAddress plain(const QHostAddress &address)
{
    QHostAddress compared = ZeltoPeerAddress::plain(address);
    compared.setScopeId(QString());
    return compared;
}

} // namespace

ZeltoHostNames *ZeltoHostNames::global()
{
    static ZeltoHostNames *names = new ZeltoHostNames;
    return names;
}

void ZeltoHostNames::MachineNames::add(const QString &name)
{
    const QString part = hostPart(name.toUtf8());
    if (part.isEmpty())
        return;
    QMutexLocker lock(&mutex);
    names.insert(part);
    // The short name too: clients on the same network often use it.
    const int dot = part.indexOf(QLatin1Char('.'));
    if (dot > 0)
        names.insert(part.left(dot));
}

ZeltoHostNames::ZeltoHostNames() : m_machine(std::make_shared<MachineNames>())
{
    const QString host = QHostInfo::localHostName();
    m_machine->add(QStringLiteral("localhost"));
    m_machine->add(host);
    const QString domain = QHostInfo::localDomainName();
    if (!host.isEmpty() && !domain.isEmpty() && !host.contains(QLatin1Char('.')))
        m_machine->add(host + QLatin1Char('.') + domain);
    if (host.isEmpty())
        return;
    std::thread([machine = m_machine, host]() { machine->add(canonicalName(host)); }).detach();
}

void ZeltoHostNames::setExtra(const QStringList &names)
{
    m_extra.clear();
    for (const QString &name : names) {
        const QString part = hostPart(name.trimmed().toUtf8());
        if (!part.isEmpty())
            m_extra.insert(part);
    }
}

QString ZeltoHostNames::hostPart(const QByteArray &host)
{
    QString text = QString::fromUtf8(host).trimmed().toLower();
    QString name;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return QString();
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty() && !(rest.startsWith(QLatin1Char(':')) && isPort(rest.mid(1))))
            return QString();
        QHostAddress address;
        if (!address.setAddress(text.mid(1, close - 1)) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return QString();
        return QLatin1Char('[') + plain(address).toString() + QLatin1Char(']');
    }
    const int colon = text.indexOf(QLatin1Char(':'));
    // A bare IPv6 address is not a Host value: it needs its brackets.
    if (colon >= 0 && (text.indexOf(QLatin1Char(':'), colon + 1) >= 0 || !isPort(text.mid(colon + 1))))
        return QString();
    name = colon < 0 ? text : text.left(colon);
    if (name.endsWith(QLatin1Char('.')))
        name.chop(1);
    if (name.isEmpty())
        return QString();
    for (QChar c : qAsConst(name))
        if (!isNameChar(c))
            return QString();
    return name;
}

bool ZeltoHostNames::allows(const QByteArray &host) const
{
    const QString part = hostPart(host);
    if (part.isEmpty())
        return false;
    if (m_extra.contains(part))
        return true;
    {
        QMutexLocker lock(&m_machine->mutex);
        if (m_machine->names.contains(part))
            return true;
    }
    QHostAddress address;
    const QString literal = part.startsWith(QLatin1Char('[')) ? part.mid(1, part.size() - 2) : part;
    if (!address.setAddress(literal))
        return false;
    address = plain(address);
    if (address.isLoopback())
        return true;
    // Asked each time: interfaces come and go (DHCP, VPN); this is one system call.
    const auto interfaces = QNetworkInterface::allAddresses();
    for (const QHostAddress &own : interfaces)
        if (plain(own) == address)
            return true;
    return false;
}

void ZeltoHostNames::reportRefused(const QByteArray &host, const QHostAddress &peer)
{
    // One line a minute whoever asks: a rebinding page may ask often, from many places.
    ZeltoRefusals::report(ZeltoRefusals::Host, QHostAddress(),
                          QCoreApplication::translate("ZeltoHostNames",
                                                      "Запрос к имени %1 отклонён: это имя не принадлежит серверу "
                                                      "(его можно добавить в настройку allowedHosts); адрес клиента %2")
                              .arg(QString::fromLatin1(host.left(100)), peer.toString()));
}
