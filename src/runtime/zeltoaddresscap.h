#pragma once

#include <QHash>
#include <QHostAddress>
#include <QVariant>

// How many connections one peer address may hold at once, counted over
// every listener of the process together (RPC over TCP and WebSocket, the
// operators' HTTP port, XML-RPC): one address cannot take all the file
// descriptors or all of a listener's places. A connection over the cap is
// closed as soon as it is accepted. Main thread only.
class ZeltoAddressCap
{
public:
    static constexpr int DefaultCap = 64;

    // Process-wide: the cap counts one address's connections on every listener together.
    static ZeltoAddressCap *global();
    // The cap a setting names ("connectionsPerAddress"): a whole number, 0
    // for no cap; anything else means the default.
    static int capFromSetting(const QVariant &value);

    // Applies to connections accepted from now on; 0: no cap.
    void setCap(int perAddress) { m_cap = perAddress; }
    int cap() const { return m_cap; }

    // Counts a new connection from `peer`; false (and counted as refused,
    // logged once a minute per address) when the address holds the cap already.
    bool admit(const QHostAddress &peer);
    // Each admitted connection, once, when it closes or is handed to another listener.
    void release(const QHostAddress &peer);
    int count(const QHostAddress &peer) const { return m_counts.value(key(peer)); }

private:
    // IPv4 peers of a dual-stack listener come as IPv4-mapped IPv6 addresses.
    static QString key(const QHostAddress &peer);

    QHash<QString, int> m_counts;   // addresses with connections only
    int m_cap = DefaultCap;
};
