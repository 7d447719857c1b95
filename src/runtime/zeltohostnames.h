#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMutex>
#include <QSet>
#include <QStringList>

#include <memory>

// The names by which clients may address this server in an HTTP Host
// header: its literal addresses (every interface's, IPv6 in brackets),
// "localhost", the machine's host names (short and fully qualified) and
// the names a setting adds ("allowedHosts"). A page of another site whose
// name an attacker points at this machine (DNS rebinding) sends its own
// name in Host, and is turned away before anything is done for it. The port
// in Host is ignored; names are compared without regard to case or a
// trailing dot.
class ZeltoHostNames
{
public:
    // Process-wide: every HTTP listener answers for the same host names.
    static ZeltoHostNames *global();

    // This machine's names; the fully qualified one is looked up on a
    // thread of its own, so that a slow resolver delays nobody.
    ZeltoHostNames();

    // Names (or addresses) clients use besides the machine's own: a name
    // behind a proxy or NAT, a public address. A port after a name is ignored.
    void setExtra(const QStringList &names);

    // True when the Host header's value names this server.
    bool allows(const QByteArray &host) const;
    // Counts a request refused for its Host, and logs it (at most once a minute).
    static void reportRefused(const QByteArray &host, const QHostAddress &peer);

    // The name part of a Host value: lower case, without port, brackets or
    // a trailing dot; empty when it is not a host name or address at all.
    static QString hostPart(const QByteArray &host);

private:
    // The machine's names; shared with the lookup thread, which may outlive this object.
    struct MachineNames
    {
        QMutex mutex;
        QSet<QString> names;   // guarded by mutex
        void add(const QString &name);
    };

    std::shared_ptr<MachineNames> m_machine;
    QSet<QString> m_extra;     // main thread only
};
