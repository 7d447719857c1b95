#pragma once

#include <QHostAddress>
#include <QString>

// Connections and requests the listeners turn away, for the operators: the
// counter orvex_connections_refused_total{reason} on /metrics, and a
// warning in the log at most once a minute per reason and address (a flood
// must not flood the log too).
namespace ZeltoRefusals {

enum Reason {
    PerAddress,    // a connection over "connectionsPerAddress" from its address
    BufferLimit,   // closed: it held most when the listener passed "requestBufferLimit"
    Host,          // a request for a Host name that is not this server's (421)
};

// Makes the counter known (shown on /metrics before the first refusal).
void describe();
void count(Reason reason);
// Counts and logs `text` as a warning, unless the same reason was logged
// for `peer` within the last minute (a null address: for any address).
void report(Reason reason, const QHostAddress &peer, const QString &text);

}
